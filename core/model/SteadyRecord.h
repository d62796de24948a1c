#pragma once
// One sensor's steady-state values and its one-hour history.
#include <cstdint>
#include <cstdio>

namespace tav {

constexpr int kSteadyRecordCount = 40;
constexpr int kSteadyHistoryLength = 7200;  // one entry per 500 ms tick: 60 minutes
constexpr int kSteadyParameterCount = 7;
constexpr int kSteadyAxisValues = 21;       // 7 parameters x 3 axes
constexpr int kSteadySeriesCount = 22;      // the 21 axis values and the speed
constexpr int kSpeedSeries = 21;

// Order of every per-axis array, of the log columns and of the viewer's columns.
enum SteadyParameter : int { kSteadyAR, kSteadyAP, kSteadyAK, kSteadyVR, kSteadyVP, kSteadyDR, kSteadyDP };

// Series index used by the log and the viewer: axis * 7 + parameter; 21 is the speed.
constexpr int SeriesAxis(int series) { return series / kSteadyParameterCount; }
constexpr int SeriesParameter(int series) { return series % kSteadyParameterCount; }

// Units: acceleration in g, velocity in mm/s, displacement in mm, speed in rpm.
// Written only by the window thread (the tick and the log).
struct SteadyRecord {
    int32_t address = 0;  // 0 = never bound; survives the sensor's disconnection
    int32_t inUse = 0;    // 1 while a connection is bound
    float current[kSteadyParameterCount][3] = {};  // [parameter][axis]
    float currentRpm = 0;
    float history[kSteadyParameterCount][3][kSteadyHistoryLength] = {};
    float rpmHistory[kSteadyHistoryLength] = {};
    // Next position of all 22 rings; the newest entry is at writeIndex - 1.
    int32_t writeIndex = 0;
    int32_t logOpen = 0;  // 1 only while logStream is a really open file
    std::FILE *logStream = nullptr;

    float Current(int series) const
    {
        return series == kSpeedSeries ? currentRpm : current[SeriesParameter(series)][SeriesAxis(series)];
    }
    const float *Ring(int series) const
    {
        return series == kSpeedSeries ? rpmHistory : history[SeriesParameter(series)][SeriesAxis(series)];
    }
    float *Ring(int series)
    {
        return series == kSpeedSeries ? rpmHistory : history[SeriesParameter(series)][SeriesAxis(series)];
    }
};

// Copies a ring in time order, oldest first: entries writeIndex..end, then 0..writeIndex-1.
// `out` holds kSteadyHistoryLength values.
void CopyRingInTimeOrder(const SteadyRecord &record, int series, float *out);

}  // namespace tav
