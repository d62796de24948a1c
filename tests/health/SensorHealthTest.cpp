// Sensor faults judged from blocks that went through the real conditioning.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "core/alarm/AlarmEngine.h"
#include "core/health/SensorHealth.h"
#include "dsp/BlockFeeder.h"

using namespace tav;

namespace {

struct Case {
    const char *name;
    float rangeG;
    uint8_t expected;  // on axis X; Y and Z carry healthy noise
    float (*x)(int64_t row, float noise);
};

// Quantised to the 0.5 mg step of a 16-bit converter at ±16 g, so that
// repeated values are as common as on a real sensor.
float Quantised(double g) { return float(std::round(g / 0.00049) * 0.00049); }

const Case kCases[] = {
    {"healthy", 8.0f, 0,
     [](int64_t r, float n) { return Quantised(0.05 * std::sin(2 * M_PI * 25.0 * r / 26667.0) + n); }},
    {"dead", 8.0f, kFaultDead, [](int64_t, float) { return 1.0f; }},
    // Noise held for 0.15 s at a time: varies, but one value repeats.
    {"stuck", 8.0f, kFaultStuck, [](int64_t r, float) { return Quantised(0.3 * std::sin(double(r / 4000))); }},
    {"clipped", 8.0f, kFaultSaturated,
     [](int64_t r, float n) { return std::clamp(Quantised(12.0 * std::sin(2 * M_PI * 50.0 * r / 26667.0) + n), -7.9f, 7.9f); }},
};

class SensorHealthTest : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(SensorHealthTest, FaultsOfSyntheticBlocksAndTheAlarmTheyRaise)
{
    const Case &c = GetParam();
    auto table = std::make_unique<ConnectionTable>();
    auto plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    Conditioner conditioner{*table, *plots, sink, nullptr};
    ConnectionRecord &rec = (*table)[0];
    rec.cond.rangeLimitG = c.rangeG;
    test::BlockFeeder feed{conditioner, rec};
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 0.01f);  // 10 mg: a quiet MEMS sensor
    auto gen = [&](int64_t r, int axis) { return axis == 0 ? c.x(r, noise(random)) : Quantised(noise(random)); };

    AlarmEngine engine;
    MachineSettings m;
    m.address = 5;
    engine.SetSettings({{5, m}});
    SensorHealth health;
    SteadySnapshot snapshot;
    snapshot.count = 1;
    SteadySensorValues &v = snapshot.sensors[0];
    v.address = 5;
    v.generation = 1;
    v.samplingFrequency = feed.fs;
    for (int tick = 0; tick < 30; ++tick) {  // 15 s of half-second ticks
        feed.FeedSeconds(0.5, gen);
        TakeRawFigures(ReadStats(rec.cond), &v);
        v.packetsParsed = uint64_t(tick + 1);
        health.Feed(v, tick * 500);
        for (int k = 0; k < 3; ++k)
            v.sensorFault[k] = health.Faults(k);
        snapshot.utcMs = tick * 500;
        engine.OnSteadySnapshot(snapshot);
    }
    EXPECT_EQ(health.Faults(0), c.expected) << c.name;
    EXPECT_EQ(health.Faults(1) | health.Faults(2), 0) << c.name;
    const std::vector<Alarm> alarms = engine.Alarms();
    ASSERT_EQ(alarms.size(), c.expected ? 1u : 0u) << c.name;
    if (c.expected) {
        EXPECT_EQ(alarms[0].severity, AlarmSeverity::kSensorFault);
        EXPECT_EQ(alarms[0].axis, 0);
        EXPECT_EQ(engine.WorstActiveSeverity(5, 0), int(AlarmSeverity::kSensorFault));
    }
}

INSTANTIATE_TEST_SUITE_P(Axes, SensorHealthTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });
