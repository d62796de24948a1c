#pragma once
// Time to alarm: every sensor's trend over the durable history's hour means
// of the last days, refit every kTrendRefreshS on a thread of its own, and
// the forecast crossing of its alert and danger limits. The windows, the
// tick and the broker take the latest results without waiting on disk.
//
// The series watched form a list (TrendSeries), so that more of them
// (bands) join without a change here. The severity velocity of each axis
// is read from the history's velocity RMS of that axis, the series it
// stores; its limits are the ones the alarm engine applies.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/alarm/Zones.h"
#include "core/health/TrendFit.h"
#include "core/model/MachineSettings.h"
#include "core/model/SteadySnapshot.h"

namespace tav {

constexpr double kTrendDays = 7.0;        // history the fit looks back over
constexpr int kTrendRefreshS = 600;       // a sensor's fit is renewed this often

// One series of a sensor that is watched: where the history keeps it and
// which limits apply to it (an AlarmQuantity on an axis).
struct TrendSeries {
    int historySeries = 0;  // index into HistorySeries' columns
    int quantity = kQuantityVelocity;
    int axis = 0;
};

// Hours whose mean is below this share of the series' median are hours the
// machine stood still (or mostly did): they are left out of the fit.
constexpr double kTrendStoppedShare = 0.3;
void LeaveOutStops(std::vector<double> *values);

// The severity velocity of the three axes.
std::vector<TrendSeries> DefaultTrendSeries();

struct TrendResult {
    TrendFit fit;
    TrendCrossing alert, danger;
    int64_t computedUtcMs = 0;
};

// "预计 N 天后达到预警" (or 危险; the alert's when it is shown, else the
// danger's); "" when neither is shown. N is rounded; "预计 1 天内达到…"
// below half a day.
std::string TimeToAlarmText(const TrendResult &r);

class TrendForecaster {
public:
    explicit TrendForecaster(std::string databasePath, std::vector<TrendSeries> series = DefaultTrendSeries());
    ~TrendForecaster();
    TrendForecaster(const TrendForecaster &) = delete;
    TrendForecaster &operator=(const TrendForecaster &) = delete;

    // The machines whose sensors are watched, with their limits (window
    // thread, at start and whenever the settings change).
    void SetMachines(const std::map<int32_t, MachineSettings> &machines);
    // The thread: a pass over every machine at once, then every
    // kTrendRefreshS. Stop joins it.
    void Start();
    void Stop();
    // One pass now on the caller's thread, as of `nowUtcMs` (tests, tools).
    void RunPass(int64_t nowUtcMs);

    // The latest result of series `index` of the list for a sensor; false
    // without one. Any thread; never waits on disk.
    bool Latest(int32_t address, int index, TrendResult *out) const;
    // The snapshot entry's days to alert and danger per axis from the
    // severity series (window thread, each tick; no allocation).
    void Fill(SteadySensorValues *v) const;
    const std::vector<TrendSeries> &Series() const { return series_; }

private:
    void Run();

    const std::string databasePath_;
    const std::vector<TrendSeries> series_;
    mutable std::mutex machinesMutex_;  // guards machines_
    std::map<int32_t, MachineSettings> machines_;
    mutable std::mutex resultsMutex_;   // guards results_
    std::map<int32_t, std::vector<TrendResult>> results_;  // per address, one per series
    std::mutex stopMutex_;              // guards stop_ for the thread's wait
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tav
