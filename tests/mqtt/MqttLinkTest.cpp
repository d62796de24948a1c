// The broker link end to end against a broker of the test's own: what a
// subscriber receives, the will, outages and TLS.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

#include "core/history/HistoryReader.h"
#include "core/mqtt/Json.h"
#include "core/mqtt/MqttPublisher.h"
#include "core/station/Station.h"
#include "sim/SimSensor.h"
#include "tests/mqtt/TestBroker.h"

using namespace tav;
using tav::test::Received;

namespace {

struct NullSink : EventSink {
    void Post(const StationEvent &) override {}
};

SteadySnapshot OneSensor(int64_t utcMs, int32_t address, float base)
{
    SteadySnapshot s;
    s.utcMs = utcMs;
    s.count = 1;
    SteadySensorValues &v = s.sensors[0];
    v.address = address;
    v.slot = 0;
    v.generation = 1;
    for (int k = 0; k < kSteadySeriesCount; ++k)
        v.values[k] = base + float(k);
    v.peerIp = 0x7F000001;
    v.peerPort = 40000;
    return s;
}

MqttConfig Config(int port, const std::string &prefix)
{
    MqttConfig c;
    c.host = "127.0.0.1";
    c.port = port;
    c.clientId = prefix;
    c.prefix = prefix;
    c.qos = 1;
    c.version = "test";
    c.reconnectMaxS = 2;  // keeps the outage test short
    return c;
}

size_t Count(const std::vector<Received> &all, const std::string &topic)
{
    size_t n = 0;
    for (const auto &m : all)
        n += m.topic == topic;
    return n;
}

// The tick times of `topic` in the order they first arrived. QoS 1 is at
// least once: a message whose acknowledgement the broker had not yet read
// when it went down comes again after its restart, and that is no loss.
std::vector<std::string> DistinctTimes(const std::vector<Received> &all, const std::string &topic)
{
    std::vector<std::string> times;
    for (const auto &m : all) {
        if (m.topic != topic)
            continue;
        const std::string t = test::JsonString(m.payload, "time");
        if (std::find(times.begin(), times.end(), t) == times.end())
            times.push_back(t);
    }
    return times;
}

}  // namespace

