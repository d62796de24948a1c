#pragma once
// What the overview window shows of every machine the station knows: one
// tile per sensor address (connected now, in the device table or with a
// [sensor.N] table), its state from the last steady tick and the alarm
// engine, ordered worst first so that the machine needing attention is the
// first the operator sees. A sensor that stops sending keeps its last
// values, marked offline, so the window shows them greyed.
//
// Window thread only, like the alarm engine it reads. A refresh reuses the
// tiles it has: with the same machines known it does not allocate.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/alarm/AlarmEngine.h"
#include "core/alarm/SensorMarks.h"
#include "core/model/SteadySnapshot.h"
#include "core/settings/MachineForm.h"

namespace tav {

struct OverviewTile {
    int32_t address = 0;
    std::string name;       // from station.toml, may be empty
    unsigned sources = 0;   // KnownSource bits
    int slot = -1;          // its connection while it has one, else -1
    uint32_t peerIp = 0;    // of the last connection, host order
    bool online = false;    // in the last tick and still sending
    bool seen = false;      // has sent values since the station started
    // Severity velocity per axis (mm/s) and its zone; the last ones while
    // offline. NaN / kNone when not measured or without a class.
    float severity[3] = {NAN, NAN, NAN};
    float displacement[3] = {NAN, NAN, NAN};  // a slow machine's, µm; NaN for a fast one
    Zone zone[3] = {Zone::kNone, Zone::kNone, Zone::kNone};
    // Of the severity velocity per axis: explicit, else from the class and
    // the axis's baseline, else the class's.
    Limits limits[3];
    // Per axis baseline of the severity velocity (mm/s); NaN without one.
    float baseline[3] = {NAN, NAN, NAN};
    float speed = NAN;  // rpm
    bool speedFromRecord = false;
    float temperature = NAN;
    int activeAlarms = 0;
    int worstSeverity = 0;  // AlarmSeverity value of the worst active alarm, 0 none
    // Days until the severity's trend reaches the alert (or danger) limit;
    // NaN when there is no forecast.
    float daysToAlarm = NAN;
    bool forecastDanger = false;  // the forecast is of the danger limit
    Mark mark = Mark::kNone;      // the tile's colour: kOffline while offline
    // Internal: when the packet count last moved.
    uint64_t packets = 0;
    int64_t lastMoveMs = -1;
    uint32_t generation = 0;
};

// Order of concern, highest first: zone D or a danger alarm, then a sensor
// that stopped sending, a sensor fault, then C (or an alert), B, A, a sensor without a
// class, and last a sensor that has sent nothing since the start.
int OverviewRank(const OverviewTile &t);
// The axis nearest its alert limit (its limits are the ones a tile shows); 0
// when none has a value and a limit.
int WorstLimitAxis(const OverviewTile &t);
// True when `a` goes before `b`: higher rank, then the higher share of its
// alert limit on its worst axis, then the lower address.
bool OverviewBefore(const OverviewTile &a, const OverviewTile &b);

class OverviewModel {
public:
    // Takes the known sensors (KnownSensors: connected, device table,
    // settings), the last tick and the alarms, and orders the tiles.
    void Refresh(const std::vector<KnownSensor> &known, const SteadySnapshot &snapshot, const AlarmEngine &alarms);
    const std::vector<OverviewTile> &Tiles() const { return tiles_; }
    // The tile of an address, or null.
    const OverviewTile *Find(int32_t address) const;

private:
    OverviewTile &TileOf(int32_t address);
    std::vector<OverviewTile> tiles_;
};

}  // namespace tav
