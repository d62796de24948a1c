#include "core/analysis/AnalysisWorker.h"

#include <cmath>

#include "core/base/ThreadName.h"
#include "core/dsp/ConditionState.h"

namespace tav::analysis {

AnalysisWorker::AnalysisWorker(ConnectionTable &table, LivePlots &plots) : table_(table), plots_(plots) {}

AnalysisWorker::~AnalysisWorker() { Stop(); }

void AnalysisWorker::Start()
{
    if (thread_.Running())
        return;
    // The capture need not start afresh (another reader may be keeping it),
    // so an average of an earlier opening is dropped here.
    ResetAverage();
    // The rings are allocated on the worker's thread, not on the window's.
    thread_.Start(
        [this] {
            NameThisThread("tav analysis");
            plots_.capture.Start();
        },
        [this] { Step(); });
}

void AnalysisWorker::Stop()
{
    thread_.Stop();
    plots_.capture.Stop();
}

void AnalysisWorker::SetRequest(const Request &request)
{
    asked_.With([&](Asked &a) { a.request = request; });
}

Request AnalysisWorker::CurrentRequest() const
{
    return asked_.With([](const Asked &a) { return a.request; });
}

void AnalysisWorker::ResetAverage()
{
    asked_.With([](Asked &a) { a.reset = true; });
}

uint64_t AnalysisWorker::Sequence() const
{
    std::lock_guard lock(resultMutex_);
    return result_.sequence;
}

bool AnalysisWorker::TakeResult(Result &out, uint64_t seen) const
{
    std::lock_guard lock(resultMutex_);
    if (result_.sequence <= seen)
        return false;
    out = result_;
    return true;
}

void AnalysisWorker::Publish(Result &r)
{
    std::lock_guard lock(resultMutex_);
    r.sequence = result_.sequence + 1;
    // Swapped, not copied: the worker's buffers go back into work_.
    std::swap(result_, r);
}

void AnalysisWorker::Step()
{
    Request req;
    bool reset;
    asked_.With([&](Asked &a) {
        req = a.request;
        reset = a.reset;
        a.reset = false;
    });
    Result &r = work_;
    r.request = req;
    r.ready = false;
    r.collectedSeconds = 0;
    r.slot = table_.selectedConnection.load(std::memory_order_acquire);
    if (r.slot < 0 || r.slot >= kSlotCount) {
        r.slot = -1;
        r.fs = 0;
        r.averaged = 0;
        r.layout = Layout{};
        r.rpm = 0;
        r.amplitude.clear();
        r.peaks.clear();
        Publish(r);
        return;
    }
    ConnectionRecord &rec = table_[r.slot];
    const bool envelope = req.mode == Mode::Envelope;
    if (envelope) {
        req.quantity = 0;  // impacts ring in the acceleration
        r.request.quantity = 0;
    } else {
        req.spectrum.spanHz = kSpanHz;
        r.request.spectrum.spanHz = kSpanHz;
    }
    // The lines are laid out for the rate of the data kept, which is the
    // connection's own once its first block at that rate has gone through.
    const LiveCapture::Info kept = plots_.capture.Read();
    const float fs = kept.slot == r.slot && kept.fs > 0 ? kept.fs
                                                        : rec.samplingFrequency.load(std::memory_order_relaxed);
    r.fs = fs;
    const Layout &l = envelope ? envelope_.Configure(fs, req.spectrum, req.band) : analyser_.Configure(fs, req.spectrum);
    r.layout = l;
    auto resetAverage = [&] { envelope ? envelope_.Reset() : analyser_.Reset(); };
    auto averaged = [&] { return envelope ? envelope_.Averaged() : analyser_.Averaged(); };
    // The analysers start again by themselves when the lines change; these
    // restarts are the window's or another signal's.
    const bool restart = reset || req.mode != last_.mode || req.axis != last_.axis || req.quantity != last_.quantity;
    if (restart)
        resetAverage();
    const bool restarted = restart || averaged() == 0;
    last_ = req;
    if (static_cast<int>(data_.size()) < l.count)
        data_.resize(l.count);
    LiveCapture::Info info;
    // Data of another rate or sensor that arrived since the layout was made
    // wait for the next step.
    // Velocity and displacement are integrated from the acceleration's
    // spectrum, not taken from the conditioning's integrators.
    const bool have = l.count > 0 && plots_.capture.ReadNewest(req.axis, kAcceleration, l.count, data_.data(), info) &&
                      info.epoch == kept.epoch;
    const bool integrate = !envelope && req.quantity > 0;
    if (info.epoch != seen_.epoch || info.slot != seen_.slot) {
        resetAverage();  // another sensor, another rate: the average starts again
        seen_ = LiveCapture::Info{};
        seen_.epoch = info.epoch;
        seen_.slot = info.slot;
    }
    // Only new data join the average, so a silent sensor adds nothing; an
    // average that starts again takes the newest data at once.
    if (have && (restarted || info.written != seen_.written)) {
        if (envelope) {
            envelope_.Add(data_.data());
        } else {
            if (integrate)
                RemoveMean(data_.data(), l.count);
            analyser_.Add(data_.data());
        }
        seen_.written = info.written;
    }
    r.averaged = averaged();
    r.ready = r.averaged > 0;
    r.collectedSeconds = fs > 0 ? info.written / static_cast<double>(fs) : 0;
    if (integrate) {
        integrator_.Configure(l, req.spectrum.seconds, req.quantity,
                              plots_.highPassOn.load(std::memory_order_relaxed) != 0);
        integrator_.Apply(analyser_.Amplitudes(), r.amplitude);
    } else {
        r.amplitude = envelope ? envelope_.Amplitudes() : analyser_.Amplitudes();
    }
    r.peaks = r.ready ? FindPeaks(r.amplitude, l, req.spectrum.window, req.fromHz, req.toHz) : std::vector<Peak>{};
    if (integrate)
        integrator_.RefinePeaks(r.peaks, analyser_.Amplitudes(), req.spectrum.window);
    const float rpm = req.ratedSpeed ? rec.ratedSpeed.load(std::memory_order_relaxed)
                                     : rec.measuredSpeed.load(std::memory_order_relaxed);
    r.rpm = std::isfinite(rpm) && rpm > 0 ? rpm : 0.0;
    r.rpmGuessed = !req.ratedSpeed && rec.speedFromRecord.load(std::memory_order_relaxed) == 0;
    Publish(r);
}

}  // namespace tav::analysis
