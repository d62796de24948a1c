// The severity band of the velocity (10 Hz - 1 kHz) against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "BlockFeeder.h"

using namespace tav;
using tav::test::BlockFeeder;

namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr float kFs = 26667.0f;

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// Velocity RMS in mm/s of a `g`-amplitude acceleration sine at f Hz.
double VelocityRms(double g, double f) { return 9800.0 * g / (2 * kPi * f) / std::sqrt(2.0); }

// Second-order Butterworth magnitudes of the band's two corners, as the
// bilinear transform maps them (frequencies warped by tan(pi f / fs)), times
// the trapezoidal integrator's gain relative to 1 / (2 pi f).
double BandGain(double f)
{
    const auto warp = [](double x) { return std::tan(kPi * x / kFs); };
    const double hp = 1.0 / std::sqrt(1.0 + std::pow(warp(10.0) / warp(f), 4));
    const double lp = 1.0 / std::sqrt(1.0 + std::pow(warp(f) / warp(1000.0), 4));
    const double integrator = (kPi * f / kFs) / warp(f);
    return hp * lp * integrator;
}

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
