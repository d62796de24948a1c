#pragma once
// The newest seconds of the shown connection's conditioned signals, for
// analyses that need more than the one second the time plots hold: per axis
// acceleration (g), velocity (mm/s) and displacement (mm), as the
// conditioning computed them, whether or not a time plot is paused.
//
// Nothing is kept while no one reads: an analysis switches the capture on
// (allocating its rings on the analysis's own thread) and off again. The
// conditioning path only copies into the preallocated rings.
//
// Threads: Write on the displayed connection's parser thread (or the window
// thread during replay) with that connection's conditionMutex and the time
// plots' mutexes held; ReadNewest on any thread. The rings and their counts
// are guarded by `mutex_`; `active_` is read without it.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/net/SensorFrame.h"

namespace tav {

class LiveCapture {
public:
    static constexpr double kSeconds = 4.0;
    static constexpr int kCapacity = static_cast<int>(kSeconds * kMaxSamplingFrequency);
    // Rows of the longest block, for the values of paused axes.
    static constexpr int kScratchRows = kMaxPacketsPerBlock * kSamplesPerPacket;

    LiveCapture();
    ~LiveCapture();

    // Allocates the rings (once) and starts keeping; any thread but a
    // conditioning one. Stop keeps the rings for the next start. Start and
    // Stop belong to the analysis window's spectrum; every other reader
    // holds the capture with Hold and lets go with Release, so that one
    // reader stopping never starves another. Keeping goes on while anyone
    // holds or has started it, and the rings start afresh only when keeping
    // starts, not when a second reader joins.
    void Start();
    void Stop();
    void Hold();
    void Release();
    bool Active() const { return active_.load(std::memory_order_acquire); }

    // Where the conditioning writes a paused axis's values of one block
    // before they are copied in: kScratchRows values. Only while Active.
    float *Scratch(int axis, int quantity) { return scratch_.get() + (axis * 3 + quantity) * kScratchRows; }

    // Appends `rows` rows of the nine signals (source[axis][quantity]) of
    // the connection in `slot`, sampled at `fs`. A different slot or rate
    // starts the rings afresh: two sensors' data never meet in one spectrum.
    void Write(int slot, float fs, const float *const source[3][3], int rows);

    struct Info {
        int slot = -1;
        float fs = 0;
        uint64_t written = 0;  // rows written since the rings started afresh
        uint64_t epoch = 0;    // counts fresh starts
    };
    Info Read() const;
    // Copies the newest `count` values of one signal, oldest first, into
    // `out` when that many are kept, and says whose they are; returns false
    // (copying nothing) while fewer are kept.
    bool ReadNewest(int axis, int quantity, int count, float *out, Info &info) const;
    // Copies `count` values of one signal from row `first` (counted as
    // Info::written counts) into `out` when all of them are still kept, and
    // says whose they are; returns false (copying nothing) otherwise.
    bool ReadRows(int axis, int quantity, uint64_t first, int count, float *out, Info &info) const;

private:
    void Open();  // with mutex_ held
    void UpdateActive();

    std::atomic<bool> active_{false};
    bool started_ = false;              // guarded by mutex_
    int holders_ = 0;                   // guarded by mutex_
    mutable std::mutex mutex_;
    std::unique_ptr<float[]> rings_;    // 9 x kCapacity, guarded by mutex_
    std::unique_ptr<float[]> scratch_;  // 9 x kScratchRows, writer's only
    int head_ = 0;                      // next row written
    Info info_;
};

}  // namespace tav
