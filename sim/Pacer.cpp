#include "sim/Pacer.h"

#include <cmath>

namespace tav::sim {

void Pacer::Start(double now, double fs)
{
    fs_ = fs;
    anchorTime_ = now;
    anchorSamples_ = 0.0;
    taken_ = 0;
}

void Pacer::SetRate(double now, double fs)
{
    anchorSamples_ = SamplesAt(now);
    anchorTime_ = now;
    fs_ = fs;
}

double Pacer::SamplesAt(double now) const
{
    double elapsed = now - anchorTime_;
    return anchorSamples_ + (elapsed > 0 ? elapsed * fs_ : 0.0);
}

int64_t Pacer::Due(double now) const
{
    int64_t total = int64_t(std::floor(SamplesAt(now) / samplesPerPacket_));
    return total > taken_ ? total - taken_ : 0;
}

double Pacer::NextDueTime() const
{
    double samplesNeeded = double(taken_ + 1) * samplesPerPacket_ - anchorSamples_;
    if (fs_ <= 0)
        return anchorTime_ + 1e9;
    return anchorTime_ + (samplesNeeded > 0 ? samplesNeeded / fs_ : 0.0);
}

}  // namespace tav::sim
