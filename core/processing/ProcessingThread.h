#pragma once
// The thread that estimates every connection's speed and computes the live
// spectra of the selected one.
//
// One pass visits the 40 slots, each owing a 10 ms pause (so a pass takes at
// least 400 ms and the thread stays nearly idle), estimating the speed of
// each in-use slot whose capture is complete; after the pass, once the window
// has counted the live blocks that the shown sensor's rate asks for
// (SpectrumCadenceFor), it recomputes the live spectra.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/dsp/Fft.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/LiveAmplitudes.h"
#include "core/processing/LivePlots.h"

namespace tav {

class ProcessingThread {
public:
    static constexpr std::chrono::milliseconds kSlotPause{10};

    // Both tables must outlive this object.
    ProcessingThread(ConnectionTable &table, LivePlots &plots);
    ~ProcessingThread();  // stops and joins
    ProcessingThread(const ProcessingThread &) = delete;
    ProcessingThread &operator=(const ProcessingThread &) = delete;

    // Starts the thread; does nothing if it already runs. Owner's thread.
    void Start();
    // Wakes the thread from its pause and joins it; returns within one slot's
    // work. Owner's thread; safe to call twice or without Start.
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // One pass. With `paced` it pauses after each slot and returns false as
    // soon as Stop is asked for. Tests call it unpaced on their own thread
    // while the thread is not running (one thread at a time plans).
    bool RunPass(bool paced);

    // The pass's two pieces of work, on this object's plans: the thread's
    // own, or a test's while the thread is not running.
    void EstimateSpeed(ConnectionRecord &connection);
    void ComputeLiveSpectra(unsigned sampleRate, unsigned span);

private:
    void Run();
    // Pauses for `slots` slots' pauses; false when a stop was asked for.
    bool Pause(int slots);
    void UpdateLiveSpectra();

    ConnectionTable &table_;
    LivePlots &plots_;
    FftPlanCache plans_;
    LiveSpectra spectra_;

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

}  // namespace tav
