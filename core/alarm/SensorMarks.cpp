#include "core/alarm/SensorMarks.h"

namespace tav {

namespace {
const std::string kNoName;
}

Mark MarkOf(Zone zone, int activeSeverity)
{
    if (activeSeverity == int(AlarmSeverity::kDanger))
        return Mark::kZoneD;
    if (activeSeverity == int(AlarmSeverity::kOffline))
        return Mark::kOffline;
    Mark m = Mark::kNone;
    switch (zone) {
    case Zone::kA: m = Mark::kZoneA; break;
    case Zone::kB: m = Mark::kZoneB; break;
    case Zone::kC: m = Mark::kZoneC; break;
    case Zone::kD: m = Mark::kZoneD; break;
    case Zone::kNone: break;
    }
    // An alert on a quantity other than the band velocity still says "look
    // here", whatever zone the velocity is in; it never softens zone D.
    if (activeSeverity == int(AlarmSeverity::kAlert) && int(m) < int(Mark::kZoneC))
        m = Mark::kZoneC;
    if (activeSeverity == int(AlarmSeverity::kSensorFault) && int(m) < int(Mark::kZoneC))
        m = Mark::kSensorFault;
    return m;
}

int32_t MarkColour(Mark mark)
{
    switch (mark) {
    case Mark::kZoneA: return 0x50c050;
    case Mark::kZoneB: return 0xc0e040;
    case Mark::kZoneC: return 0xffa030;
    case Mark::kZoneD: return 0xff5050;
    case Mark::kOffline: return 0xa0a0a0;
    case Mark::kSensorFault: return 0xc890f0;
    case Mark::kNone: break;
    }
    return -1;
}

const char *ZoneText(Zone zone) { return zone == Zone::kNone ? "—" : ZoneName(zone); }

const std::string &SensorMarks::Name(int32_t address) const
{
    const MachineSettings *m = engine_.Machine(address);
    return m ? m->name : kNoName;
}

IsoClass SensorMarks::Class(int32_t address) const
{
    const MachineSettings *m = engine_.Machine(address);
    return m ? m->isoClass : IsoClass::kNone;
}

Mark SensorMarks::SensorMark(int32_t address) const
{
    return MarkOf(engine_.ZoneOfSensor(address), engine_.WorstActiveSeverity(address, kNoAxis));
}

bool SensorMarks::SlowAxisMark(int32_t address, int axis, AlarmEngine::AxisJudgement *judged, Mark *mark) const
{
    if (!engine_.SlowAxis(address, axis, judged))
        return false;
    *mark = MarkOf(judged->zone.zone, engine_.WorstActiveSeverity(address, axis));
    return true;
}

Mark SensorMarks::AxisMark(int32_t address, int axis, double isoVelocity, Zone *zone) const
{
    const Zone z = ZoneOf(Class(address), isoVelocity);
    if (zone)
        *zone = z;
    return MarkOf(z, engine_.WorstActiveSeverity(address, axis));
}

}  // namespace tav
