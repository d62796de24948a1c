// Bands measured from a simulated sensor's samples as they come off the
// wire: an order band reads its order at the measured speed, and a bearing's
// growing outer-race modulation raises its band alarm while the overall
// velocity stays in its zone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "core/alarm/AlarmEngine.h"
#include "core/health/BandMonitor.h"
#include "core/net/SensorFrame.h"
#include "sim/SignalGenerator.h"

using namespace tav;

namespace {

constexpr int32_t kAddress = 7;
constexpr double kFs = 26667;

// Feeds `seconds` of the generator's signal into the monitor as packets of
// the connection in slot 0.
void Feed(health::BandMonitor &monitor, ConnectionRecord &rec, sim::SignalGenerator &gen, double seconds)
{
    std::vector<uint8_t> block(20 * kPacketSize);
    float xyz[3 * kSamplesPerPacket];
    for (int sent = 0; sent < int(seconds * kFs / kSamplesPerPacket);) {
        int packets = 0;
        for (; packets < 20; ++packets, ++sent) {
            uint8_t *p = block.data() + size_t(packets) * kPacketSize;
            gen.Generate(xyz, kSamplesPerPacket, kFs);
            std::memcpy(p, kPacketStartMarker, 4);
            std::memcpy(p + kPacketAddressOffset, &kAddress, 4);
            const float fs = float(kFs);
            std::memcpy(p + kPacketFrequencyOffset, &fs, 4);
            std::memcpy(p + kPacketSamplesOffset, xyz, sizeof xyz);
            std::memcpy(p + kPacketEndOffset, kPacketEndMarker, 4);
        }
        monitor.RecordBlock(rec, block.data(), uint32_t(packets * kPacketSize));
    }
}

struct Rig {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<health::BandMonitor> monitor = std::make_unique<health::BandMonitor>(*table);
    ConnectionRecord &rec = (*table)[0];