TEST(MqttLink, SimulatedSensorPayloadsMatchTheirTickAndStatusIsRetained)
{
    test::TestBroker broker;
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber sub(broker.Port(), "plant/st1/#");
    ASSERT_TRUE(sub.WaitSubscribed());

    test::TempDir folder;
    NullSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = folder.path.string();
    options.settings.mqtt.url = broker.Url();
    options.settings.mqtt.topicPrefix = "plant/st1";
    Station station(options, sink);
    std::vector<std::string> messages;
    ASSERT_EQ(station.Start(&messages), 0);
    ASSERT_NE(station.Mqtt(), nullptr);
    ASSERT_TRUE(test::WaitUntil([&] { return station.Mqtt()->LinkState() == MqttLinkState::kConnected; }));

    sim::SensorConfig sc;
    sc.address = 33;
    sc.port = uint16_t(station.Port());
    sc.quiet = true;
    for (int axis = 0; axis < 3; ++axis) {
        sim::SineComponent sine;
        sine.amplitude = 0.5 + 0.25 * axis;
        sc.axes[axis].sines = {sine};
        sc.axes[axis].noise = 0.05;
    }
    sim::SimSensor sensor(sc);
    sensor.Start();
    // The window's 500 ms timer, played by the test: each tick's snapshot is
    // kept to compare with what the subscriber gets for that tick's time.
    std::map<std::string, SteadySensorValues> ticks;
    for (int i = 0; i < 200 && ticks.size() < 4; ++i) {
        station.SteadyTick();
        const SteadySnapshot &s = station.LastSnapshot();
        if (s.count == 1 && s.sensors[0].values[0] > 0)
            ticks[IsoUtcMs(s.utcMs)] = s.sensors[0];
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    sensor.Stop();
    ASSERT_GE(ticks.size(), 4u);
    // The sensor's going shows in a later tick's snapshot.
    ASSERT_TRUE(test::WaitUntil([&] {
        station.SteadyTick();
        return station.LastSnapshot().count == 0;
    }));
    ASSERT_TRUE(sub.WaitFor([&](const std::vector<Received> &all) {
        size_t matched = 0;
        for (const auto &m : all)
            matched += m.topic == "plant/st1/sensor/33/steady" && ticks.count(test::JsonString(m.payload, "time"));
        return matched >= 2;
    }));
    size_t compared = 0;
    for (const Received &m : sub.On("plant/st1/sensor/33/steady")) {
        auto it = ticks.find(test::JsonString(m.payload, "time"));
        if (it == ticks.end())
            continue;
        ++compared;
        const SteadySensorValues &v = it->second;
        EXPECT_EQ(test::JsonNumber(m.payload, "address"), 33);
        if (std::isnan(v.values[kSpeedSeries]))  // no speed estimate yet in the first seconds
            EXPECT_NE(m.payload.find("\"rpm\":null"), std::string::npos) << m.payload;
        else
            EXPECT_FLOAT_EQ(float(test::JsonNumber(m.payload, "rpm")), v.values[kSpeedSeries]);
        EXPECT_FLOAT_EQ(float(test::JsonNumber(m.payload, "fs")), v.samplingFrequency);
        EXPECT_FLOAT_EQ(float(test::JsonNumber(m.payload, "temperature")), v.temperature);
        const char *params[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
        const char *axes[3] = {"x", "y", "z"};
        for (int axis = 0; axis < 3; ++axis) {
            const size_t at = m.payload.find(std::string("\"") + axes[axis] + "\":{");
            for (int p = 0; p < 7; ++p)
                EXPECT_FLOAT_EQ(float(test::JsonNumber(m.payload, params[p], at)), v.values[axis * 7 + p])
                    << axes[axis] << params[p];
            EXPECT_FLOAT_EQ(float(test::JsonNumber(m.payload, "iso_v", at)), v.isoVelocity[axis]) << axes[axis];
        }
        // No [sensor.33] table: no machine name, no class to give a zone.
        EXPECT_NE(m.payload.find("\"name\":null"), std::string::npos);
        EXPECT_NE(m.payload.find("\"zone\":null"), std::string::npos);
    }
    EXPECT_GE(compared, 2u);

    auto state = sub.On("plant/st1/sensor/33/state");
    ASSERT_FALSE(state.empty());
    EXPECT_NE(state[0].payload.find("\"connected\":true"), std::string::npos) << state[0].payload;
    EXPECT_EQ(test::JsonString(state[0].payload, "peer").rfind("127.0.0.1:", 0), 0u);
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        for (const auto &m : all)
            if (m.topic == "plant/st1/sensor/33/state" && m.payload.find("\"connected\":false") != std::string::npos)
                return true;
        return false;
    }));
    auto status = sub.On("plant/st1/status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(test::JsonString(status[0].payload, "state"), "online");
    EXPECT_EQ(test::JsonNumber(status[0].payload, "port"), station.Port());

    // A clean exit says "offline" itself; a late subscriber still reads it.
    station.Stop();
    test::TestSubscriber late(broker.Port(), "plant/st1/status");
    ASSERT_TRUE(late.WaitFor([](const std::vector<Received> &all) { return !all.empty(); }));
    EXPECT_EQ(late.Messages()[0].payload, "{\"state\":\"offline\"}");
    EXPECT_TRUE(late.Messages()[0].retained);
}

// A sensor that has measured nothing yet: absent from the history and null on
// the broker, never 0; a clean stop leaves its retained state disconnected.
TEST(MqttLink, UnmeasuredValuesAreAbsentAndACleanStopLeavesStatesDisconnected)
{
    test::TestBroker broker;
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber sub(broker.Port(), "plant/st3/#");
    ASSERT_TRUE(sub.WaitSubscribed());
    test::TempDir folder;
    NullSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = folder.path.string();
    options.settings.mqtt.url = broker.Url();
    options.settings.mqtt.topicPrefix = "plant/st3";
    Station station(options, sink);
    ASSERT_EQ(station.Start(nullptr), 0);
    ASSERT_TRUE(test::WaitUntil([&] { return station.Mqtt()->LinkState() == MqttLinkState::kConnected; }));
    ConnectionRecord &rec = station.Table()[0];  // its first packet gave the address, no window closed yet
    rec.generation.fetch_add(1);
    rec.sensorAddress = 33;
    rec.inUse = 1;
    station.SteadyTick();

    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) { return Count(all, "plant/st3/sensor/33/steady"); }));
    const std::string steady = sub.On("plant/st3/sensor/33/steady")[0].payload;
    for (const char *key : {"\"rpm\":null", "\"ar\":null", "\"dp\":null", "\"iso_v\":null"})
        EXPECT_NE(steady.find(key), std::string::npos) << key << " in " << steady;
    station.History()->Flush();
    HistoryReader reader;
    HistorySeries series;
    ASSERT_TRUE(reader.Open(station.History()->DatabasePath(), nullptr));
    ASSERT_TRUE(reader.Read(33, 0, INT64_MAX / 2, HistoryResolution::kRaw, &series));
    ASSERT_EQ(series.Size(), 1u);
    for (int s = 0; s < kSteadySeriesCount; ++s)
        EXPECT_TRUE(std::isnan(series.mean[size_t(s)][0])) << s;

    station.Stop();  // the sensor is still connected
    test::TestSubscriber late(broker.Port(), "plant/st3/sensor/+/state");
    ASSERT_TRUE(late.WaitFor([](const std::vector<Received> &all) { return !all.empty(); }));
    EXPECT_NE(late.Messages()[0].payload.find("\"connected\":false"), std::string::npos) << late.Messages()[0].payload;
    EXPECT_TRUE(late.Messages()[0].retained);
}

