#pragma once
// Evaluates every bound sensor's values on each steady-state tick against its
// machine's limits: on-delay before an alarm becomes active, each limit's 5 %
// deadband held for the same delay before it clears, danger over alert,
// offline when a sensor with settings stops sending or its connection ends.
// Keeps the list of alarms the operator has still to see and tells listeners
// every change of it as one event (a danger stepping down to alert is the
// alert's raise), but for what a flapping sensor's hold keeps back.
//
// Time is the snapshot's utcMs only, so that tests run on a simulated clock.
// Window thread only: the tick, acknowledgements, the list and the listeners.
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/alarm/Zones.h"
#include "core/model/AlarmTypes.h"
#include "core/model/SteadySnapshot.h"
#include "core/settings/StationSettings.h"

namespace tav {

constexpr double kAlarmDeadband = 0.05;       // of the limit, below it, to clear
constexpr int64_t kOfflineAfterMs = 10000;    // no waveform packet for this long
// A sensor raising more than this many alarms within a minute is flapping:
// the list still follows every change, but listeners hear only a note, the
// raises that go above what they last heard of an alarm, and, once the hold
// ends, the state as it is then. A hold lasts at least kRateHoldMs and ends
// at the first tick after that when the last minute held no more than
// kMaxRaisesPerMinute raises.
constexpr int kMaxRaisesPerMinute = 12;
constexpr int64_t kRateHoldMs = 60000;
constexpr size_t kRecentEventCount = 1000;

// The engine's sources of one sensor: the quantities, the bands, then a slow
// machine's displacement.
constexpr int kDisplacementSource = kAlarmQuantityCount + kMaxBands;
constexpr int kAlarmSourceCount = kDisplacementSource + 1;
// The row of a sensor's conditions after its sources that watches the change
// from the baseline; it stands for its own quantity where one is passed.
constexpr int kChangeRow = kAlarmSourceCount;
constexpr int kConditionRows = kAlarmSourceCount + 1;
constexpr int SourceOf(int quantity)
{
    return quantity == kIsoDisplacementQuantity ? kDisplacementSource
           : IsBandQuantity(quantity)           ? kAlarmQuantityCount + quantity - kBandQuantity
                                                : quantity;
}
constexpr int QuantityOfSource(int source)
{
    return source == kDisplacementSource                           ? kIsoDisplacementQuantity
           : source < kAlarmQuantityCount || source == kChangeRow ? source
                                                                  : kBandQuantity + source - kAlarmQuantityCount;
}

class AlarmEngine : public SteadySnapshotConsumer {
public:
    AlarmEngine() = default;

    // New machine settings (start, or the file changed). The alarms of a
    // sensor that lost its settings end with a "设置变更" event at the last
    // tick's time (they stay listed until acknowledged) and it is no longer
    // evaluated; when its settings come back it is judged again, and a new
    // excursion takes up its entry still listed. So does an alarm whose
    // limit an edit took away or moved above its value: a typo in a key is
    // no recovery. What ended so is told in *told, for the operator.
    void SetSettings(const std::map<int32_t, MachineSettings> &machines, std::vector<std::string> *told = nullptr);
    void SetCaptureRequester(CaptureRequester *requester) { capture_ = requester; }
    void AddListener(AlarmListener *listener);
    void RemoveListener(AlarmListener *listener);

    void OnSteadySnapshot(const SteadySnapshot &snapshot) override;

    // Acknowledges alarms by id (all of them when `ids` is empty) at `utcMs`
    // with an optional comment, in the name of `user` (kept with the alarm
    // and told in its event). Returns how many changed.
    int Acknowledge(const std::vector<uint64_t> &ids, const std::string &comment, int64_t utcMs,
                    const std::string &user = {});

    // A capture asked for could not be kept: no alarm names it any more, so
    // none of its later events does either.
    void ForgetCapture(const std::string &path);

