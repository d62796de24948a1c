#include "core/alarm/AlarmWatch.h"

#include <algorithm>

namespace tav {

namespace {
int Rank(AlarmSeverity s) { return s == AlarmSeverity::kDanger ? 3 : s == AlarmSeverity::kOffline ? 2 : 1; }

bool Urgent(const Alarm &a)
{
    return a.severity == AlarmSeverity::kDanger || a.severity == AlarmSeverity::kOffline;
}
}  // namespace

IndicatorState IndicatorOf(const std::vector<Alarm> &alarms)
{
    IndicatorState s;
    int worstRank = 0;
    for (const Alarm &a : alarms) {
        s.active += a.active ? 1 : 0;
        s.unacknowledged += a.acknowledged ? 0 : 1;
        if (Rank(a.severity) > worstRank) {
            worstRank = Rank(a.severity);
            s.worst = int(a.severity);
        }
        if (!a.acknowledged && Urgent(a))
            s.urgent = true;
    }
    return s;
}

std::vector<Alarm> NewAlarmWatch::Take(const std::vector<Alarm> &alarms)
{
    std::vector<Alarm> fresh;
    std::map<uint64_t, std::pair<AlarmSeverity, int64_t>> kept;
    for (const Alarm &a : alarms) {
        auto it = announced_.find(a.id);
        if (a.active && !a.acknowledged && Urgent(a)) {
            const std::pair<AlarmSeverity, int64_t> key{a.severity, a.raisedMs};
            if (it == announced_.end() || it->second != key)
                fresh.push_back(a);
            kept[a.id] = key;
        } else if (it != announced_.end() && a.active) {
            // Acknowledged while still active: its raise was seen; a later
            // raise of the same alarm has a new time and is announced.
            kept[a.id] = it->second;
        }
    }
    // Alarms that left the list are forgotten, so the map stays as small as it.
    announced_ = std::move(kept);
    std::sort(fresh.begin(), fresh.end(), [](const Alarm &x, const Alarm &y) { return x.raisedMs < y.raisedMs; });
    return fresh;
}

}  // namespace tav
