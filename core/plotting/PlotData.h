#pragma once
// Data of one live plot, shared between the thread that fills it (a parser
// thread for the time plots, the processing thread for the spectra) and the
// window thread that draws it.
//
// Hand-off: the writer holds `mutex` while it changes the arrays and
// pointCount; the window holds it only while it copies what it will draw.
// The settings below the arrays are atomics written by the window.
#include <atomic>
#include <mutex>

namespace tav {

constexpr int kPlotPoints = 100000;
// Room in each array: the shown values move along it as blocks arrive and
// are moved back to the start only when the end is reached, once every few
// seconds instead of once a block.
constexpr int kPlotCapacity = kPlotPoints + kPlotPoints / 4;

struct PlotData {
    std::mutex mutex;
    float velocitySamples[kPlotCapacity] = {};
    float displacementSamples[kPlotCapacity] = {};
    float samples[kPlotCapacity] = {};  // acceleration, or line magnitudes of a spectrum
    int pointCount = 27000;           // guarded by mutex
    // Where the shown values start in each array, guarded by mutex: a time
    // plot's writer moves it on by each block; it stays 0 for a spectrum.
    int first = 0;
    float lineSpacing = 0;            // spectra: Hz per line (0: not known); guarded by mutex

    std::atomic<int> running{1};      // time plots: 0 while paused
    std::atomic<int> quantity{0};     // 0 samples, 1 velocity, 2 displacement

    // The array chosen by a quantity (0, 1, 2); `samples` for anything else.
    float *Array(int q)
    {
        return q == 1 ? velocitySamples : q == 2 ? displacementSamples : samples;
    }

    // The shown values of a quantity: pointCount of them from here.
    // Caller holds `mutex`.
    const float *Shown(int q) const
    {
        return (q == 1 ? velocitySamples : q == 2 ? displacementSamples : samples) + first;
    }

    // What a drawing needs, taken in one short hold of `mutex`: pointCount
    // (limited to 0..kPlotPoints) and that many values of Array(q), copied
    // into `out`, which has room for kPlotPoints values. Returns the count.
    // Called by the drawing thread; writers keep to the hand-off above.
    int Snapshot(int q, float *out);
};

}  // namespace tav
