#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "sim/AxisSignal.h"
#include "sim/SignalGenerator.h"

using namespace tav::sim;

namespace {

AxisSignal Parse(const std::string &text)
{
    AxisSignal s;
    std::string error;
    EXPECT_TRUE(ParseAxisSignal(text, &s, &error)) << text << ": " << error;
    return s;
}

// Amplitude of the component at `hz` in one axis of interleaved samples, by
// correlation over the whole record (leakage is tiny for long records).
double AmplitudeAt(const std::vector<float> &xyz, int axis, double hz, double fs)
{
    std::complex<double> acc = 0;
    size_t n = xyz.size() / 3;
    for (size_t i = 0; i < n; ++i)
        acc += double(xyz[i * 3 + axis]) * std::polar(1.0, -2 * std::numbers::pi * hz * double(i) / fs);
    return 2.0 * std::abs(acc) / double(n);
}

}  // namespace

TEST(AxisSignal, ParsesOrdersFrequenciesPhasesNoiseAndOffset)
{
    AxisSignal s = Parse(" 1x=0.5, 2.5x=0.1@90 ,159.15hz=1,noise=0.01,dc=-1 ");
    ASSERT_EQ(s.sines.size(), 3u);
    EXPECT_TRUE(s.sines[0].locked);
    EXPECT_DOUBLE_EQ(s.sines[0].order, 1.0);
    EXPECT_DOUBLE_EQ(s.sines[0].amplitude, 0.5);
    EXPECT_DOUBLE_EQ(s.sines[1].order, 2.5);
    EXPECT_DOUBLE_EQ(s.sines[1].phaseDeg, 90.0);
    EXPECT_FALSE(s.sines[2].locked);
    EXPECT_DOUBLE_EQ(s.sines[2].hz, 159.15);
    EXPECT_DOUBLE_EQ(s.noise, 0.01);
    EXPECT_DOUBLE_EQ(s.dc, -1.0);
    EXPECT_DOUBLE_EQ(s.PeakWithoutNoise(), 2.6);
    EXPECT_EQ(FormatAxisSignal(s), "1x=0.5,2.5x=0.1@90,159.15hz=1,dc=-1,noise=0.01");
    EXPECT_TRUE(Parse("none").sines.empty());
    EXPECT_TRUE(Parse("").sines.empty());
}

TEST(AxisSignal, RejectsMalformedItemsWithAReason)
{
    for (const char *bad : {"1x", "1x=", "x=1", "0x=1", "-5hz=1", "1y=2", "1x=0.5,", "noise=-1", "1x=abc",
                            "1x=1@deg", "50hz=1g"}) {
        AxisSignal s;
        std::string error;
        EXPECT_FALSE(ParseAxisSignal(bad, &s, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(SignalGenerator, OneGSineHasAmplitudeOneAtItsFrequencyOnlyOnItsAxis)
{
    const double fs = 26667.0;
    SignalGenerator gen({Parse("159.15hz=1"), Parse("none"), Parse("none")}, 1500, 1);
    // One second, generated in packet-sized pieces as a sensor does.
    std::vector<float> xyz(size_t(116) * 230 * 3);
    for (size_t p = 0; p < 230; ++p)
        gen.Generate(xyz.data() + p * 116 * 3, 116, fs);

    EXPECT_NEAR(AmplitudeAt(xyz, 0, 159.15, fs), 1.0, 1e-3);
    EXPECT_LT(AmplitudeAt(xyz, 0, 140.0, fs), 0.01);
    EXPECT_LT(AmplitudeAt(xyz, 0, 180.0, fs), 0.01);
    double peak = 0;
    for (size_t i = 0; i < xyz.size(); i += 3) {
        peak = std::max(peak, double(std::fabs(xyz[i])));
        ASSERT_EQ(xyz[i + 1], 0.0f);
        ASSERT_EQ(xyz[i + 2], 0.0f);
    }
    EXPECT_NEAR(peak, 1.0, 1e-3);
    // Sample n is exactly sin(2 pi f n / fs): no phase error builds up.
    const size_t last = xyz.size() / 3 - 1;
    EXPECT_NEAR(xyz[last * 3], std::sin(2 * std::numbers::pi * 159.15 * double(last) / fs), 1e-5);
}

TEST(SignalGenerator, OrdersFollowTheRunningSpeed)
{
    const double fs = 10000.0;
    SignalGenerator gen({Parse("1x=0.5,2x=0.2"), Parse("none"), Parse("none")}, 1800, 1);
    std::vector<float> xyz(size_t(20000) * 3);
    gen.Generate(xyz.data(), 20000, fs);
    EXPECT_NEAR(AmplitudeAt(xyz, 0, 30.0, fs), 0.5, 2e-3);
    EXPECT_NEAR(AmplitudeAt(xyz, 0, 60.0, fs), 0.2, 2e-3);

    gen.SetRpm(3000);
    gen.Generate(xyz.data(), 20000, fs);
    EXPECT_NEAR(AmplitudeAt(xyz, 0, 50.0, fs), 0.5, 2e-3);
    EXPECT_NEAR(AmplitudeAt(xyz, 0, 100.0, fs), 0.2, 2e-3);
}

TEST(SignalGenerator, PhaseIsContinuousAcrossAChangeOfSamplingFrequency)
{
    SignalGenerator gen({Parse("100hz=1"), Parse("none"), Parse("none")}, 1500, 1);
    std::vector<float> a(116 * 3), b(116 * 3);
    gen.Generate(a.data(), 116, 20000.0);
    gen.Generate(b.data(), 116, 10000.0);
    // The first sample after the switch continues the phase reached at the
    // end of the first piece: 116 samples of 100 Hz at 20 kHz.
    double phase = 2 * std::numbers::pi * 100.0 * 116 / 20000.0;
    EXPECT_NEAR(b[0], std::sin(phase), 1e-6);
    EXPECT_NEAR(b[3], std::sin(phase + 2 * std::numbers::pi * 100.0 / 10000.0), 1e-6);
}

TEST(SignalGenerator, ClipsAtTheRangeAndAddsOffsetAndNoise)
{
    SignalGenerator gen({Parse("50hz=3"), Parse("dc=1"), Parse("noise=0.1")}, 1500, 7);
    std::vector<float> xyz(size_t(10000) * 3);
    gen.Generate(xyz.data(), 10000, 10000.0, 2.0);
    double maxX = 0, sumZ = 0, sumZ2 = 0;
    for (size_t i = 0; i < 10000; ++i) {
        maxX = std::max(maxX, double(std::fabs(xyz[i * 3])));
        EXPECT_EQ(xyz[i * 3 + 1], 1.0f);
        sumZ += xyz[i * 3 + 2];
        sumZ2 += double(xyz[i * 3 + 2]) * xyz[i * 3 + 2];
    }
    EXPECT_EQ(maxX, 2.0);
    EXPECT_NEAR(sumZ / 10000, 0.0, 0.01);
    EXPECT_NEAR(std::sqrt(sumZ2 / 10000), 0.1, 0.01);
}
