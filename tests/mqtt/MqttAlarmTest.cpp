// Alarms over the broker link: events, the retained list of a sensor's
// alarms, and names and zones on the steady messages.
#include <gtest/gtest.h>

#include "core/mqtt/Json.h"
#include "core/mqtt/MqttAlarmBridge.h"
#include "plant/command/MqttAckSender.h"
#include "tests/alarm/AlarmTestFleet.h"
#include "tests/mqtt/TestBroker.h"

using namespace tav;
using tav::test::Received;

namespace {

SteadySnapshot Pump(int64_t utcMs, uint64_t packets, float xVelocity)
{
    SteadySnapshot s;
    s.utcMs = utcMs;
    s.count = 1;
    SteadySensorValues &v = s.sensors[0];
    v.address = 5;
    v.slot = 0;
    v.generation = 1;
    v.samplingFrequency = 26667;
    v.ratedSpeed = 1500;
    v.packetsParsed = packets;
    v.isoVelocity[0] = xVelocity;
    v.isoVelocity[1] = 1.0f;
    v.isoVelocity[2] = std::nanf("");
    return s;
}

std::map<int32_t, MachineSettings> OnePump(const std::string &name)
{
    MachineSettings m;
    m.address = 5;
    m.name = name;
    m.isoClass = IsoClass::kGroup2Rigid;  // B/C 2.8 mm/s, C/D 4.5 mm/s
    return {{5, m}};
}

}  // namespace

TEST(MqttAlarms, EventsCurrentListAndZonesReachTheSubscriber)
{
    test::TestBroker broker;
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber sub(broker.Port(), "plant/a/#");
    ASSERT_TRUE(sub.WaitSubscribed());

    AlarmEngine engine;
    engine.SetSettings(OnePump("1号泵"));
    test::EventLog log;
    engine.AddListener(&log);
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker.Port();
    config.clientId = "alarm-test";
    config.prefix = "plant/a";
    config.intervalS = 0.5;
    MqttPublisher publisher(config, nullptr);
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    MqttAlarmBridge bridge(publisher, engine);

    // Over the alert limit for longer than the 5 s on-delay, then acknowledged.
    int64_t now = 1'765'254'860'000;
    for (int i = 0; i < 14; ++i) {
        now += 500;
        const SteadySnapshot s = Pump(now, uint64_t(i + 1) * 115, 3.5f);
        engine.OnSteadySnapshot(s);
        publisher.OnSteadySnapshot(s);
    }
    ASSERT_EQ(engine.Acknowledge({}, "检查轴承", now), 1);

    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        size_t n = 0;
        for (const auto &m : all)
            n += m.topic == "plant/a/alarm";
        return n >= 2;
    }));
    auto events = sub.On("plant/a/alarm");
    const std::string &raise = events[0].payload;
    EXPECT_EQ(test::JsonString(raise, "event"), "raise") << raise;
    EXPECT_EQ(test::JsonNumber(raise, "address"), 5);
    EXPECT_EQ(test::JsonString(raise, "name"), "1号泵");
    EXPECT_EQ(test::JsonString(raise, "quantity"), "velocity");
    EXPECT_EQ(test::JsonString(raise, "axis"), "x");
    EXPECT_EQ(test::JsonString(raise, "severity"), "alert");
    EXPECT_FLOAT_EQ(float(test::JsonNumber(raise, "value")), 3.5f);
    EXPECT_FLOAT_EQ(float(test::JsonNumber(raise, "limit")), 2.8f);
    EXPECT_FALSE(events[0].retained);
    EXPECT_EQ(test::JsonString(events[1].payload, "event"), "acknowledge");
    EXPECT_EQ(test::JsonString(events[1].payload, "comment"), "检查轴承");

    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        for (const auto &m : all)
            if (m.topic == "plant/a/sensor/5/alarm" && m.payload.find("\"acknowledged\":true") != std::string::npos)
                return true;
        return false;
    }));
    auto steady = sub.On("plant/a/sensor/5/steady");
    ASSERT_FALSE(steady.empty());
    const std::string &last = steady.back().payload;
    EXPECT_EQ(test::JsonString(last, "name"), "1号泵");
    EXPECT_FLOAT_EQ(float(test::JsonNumber(last, "iso_v", last.find("\"x\":{"))), 3.5f);
    EXPECT_EQ(test::JsonString(last, "zone", last.find("\"x\":{")), "C");
    EXPECT_EQ(test::JsonString(last, "zone", last.find("\"y\":{")), "A");
    EXPECT_NE(last.find("\"iso_v\":null,\"zone\":null"), std::string::npos) << last;  // z: no value

    // Flapping, on-delay 1 s (3 s at 3.5, 3 s at 1.0 mm/s, then 6.0 on X): held back, never below the list.
    auto machines = OnePump("1号泵");
    machines[5].onDelayS = 1;
    engine.SetSettings(machines);
    for (int i = 0; i < 280; ++i) {
        const float v = i < 120 && (i / 6) % 2 == 0 ? 3.5f : 1.0f;
        SteadySnapshot s = Pump(now += 500, uint64_t(i + 15) * 115, i < 120 ? v : 6.0f);
        s.sensors[0].isoVelocity[1] = s.sensors[0].isoVelocity[2] = v;
        engine.OnSteadySnapshot(s);
        const auto heard = log.Heard();
        for (const auto &[id, severity] : test::Listed(engine))
            ASSERT_TRUE(heard.count(id) && heard.at(id) >= severity) << i;
        EXPECT_TRUE(i != 122 || log.events.back().severity == AlarmSeverity::kDanger);  // 1 s after tick 120
    }
    EXPECT_EQ(log.Heard(), test::Listed(engine));
    EXPECT_EQ(log.Count(AlarmEventKind::kRateLimited), 1);
    const size_t told = engine.RecentEvents().size();
    ASSERT_TRUE(sub.WaitFor([&](const auto &) { return sub.On("plant/a/sensor/5/alarm").size() == told; }));
    EXPECT_EQ(sub.On("plant/a/alarm").size(), told);  // every event the log heard, the danger too
    EXPECT_EQ(sub.On("plant/a/sensor/5/alarm").back().payload,
              CurrentAlarmsJson(5, engine.Alarms(), log.events.back().utcMs));
    publisher.Stop();
}

