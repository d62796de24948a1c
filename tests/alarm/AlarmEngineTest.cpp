// The alarm engine on a simulated clock: delays, deadband, danger over alert,
// acknowledgement states, garbage values, offline under churn and flapping.
#include <gtest/gtest.h>

#include "AlarmTestFleet.h"
#include "core/alarm/SensorMarks.h"

namespace tav {
namespace {

using test::AlarmFleet;
using test::EventLog;

struct Rig {
    AlarmEngine engine;
    AlarmFleet fleet;
    EventLog log;
    explicit Rig(std::map<int32_t, MachineSettings> machines = test::OneMachine(5))
    {
        engine.SetSettings(machines);
        engine.AddListener(&log);
    }
};

class Captures : public CaptureRequester {
public:
    std::string RequestCapture(int32_t address, int slot, uint32_t generation, int64_t first, int64_t active) override
    {
        requests.push_back({address, slot, int64_t(generation), first, active});
        return "data/alarms/capture.vdat";
    }
    std::vector<std::vector<int64_t>> requests;
};

TEST(AlarmDelays, ValueWanderingAroundTheLimitRaisesOnceAndClearsOnce)
{
    Rig rig;  // group 2 rigid: alert 2.8, danger 4.5, delay 5 s, deadband to 2.66
    Captures captures;
    rig.engine.SetCaptureRequester(&captures);
    rig.fleet.SetVelocity(5, 2.0);
    rig.fleet.TickFor(rig.engine, 3);
    rig.fleet.SetVelocity(5, 2.9);  // 4.5 s over: not long enough
    rig.fleet.TickFor(rig.engine, 4.5);
    rig.fleet.SetVelocity(5, 2.7);  // under the limit, within the deadband: the delay restarts
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kRaise), 0);

    rig.fleet.SetVelocity(5, 2.9);
    rig.fleet.Tick(rig.engine);
    const int64_t first = rig.fleet.now;
    rig.fleet.TickFor(rig.engine, 4.5);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kRaise), 0);
    rig.fleet.Tick(rig.engine);  // 5 s after the first tick over the limit
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kRaise), 1);
    const AlarmEvent raise = rig.log.events.back();
    EXPECT_EQ(raise.utcMs, first + 5000);
    EXPECT_EQ(raise.severity, AlarmSeverity::kAlert);
    EXPECT_EQ(raise.quantity, kQuantityVelocity);
    EXPECT_EQ(raise.axis, 0);
    EXPECT_EQ(raise.limit, 2.8);
    EXPECT_EQ(raise.name, "1号泵");
    ASSERT_EQ(captures.requests.size(), 1u);
    EXPECT_EQ(captures.requests[0][3], first);
    EXPECT_EQ(captures.requests[0][4], first + 5000);
    EXPECT_EQ(raise.capture, "data/alarms/capture.vdat");

    // A minute of wandering across the limit inside the deadband: nothing.
    for (int i = 0; i < 120; ++i) {
        rig.fleet.SetVelocity(5, i % 3 ? 2.7 : 2.95);
        rig.fleet.Tick(rig.engine);
    }
    // Under the deadband, but not for the whole delay: still nothing.
    rig.fleet.SetVelocity(5, 2.0);
    rig.fleet.TickFor(rig.engine, 4.5);
    rig.fleet.SetVelocity(5, 2.7);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kClear), 0);
    EXPECT_EQ(rig.engine.ActiveCount(), 1);

    rig.fleet.SetVelocity(5, 2.0);
    rig.fleet.Tick(rig.engine);
    const int64_t below = rig.fleet.now;
    rig.fleet.TickFor(rig.engine, 5);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kRaise), 1);
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kClear), 1);
    EXPECT_EQ(rig.log.events.back().utcMs, below + 5000);
    EXPECT_EQ(rig.engine.ActiveCount(), 0);
    EXPECT_EQ(rig.engine.Alarms().size(), 1u);  // cleared, not yet seen
}

