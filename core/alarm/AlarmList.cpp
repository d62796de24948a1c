// The alarm list as the windows, the indicator and the broker ask for it, and
// the operator's acknowledgement of its entries.
#include "core/alarm/AlarmEngine.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace tav {

int AlarmEngine::Acknowledge(const std::vector<uint64_t> &ids, const std::string &comment, int64_t utcMs,
                             const std::string &user)
{
    int changed = 0;
    std::vector<uint64_t> gone;
    for (Alarm &a : alarms_) {
        if (a.acknowledged || (!ids.empty() && std::find(ids.begin(), ids.end(), a.id) == ids.end()))
            continue;
        a.acknowledged = true;
        a.acknowledgedMs = utcMs;
        a.comment = comment;
        a.acknowledgedBy = user;
        ++changed;
        AlarmEvent e = AlarmEventOf(a, AlarmEventKind::kAcknowledge, utcMs);
        e.comment = comment;
        e.user = user;
        Broadcast(e);  // an operator's act is never held back
        if (!a.active)
            gone.push_back(a.id);
    }
    for (uint64_t id : gone) {
        Forget(id);
        for (auto &[address, s] : sensors_) {
            if (s.offlineAlarmId == id)
                s.offlineAlarmId = 0;
            for (Condition &c : s.faults)
                if (c.alarmId == id)
                    c.alarmId = 0;
            for (auto &perAxis : s.conditions)
                for (Condition &c : perAxis)
                    if (c.alarmId == id)
                        c.alarmId = 0;
        }
    }
    return changed;
}

std::string DesktopUserName()
{
    // The account the process runs as, not $USER, which anyone can set;
    // the environment only where the system has no entry for the uid.
    std::string name;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size_t(size > 0 ? size : 16384), '\0');
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
        name = found->pw_name;
    if (name.empty())
        if (const char *user = std::getenv("USER"))
            name = user;
    return name;
}

void AlarmEngine::ForgetCapture(const std::string &path)
{
    for (Alarm &a : alarms_)
        if (!path.empty() && a.capture == path) {
            a.capture.clear();
            a.captureLost = true;
        }
}

std::vector<Alarm> AlarmEngine::Alarms() const
{
    std::vector<Alarm> list(alarms_.rbegin(), alarms_.rend());  // later ids first on equal times
    std::stable_sort(list.begin(), list.end(),
                     [](const Alarm &a, const Alarm &b) { return a.raisedMs > b.raisedMs; });
    return list;
}

int AlarmEngine::ActiveCount() const
{
    return int(std::count_if(alarms_.begin(), alarms_.end(), [](const Alarm &a) { return a.active; }));
}

int AlarmEngine::ActiveCountOf(int32_t address) const
{
    return int(std::count_if(alarms_.begin(), alarms_.end(),
                             [address](const Alarm &a) { return a.active && a.address == address; }));
}

int AlarmEngine::UnacknowledgedCount() const
{
    return int(std::count_if(alarms_.begin(), alarms_.end(), [](const Alarm &a) { return !a.acknowledged; }));
}

namespace {
// Danger first, then a sensor out of sight, then alert, then a sensor that
// measures wrongly (an alert on its values still shows over it), then a
// change from the baseline.
int SeverityRank(AlarmSeverity s)
{
    switch (s) {
    case AlarmSeverity::kDanger: return 5;
    case AlarmSeverity::kOffline: return 4;
    case AlarmSeverity::kAlert: return 3;
    case AlarmSeverity::kSensorFault: return 2;
    case AlarmSeverity::kChange: return 1;
    }
    return 0;
}
}  // namespace

int AlarmEngine::WorstActiveSeverity(int32_t address, int axis) const
{
    int worst = 0, worstRank = 0;
    for (const Alarm &a : alarms_) {
        if (!a.active || a.address != address || (axis != kNoAxis && a.axis != kNoAxis && a.axis != axis))
            continue;
        if (SeverityRank(a.severity) > worstRank) {
            worstRank = SeverityRank(a.severity);
            worst = int(a.severity);
        }
    }
    return worst;
}

int AlarmEngine::WorstSeverity() const
{
    auto rank = SeverityRank;
    int worst = 0, worstRank = 0;
    for (const Alarm &a : alarms_)
        if (rank(a.severity) > worstRank) {
            worstRank = rank(a.severity);
            worst = int(a.severity);
        }
    return worst;
}

}  // namespace tav
