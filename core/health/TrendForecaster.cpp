#include "core/health/TrendForecaster.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "core/base/ThreadName.h"
#include "core/history/HistoryReader.h"

namespace tav {

std::vector<TrendSeries> DefaultTrendSeries()
{
    std::vector<TrendSeries> list;
    for (int axis = 0; axis < 3; ++axis)
        list.push_back({axis * kSteadyParameterCount + kSteadyVR, kQuantityVelocity, axis});
    return list;
}

void LeaveOutStops(std::vector<double> *values)
{
    std::vector<double> finite;
    for (double x : *values)
        if (std::isfinite(x))
            finite.push_back(x);
    if (finite.empty())
        return;
    const auto mid = finite.begin() + long(finite.size() / 2);
    std::nth_element(finite.begin(), mid, finite.end());
    const double floor = kTrendStoppedShare * *mid;
    for (double &x : *values)
        if (x < floor)
            x = NAN;
}

std::string TimeToAlarmText(const TrendResult &r)
{
    const TrendCrossing *c = r.alert.shown ? &r.alert : r.danger.shown ? &r.danger : nullptr;
    if (!c)
        return {};
    const long days = std::lround(c->days);
    const char *level = c == &r.alert ? "预警" : "危险";
    if (days < 1)
        return std::string("预计 1 天内达到") + level;
    return "预计 " + std::to_string(days) + " 天后达到" + level;
}

TrendForecaster::TrendForecaster(std::string databasePath, std::vector<TrendSeries> series)
    : databasePath_(std::move(databasePath)), series_(std::move(series))
{
}

TrendForecaster::~TrendForecaster() { Stop(); }

void TrendForecaster::SetMachines(const std::map<int32_t, MachineSettings> &machines)
{
    {
        std::lock_guard lock(machinesMutex_);
        machines_ = machines;
    }
    // A sensor no longer watched has no forecast to show.
    std::lock_guard lock(resultsMutex_);
    for (auto it = results_.begin(); it != results_.end();)
        it = machines.count(it->first) ? std::next(it) : results_.erase(it);
}

void TrendForecaster::Start()
{
    if (thread_.joinable())
        return;
    stop_ = false;
    thread_ = std::thread([this] {
        NameThisThread("tav forecast");
        Run();
    });
}

void TrendForecaster::Stop()
{
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TrendForecaster::Run()
{
    std::unique_lock lock(stopMutex_);
    while (!stop_) {
        lock.unlock();
        const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        RunPass(now);
        lock.lock();
        wake_.wait_for(lock, std::chrono::seconds(kTrendRefreshS), [this] { return stop_; });
    }
}

void TrendForecaster::RunPass(int64_t nowUtcMs)
{
    std::map<int32_t, MachineSettings> machines;
    {
        std::lock_guard lock(machinesMutex_);
        machines = machines_;
    }
    HistoryReader reader;
    std::string error;
    if (machines.empty() || !reader.Open(databasePath_, &error))
        return;
    const int64_t from = nowUtcMs - int64_t(kTrendDays * 86400000.0);
    std::vector<double> days, values;
    for (const auto &[address, machine] : machines) {
        HistorySeries hours;
        if (!reader.Read(address, from, nowUtcMs + 1, HistoryResolution::kHour, &hours))
            continue;
        std::vector<TrendResult> out(series_.size());
        days.resize(hours.Size());
        for (size_t i = 0; i < hours.Size(); ++i)
            days[i] = double(hours.utcMs[i] - nowUtcMs) / 86400000.0;
        for (size_t k = 0; k < series_.size(); ++k) {
            const TrendSeries &series = series_[k];
            if (series.historySeries < 0 || series.historySeries >= kSteadySeriesCount)
                continue;
            const std::vector<float> &mean = hours.mean[size_t(series.historySeries)];
            values.assign(mean.begin(), mean.end());
            LeaveOutStops(&values);
            TrendResult &r = out[k];
            r.fit = FitTrend(days.data(), values.data(), int(values.size()));
            const Limits limits = EffectiveLimits(machine, series.quantity, series.axis);
            r.alert = CrossingOf(r.fit, limits.alert);
            r.danger = CrossingOf(r.fit, limits.danger);
            r.computedUtcMs = nowUtcMs;
        }
        std::lock_guard lock(resultsMutex_);
        // Settings may have dropped the sensor meanwhile.
        std::lock_guard machinesLock(machinesMutex_);
        if (machines_.count(address))
            results_[address] = std::move(out);
    }
}

bool TrendForecaster::Latest(int32_t address, int index, TrendResult *out) const
{
    std::lock_guard lock(resultsMutex_);
    const auto it = results_.find(address);
    if (it == results_.end() || index < 0 || size_t(index) >= it->second.size())
        return false;
    *out = it->second[size_t(index)];
    return true;
}

void TrendForecaster::Fill(SteadySensorValues *v) const
{
    for (int axis = 0; axis < 3; ++axis)
        v->daysToAlert[axis] = v->daysToDanger[axis] = NAN;
    std::lock_guard lock(resultsMutex_);
    const auto it = results_.find(v->address);
    if (it == results_.end())
        return;
    for (size_t k = 0; k < series_.size() && k < it->second.size(); ++k) {
        const TrendSeries &series = series_[k];
        if (series.quantity != kQuantityVelocity || series.axis < 0 || series.axis > 2)
            continue;
        const TrendResult &r = it->second[k];
        if (r.alert.shown)
            v->daysToAlert[series.axis] = float(r.alert.days);
        if (r.danger.shown)
            v->daysToDanger[series.axis] = float(r.danger.days);
    }
}

}  // namespace tav
