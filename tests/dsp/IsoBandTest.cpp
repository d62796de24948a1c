// The severity band of the velocity (10 Hz - 1 kHz) against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "BlockFeeder.h"
#include "core/dsp/BandDesign.h"

using namespace tav;
using tav::test::BlockFeeder;

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr float kFs = 26667.0f;

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// Velocity RMS in mm/s of a `g`-amplitude acceleration sine at f Hz.
double VelocityRms(double g, double f) { return 9800.0 * g / (2 * kPi * f) / std::sqrt(2.0); }

// The band's designed response with the integrator's droop.
double BandGain(double f) { return SeverityResponse(f, kFs); }

struct Rig {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    Conditioner conditioner{*table, *plots, sink, nullptr};
    ConnectionRecord &rec = (*table)[0];
    BlockFeeder feed{conditioner, rec, kFs};

    Rig(int highPass, float fs = kFs) : feed(conditioner, rec, fs)
    {
        table->selectedConnection = -1;
        plots->highPassOn = highPass;
    }
};

test::SampleGen Sine(double g, double f, double fs, int axis)
{
    return [=](int64_t r, int a) { return a == axis ? float(g * std::cos(2 * kPi * f * double(r) / fs)) : 0.0f; };
}
}  // namespace

TEST(IsoBandVelocity, KeepsOnlyTheInBandSineWithinOneDecibel)
{
    struct Case {
        double f;
        bool inBand;
    };
    for (const Case c : {Case{5.0, false}, Case{80.0, true}, Case{3000.0, false}}) {
        for (int highPass : {0, 1}) {
            SCOPED_TRACE(testing::Message() << c.f << " Hz, high-pass " << highPass);
            Rig rig(highPass);
            rig.feed.FeedSeconds(3.0, Sine(1.0, c.f, kFs, 2));
            const WindowStats s = ReadStats(rig.rec.cond);
            const double ratio = s.isoVelocityRms[2] / VelocityRms(1.0, c.f);
            if (c.inBand)
                EXPECT_LT(std::fabs(Db(ratio)), 1.0);
            else
                EXPECT_LT(Db(ratio), -1.0);
            // The attenuation is the band's own, not an accident of the window.
            EXPECT_NEAR(Db(ratio), Db(BandGain(c.f)), 0.2);
            // Other axes carry nothing.
            EXPECT_EQ(s.isoVelocityRms[0], 0.0);
            EXPECT_EQ(s.isoVelocityRms[1], 0.0);
        }
    }
}

TEST(IsoBandVelocity, IndependentOfTheHighPassButtonAndLeavesVelocityRmsAlone)
{
    // Below the band the button changes VR, never the band's value.
    Rig off(0), on(1);
    off.feed.FeedSeconds(3.0, Sine(0.5, 12.0, kFs, 0));
    on.feed.FeedSeconds(3.0, Sine(0.5, 12.0, kFs, 0));
    const WindowStats a = ReadStats(off.rec.cond), b = ReadStats(on.rec.cond);
    EXPECT_EQ(a.isoVelocityRms[0], b.isoVelocityRms[0]);
    EXPECT_GT(a.rms[kVelocity][0], b.rms[kVelocity][0] * 1.2);
    EXPECT_NEAR(a.rms[kVelocity][0], VelocityRms(0.5, 12.0), VelocityRms(0.5, 12.0) * 0.01);
}

TEST(IsoBandVelocity, SlowSensorGetsAStableBandAndGarbageDoesNotStick)
{
    // At 1 kHz sampling the 1 kHz corner would lie beyond the Nyquist rate.
    Rig slow(1, 1000.0f);
    slow.feed.FeedSeconds(3.0, Sine(1.0, 80.0, 1000.0, 1));
    const double v = ReadStats(slow.rec.cond).isoVelocityRms[1];
    EXPECT_TRUE(std::isfinite(v));
    EXPECT_LT(std::fabs(Db(v / VelocityRms(1.0, 80.0))), 1.0);

    // A burst of huge samples makes the band's sums overflow; the next
    // windows must come back to the sine's value.
    Rig rig(1);
    rig.feed.FeedSeconds(1.0, Sine(1.0, 80.0, kFs, 0));
    rig.feed.FeedSeconds(0.2, Sine(3e38, 80.0, kFs, 0));
    rig.feed.FeedSeconds(3.0, Sine(1.0, 80.0, kFs, 0));
    const double after = ReadStats(rig.rec.cond).isoVelocityRms[0];
    EXPECT_LT(std::fabs(Db(after / VelocityRms(1.0, 80.0))), 1.0);
}

// Relative response to sines of 5 mm/s RMS through the whole conditioning,
// at the rates the sensors use: the instrument tolerances inside the band,
// and outside it a fall at least as steep as a third-order Butterworth
// that passes the measured edge value (a second-order fall is far above).
class SeverityResponseTable : public testing::TestWithParam<float> {};