TEST(AlarmDelays, DangerSupersedesAlertOnTheSameSource)
{
    Rig rig;
    rig.fleet.SetVelocity(5, 5.0, 1);  // over both limits at once: danger only
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kRaise), 1);
    EXPECT_EQ(rig.log.events.back().severity, AlarmSeverity::kDanger);
    EXPECT_EQ(rig.log.events.back().axis, 1);
    const uint64_t id = rig.log.events.back().alarmId;

    rig.fleet.SetVelocity(5, 3.5, 1);  // back to the alert zone
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kRaise), 2);
    EXPECT_EQ(rig.log.events.back().severity, AlarmSeverity::kAlert);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    EXPECT_EQ(rig.engine.Alarms()[0].severity, AlarmSeverity::kAlert);
    EXPECT_TRUE(rig.engine.Alarms()[0].active);

    rig.engine.Acknowledge({}, "", rig.fleet.now);
    rig.fleet.SetVelocity(5, 4.8, 1);  // worse again: the same alarm, unacknowledged again
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    EXPECT_EQ(rig.engine.Alarms()[0].id, id);
    EXPECT_EQ(rig.engine.Alarms()[0].severity, AlarmSeverity::kDanger);
    EXPECT_FALSE(rig.engine.Alarms()[0].acknowledged);
    EXPECT_EQ(rig.engine.WorstSeverity(), int(AlarmSeverity::kDanger));

    // Other axes and quantities are their own sources.
    MachineSettings m = test::OneMachine(5).at(5);
    m.alert[kQuantityTemperature] = 70;
    m.onDelayS = 0;
    rig.engine.SetSettings({{5, m}});
    rig.fleet.Sensor(5).temperature = 71;
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.engine.Alarms().size(), 2u);
    EXPECT_EQ(rig.engine.Alarms()[0].quantity, kQuantityTemperature);
    EXPECT_EQ(rig.engine.Alarms()[0].axis, kNoAxis);
}

TEST(AlarmAcknowledgement, StatesUntilSeenAndCleared)
{
    Rig rig;
    rig.fleet.SetVelocity(5, 3.0);
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    Alarm a = rig.engine.Alarms()[0];
    EXPECT_STREQ(StateText(a), "未确认");
    EXPECT_EQ(rig.engine.UnacknowledgedCount(), 1);

    EXPECT_EQ(rig.engine.Acknowledge({a.id}, "已通知维修", rig.fleet.now + 10), 1);
    a = rig.engine.Alarms()[0];
    EXPECT_STREQ(StateText(a), "已确认");
    EXPECT_EQ(a.comment, "已通知维修");
    EXPECT_EQ(a.acknowledgedMs, rig.fleet.now + 10);
    EXPECT_EQ(rig.log.events.back().kind, AlarmEventKind::kAcknowledge);
    EXPECT_EQ(rig.log.events.back().comment, "已通知维修");
    EXPECT_EQ(rig.engine.Acknowledge({a.id}, "again", rig.fleet.now), 0);  // once only

    rig.fleet.SetVelocity(5, 1.0);  // acknowledged, then cleared: leaves the list
    rig.fleet.TickFor(rig.engine, 6);
    EXPECT_TRUE(rig.engine.Alarms().empty());

    // Cleared before anyone saw it: stays until acknowledged.
    rig.fleet.SetVelocity(5, 3.0);
    rig.fleet.TickFor(rig.engine, 6);
    const uint64_t second = rig.engine.Alarms().at(0).id;
    EXPECT_NE(second, a.id);
    rig.fleet.SetVelocity(5, 1.0);
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    EXPECT_STREQ(StateText(rig.engine.Alarms()[0]), "已恢复未确认");
    EXPECT_EQ(rig.engine.ActiveCount(), 0);
    EXPECT_EQ(rig.engine.UnacknowledgedCount(), 1);
    // Raised again before the acknowledgement: the same entry becomes active.
    rig.fleet.SetVelocity(5, 3.0);
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    EXPECT_EQ(rig.engine.Alarms()[0].id, second);
    EXPECT_TRUE(rig.engine.Alarms()[0].active);
    rig.fleet.SetVelocity(5, 1.0);
    rig.fleet.TickFor(rig.engine, 6);
    EXPECT_EQ(rig.engine.Acknowledge({}, "", rig.fleet.now), 1);
    EXPECT_TRUE(rig.engine.Alarms().empty());
    EXPECT_EQ(rig.engine.WorstSeverity(), 0);
}

