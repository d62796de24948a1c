#pragma once
// What the main window makes of the alarm list on each tick: the state of
// its indicator, and which alarms are new enough to be announced to an
// operator who may be looking at another window. Kept apart from the widgets
// so that the rules can be read and checked without a screen.
// Window thread only, like the engine whose list it reads.
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "core/model/AlarmTypes.h"

namespace tav {

struct IndicatorState {
    int active = 0;          // alarms active now
    int unacknowledged = 0;  // listed alarms not yet acknowledged
    // Worst severity of the listed alarms as an AlarmSeverity value, 0 for
    // none: danger before offline before alert, as the engine ranks them.
    int worst = 0;
    // An unacknowledged danger or offline alarm is listed, active or not:
    // the indicator blinks until somebody has seen it.
    bool urgent = false;
};
IndicatorState IndicatorOf(const std::vector<Alarm> &alarms);

// Remembers which danger and offline alarms were announced, so that each
// raise is announced once: a new alarm, an alert that became danger, and an
// alarm that cleared and was raised again all count as new.
class NewAlarmWatch {
public:
    // The active, unacknowledged danger and offline alarms of `alarms` not
    // announced before, oldest first; they count as announced from now on.
    std::vector<Alarm> Take(const std::vector<Alarm> &alarms);

private:
    // Alarm id -> severity and raise time it was announced with.
    std::map<uint64_t, std::pair<AlarmSeverity, int64_t>> announced_;
};

}  // namespace tav