    explicit Rig(const MachineSettings &m, double measuredRpm)
    {
        rec.generation.store(3);
        rec.sensorAddress.store(kAddress);
        rec.samplingFrequency.store(float(kFs));
        rec.measuredSpeed.store(float(measuredRpm));
        rec.speedEstimates.store(measuredRpm > 0 ? 1 : 0);
        rec.inUse.store(1);
        monitor->SetSettings({{kAddress, m}});
        monitor->Pass();  // the slot is watched from now on
    }
    float Value(int band, int axis)
    {
        float values[kMaxBands][3];
        monitor->Read(0, 3, values);
        return values[band][axis];
    }
};

struct OrderCase {
    double signalRpm, measuredRpm;
    double expected;  // mm/s RMS in the 1x band on X; NaN: none
};

class OrderBand : public ::testing::TestWithParam<OrderCase> {};

TEST_P(OrderBand, ReadsTheOrderAtTheMeasuredSpeed)
{
    const OrderCase c = GetParam();
    MachineSettings m;
    m.address = kAddress;
    m.bands.push_back({"1X", BandKind::kOrder, BandSpectrum::kVelocity, 0.8, 1.2});
    Rig rig(m, c.measuredRpm);
    sim::AxisSignal x, quiet;
    std::string error;
    ASSERT_TRUE(sim::ParseAxisSignal("1x=0.05,3x=0.05,noise=0.002", &x, &error));
    sim::SignalGenerator gen({x, quiet, quiet}, c.signalRpm, 1);
    Feed(*rig.monitor, rig.rec, gen, 1.0);
    rig.monitor->Pass();
    if (std::isnan(c.expected)) {
        EXPECT_TRUE(std::isnan(rig.Value(0, 0)));
        return;
    }
    EXPECT_NEAR(rig.Value(0, 0), c.expected, 0.05 * c.expected + 0.02);
    EXPECT_LT(rig.Value(0, 1), 0.02);  // a quiet axis reads its own band, not X's
}

// 0.05 g at f reads 0.05 * 9800 / (2 pi f) / sqrt 2 mm/s RMS; a speed that is
// not the machine's misses the 1x line (and catches no 3x either).
INSTANTIATE_TEST_SUITE_P(Speeds, OrderBand,
                         ::testing::Values(OrderCase{1480, 1480, 0.05 * 9800 / (2 * M_PI * 1480 / 60) / M_SQRT2},
                                           OrderCase{2970, 2970, 0.05 * 9800 / (2 * M_PI * 2970 / 60) / M_SQRT2},
                                           OrderCase{1480, 2970, 0.0}, OrderCase{1480, 0, NAN}),
                         [](const auto &info) {
                             return "signal" + std::to_string(int(info.param.signalRpm)) + "_measured" +
                                    std::to_string(int(info.param.measuredRpm));
                         });

TEST(BearingBand, GrowingOuterRaceModulationRaisesItsBandAlarmOnly)
{
    MachineSettings m;
    m.address = kAddress;
    m.isoClass = IsoClass::kGroup2Rigid;  // B/C at 2.8 mm/s
    m.onDelayS = 2;
    m.bands.push_back({"总值", BandKind::kFrequency, BandSpectrum::kVelocity, 10, 1000});
    m.bearings.push_back({"驱动端", 8, 15, 65, 0});
    m.bearingAlert = 0.05;
    m.bearingDanger = 0.1;
    const double rpm = 1480;
    const double bpfo = 8 * rpm / 60 / 2 * (1 - 15.0 / 65);
    Rig rig(m, rpm);
    AlarmEngine engine;
    engine.SetSettings({{kAddress, m}});
    auto snapshot = std::make_unique<SteadySnapshot>();
    snapshot->count = 1;
    SteadySensorValues &v = snapshot->sensors[0];
    v.address = kAddress;
    v.slot = 0;
    v.generation = 3;
    int firstBandAlarmS = -1;
    double lastEnvelope = 0;
    for (int second = 0; second < 30; ++second) {
        // A 3 kHz resonance rung at BPFO, its modulation growing 0.02 -> 0.6.
        const double depth = 0.02 + 0.02 * second, carrier = 0.5;
        char text[200];
        std::snprintf(text, sizeof text, "1x=0.02,2x=0.01,3000hz=%g,%.6fhz=%g,%.6fhz=%g,noise=0.01", carrier,
                      3000 + bpfo, carrier * depth / 2, 3000 - bpfo, carrier * depth / 2);
        sim::AxisSignal x;
        std::string error;
        ASSERT_TRUE(sim::ParseAxisSignal(text, &x, &error)) << error;
        sim::SignalGenerator gen({x, x, x}, rpm, uint32_t(second + 1));
        Feed(*rig.monitor, rig.rec, gen, 1.0);
        rig.monitor->Pass();
        rig.monitor->Read(0, 3, v.band);
        for (int axis = 0; axis < 3; ++axis)
            v.isoVelocity[axis] = v.band[0][axis];
        v.packetsParsed += 230;
        snapshot->utcMs = 1'700'000'000'000 + second * 1000;
        engine.OnSteadySnapshot(*snapshot);
        EXPECT_NEAR(v.band[0][0], 0.93, 0.05) << second;  // overall (1x, 2x, noise): unmoved
        EXPECT_EQ(engine.ZoneOfSensor(kAddress), Zone::kA) << second;
        lastEnvelope = v.band[1][0];
        for (const Alarm &a : engine.Alarms())
            if (a.quantity == kBandQuantity + 1 && firstBandAlarmS < 0)
                firstBandAlarmS = second;
    }
    // Envelope of 0.5 (1 + d cos) reads 0.5 d / sqrt 2 at BPFO.
    EXPECT_NEAR(lastEnvelope, 0.5 * 0.6 / M_SQRT2, 0.03);
    // 0.05 g is crossed at d = 0.14 (6 s), plus the 2 s on-delay.
    EXPECT_GE(firstBandAlarmS, 7);
    EXPECT_LE(firstBandAlarmS, 10);
    int dangers = 0;
    for (const Alarm &a : engine.Alarms()) {
        EXPECT_EQ(a.quantity, kBandQuantity + 1) << QuantityText(a.quantity);  // nothing but BPFO
        dangers += a.severity == AlarmSeverity::kDanger;
    }
    EXPECT_EQ(dangers, 3);
}

// A 300 rpm machine on a rigid group 2 foundation with 1.5 mm/s RMS at 4 Hz:
// zone B by its velocity (1.4 - 2.8 mm/s) but 59.7 µm RMS, zone C by its
// displacement (45 - 71 µm), which decides and raises the zone alarm.
TEST(SlowMachine, DisplacementAtFourHertzDecidesZoneC)
{
    MachineSettings m;
    m.address = kAddress;
    m.isoClass = IsoClass::kGroup2Rigid;
    m.ratedRpm = 300;
    m.onDelayS = 2;
    Rig rig(m, 300);
    const double velocity = 1.5, hz = 4, omega = 2 * M_PI * hz;
    char text[100];
    std::snprintf(text, sizeof text, "%ghz=%.8f,noise=0.0005", hz, velocity * M_SQRT2 * omega / 9800);
    sim::AxisSignal x, quiet;
    std::string error;
    ASSERT_TRUE(sim::ParseAxisSignal(text, &x, &error)) << error;
    sim::SignalGenerator gen({x, quiet, quiet}, 300, 1);
    AlarmEngine engine;
    engine.SetSettings({{kAddress, m}});
    auto snapshot = std::make_unique<SteadySnapshot>();
    snapshot->count = 1;
    SteadySensorValues &v = snapshot->sensors[0];
    v.address = kAddress;
    v.slot = 0;
    v.generation = 3;
    Feed(*rig.monitor, rig.rec, gen, 2.0);  // not yet a long transform's worth
    for (int second = 0; second < 6; ++second) {
        Feed(*rig.monitor, rig.rec, gen, 1.0);
        rig.monitor->Pass();
        rig.monitor->ReadSlow(0, 3, v.isoVelocity, v.isoDisplacement);
        v.packetsParsed += 230;
        snapshot->utcMs = 1'700'000'000'000 + second * 1000;
        engine.OnSteadySnapshot(*snapshot);
    }
    EXPECT_NEAR(v.isoVelocity[0], velocity, 0.04 * velocity);
    EXPECT_NEAR(v.isoDisplacement[0], velocity / omega * 1000, 0.04 * 59.7);
    EXPECT_LT(v.isoDisplacement[1], 1.0);
    EXPECT_EQ(engine.ZoneOfSensor(kAddress), Zone::kC);
    EXPECT_EQ(engine.ZoneBySensor(kAddress), ZoneBy::kDisplacement);
    const std::vector<Alarm> alarms = engine.Alarms();
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].quantity, kIsoDisplacementQuantity);
    EXPECT_EQ(alarms[0].axis, 0);
    EXPECT_EQ(alarms[0].severity, AlarmSeverity::kAlert);

    // The same machine rated fast has no slow values: judged as ever.
    m.ratedRpm = 1480;
    rig.monitor->SetSettings({{kAddress, m}});
    Feed(*rig.monitor, rig.rec, gen, 1.0);
    rig.monitor->Pass();
    rig.monitor->ReadSlow(0, 3, v.isoVelocity, v.isoDisplacement);
    EXPECT_TRUE(std::isnan(v.isoVelocity[0]) && std::isnan(v.isoDisplacement[0]));
}

}  // namespace