TEST(AlarmGarbage, NanOrAbsentValuesRaiseNothing)
{
    MachineSettings m = test::OneMachine(5).at(5);
    m.alert[kQuantityCrestFactor] = 3;
    m.alert[kQuantitySpeedDeviation] = 5;
    m.alert[kQuantityKurtosis] = 4;
    Rig rig({{5, m}});
    SteadySensorValues &v = rig.fleet.Sensor(5);
    v.ratedSpeed = 0;          // no rated speed: no deviation
    v.values[kSpeedSeries] = 900;
    // Over the limit, but NaN every fourth tick: the delay never completes.
    for (int i = 0; i < 200; ++i) {
        rig.fleet.SetVelocity(5, i % 4 == 3 ? NAN : 9.0);
        v.values[kSteadyAK] = i % 4 == 3 ? INFINITY : 9.0f;
        rig.fleet.Tick(rig.engine);
    }
    EXPECT_TRUE(rig.log.events.empty());
    EXPECT_TRUE(rig.engine.Alarms().empty());

    v.ratedSpeed = 1500;
    v.values[kSpeedSeries] = 0;  // no speed estimate yet
    rig.fleet.TickFor(rig.engine, 10);
    EXPECT_TRUE(rig.engine.Alarms().empty());
    v.values[kSpeedSeries] = 1400;  // 6.7 % off
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.Alarms().size(), 1u);
    EXPECT_EQ(rig.engine.Alarms()[0].quantity, kQuantitySpeedDeviation);
    EXPECT_NEAR(rig.engine.Alarms()[0].value, 100.0 / 15.0, 1e-4);
}

TEST(AlarmOffline, SilenceClosedConnectionsAndChurn)
{
    auto machines = test::OneMachine(5);
    for (int32_t a : {6, 7, 8}) {
        machines[a] = machines.at(5);
        machines[a].address = a;
    }
    Rig rig(machines);
    rig.fleet.Sensor(5);
    rig.fleet.Sensor(6);
    rig.fleet.Sensor(7);
    rig.fleet.SetPresent(8, false);  // never connects: offline after 10 s, not at once
    rig.fleet.Sensor(99);            // no settings: never an alarm
    rig.fleet.SetSending(99, false);
    rig.fleet.TickFor(rig.engine, 10);  // the watch starts at the first tick
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOffline), 0);
    rig.fleet.Tick(rig.engine);
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kOffline), 1);
    EXPECT_EQ(rig.log.events.back().address, 8);
    EXPECT_EQ(rig.log.events.back().severity, AlarmSeverity::kOffline);

    // 6 stays connected but sends nothing: offline 10 s after its last packet.
    rig.fleet.SetSending(6, false);
    rig.fleet.TickFor(rig.engine, 9.5);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOffline), 1);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOffline), 2);
    rig.fleet.SetSending(6, true);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOnline), 1);

    // 7 reconnects on every tick (a new connection, its count from zero):
    // it keeps sending, so it is never offline.
    for (int i = 0; i < 40; ++i) {
        rig.fleet.Reconnect(7);
        rig.fleet.Tick(rig.engine);
    }
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOffline), 2);

    // 5's connection closes: offline at the next tick; back: online.
    rig.fleet.SetPresent(5, false);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOffline), 3);
    rig.fleet.SetPresent(5, true);
    rig.fleet.Reconnect(5);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kOnline), 2);
    // One alarm per sensor whatever happened; 8 is still offline.
    EXPECT_EQ(rig.engine.Alarms().size(), 3u);
    EXPECT_EQ(rig.engine.ActiveCount(), 1);
    for (const Alarm &a : rig.engine.Alarms())
        EXPECT_NE(a.address, 99);
}

