#pragma once
// For the viewer's tests: fills a folder's history.sqlite through the
// station's own writer with a simulated clock, with sensors whose values are
// a known function of time, so that a test can tell which entries it was
// shown.
//
// Also a gate that holds the viewer's reader thread at the start of every
// read, so that a test can look at a window while a query is under way.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/history/HistoryQueryThread.h"
#include "core/history/HistoryWriter.h"

namespace tav::test {

class DiscardSink : public EventSink {
public:
    void Post(const StationEvent &) override {}
};

// Series `s` of sensor `address` at `utcMs`: a slow rise over days (a bearing
// wearing), a daily swing, and an offset per series and sensor.
inline float FillValue(int32_t address, int s, int64_t utcMs)
{
    const double days = double(utcMs % (400LL * 86'400'000)) / 86'400'000.0;
    const double base = 0.5 + 0.05 * s + 0.01 * address;
    const double value = base + 0.02 * days + 0.3 * std::sin(2 * M_PI * days) + 0.05 * std::sin(utcMs / 7000.0);
    return float(s == kSpeedSeries ? 1480.0 + 20.0 * value : value);
}

struct FillStretch {
    int64_t fromUtcMs = 0;
    int64_t toUtcMs = 0;
    int64_t stepMs = 500;
};

// One snapshot per step of every stretch, for every address. False when
// the writer could not start.
inline bool FillHistory(const std::string &dataFolder, const std::vector<int32_t> &addresses,
                        const std::vector<FillStretch> &stretches)
{
    ::mkdir(dataFolder.c_str(), 0777);
    DiscardSink sink;
    HistoryWriterOptions options;
    options.dataFolder = dataFolder;
    options.waitWhenFull = true;
    options.queueCapacity = 4096;  // big batches: years go in as few transactions
    HistoryWriter writer(options, sink);
    if (!writer.Start()) return false;
    auto snapshot = std::make_unique<SteadySnapshot>();
    for (const FillStretch &stretch : stretches) {
        for (int64_t t = stretch.fromUtcMs; t < stretch.toUtcMs; t += stretch.stepMs) {
            snapshot->utcMs = t;
            snapshot->count = int(addresses.size());
            for (size_t i = 0; i < addresses.size(); ++i) {
                SteadySensorValues &v = snapshot->sensors[i];
                v.address = addresses[i];
                v.slot = int(i);
                v.generation = 1;
                for (int s = 0; s < kSteadySeriesCount; ++s) v.values[s] = FillValue(addresses[i], s, t);
            }
            writer.OnSteadySnapshot(*snapshot);
        }
    }
    writer.Flush();
    writer.Stop();
    return true;
}

// Installed, it holds every read of every HistoryQueryThread until Open().
class ReadGate {
public:
    ReadGate()
    {
        HistoryQueryThread::SetBeforeReadHook([this] {
            std::unique_lock<std::mutex> lock(mutex_);
            ++held_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return open_; });
        });
    }
    // Opens first: a thread still held must not wait on a gate that is gone.
    ~ReadGate()
    {
        Open();
        HistoryQueryThread::SetBeforeReadHook(nullptr);
    }
    int Held()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }
    // Waits (generously) until a read is held.
    bool WaitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return held_ > 0; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int held_ = 0;
};

}  // namespace tav::test
