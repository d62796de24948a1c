#include "core/processing/ProcessingThread.h"

#include <cmath>

#include "core/base/ThreadName.h"
#include "core/processing/SpeedEstimator.h"

namespace tav {

ProcessingThread::ProcessingThread(ConnectionTable &table, LivePlots &plots)
    : table_(table), plots_(plots), spectra_(plots, plans_)
{
}

ProcessingThread::~ProcessingThread() { Stop(); }

void ProcessingThread::Start()
{
    if (thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = false;
    }
    thread_ = std::thread([this] {
        NameThisThread("tav processing");
        Run();
    });
}

void ProcessingThread::Stop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = true;
    }
    stopWake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void ProcessingThread::Run()
{
    while (RunPass(true)) {
    }
}

bool ProcessingThread::Pause(int slots)
{
    std::unique_lock<std::mutex> lock(stopMutex_);
    return !stopWake_.wait_for(lock, kSlotPause * slots, [this] { return stopRequested_; });
}

bool ProcessingThread::RunPass(bool paced)
{
    // Every slot owes its pause, so a pass still takes at least 400 ms and
    // an estimate is still followed by one; the pauses of slots with nothing
    // to do are taken together, so the thread wakes for work, not forty
    // times a pass.
    int owed = 0;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        ConnectionRecord &rec = table_[slot];
        // A replay with no sensor connected runs on a free slot 0, and its
        // speed is shown like a live sensor's.
        auto served = [&] {
            return rec.InUse() || (table_.acquisitionState.load() == 2 && table_.selectedConnection.load() == slot);
        };
        bool worked = false;
        if (served() && CaptureComplete(rec.cond)) {
            // Held while the capture is read: a sensor that takes the slot
            // over resets the capture under this lock, so its parser cannot
            // write the array under the transform, nor can the old sensor's
            // speed land on the new connection.
            std::lock_guard lock(rec.conditionMutex);
            if (served() && CaptureComplete(rec.cond)) {
                EstimateSpeed(rec);
                worked = true;
            }
        }
        ++owed;
        if (paced && worked) {
            if (!Pause(owed))
                return false;
            owed = 0;
        }
    }
    if (paced && owed > 0 && !Pause(owed))
        return false;
    UpdateLiveSpectra();
    return true;
}

void ProcessingThread::EstimateSpeed(ConnectionRecord &connection)
{
    tav::EstimateSpeed(connection, plans_);
    connection.speedEstimates.fetch_add(1, std::memory_order_release);
}

void ProcessingThread::ComputeLiveSpectra(unsigned sampleRate, unsigned span)
{
    spectra_.ComputeLiveSpectra(sampleRate, span);
}

void ProcessingThread::UpdateLiveSpectra()
{
    const int ticks = plots_.spectrumTicks.load();
    if (ticks < 1)
        return;
    // With no connection selected there is no sampling frequency to lay the
    // lines out by; the plots keep what they show and the ticks wait for one.
    const int selected = table_.selectedConnection.load();
    if (selected < 0 || selected >= kSlotCount)
        return;
    const float fs = table_[selected].samplingFrequency.load(std::memory_order_relaxed);
    if (!(fs >= 1.0f) || !std::isfinite(fs))
        return;
    // Beyond a few MHz the transform length is at its maximum anyway.
    const unsigned rate = fs >= 1e7f ? 10000000u : static_cast<unsigned>(fs);
    // The window copies the input by the same rule, from the same rate.
    const SpectrumCadence cadence = SpectrumCadenceFor(static_cast<long>(rate));
    if (ticks < cadence.ticks)
        return;
    ComputeLiveSpectra(rate, cadence.span);
    plots_.spectrumTicks.store(0);
}

}  // namespace tav
