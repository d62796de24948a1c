#include "core/health/BaselineEstimate.h"

#include <algorithm>
#include <vector>

#include "core/alarm/Zones.h"

namespace tav {

BaselineEstimate EstimateBaseline(const HistorySeries &minutes, double ratedRpm)
{
    BaselineEstimate out;
    std::vector<float> values[3];
    for (size_t i = 0; i < minutes.Size(); ++i) {
        double loudest = NAN;
        for (int axis = 0; axis < 3; ++axis) {
            const float v = minutes.mean[size_t(axis * kSteadyParameterCount + kSteadyVR)][i];
            if (std::isfinite(v) && !(v <= loudest))
                loudest = v;
        }
        if (!std::isfinite(loudest))
            continue;  // a minute without values is neither running nor stopped
        if (!MachineRunning(minutes.mean[kSpeedSeries][i], ratedRpm, loudest)) {
            ++out.stoppedMinutes;
            continue;
        }
        ++out.runningMinutes;
        for (int axis = 0; axis < 3; ++axis) {
            const float v = minutes.mean[size_t(axis * kSteadyParameterCount + kSteadyVR)][i];
            if (std::isfinite(v))
                values[axis].push_back(v);
        }
    }
    if (out.runningMinutes < kMinBaselineMinutes) {
        out.message = "所选时段内机器运行的分钟数为 " + std::to_string(out.runningMinutes) + "（停机 " +
                      std::to_string(out.stoppedMinutes) + " 分钟未计），少于 " +
                      std::to_string(kMinBaselineMinutes) + " 分钟，不足以设定基线，未作改动";
        return out;
    }
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<float> &v = values[axis];
        if (int(v.size()) < kMinBaselineMinutes)
            continue;  // an axis that seldom had values keeps no baseline
        const size_t mid = v.size() / 2;
        std::nth_element(v.begin(), v.begin() + long(mid), v.end());
        double median = v[mid];
        if (v.size() % 2 == 0)
            median = (median + *std::max_element(v.begin(), v.begin() + long(mid))) / 2.0;
        out.velocity[axis] = median > 0 ? median : NAN;
    }
    out.ok = true;
    return out;
}

}  // namespace tav
