// The overview's tiles from the core state: the machine that needs the
// operator comes first, and a sensor that stopped sending (or whose
// connection ended) keeps its last zones but is marked offline, never shown
// in a colour that passes for news.
#include <gtest/gtest.h>

#include "core/station/Overview.h"

namespace {

struct Sensor {
    int32_t address;
    float velocity;  // X axis, mm/s; group 2 rigid: B/C 2.8, C/D 4.5
    int stopsAtS;    // packets stop moving from then on (-1 never)
    bool leaves;     // its connection ends at that time instead
};

struct Case {
    const char *name;
    std::vector<Sensor> sensors;
    std::vector<int32_t> order;    // expected, worst first
    std::vector<int32_t> offline;  // expected greyed
};

class OverviewOrder : public ::testing::TestWithParam<Case> {};

TEST_P(OverviewOrder, WorstFirstAndOfflineGreyedWithItsLastZones)
{
    const Case &c = GetParam();
    std::map<int32_t, tav::MachineSettings> machines;
    std::vector<int32_t> addresses{9};  // 9 has settings but never connects
    for (const Sensor &s : c.sensors)
        addresses.push_back(s.address);
    for (int32_t a : addresses) {
        machines[a].address = a;
        machines[a].isoClass = tav::IsoClass::kGroup2Rigid;
    }
    tav::AlarmEngine engine;
    engine.SetSettings(machines);
    tav::OverviewModel model;
    std::vector<tav::KnownSensor> known;
    for (const auto &[a, m] : machines)
        tav::AddKnownSensor(&known, a, tav::kKnownSettings);
    auto snapshot = std::make_unique<tav::SteadySnapshot>();
    for (int tick = 0; tick <= 30; ++tick) {  // 15 s, one tick each 500 ms
        snapshot->utcMs = 1'700'000'000'000 + tick * 500;
        snapshot->count = 0;
        for (size_t i = 0; i < c.sensors.size(); ++i) {
            const Sensor &s = c.sensors[i];
            const bool stopped = s.stopsAtS >= 0 && tick * 500 >= s.stopsAtS * 1000;
            if (stopped && s.leaves)
                continue;
            tav::SteadySensorValues &v = snapshot->sensors[snapshot->count++];
            v = {};
            v.address = s.address;
            v.slot = int(i);
            v.generation = 1;
            v.packetsParsed = uint64_t(stopped ? s.stopsAtS * 20 : tick * 10 + 1);
            v.isoVelocity[0] = s.velocity;
            v.isoVelocity[1] = v.isoVelocity[2] = 0.5f;
        }
        engine.OnSteadySnapshot(*snapshot);
        model.Refresh(known, *snapshot, engine);
    }
    std::vector<int32_t> order, offline;
    for (const tav::OverviewTile &t : model.Tiles()) {
        order.push_back(t.address);
        if (!t.online) {
            offline.push_back(t.address);
            EXPECT_EQ(t.mark, tav::Mark::kOffline) << t.address;
        }
    }
    EXPECT_EQ(order, c.order);
    std::sort(offline.begin(), offline.end());
    EXPECT_EQ(offline, c.offline);
    // A sensor that stopped keeps what it last measured, greyed.
    for (const Sensor &s : c.sensors)
        if (s.stopsAtS >= 0) {
            const tav::OverviewTile *t = model.Find(s.address);
            ASSERT_NE(t, nullptr);
            EXPECT_FLOAT_EQ(t->severity[0], s.velocity);
            EXPECT_EQ(t->zone[0], tav::ZoneOf(tav::IsoClass::kGroup2Rigid, s.velocity));
        }
}

INSTANTIATE_TEST_SUITE_P(
    Tiles, OverviewOrder,
    ::testing::Values(
        Case{"zones", {{1, 1.0f, -1, false}, {2, 3.5f, -1, false}, {3, 2.0f, -1, false}, {4, 5.0f, -1, false}},
             {4, 2, 3, 1, 9}, {9}},
        // Within a zone the larger share of the alert limit, then the address.
        Case{"share", {{3, 2.0f, -1, false}, {1, 2.5f, -1, false}, {2, 2.0f, -1, false}}, {1, 2, 3, 9}, {9}},
        Case{"stopped", {{1, 5.0f, -1, false}, {2, 1.0f, 2, false}, {3, 3.5f, -1, false}}, {1, 2, 3, 9}, {2, 9}},
        Case{"left", {{1, 1.0f, -1, false}, {2, 6.0f, 3, true}, {3, 2.0f, -1, false}}, {2, 3, 1, 9}, {2, 9}}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Whether the overview opens at start is one key of station.toml: setting it
// keeps every other line, and the reader takes it without a message.
TEST(OverviewSetting, WrittenInPlaceAndReadBack)
{
    const std::string text = "# plant\n[window] # ours\noverview = true # at start\n\n[alarm]\nsound = false\n";
    const std::string edited = tav::EditSettingsKey(text, "window", "overview", "false");
    EXPECT_EQ(edited, "# plant\n[window] # ours\noverview = false # at start\n\n[alarm]\nsound = false\n");
    const std::string added = tav::EditSettingsKey("[alarm]\nsound = false\n", "window", "overview", "false");
    std::vector<std::string> messages;
    for (const std::string &t : {edited, added}) {
        EXPECT_FALSE(tav::ParseStationSettings(t, "station.toml", &messages).window.overview) << t;
        EXPECT_FALSE(tav::ParseStationSettings(t, "station.toml", &messages).notice.sound) << t;
    }
    EXPECT_TRUE(messages.empty()) << messages.front();
}

}  // namespace
