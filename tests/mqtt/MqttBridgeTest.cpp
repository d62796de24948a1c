// A broker on the station PC bridged to the plant's central broker, with the
// configuration the documentation gives: every message of the simulated
// station reaches a subscriber on the central broker, also those published
// while the central broker was down.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "core/mqtt/Json.h"
#include "core/mqtt/MqttPayloads.h"
#include "sim/PublishFleet.h"
#include "tests/mqtt/TestBroker.h"

using namespace tav;

namespace {

// The documented bridge, pointed at `centralPort`: its listener, accounts
// and TLS are the test broker's own, its retry quicker.
std::string BridgeConf(int centralPort)
{
    std::ifstream in(TAVENOR_SOURCE_DIR "/docs/mosquitto-station-bridge.conf");
    std::ostringstream out;
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = line.substr(0, line.find(' '));
        if (key == "address")
            line = "address 127.0.0.1:" + std::to_string(centralPort);
        else if (key == "restart_timeout")
            line = "restart_timeout 1";
        else if (key.empty() || key[0] == '#' || key == "listener" || key == "allow_anonymous" ||
                 key.rfind("persistence", 0) == 0 || key.rfind("remote_", 0) == 0 || key == "bridge_cafile")
            continue;
        out << line << "\n";
    }
    return out.str();
}

// Steady messages as "topic time": each one once, however often it came.
std::set<std::string> Steady(const std::vector<test::Received> &all)
{
    std::set<std::string> keys;
    for (const auto &m : all)
        if (m.topic.size() > 7 && m.topic.compare(m.topic.size() - 7, 7, "/steady") == 0)
            keys.insert(m.topic + " " + test::JsonString(m.payload, "time"));
    return keys;
}

}  // namespace

TEST(MqttBridge, EveryMessageReachesTheCentralBrokerAcrossItsRestart)
{
    test::TestBroker central("", true);
    ASSERT_TRUE(central.Start());
    const std::string bridge = BridgeConf(central.Port());
    ASSERT_NE(bridge.find("cleansession false"), std::string::npos);
    test::TestBroker station(bridge);
    ASSERT_TRUE(station.Start());
    test::TestSubscriber plant(central.Port(), "tavenor/#", false, "plant-test");
    ASSERT_TRUE(plant.WaitSubscribed());

    sim::PublishConfig config;
    config.url = station.Url();
    config.stations = 1;
    config.sensors = 4;
    config.prefixRoot = "tavenor/bridge";
    sim::PublishFleet fleet(config);
    std::string error;
    ASSERT_TRUE(fleet.Start(&error)) << error;
    // The station's "online" over the bridge: the whole path is up.
    ASSERT_TRUE(plant.WaitFor([](const auto &all) {
        for (const auto &m : all)
            if (m.topic == "tavenor/bridge/st01/status" && m.payload.find("online") != std::string::npos)
                return true;
        return false;
    }, 30));

    const int64_t t0 = 1'800'000'000'000;
    int ticks = 0;
    auto tick = [&](int n) {
        for (int i = 0; i < n; ++i, ++ticks) {
            fleet.Tick(t0 + ticks * 500);
            // Each tick taken before the next, as the station's timer allows.
            ASSERT_TRUE(test::WaitUntil([&] { return fleet.Digested() == uint64_t(ticks + 1); }));
        }
    };
    tick(10);
    ASSERT_TRUE(plant.WaitFor([](const auto &all) { return Steady(all).size() == 40; }, 30));
    // Byte for byte what the station's own payload code makes of the same values.
    SteadySensorValues v;
    v.address = 1;
    sim::SyntheticValues(config.seed, 0, 0, 0, config.intervalMs, &v);
    SensorExtras extras;
    sim::SimExtras("st01", v, &extras);
    const std::string expected = SteadyJson(t0, v, extras);
    size_t same = 0;
    for (const auto &m : plant.On("tavenor/bridge/st01/sensor/1/steady"))
        same += m.payload == expected;
    EXPECT_EQ(same, 1u) << expected;

    // Central broker away: the station broker acknowledges and keeps them.
    central.Kill(SIGTERM);
    const uint64_t before = fleet.Published();
    tick(20);
    ASSERT_TRUE(test::WaitUntil([&] { return fleet.Published() >= before + 80 && fleet.Queued() == 0; }, 30));
    EXPECT_EQ(Steady(plant.Messages()).size(), 40u);

    ASSERT_TRUE(central.Start());
    tick(5);
    ASSERT_TRUE(plant.WaitFor([](const auto &all) { return Steady(all).size() == 140; }, 60))
        << Steady(plant.Messages()).size() << " of 140 steady messages";
    const std::set<std::string> got = Steady(plant.Messages());
    for (int k = 0; k < ticks; ++k)
        for (int address = 1; address <= 4; ++address) {
            const std::string key = "tavenor/bridge/st01/sensor/" + std::to_string(address) + "/steady " +
                                    IsoUtcMs(t0 + k * 500);
            EXPECT_TRUE(got.count(key)) << key;
        }
    fleet.Stop();
}
