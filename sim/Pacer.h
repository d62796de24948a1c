#pragma once
// Decides how many packets a sensor owes at a given time. Time is passed in
// (seconds on any monotonic scale), so the arithmetic can be checked without
// a clock. Samples accrue at the sampling frequency from the moment the
// stream starts; a change of frequency keeps what has accrued so far and
// continues at the new rate, so there is neither a gap nor a burst.
#include <cstdint>

namespace tav::sim {

class Pacer {
public:
    explicit Pacer(int samplesPerPacket) : samplesPerPacket_(samplesPerPacket) {}

    // Starts counting at `now` with nothing owed.
    void Start(double now, double fs);
    // Switches to `fs` from `now` on.
    void SetRate(double now, double fs);
    double Rate() const { return fs_; }

    // Whole packets that have come due by `now` and were not yet taken.
    int64_t Due(double now) const;
    // Marks `n` packets as produced (sent or dropped).
    void Take(int64_t n) { taken_ += n; }
    int64_t Taken() const { return taken_; }
    // Time at which the next packet comes due.
    double NextDueTime() const;

private:
    double SamplesAt(double now) const;

    int samplesPerPacket_;
    double fs_ = 0.0;
    double anchorTime_ = 0.0;
    double anchorSamples_ = 0.0;
    int64_t taken_ = 0;
};

}  // namespace tav::sim
