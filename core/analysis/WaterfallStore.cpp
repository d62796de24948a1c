#include "core/analysis/WaterfallStore.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace tav::analysis {

namespace {

constexpr int kCodes = 65536;

const float *DecodeTable()
{
    static const std::unique_ptr<float[]> table = [] {
        auto t = std::make_unique<float[]>(kCodes);
        t[0] = 0.0f;
        for (int c = 1; c < kCodes; ++c)
            t[c] = static_cast<float>(std::pow(10.0, (WaterfallStore::kMinDb + (c - 1) * WaterfallStore::kStepDb) / 20.0));
        return t;
    }();
    return table.get();
}

}  // namespace

uint16_t WaterfallStore::Encode(float amplitude)
{
    if (!(amplitude > 0))  // zero, negative and NaN alike: nothing
        return 0;
    const double code = std::round((20.0 * std::log10(static_cast<double>(amplitude)) - kMinDb) / kStepDb) + 1.0;
    return static_cast<uint16_t>(std::clamp(code, 1.0, static_cast<double>(kCodes - 1)));
}

float WaterfallStore::Decode(uint16_t code) { return DecodeTable()[code]; }

void WaterfallStore::Reset(const WaterfallSignal &signal, int minutes)
{
    DecodeTable();  // made here, on the worker, before any reader needs it
    WaterfallSignal s = signal;
    s.lines = std::max(s.lines, 0);
    Relayout(s, minutes, false);
}

void WaterfallStore::SetSpan(int minutes)
{
    // The worker alone changes the rows, so it reads them without the lock.
    if (std::clamp(minutes, kMinMinutes, kMaxMinutes) != minutes_)
        Relayout(signal_, minutes, true);
}

void WaterfallStore::Relayout(const WaterfallSignal &signal, int minutes, bool keepRows)
{
    minutes = std::clamp(minutes, kMinMinutes, kMaxMinutes);
    const int capacity = minutes * kRowsPerMinute;
    const size_t lines = static_cast<size_t>(signal.lines);
    // Allocated and filled before the lock is taken: readers wait only for
    // the exchange, not for tens of megabytes being cleared.
    std::vector<uint16_t> codes(static_cast<size_t>(capacity) * lines);
    std::vector<double> times(static_cast<size_t>(capacity));
    // The newest rows keep their numbers; only their places in the ring move.
    const uint64_t keep = keepRows ? std::min<uint64_t>(next_ - first_, static_cast<uint64_t>(capacity)) : 0;
    const uint64_t from = next_ - keep;
    for (uint64_t row = from; row < next_ && keep > 0; ++row) {
        const size_t to = static_cast<size_t>(row % static_cast<uint64_t>(capacity));
        std::copy_n(Codes(row), lines, codes.begin() + static_cast<ptrdiff_t>(to * lines));
        times[to] = Time(row);
    }
    {
        std::lock_guard lock(mutex_);
        signal_ = signal;
        minutes_ = minutes;
        capacity_ = capacity;
        first_ = keepRows ? from : 0;
        next_ = keepRows ? next_ : 0;
        codes_.swap(codes);
        times_.swap(times);
        ++generation_;
        DropOlderThanSpan();
    }
    // The old rows are freed here, after the lock.
}

void WaterfallStore::DropOlderThanSpan()
{
    if (next_ == first_)
        return;
    // A row of the span's age is out: 60 rows a minute, one per second.
    const double oldest = Time(next_ - 1) - minutes_ * 60.0;
    while (first_ < next_ - 1 && Time(first_) <= oldest)
        ++first_;
}

void WaterfallStore::Append(double time, const float *amplitude)
{
    std::lock_guard lock(mutex_);
    if (capacity_ <= 0)
        return;
    if (next_ - first_ == static_cast<uint64_t>(capacity_))
        ++first_;
    const int slot = Slot(next_);
    uint16_t *codes = codes_.data() + static_cast<size_t>(slot) * signal_.lines;
    for (int k = 0; k < signal_.lines; ++k)
        codes[k] = Encode(amplitude[k]);
    times_[static_cast<size_t>(slot)] = time;
    ++next_;
    DropOlderThanSpan();
}

uint64_t WaterfallStore::Rows() const
{
    std::lock_guard lock(mutex_);
    return next_ - first_;
}

}  // namespace tav::analysis