TEST_P(SeverityResponseTable, InsideTheTolerancesAndThirdOrderOutside)
{
    const float fs = GetParam();
    auto measure = [fs](double f) {
        Rig rig(1, fs);
        rig.feed.FeedSeconds(2.0, Sine(5.0 * std::sqrt(2.0) * 2 * kPi * f / 9800.0, f, fs, 2));
        return ReadStats(rig.rec.cond).isoVelocityRms[2] / 5.0;
    };
    const double edgeLow = measure(10.0), edgeHigh = measure(1000.0);
    for (double edge : {edgeLow, edgeHigh}) {
        EXPECT_GE(edge, 0.8);
        EXPECT_LE(edge, 1.1);
    }
    EXPECT_NEAR(measure(80.0), 1.0, 0.02);
    for (double f : {15.0, 20.0, 500.0, 900.0}) {
        const double r = measure(f);
        EXPECT_GE(r, f >= 20.0 && f <= 500.0 ? 0.9 : 0.8) << f << " Hz";
        EXPECT_LE(r, 1.1) << f << " Hz";
    }
    // A third-order limit reading `edge` at `edgeHz` has its corner at
    // edgeHz * (1 / edge^2 - 1)^(+-1/6).
    const double ratio = std::pow(1.0 / (edgeLow * edgeLow) - 1.0, 1.0 / 6.0);
    for (double f : {5.0, 8.0})
        EXPECT_NEAR(measure(f), 1.0 / std::sqrt(1.0 + std::pow(10.0 * ratio / f, 6)), 0.03) << f << " Hz";
    const double upperCorner = 1000.0 / std::pow(1.0 / (edgeHigh * edgeHigh) - 1.0, 1.0 / 6.0);
    for (double f : {1200.0, 1500.0, 2000.0})
        EXPECT_LE(measure(f), 1.03 / std::sqrt(1.0 + std::pow(f / upperCorner, 6))) << f << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Rates, SeverityResponseTable, testing::Values(26667.0f, 10000.0f, 5000.0f));

TEST(IsoBandVelocity, HighPassOnEveryEighthSampleReadsAsTheFullRateBand)
{
    // What the band read at 26667 Hz with every section at the full rate,
    // sines of 5 mm/s RMS. 4 kHz folds to 667 Hz among the kept samples,
    // so it stays this far down only if the low-pass ran before the
    // decimation; 5 kHz folds to half their rate, where the share a sine
    // keeps depends on its phase (at most twice its power).
    struct Case {
        double f, fullRate;
    };
    for (const Case c : {Case{10.0, 0.849904}, Case{80.0, 0.999978}, Case{1000.0, 0.849985}, Case{4000.0, 0.019990},
                         Case{5000.0, 0.008720}}) {
        Rig rig(1);
        rig.feed.FeedSeconds(2.0, Sine(5.0 * std::sqrt(2.0) * 2 * kPi * c.f / 9800.0, c.f, kFs, 2));
        const double r = ReadStats(rig.rec.cond).isoVelocityRms[2] / 5.0;
        if (c.f < 5000.0)
            EXPECT_NEAR(r, c.fullRate, c.fullRate * 0.001) << c.f << " Hz";
        else
            EXPECT_LT(r, c.fullRate * std::sqrt(2.0)) << c.f << " Hz";
    }
}

TEST(SeverityAverage, RandomVibrationScattersFarLessThanEachWindow)
{
    // Acceleration noise, so the velocity is dominated by the band's low end
    // and each half-second value scatters by about a tenth.
    Rig rig(1, 5000.0f);
    uint64_t state = 12345;
    auto noise = [&state](int64_t, int a) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return a == 0 ? float((double(state >> 11) / double(1ULL << 53) - 0.5) * 0.2) : 0.0f;
    };
    std::vector<double> fast, slow;
    uint64_t seen = 0;
    while (rig.feed.Time(rig.feed.row) < 45.0) {
        rig.feed.FeedBlock(noise);
        const WindowStats s = ReadStats(rig.rec.cond);
        if (s.windows != seen && rig.feed.Time(rig.feed.row) > 11.0) {
            EXPECT_EQ(s.isoAverageWindows, kDefaultSeverityAverageWindows);
            fast.push_back(s.isoVelocityRms[0]);
            slow.push_back(s.isoVelocityAverage[0]);
        }
        seen = s.windows;
    }
    auto scatter = [](const std::vector<double> &v) {
        double m = 0, q = 0;
        for (double x : v) m += x / double(v.size());
        for (double x : v) q += (x - m) * (x - m) / double(v.size());
        return std::sqrt(q) / m;
    };
    ASSERT_GT(fast.size(), 50u);
    EXPECT_GT(scatter(fast), 0.04);
    EXPECT_LT(scatter(slow), scatter(fast) / 2.5);
}