    // Alarms not both cleared and acknowledged, newest first.
    std::vector<Alarm> Alarms() const;
    int ActiveCount() const;
    int UnacknowledgedCount() const;
    // The worst severity of the listed alarms as an AlarmSeverity value
    // (danger before offline before alert before change), 0 when there are none.
    int WorstSeverity() const;
    // The same over the active alarms of one sensor: with `axis` kNoAxis all
    // of them, else those of that axis and those of no axis (temperature,
    // speed, offline). Does not allocate: the windows ask on every refresh.
    int WorstActiveSeverity(int32_t address, int axis) const;
    // How many of the sensor's alarms are active; does not allocate.
    int ActiveCountOf(int32_t address) const;
    const std::deque<AlarmEvent> &RecentEvents() const { return recent_; }
    // Zone of the sensor's severity velocity on its worst axis at the last
    // tick (for a slow machine the worse of velocity and displacement);
    // kNone without a class or values.
    Zone ZoneOfSensor(int32_t address) const;
    // Which criterion decided that zone; kNone for a fast machine.
    ZoneBy ZoneBySensor(int32_t address) const;
    // A slow machine's axis as the last evaluation judged it: its zone and
    // what decided it, its 2 Hz - 1 kHz velocity (mm/s) and displacement
    // (µm). False for a fast machine or one without settings.
    struct AxisJudgement {
        JudgedZone zone;
        double velocity = NAN, displacementUm = NAN;
    };
    bool SlowAxis(int32_t address, int axis, AxisJudgement *out) const;
    const MachineSettings *Machine(int32_t address) const;
    // The bands watched for a sensor (WatchedBands of its settings, kept at
    // each change of them); null with *count 0 for a sensor without settings.
    const WatchedBand *Bands(int32_t address, int *count) const;

private:
    // What listeners last heard of one alarm source: 0 nothing active, 1
    // alert (or offline), 2 danger; and of which alarm.
    struct Heard {
        int level = 0;
        uint64_t id = 0;
    };
    // Debounce of one quantity on one axis. Each level has its own timers,
    // so that its deadband holds however the value came to it.
    struct Condition {
        int level = 0;                          // 0 normal, 1 alert, 2 danger (active)
        int64_t aboveSince[3] = {-1, -1, -1};   // [1] over alert, [2] over danger, continuously
        int64_t belowSince[3] = {-1, -1, -1};   // [1], [2] under that limit's deadband, continuously
        uint64_t alarmId = 0;                   // its alarm in the list, 0 = none
        Heard heard;
        bool changeBelow = false;               // the change watch: under the baseline
    };
    struct Sensor {
        MachineSettings machine;
        // By source and axis: a baseline gives each axis its own velocity
        // limits, and a band's may come from each axis's baseline.
        Limits limits[kAlarmSourceCount][3];
        int64_t delayMs = 5000;
        // One more row than there are sources: the "变化" watch of the
        // severity velocity against the baseline (level 1 while changed).
        Condition conditions[kConditionRows][3];
        double changeBand = NAN;  // a quarter of B/C; NaN without a class
        // Offline watch.
        bool seen = false;
        uint32_t generation = 0;
        uint64_t packets = 0;
        int64_t lastMoveMs = -1;
        bool offline = false;
        uint64_t offlineAlarmId = 0;
        Heard offlineHeard;
        // Sensor faults per axis (AlarmSensorFault.cpp): level 1 while the
        // station judges the axis faulty.
        Condition faults[3];
        // Flapping guard: times of the latest raises, oldest first (one
        // more than the limit, to tell "more than" from "as many as").
        int64_t raiseTimes[kMaxRaisesPerMinute + 1] = {};
        int raiseCount = 0;
        bool held = false;
        int64_t heldSinceMs = 0;
        Zone zone = Zone::kNone;
        ZoneBy zoneBy = ZoneBy::kNone;
        AxisJudgement axes[3];
        WatchedBand bands[kMaxBands];
        int bandCount = 0;
    };

    void EvaluateValues(Sensor &s, const SteadySensorValues &v, int64_t now);
    void Evaluate(Sensor &s, int quantity, int axis, double value, const SteadySensorValues &v, int64_t now);
    void WatchOffline(Sensor &s, const SteadySensorValues *v, int64_t now);
    void WatchFaults(Sensor &s, const SteadySensorValues &v, int64_t now);
    void SetLevel(Sensor &s, Condition &c, int quantity, int axis, int level, double value, int64_t firstMs,
                  const SteadySensorValues *v, int64_t now);
    Alarm &AlarmFor(uint64_t *id, const Sensor &s, int quantity, int axis);
    Alarm *Find(uint64_t id);
    // Tells listeners an event of a sensor's source (`level` is the source's
    // level after it), unless a hold keeps it back; `raise` counts it
    // against the flapping guard.
    void Report(Sensor &s, Heard &heard, int level, const AlarmEvent &e, bool raise);
    // Tells it in any case, first ending an alarm of the source they still
    // hear as active that is not the event's.
    void Tell(const Sensor &s, Heard &heard, int level, const AlarmEvent &e);
    void EndHold(Sensor &s, int64_t now);
    // Ends an alarm (or what listeners still hear of one) as a change of
    // settings; false when there was nothing to end.
    bool EndForSettings(Sensor &s, uint64_t id, Heard &heard, int quantity, int axis, int64_t now,
                        const std::string &comment);
    void EndForLimitEdits(Sensor &s, const Limits (&before)[kAlarmSourceCount][3], std::vector<std::string> *told);
    static void SetLimits(Sensor &s, const MachineSettings &m);
    // The "变化" watch of one axis (AlarmChange.cpp); its limit as shown is
    // the bound the value crossed, the baseline plus or minus the band.
    void EvaluateChange(Sensor &s, int axis, double value, const SteadySensorValues &v, int64_t now);
    void EndForBaselineEdits(Sensor &s, const MachineSettings &before, std::vector<std::string> *told);
    double LimitFor(const Sensor &s, int quantity, int axis, int level) const;
    double ChangeBound(const Sensor &s, int axis) const;
    void Broadcast(const AlarmEvent &e);
    void Forget(uint64_t id);

    std::map<int32_t, Sensor> sensors_;
    std::vector<Alarm> alarms_;  // in raise order; cleared and acknowledged ones removed
    uint64_t nextId_ = 1;
    std::vector<AlarmListener *> listeners_;
    std::deque<AlarmEvent> recent_;
    CaptureRequester *capture_ = nullptr;
    int64_t lastTickMs_ = 0;  // the time of events outside a tick
};

// The login name of whoever runs the station, the "who" of an
// acknowledgement made at its desk; "" when the system cannot say.
std::string DesktopUserName();

// The values of a quantity on an axis in a snapshot entry; NaN when it has
// none (crest factor of a silent axis, a speed deviation without a rated
// speed or a speed estimate).
double QuantityValue(const SteadySensorValues &v, int quantity, int axis);

}  // namespace tav
