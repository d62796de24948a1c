#include "core/model/MachineSettings.h"

namespace tav {

namespace {
const char *const kClassKeys[kIsoClassCount] = {"none", "group1-rigid", "group1-flexible", "group2-rigid",
                                                "group2-flexible"};
const char *const kQuantityKeys[kAlarmQuantityCount] = {
    "velocity",     "acceleration_rms", "acceleration_peak", "crest_factor",
    "kurtosis",     "displacement_peak", "temperature",      "speed_deviation",
};
}  // namespace

const char *IsoClassKey(IsoClass c)
{
    const int i = int(c);
    return i >= 0 && i < kIsoClassCount ? kClassKeys[i] : "none";
}

bool ParseIsoClass(const std::string &text, IsoClass *out)
{
    for (int i = 0; i < kIsoClassCount; ++i)
        if (text == kClassKeys[i]) {
            *out = IsoClass(i);
            return true;
        }
    return false;
}

const char *AlarmQuantityKey(int quantity)
{
    return quantity >= 0 && quantity < kAlarmQuantityCount ? kQuantityKeys[quantity] : "";
}

bool PerAxis(int quantity) { return quantity != kQuantityTemperature && quantity != kQuantitySpeedDeviation; }

}  // namespace tav