TEST(MqttAlarms, LongNamesAreCutOnACharacterAndAlarmListsStayValid)
{
    AlarmEngine engine;
    std::string name;
    for (int i = 0; i < 30; ++i)
        name += "泵";  // three bytes each
    engine.SetSettings(OnePump(name));
    SensorExtras extras;
    FillExtras(engine, Pump(0, 0, 3.5f).sensors[0], &extras);
    const std::string cut = extras.name;
    EXPECT_EQ(cut.size(), 63u);
    EXPECT_EQ(name.rfind(cut, 0), 0u);

    Alarm a;
    a.id = 7;
    a.address = 5;
    a.name = "A\"B";
    a.quantity = kQuantityVelocity;
    a.axis = 2;
    a.value = NAN;
    Alarm other = a;
    other.address = 6;
    const std::string json = CurrentAlarmsJson(5, {a, other}, 0);
    EXPECT_NE(json.find("\"alarms\":[{\"alarm_id\":7,\"address\":5,\"name\":\"A\\\"B\""), std::string::npos) << json;
    EXPECT_EQ(json.find("\"address\":6"), std::string::npos);
    EXPECT_NE(json.find("\"value\":null"), std::string::npos);
    EXPECT_NE(CurrentAlarmsJson(9, {a}, 0).find("\"alarms\":[]"), std::string::npos);
}