TEST(AlarmOffline, FlappingSensorIsRateLimitedWhileTheListFollows)
{
    Rig rig;
    rig.fleet.Sensor(5);
    rig.fleet.Tick(rig.engine);
    // Connection closes and comes back on alternate ticks for two minutes.
    for (int i = 0; i <= 240; ++i) {
        rig.fleet.SetPresent(5, i % 2 == 0);
        if (i % 2)
            rig.fleet.Reconnect(5);
        rig.fleet.Tick(rig.engine);
    }
    const int offline = rig.log.Count(AlarmEventKind::kOffline);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kRateLimited), 1);
    EXPECT_EQ(offline, kMaxRaisesPerMinute + 1);  // the 13th rises above what was heard (online)
    EXPECT_EQ(rig.engine.Alarms().size(), 1u);
    // The last tick had it connected and sending: the list says online.
    EXPECT_EQ(rig.engine.ActiveCount(), 0);
    EXPECT_FALSE(rig.engine.RecentEvents().empty());

    // After a quiet minute it is heard again.
    rig.fleet.TickFor(rig.engine, 61);
    rig.fleet.SetPresent(5, false);
    rig.fleet.Tick(rig.engine);
    EXPECT_EQ(rig.log.events.back().kind, AlarmEventKind::kOffline);
}

// Outside a hold, what a listener keeps from the events is the list.
void TickTold(Rig &rig, double seconds)
{
    for (int i = 0; i < int(seconds * 2); ++i) {
        rig.fleet.Tick(rig.engine);
        ASSERT_EQ(rig.log.Heard(), test::Listed(rig.engine)) << rig.fleet.now;
    }
}

// From danger or alert to one value, one end: the alert's band (2.66-2.8) holds, a step down is one event.
class AlarmStepDown : public ::testing::TestWithParam<std::tuple<double, double, int, size_t>> {};
TEST_P(AlarmStepDown, EveryChangeIsOneEventAndTheDeadbandHoldsEitherWay)
{
    const auto [from, to, severity, events] = GetParam();
    Rig rig;
    rig.fleet.SetVelocity(5, from);
    TickTold(rig, 6);
    const size_t raised = rig.log.events.size();
    rig.fleet.SetVelocity(5, to);
    TickTold(rig, 20);
    EXPECT_EQ(rig.engine.Alarms().at(0).active ? int(rig.engine.Alarms()[0].severity) : 0, severity);
    EXPECT_EQ(rig.log.events.size() - raised, events);
    rig.fleet.SetVelocity(5, 1.0);  // the end matches what was raised
    TickTold(rig, 6);
}
INSTANTIATE_TEST_SUITE_P(FromDangerOrAlert, AlarmStepDown,
                         ::testing::Values(std::tuple(3.5, 2.7, 1, 0u), std::tuple(6.0, 2.7, 1, 1u),
                                           std::tuple(6.0, 3.5, 1, 1u), std::tuple(6.0, 4.4, 2, 0u),
                                           std::tuple(6.0, 2.0, 0, 1u), std::tuple(3.5, 2.0, 0, 1u)));

// Settings that go away end the sensor's alarms ("设置变更"): removed,
// lowered, restored and acknowledged, nothing sticks, and it is judged again.
TEST(AlarmSettings, RemovedAndRestoredWhileAlarmed)
{
    Rig rig;
    rig.fleet.SetVelocity(5, 6.0);
    TickTold(rig, 6);
    rig.engine.SetSettings({});
    EXPECT_STREQ(StateText(rig.engine.Alarms().at(0)), "设置已删除未确认");
    rig.fleet.SetVelocity(5, 1.0);
    TickTold(rig, 6);
    rig.engine.SetSettings(test::OneMachine(5));
    rig.engine.Acknowledge({}, "", rig.fleet.now);
    EXPECT_TRUE(rig.engine.Alarms().empty());
    rig.fleet.SetVelocity(5, 6.0);
    TickTold(rig, 6);
    EXPECT_EQ(rig.engine.WorstActiveSeverity(5, 0), int(AlarmSeverity::kDanger));
}

