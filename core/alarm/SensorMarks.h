#pragma once
// What the windows show of a sensor's machine beside its values: the
// machine's name and the colour that says how it is doing (severity zone of
// its band velocity, or an active alarm), so that a glance at the live view
// or the steady-state list finds the machine that needs attention.
//
// Window thread only, like the alarm engine it reads. Nothing here allocates.
#include <cstdint>
#include <string>

#include "core/alarm/AlarmEngine.h"

namespace tav {

// In rising order of concern, except offline, which is its own colour: a
// sensor that sends nothing has no values to judge. An alert alarm shows as
// zone C, a danger alarm as zone D.
// A sensor fault replaces a zone A or B (or none) with its own mark: a
// green that the sensor cannot vouch for would mislead.
enum class Mark { kNone = 0, kZoneA, kZoneB, kZoneC, kZoneD, kOffline, kSensorFault };

// The mark of a zone together with the worst active alarm severity (an
// AlarmSeverity value, 0 = none): danger over offline over alert, and an
// alarm over a milder zone.
Mark MarkOf(Zone zone, int activeSeverity);

// Background colour of a mark as 0xRRGGBB; kNone has none (returns -1).
// Green A, yellow-green B, orange C, red D, grey offline, violet sensor fault.
int32_t MarkColour(Mark mark);

// The zone letter as the live view shows it: "A" .. "D", "—" without a class
// or a value.
const char *ZoneText(Zone zone);

class SensorMarks {
public:
    explicit SensorMarks(const AlarmEngine &engine) : engine_(engine) {}

    // The machine's name from station.toml; empty when it has none.
    const std::string &Name(int32_t address) const;
    // Its class (kNone without settings).
    IsoClass Class(int32_t address) const;
    // A whole sensor, as a row of the steady-state list: its zone on the
    // worst axis at the last tick and every active alarm it has.
    Mark SensorMark(int32_t address) const;
    // One axis: the zone of `isoVelocity` (mm/s) for the machine's class,
    // and the active alarms of that axis or of the whole sensor
    // (temperature, speed, offline). *zone receives the zone.
    Mark AxisMark(int32_t address, int axis, double isoVelocity, Zone *zone) const;
    // The same for a slow machine's axis, from the engine's last judgement
    // of velocity and displacement; false for a fast machine.
    bool SlowAxisMark(int32_t address, int axis, AlarmEngine::AxisJudgement *judged, Mark *mark) const;

private:
    const AlarmEngine &engine_;
};

}  // namespace tav