// The plant's acknowledgement: sent by the service's sender, applied through
// the engine with the web user's name, published and answered. Hostile,
// unknown and repeated commands are refused and counted, never applied.
TEST(MqttAlarms, PlantAcknowledgementIsAppliedWithItsUserAndBadOnesRefused)
{
    test::TestBroker broker;
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber plant(broker.Port(), "plant/a/#");
    ASSERT_TRUE(plant.WaitSubscribed());
    AlarmEngine engine;
    engine.SetSettings(OnePump("1号泵"));
    test::EventLog log;
    engine.AddListener(&log);
    MqttConfig config;
    config.host = "127.0.0.1";
    config.port = broker.Port();
    config.clientId = "ack-test";
    config.prefix = "plant/a";
    config.remoteAck = true;
    MqttPublisher publisher(config, nullptr);
    std::string error;
    ASSERT_TRUE(publisher.Start(&error)) << error;
    MqttAlarmBridge bridge(publisher, engine);
    int64_t now = 1'765'254'860'000;
    for (int i = 0; i < 14; ++i)
        engine.OnSteadySnapshot(Pump(now += 500, uint64_t(i + 1) * 115, 3.5f));
    ASSERT_EQ(engine.Alarms().size(), 1u);
    const uint64_t id = engine.Alarms()[0].id;
    auto answer = [&](const std::string &request) {
        for (const auto &m : plant.On("plant/a/command/ack/result"))
            if (test::JsonString(m.payload, "request_id") == request)
                return m.payload;
        return std::string();
    };
    // Until the station's subscription is in place, probes of an unknown id;
    // the last one answered, every earlier one was either lost or answered.
    int probes = 0;
    ASSERT_TRUE(test::WaitUntil([&] {
        const std::string probe = "probe-" + std::to_string(++probes);
        plant.Publish("plant/a/command/ack", R"({"alarm_id":999,"user":"p","request_id":")" + probe + "\"}");
        return test::WaitUntil([&] {
            bridge.ApplyAckCommands(now);
            return !answer(probe).empty();
        }, 0.1 * std::min(probes, 10));
    }, 30));
    const uint64_t refusedBefore = publisher.CommandsRefused();
    EXPECT_GE(refusedBefore, 1u);
    EXPECT_LE(refusedBefore, uint64_t(probes));

    const std::string hostile[] = {
        "not json",
        R"({"alarm_id":")" + std::to_string(id) + R"(","user":"x","request_id":"h1"})",
        R"({"alarm_id":)" + std::to_string(id) + R"(.5,"user":"x"})",
        R"({"alarm_id":-1,"user":"x"})",
        R"({"alarm_id":)" + std::to_string(id) + R"(})",
        R"({"alarm_id":)" + std::to_string(id) + R"(,"user":"x\u0001"})",
        R"({"alarm_id":)" + std::to_string(id) + R"(,"user":"x","comment":[[[[[[1]]]]]]})",
        R"({"alarm_id":)" + std::to_string(id) + R"(,"user":"x","comment":")" + std::string(5000, 'a') + "\"}",
        std::string("{\"alarm_id\":") + std::to_string(id) + ",\"user\":\"\xff\xfe\"}",
        R"({"alarm_id":4242,"user":"x","request_id":"unknown"})",
    };
    for (const std::string &h : hostile)
        ASSERT_TRUE(plant.Publish("plant/a/command/ack", h));
    ASSERT_TRUE(test::WaitUntil([&] {
        bridge.ApplyAckCommands(now);
        return publisher.CommandsRefused() == refusedBefore + std::size(hostile);
    }));
    EXPECT_FALSE(engine.Alarms()[0].acknowledged);
    ASSERT_TRUE(plant.WaitFor([&](const auto &) { return !answer("h1").empty() && !answer("unknown").empty(); }));
    EXPECT_NE(answer("h1").find("\"ok\":false"), std::string::npos);
    EXPECT_NE(answer("unknown").find("\"ok\":false"), std::string::npos);

    // The service's own sender, as the pages use it; then the same request
    // again (QoS 1 may deliver twice) and a second request for the same alarm.
    plant::MqttAckSender sender([&](const std::string &topic, const std::string &payload) {
        return plant.Publish(topic, payload);
    });
    std::string request;
    EXPECT_FALSE(sender.Send("a", id, "张工", "已通知维修", &request));  // a station not heard from
    sender.NoteStation("a", "plant/a");
    ASSERT_TRUE(sender.Send("a", id, "张工", "已通知维修", &request));
    ASSERT_TRUE(test::WaitUntil([&] {
        bridge.ApplyAckCommands(now + 10);
        return !answer(request).empty();
    }));
    EXPECT_NE(answer(request).find("\"ok\":true"), std::string::npos) << answer(request);
    const Alarm acked = engine.Alarms()[0];
    EXPECT_TRUE(acked.acknowledged);
    EXPECT_EQ(acked.acknowledgedBy, "张工");
    EXPECT_EQ(acked.comment, "已通知维修");
    EXPECT_EQ(log.Count(AlarmEventKind::kAcknowledge), 1);
    EXPECT_EQ(log.events.back().user, "张工");
    ASSERT_TRUE(plant.WaitFor([&](const auto &) { return plant.On("plant/a/alarm").size() >= 2; }));
    const std::string event = plant.On("plant/a/alarm").back().payload;
    EXPECT_EQ(test::JsonString(event, "event"), "acknowledge");
    EXPECT_EQ(test::JsonString(event, "user"), "张工");

    const std::string repeat = R"({"alarm_id":)" + std::to_string(id) + R"(,"user":"张工","request_id":")" +
                               request + "\"}";
    ASSERT_TRUE(plant.Publish("plant/a/command/ack", repeat));
    ASSERT_TRUE(sender.Send("a", id, "李工", "", &request));
    ASSERT_TRUE(test::WaitUntil([&] {
        bridge.ApplyAckCommands(now + 20);
        return !answer(request).empty();
    }));
    EXPECT_NE(answer(request).find("已由张工确认"), std::string::npos) << answer(request);
    EXPECT_EQ(log.Count(AlarmEventKind::kAcknowledge), 1);
    EXPECT_EQ(publisher.CommandsRefused(), refusedBefore + std::size(hostile) + 1);
    publisher.Stop();
}