TEST(MqttLink, KilledStationLeavesItsWillAsRetainedStatus)
{
    test::TestBroker broker;
    ASSERT_TRUE(broker.Start());
    test::TempDir folder;
    const std::string cmd = std::string(TAVENOR_MQTT_CHILD) + " " + broker.Url() + " plant/st2 " +
                            folder.path.string() + " > /dev/null 2>&1 & echo $!";
    FILE *p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    int pid = 0;
    ASSERT_EQ(std::fscanf(p, "%d", &pid), 1);
    ::pclose(p);

    test::TestSubscriber sub(broker.Port(), "plant/st2/status");
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        return !all.empty() && test::JsonString(all.back().payload, "state") == "online";
    }));
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        return all.back().payload == "{\"state\":\"offline\"}";
    }));
    test::TestSubscriber late(broker.Port(), "plant/st2/status");
    ASSERT_TRUE(late.WaitFor([](const std::vector<Received> &all) { return !all.empty(); }));
    EXPECT_EQ(late.Messages()[0].payload, "{\"state\":\"offline\"}");
    EXPECT_TRUE(late.Messages()[0].retained);
}

TEST(MqttLink, BrokerRestartLosesNothingWithinTheBoundAndCountsTheRest)
{
    test::TestBroker broker("", true);
    ASSERT_TRUE(broker.Start());
    // A historian's session: it outlives the broker's restart.
    test::TestSubscriber sub(broker.Port(), "plant/#", false, "historian");
    ASSERT_TRUE(sub.WaitSubscribed());

    MqttPublisher roomy(Config(broker.Port(), "plant/roomy"), nullptr);
    MqttConfig tight = Config(broker.Port(), "plant/tight");
    tight.maxQueued = 5;
    MqttPublisher cramped(tight, nullptr);
    std::string error;
    ASSERT_TRUE(roomy.Start(&error)) << error;
    ASSERT_TRUE(cramped.Start(&error)) << error;
    ASSERT_TRUE(test::WaitUntil([&] {
        return roomy.LinkState() == MqttLinkState::kConnected && cramped.LinkState() == MqttLinkState::kConnected;
    }));
    const int64_t t0 = 1765254860000;
    auto feed = [&](int from, int to) {
        for (int k = from; k < to; ++k) {
            const SteadySnapshot s = OneSensor(t0 + k * 1000, 9, float(k));
            const uint64_t before = roomy.Digested() + cramped.Digested();
            roomy.OnSteadySnapshot(s);
            cramped.OnSteadySnapshot(s);
            // One tick at a time, as the window's timer hands them over.
            ASSERT_TRUE(test::WaitUntil([&] { return roomy.Digested() + cramped.Digested() == before + 2; }));
        }
    };
    feed(0, 5);
    ASSERT_TRUE(sub.WaitFor([](const std::vector<Received> &all) {
        return Count(all, "plant/roomy/sensor/9/steady") == 5 && Count(all, "plant/tight/sensor/9/steady") == 5;
    }));

    broker.Kill(SIGTERM);  // saves the historian's session
    ASSERT_TRUE(test::WaitUntil([&] {
        return roomy.LinkState() != MqttLinkState::kConnected && cramped.LinkState() != MqttLinkState::kConnected;
    }));
    feed(5, 15);
    EXPECT_EQ(cramped.Dropped(), 5u);  // ten waiting, room for five
    EXPECT_EQ(roomy.Dropped(), 0u);
    ASSERT_TRUE(broker.Start());

    ASSERT_TRUE(sub.WaitFor(
        [](const std::vector<Received> &all) {
            return DistinctTimes(all, "plant/roomy/sensor/9/steady").size() == 15 &&
                   DistinctTimes(all, "plant/tight/sensor/9/steady").size() == 10;
        },
        20));
    // In order and with the tick's own time, however late they went; the
    // cramped link kept the newest five of the ten it had to hold.
    const auto roomyTimes = DistinctTimes(sub.Messages(), "plant/roomy/sensor/9/steady");
    for (size_t k = 0; k < roomyTimes.size(); ++k)
        EXPECT_EQ(roomyTimes[k], IsoUtcMs(t0 + int64_t(k) * 1000)) << k;
    const auto tightTimes = DistinctTimes(sub.Messages(), "plant/tight/sensor/9/steady");
    for (size_t k = 0; k < tightTimes.size(); ++k)
        EXPECT_EQ(tightTimes[k], IsoUtcMs(t0 + int64_t(k < 5 ? k : k + 5) * 1000)) << k;
    roomy.Stop();
    cramped.Stop();
}

