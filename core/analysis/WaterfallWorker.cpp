#include "core/analysis/WaterfallWorker.h"

#include <algorithm>
#include <cmath>

#include "core/base/ThreadName.h"
#include "core/dsp/ConditionState.h"

namespace tav::analysis {

double SystemSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

WaterfallWorker::WaterfallWorker(ConnectionTable &table, LivePlots &plots, std::function<double()> clock)
    : table_(table), plots_(plots), clock_(std::move(clock))
{
}

WaterfallWorker::~WaterfallWorker() { Stop(); }

void WaterfallWorker::Start()
{
    // The capture's rings are allocated on the worker's thread, not on the window's.
    thread_.Start(
        [this] {
            NameThisThread("tav waterfall");
            plots_.capture.Hold();
        },
        [this] { Step(); });
}

void WaterfallWorker::Stop()
{
    if (thread_.Stop())
        plots_.capture.Release();
}

void WaterfallWorker::SetRequest(const WaterfallRequest &request) { request_.Set(request); }

WaterfallRequest WaterfallWorker::CurrentRequest() const { return request_.Get(); }

bool WaterfallWorker::Configure(const WaterfallRequest &req, int slot, const LiveCapture::Info &kept)
{
    Options o;
    o.seconds = 1.0;
    o.window = WindowKind::Hann;
    o.averaging = Averaging::None;
    const Layout &l = analyser_.Configure(kept.fs, o);
    if (l.count <= 0 || l.count > LiveCapture::kCapacity)
        return false;
    WaterfallSignal s;
    s.slot = slot;
    s.address = table_[slot].sensorAddress.load(std::memory_order_relaxed);
    s.fs = kept.fs;
    s.axis = std::clamp(req.axis, 0, 2);
    s.quantity = std::clamp(req.quantity, 0, 2);
    s.df = l.df;
    s.maxHz = req.maxHz;
    const double top = std::isfinite(req.maxHz) && req.maxHz > 0 ? req.maxHz : kSpanHz;
    s.lines = std::clamp(static_cast<int>(std::floor(top / l.df)) + 1, 1, l.real);
    if (!(s == signal_)) {
        // Another sensor, rate or signal: its rows do not belong with these.
        store_.Reset(s, req.minutes);
        signal_ = s;
        positioned_ = false;
        if (static_cast<int>(data_.size()) < l.count)
            data_.resize(static_cast<size_t>(l.count));
    } else if (req.minutes != applied_.minutes) {
        store_.SetSpan(req.minutes);
    }
    applied_ = req;
    return true;
}

void WaterfallWorker::Step()
{
    const WaterfallRequest req = CurrentRequest();
    if (req.frozen)
        return;
    const int slot = table_.selectedConnection.load(std::memory_order_acquire);
    const LiveCapture::Info kept = plots_.capture.Read();
    // Until the shown sensor's data arrive the rows of the last one stay.
    if (slot < 0 || slot >= kSlotCount || kept.slot != slot || !(kept.fs > 0))
        return;
    if (!Configure(req, slot, kept))
        return;
    const auto count = static_cast<uint64_t>(analyser_.layout().count);
    // Whole seconds still kept: a new epoch (capture started afresh), or a
    // worker that fell behind by more than the capture holds, starts at the
    // oldest of them.
    const uint64_t lostBefore = kept.written > LiveCapture::kCapacity ? kept.written - LiveCapture::kCapacity : 0;
    const uint64_t oldest = (lostBefore + count - 1) / count;
    if (!positioned_ || kept.epoch != epoch_ || nextSecond_ < oldest) {
        epoch_ = kept.epoch;
        nextSecond_ = oldest;
        positioned_ = true;
    }
    const double now = clock_();
    // The high-pass as the operator has it now applies to the rows to come.
    integrator_.Configure(analyser_.layout(), 1.0, signal_.quantity,
                          plots_.highPassOn.load(std::memory_order_relaxed) != 0);
    while ((nextSecond_ + 1) * count <= kept.written) {
        LiveCapture::Info info;
        if (!plots_.capture.ReadRows(signal_.axis, kAcceleration, nextSecond_ * count, static_cast<int>(count),
                                     data_.data(), info) ||
            info.epoch != epoch_)
            return;  // the capture started afresh meanwhile: the next pass begins again
        if (integrator_.Integrates())
            RemoveMean(data_.data(), static_cast<int>(count));
        analyser_.Reset();
        analyser_.Add(data_.data());
        const float *amplitude = analyser_.Amplitudes().data();
        if (integrator_.Integrates()) {
            integrator_.Apply(analyser_.Amplitudes(), row_);
            amplitude = row_.data();
        }
        // The second ended as long before now as the rows written after it last.
        const double lag = static_cast<double>(info.written - (nextSecond_ + 1) * count) / signal_.fs;
        store_.Append(now - lag, amplitude);
        ++nextSecond_;
    }
}

}  // namespace tav::analysis
