#pragma once
// The thread that fills the waterfall: four times a second it looks at the
// live capture of the shown sensor and turns every whole second of the
// chosen signal that arrived since into one spectrum (Hann window, lines up
// to the chosen maximum frequency), appended to the store. Second k is rows
// k x trunc(fs) .. of the capture, so rows neither overlap nor skip while
// the worker keeps up, which it does with the capture's four seconds to
// spare. Velocity and displacement rows are integrated from the
// acceleration's spectrum (analysis/FrequencyIntegration.h). The window sets
// what it wants and reads the store on its timer.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/analysis/FrequencyIntegration.h"
#include "core/analysis/FrequencyLines.h"
#include "core/analysis/WaterfallStore.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/LivePlots.h"

namespace tav::analysis {

struct WaterfallRequest {
    int axis = 0;          // 0 X, 1 Y, 2 Z
    int quantity = 0;      // 0 acceleration g, 1 velocity mm/s, 2 displacement mm
    int minutes = 5;       // span, WaterfallStore::kMinMinutes .. kMaxMinutes
    double maxHz = 1000;   // lines up to here (and below the Nyquist frequency)
    // No new rows and no changes of the rows while set: the picture stays
    // for study. Another signal or span asked for meanwhile waits for it
    // to be cleared.
    bool frozen = false;
    bool operator==(const WaterfallRequest &) const = default;
};

// Seconds since 1970, now.
double SystemSeconds();

class WaterfallWorker {
public:
    static constexpr std::chrono::milliseconds kPeriod{250};

    // Both must outlive the worker; `clock` gives seconds since 1970 (the
    // rows' times) and is called on the worker's thread.
    WaterfallWorker(ConnectionTable &table, LivePlots &plots, std::function<double()> clock = SystemSeconds);
    ~WaterfallWorker();  // stops and joins
    WaterfallWorker(const WaterfallWorker &) = delete;
    WaterfallWorker &operator=(const WaterfallWorker &) = delete;

    // Owner's thread. Start holds the live capture (from its thread) and
    // runs; Stop joins and lets go of it. The rows stay for the next start.
    void Start();
    void Stop();
    bool Running() const { return thread_.joinable(); }

    // Any thread.
    void SetRequest(const WaterfallRequest &request);
    WaterfallRequest CurrentRequest() const;
    const WaterfallStore &Store() const { return store_; }

    // One pass, as the thread makes it every kPeriod. Tests call it while
    // the thread is not running.
    void Step();

private:
    void Run();
    bool Configure(const WaterfallRequest &req, int slot, const LiveCapture::Info &kept);

    ConnectionTable &table_;
    LivePlots &plots_;
    std::function<double()> clock_;

    mutable std::mutex requestMutex_;  // guards request_
    WaterfallRequest request_;

    WaterfallStore store_;

    // Worker's own.
    SpectrumAnalyser analyser_;
    SpectrumIntegrator integrator_;
    std::vector<float> data_;
    std::vector<float> row_;  // one row in the quantity's unit
    WaterfallRequest applied_;
    WaterfallSignal signal_;
    uint64_t epoch_ = 0;       // capture epoch the position below counts in
    uint64_t nextSecond_ = 0;  // the next second of that epoch to turn into a row
    bool positioned_ = false;

    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

}  // namespace tav::analysis