TEST(MqttLink, TlsTrustsOnlyTheConfiguredAuthority)
{
    test::TempDir pki;
    const std::string d = pki.path.string();
    const std::string script =
        "cd " + d + " && exec > openssl.log 2>&1 && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=plant-ca && "
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 -subj /CN=other-ca && "
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj /CN=localhost && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ext.cnf && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile ext.cnf";
    ASSERT_EQ(std::system(script.c_str()), 0) << d;
    test::TestBroker broker("cafile " + d + "/ca.pem\ncertfile " + d + "/server.pem\nkeyfile " + d + "/server.key");
    ASSERT_TRUE(broker.Start());

    MqttSettings settings;
    settings.url = "mqtts://127.0.0.1:" + std::to_string(broker.Port());
    settings.topicPrefix = "plant/tls";
    settings.caFile = d + "/ca.pem";
    MqttConfig good;
    std::vector<std::string> messages;
    ASSERT_TRUE(ResolveMqttConfig(settings, "h", 1, &good, &messages));
    EXPECT_TRUE(messages.empty());
    settings.caFile = d + "/other.pem";
    settings.clientId = "stranger";
    MqttConfig stranger;
    ASSERT_TRUE(ResolveMqttConfig(settings, "h", 1, &stranger, &messages));

    MqttPublisher trusted(good, nullptr);
    MqttPublisher refused(stranger, nullptr);
    std::string error;
    ASSERT_TRUE(trusted.Start(&error)) << error;
    ASSERT_TRUE(refused.Start(&error)) << error;
    ASSERT_TRUE(test::WaitUntil([&] { return trusted.LinkState() == MqttLinkState::kConnected; }));
    trusted.OnSteadySnapshot(OneSensor(1765254860000, 4, 1));
    refused.OnSteadySnapshot(OneSensor(1765254860000, 4, 1));
    ASSERT_TRUE(test::WaitUntil([&] { return trusted.Sent() >= 2; }));  // state and steady
    // Its handshake fails at once; a few seconds cover a retry.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_NE(refused.LinkState(), MqttLinkState::kConnected);
    EXPECT_EQ(refused.Sent(), 0u);
    EXPECT_EQ(refused.Queued(), 2u);
    trusted.Stop();
    refused.Stop();
}

TEST(MqttLink, BrokerAbsentAtStartIsReachedWhenItComes)
{
    test::TestBroker broker;  // configured, not yet running
    MqttPublisher early(Config(broker.Port(), "plant/early"), nullptr);
    std::string error;
    ASSERT_TRUE(early.Start(&error)) << error;
    early.OnSteadySnapshot(OneSensor(1765254860000, 3, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(early.LinkState(), MqttLinkState::kConnecting);
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber sub(broker.Port(), "plant/early/#", false, "early-historian");
    ASSERT_TRUE(test::WaitUntil([&] { return early.LinkState() == MqttLinkState::kConnected; }, 15));
    // The tick from before the broker came is not lost.
    ASSERT_TRUE(test::WaitUntil([&] { return early.Sent() >= 2 && early.Queued() == 0; }));
    EXPECT_EQ(early.Dropped(), 0u);
    early.Stop();
}

TEST(MqttLink, RetainedTopicsComeBackAfterABrokerRestartWithoutPersistence)
{
    test::TestBroker broker;  // forgets every retained message when it stops
    ASSERT_TRUE(broker.Start());
    MqttPublisher station(Config(broker.Port(), "p"), nullptr);
    std::string error;
    ASSERT_TRUE(station.Start(&error)) << error;
    station.OnSteadySnapshot(OneSensor(1765254860000, 1, 1));
    station.PublishAlarm(1, "{}", "{\"alarms\":[1]}");  // with status and state: four acknowledged
    ASSERT_TRUE(test::WaitUntil([&] { return station.Sent() >= 4 && station.Queued() == 0; }));
    broker.Kill(SIGKILL);
    ASSERT_TRUE(broker.Start());
    test::TestSubscriber late(broker.Port(), "p/sensor/1/+");
    EXPECT_TRUE(test::WaitUntil([&] { return !late.On("p/sensor/1/state").empty() && !late.On("p/sensor/1/alarm").empty(); }, 20));
}
