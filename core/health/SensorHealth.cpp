#include "core/health/SensorHealth.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace tav {

namespace {

constexpr uint8_t kBits[4] = {kFaultDead, kFaultStuck, kFaultSaturated, kFaultDrift};

int Count(uint64_t history, int windows) { return std::popcount(history & ((uint64_t(1) << windows) - 1)); }

}  // namespace

uint8_t WindowFaults(const RawAxisFigures &f, uint32_t rows, float fs, float rangeLimitG)
{
    if (rows == 0)
        return 0;
    uint8_t faults = 0;
    // A constant value is the extreme of no deviation.
    if (!(f.deviation >= kDeadDeviationG) || f.min == f.max)
        faults |= kFaultDead;
    const double stuck = std::max<double>(kStuckMinSamples, kStuckRunS * std::max(fs, 0.0f));
    if (!(faults & kFaultDead) && f.longestRun >= stuck)
        faults |= kFaultStuck;
    if (rangeLimitG > 0 && f.atRangeLimit >= kSaturatedSamples)
        faults |= kFaultSaturated;
    return faults;
}

void TakeRawFigures(const WindowStats &stats, SteadySensorValues *v)
{
    for (int k = 0; k < 3; ++k) {
        RawAxisFigures &f = v->raw[k];
        f.min = stats.rawMin[k];
        f.max = stats.rawMax[k];
        f.mean = float(stats.rawMean[k]);
        f.deviation = float(stats.rawDeviation[k]);
        f.longestRun = stats.longestRun[k];
        f.atRangeLimit = stats.atRangeLimit[k];
    }
    v->windowRows = stats.rows;
    v->rangeLimitG = stats.rangeLimitG;
    v->windows = stats.windows;
}

float MeasuringRangeG(const SensorSettingsEntry &entry, uint32_t generation)
{
    static const float kRanges[4] = {16.0f, 8.0f, 4.0f, 2.0f};  // "±16g" .. "±2g"
    if (generation == 0 || entry.parameterBlockGeneration != generation)
        return 0.0f;
    const int range = entry.Parameters().measuringRange;
    return range >= 0 && range < 4 ? kRanges[range] : 0.0f;
}

uint8_t MeasuredAxes(const SensorSettingsEntry &entry, uint32_t generation)
{
    if (generation == 0 || entry.parameterBlockGeneration != generation)
        return 7;
    const int mode = entry.Parameters().axisMode;
    return mode >= 1 && mode <= 3 ? uint8_t(1u << (mode - 1)) : 7;
}

void SensorHealth::Feed(const SteadySensorValues &v, int64_t utcMs, uint8_t measuredAxes)
{
    if (!fed_ || v.generation != generation_) {
        *this = SensorHealth{};
        fed_ = true;
        generation_ = v.generation;
    }
    if (v.windows == 0 || v.windows == windows_)
        return;
    windows_ = v.windows;
    for (int k = 0; k < 3; ++k) {
        Axis &a = axes_[k];
        if (!(measuredAxes & (1u << k))) {
            a = Axis{};
            continue;
        }
        Judge(a, WindowFaults(v.raw[k], v.windowRows, v.samplingFrequency, v.rangeLimitG));
        WatchDrift(a, v.raw[k].mean, utcMs);
        a.judged = uint8_t((a.judged & ~kFaultDrift) | (a.drifting ? kFaultDrift : 0));
    }
}

void SensorHealth::Judge(Axis &a, uint8_t faults)
{
    for (int b = 0; b < 3; ++b) {
        a.seen[b] = (a.seen[b] << 1) | ((faults & kBits[b]) ? 1 : 0);
        const int need = kBits[b] == kFaultSaturated ? kClippedWindows : kPersistentWindows;
        if (Count(a.seen[b], kJudgedWindows) >= need)
            a.judged |= kBits[b];
        else if (Count(a.seen[b], kClearWindows) == 0)
            a.judged &= uint8_t(~kBits[b]);
    }
}

void SensorHealth::WatchDrift(Axis &a, float mean, int64_t utcMs)
{
    if (!std::isfinite(mean))
        return;
    if (a.minuteStartMs < 0)
        a.minuteStartMs = utcMs;
    if (utcMs - a.minuteStartMs < 60000) {
        a.minuteSum += mean;
        ++a.minuteWindows;
        return;
    }
    // A minute is complete: its mean joins the newest kDriftMinutes + 1.
    const float minute = float(a.minuteSum / std::max(a.minuteWindows, 1));
    a.minuteSum = mean;
    a.minuteWindows = 1;
    a.minuteStartMs = utcMs;
    constexpr int kKept = kDriftMinutes + 1;
    if (a.minutesFilled == kKept)
        std::rotate(a.minutes, a.minutes + 1, a.minutes + kKept);
    else
        ++a.minutesFilled;
    a.minutes[a.minutesFilled - 1] = minute;
    if (a.minutesFilled < kKept)
        return;
    const double change = double(a.minutes[kKept - 1]) - a.minutes[0];
    int sameWay = 0;
    for (int i = 1; i < kKept; ++i)
        sameWay += (a.minutes[i] - a.minutes[i - 1]) * change > 0 ? 1 : 0;
    // Mostly one way, not a step and back: eight of the ten minutes moved
    // with the change.
    if (std::fabs(change) >= kDriftG && sameWay >= kDriftMinutes * 8 / 10)
        a.drifting = true;
    else if (std::fabs(change) < kDriftG / 2)
        a.drifting = false;
}

}  // namespace tav