// What the windows colour: a zone alone, an alarm over a milder zone, an
// alarm of another axis left out of this axis's field, and an offline sensor
// grey in its row and its fields whatever its last values were.
TEST(SensorMarks, ZonesAndActiveAlarmsGiveTheColoursPerAxisAndPerSensor)
{
    EXPECT_EQ(MarkOf(Zone::kNone, 0), Mark::kNone);
    EXPECT_EQ(MarkOf(Zone::kA, 0), Mark::kZoneA);
    EXPECT_EQ(MarkOf(Zone::kA, int(AlarmSeverity::kAlert)), Mark::kZoneC);
    EXPECT_EQ(MarkOf(Zone::kD, int(AlarmSeverity::kAlert)), Mark::kZoneD);
    EXPECT_EQ(MarkOf(Zone::kNone, int(AlarmSeverity::kDanger)), Mark::kZoneD);
    EXPECT_EQ(MarkOf(Zone::kB, int(AlarmSeverity::kOffline)), Mark::kOffline);
    EXPECT_EQ(MarkColour(Mark::kNone), -1);
    EXPECT_NE(MarkColour(Mark::kZoneC), MarkColour(Mark::kZoneD));
    EXPECT_STREQ(ZoneText(Zone::kNone), "—");
    EXPECT_STREQ(ZoneText(Zone::kB), "B");

    Rig rig;  // sensor 5, "1号泵", group 2 rigid: A/B 1.4, B/C 2.8, C/D 4.5
    SensorMarks marks(rig.engine);
    EXPECT_EQ(marks.Name(5), "1号泵");
    EXPECT_EQ(marks.Name(6), "");
    EXPECT_EQ(marks.AxisMark(6, 0, 9.0, nullptr), Mark::kNone);  // no class, no zone
    rig.fleet.SetVelocity(5, 1.0, 0);
    rig.fleet.SetVelocity(5, 3.0, 1);  // Y over the alert limit
    rig.fleet.TickFor(rig.engine, 6);
    ASSERT_EQ(rig.engine.ActiveCount(), 1);
    Zone zone = Zone::kNone;
    EXPECT_EQ(marks.AxisMark(5, 0, 1.0, &zone), Mark::kZoneA);  // Y's alarm is not X's
    EXPECT_EQ(zone, Zone::kA);
    EXPECT_EQ(marks.AxisMark(5, 1, 3.0, &zone), Mark::kZoneC);
    EXPECT_EQ(zone, Zone::kC);
    EXPECT_EQ(marks.AxisMark(5, 2, 0.5, nullptr), Mark::kZoneA);
    EXPECT_EQ(marks.SensorMark(5), Mark::kZoneC);
    rig.fleet.SetVelocity(5, 5.0, 1);  // danger after its delay
    rig.fleet.TickFor(rig.engine, 6);
    EXPECT_EQ(marks.SensorMark(5), Mark::kZoneD);
    EXPECT_EQ(marks.AxisMark(5, 0, 1.0, nullptr), Mark::kZoneA);

    rig.fleet.SetSending(5, false);
    rig.fleet.TickFor(rig.engine, 11);
    EXPECT_EQ(rig.engine.WorstActiveSeverity(5, 0), int(AlarmSeverity::kOffline));
    EXPECT_EQ(marks.AxisMark(5, 0, 1.0, nullptr), Mark::kOffline);
    // Y's danger stays active while the sensor is away: still red, not grey.
    EXPECT_EQ(marks.SensorMark(5), Mark::kZoneD);
    Rig quiet;
    SensorMarks quietMarks(quiet.engine);
    quiet.fleet.SetVelocity(5, 2.0, 0);
    quiet.fleet.TickFor(quiet.engine, 2);
    EXPECT_EQ(quietMarks.SensorMark(5), Mark::kZoneB);
    quiet.fleet.SetPresent(5, false);  // its connection ended
    quiet.fleet.Tick(quiet.engine);
    EXPECT_EQ(quietMarks.SensorMark(5), Mark::kOffline);
}

}  // namespace
}  // namespace tav
