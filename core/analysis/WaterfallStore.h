#pragma once
// The waterfall's rows: one spectrum per second of one signal of the shown
// sensor, the newest 1 to 30 minutes of them, in a ring allocated when the
// signal or the span changes. Amplitudes are kept as 16-bit codes on a
// decibel scale (0.005 dB steps, about 0.06 % of the value), half the size
// of floats: 30 minutes of 12,801 lines take 44 MB.
//
// Threads: one thread writes (Reset, SetSpan, Append: the waterfall's
// worker); any thread reads. The writers change the rows under the lock
// (and, being the only writer, read them without it); readers call the
// accessors below "with the lock held" between Lock() and the lock's end,
// so that rows do not move meanwhile.
#include <cstdint>
#include <mutex>
#include <vector>

namespace tav::analysis {

struct WaterfallSignal {
    int slot = -1;           // connection the rows come from
    uint32_t address = 0;    // its sensor address, for file names
    float fs = 0;            // Hz
    int axis = 0;            // 0 X, 1 Y, 2 Z
    int quantity = 0;        // 0 acceleration g, 1 velocity mm/s, 2 displacement mm
    double df = 0;           // Hz between lines
    int lines = 0;           // lines per row, from 0 Hz
    double maxHz = 0;        // the maximum frequency asked for
    bool operator==(const WaterfallSignal &) const = default;
};

class WaterfallStore {
public:
    static constexpr int kMinMinutes = 1;
    static constexpr int kMaxMinutes = 30;
    static constexpr int kRowsPerMinute = 60;
    // Codes: 0 is nothing; c >= 1 is kMinDb + (c - 1) x kStepDb dB re 1 unit.
    static constexpr double kMinDb = -200.0;
    static constexpr double kStepDb = 0.005;

    static uint16_t Encode(float amplitude);
    static float Decode(uint16_t code);  // by a table, any thread

    // Worker. Reset empties the ring and lays it out for `signal` and
    // `minutes` (allocating); SetSpan keeps the newest rows that fit.
    void Reset(const WaterfallSignal &signal, int minutes);
    void SetSpan(int minutes);
    // Appends one row of signal.lines amplitudes at `time` (seconds since
    // 1970). Rows `minutes` or more older than it, and the oldest row of a
    // full ring, leave.
    void Append(double time, const float *amplitude);

    std::unique_lock<std::mutex> Lock() const { return std::unique_lock(mutex_); }

    // With the lock held. Rows are numbered from the Reset on: First() is
    // the oldest kept, Next() - 1 the newest.
    const WaterfallSignal &Signal() const { return signal_; }
    int Minutes() const { return minutes_; }
    int Capacity() const { return capacity_; }
    uint64_t First() const { return first_; }
    uint64_t Next() const { return next_; }
    // Changes whenever rows are laid out anew (Reset, SetSpan).
    uint64_t Generation() const { return generation_; }
    int Slot(uint64_t row) const { return static_cast<int>(row % static_cast<uint64_t>(capacity_)); }
    const uint16_t *Codes(uint64_t row) const { return codes_.data() + static_cast<size_t>(Slot(row)) * signal_.lines; }
    double Time(uint64_t row) const { return times_[static_cast<size_t>(Slot(row))]; }
    size_t Bytes() const { return codes_.capacity() * sizeof(uint16_t) + times_.capacity() * sizeof(double); }

    // Any thread: rows kept now.
    uint64_t Rows() const;

private:
    // Lays the ring out for `minutes`, keeping the newest rows that fit or none.
    void Relayout(const WaterfallSignal &signal, int minutes, bool keepRows);
    void DropOlderThanSpan();

    mutable std::mutex mutex_;
    WaterfallSignal signal_;      // all guarded by mutex_
    int minutes_ = 0;
    int capacity_ = 0;
    uint64_t first_ = 0, next_ = 0, generation_ = 0;
    std::vector<uint16_t> codes_; // capacity_ x lines
    std::vector<double> times_;   // capacity_
};

}  // namespace tav::analysis
