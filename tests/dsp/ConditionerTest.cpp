// Conditioning of whole blocks against closed forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "BlockFeeder.h"

using namespace tav;
using tav::test::BlockFeeder;

namespace {
constexpr double kPi = 3.14159265358979323846;

struct Rig {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    Conditioner conditioner{*table, *plots, sink, nullptr};
    ConnectionRecord &rec = (*table)[0];
    BlockFeeder feed{conditioner, rec};

    explicit Rig(bool displayed = true) { table->selectedConnection = displayed ? 0 : -1; }
    WindowStats Stats() { return ReadStats(rec.cond); }
    float LastVelocity() { return plots->time[0].Shown(1)[plots->time[0].pointCount - 1]; }
};

test::SampleGen Sine(double amplitude, double f, double fs, int axis = 0, double offset = 0)
{
    return [=](int64_t r, int a) {
        return a == axis ? static_cast<float>(offset + amplitude * std::cos(2 * kPi * f * r / fs)) : 0.0f;
    };
}
}  // namespace

TEST(Conditioning, ConstantOneGRisesTowardsTheIntegratorLimit)
{
    Rig rig;
    rig.plots->highPassOn = 0;
    auto one = [](int64_t, int a) { return a == 0 ? 1.0f : 0.0f; };
    rig.feed.FeedSeconds(1.0, one);
    const double t = rig.feed.Time(rig.feed.row - 1);
    EXPECT_NEAR(rig.LastVelocity(), 9800 * (1 - std::exp(-t)), 2.0);
    EXPECT_NEAR(rig.Stats().rms[kAcceleration][0], 1.0, 1e-12);
    EXPECT_EQ(rig.Stats().peak[kAcceleration][0], 1.0);
    EXPECT_EQ(rig.Stats().kurtosis[0], 0.0);  // no variance
    EXPECT_EQ(rig.Stats().peak[kAcceleration][1], 0.0);

    Rig filtered;  // the 10 Hz high-pass takes the slow rise out
    filtered.feed.FeedSeconds(2.0, one);
    const float atTwo = std::fabs(filtered.LastVelocity());
    filtered.feed.FeedSeconds(2.0, one);
    EXPECT_LT(atTwo, 1.0f);
    EXPECT_LT(std::fabs(filtered.LastVelocity()), atTwo);
}

TEST(Conditioning, SineGivesClosedFormRmsVelocityAndDisplacement)
{
    const double a = 1.0, f = 159.15, w = 2 * kPi * f;
    for (int highPass : {0, 1}) {
        Rig rig;
        rig.plots->highPassOn = highPass;
        // Without the high-pass, the start's offsets die out only with the
        // 1 rad/s corners, as t*e^-t for the displacement: let them settle.
        rig.feed.FeedSeconds(highPass ? 2.0 : 15.0, Sine(a, f, 26667, 1));
        const WindowStats s = rig.Stats();
        EXPECT_NEAR(s.rms[kAcceleration][1], a / std::sqrt(2.0), 1e-3);
        EXPECT_NEAR(s.rms[kVelocity][1], 6.93, 0.01);
        EXPECT_NEAR(s.peak[kVelocity][1], 9800 * a / w, 9800 * a / w * 0.005);
        EXPECT_NEAR(s.peak[kDisplacement][1], 9800 * a / (w * w), 9800 * a / (w * w) * 0.02);
        EXPECT_NEAR(s.kurtosis[1], 1.5, 0.02);
        EXPECT_EQ(s.rms[kVelocity][0], 0.0);
    }
}

TEST(Conditioning, KurtosisOfNoiseAndOfAnOffsetSine)
{
    Rig rig(false);
    std::mt19937 random(12345);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    auto gen = [&](int64_t r, int a) {
        if (a == 0)
            return noise(random);
        if (a == 1)  // 1 g of gravity under a small vibration
            return static_cast<float>(1.0 + 0.001 * std::sin(2 * kPi * 200 * r / 26667.0));
        return 0.0f;
    };
    rig.feed.FeedSeconds(1.0, gen);
    const WindowStats s = rig.Stats();
    EXPECT_NEAR(s.kurtosis[0], 3.0, 0.2);
    EXPECT_NEAR(s.kurtosis[1], 1.5, 0.02);
    EXPECT_EQ(s.kurtosis[2], 0.0);
}

TEST(Conditioning, WindowAndLiveLengthsAndWindowsRunAcrossBlocks)
{
    Rig rig;
    auto zero = [](int64_t, int) { return 0.0f; };
    rig.feed.FeedBlock(zero);  // 22 packets, 2552 rows at 26667 Hz
    EXPECT_EQ(rig.rec.cond.windowLength, 13333);
    EXPECT_EQ(rig.plots->time[2].pointCount, 26667);
    EXPECT_EQ(rig.rec.sensorAddress.load(), 7u);
    EXPECT_EQ(rig.rec.temperature.load(), 24.5f);
    for (int i = 0; i < 5; ++i)
        rig.feed.FeedBlock(zero);
    EXPECT_EQ(rig.Stats().windows, 1u);
    EXPECT_EQ(rig.rec.cond.windowCount, 6u * 2552 - 13333);
}

TEST(Conditioning, PausedPlotKeepsItsArraysWhileStatisticsMoveOn)
{
    Rig rig;
    auto gen = Sine(0.5, 100, 26667, 0);
    rig.feed.FeedSeconds(1.0, gen);
    rig.plots->time[0].running = 0;
    rig.plots->time[0].pointCount = 5;
    std::vector<float> before(rig.plots->time[0].velocitySamples, rig.plots->time[0].velocitySamples + kPlotPoints);
    const float yBefore = rig.plots->time[1].Shown(0)[0];
    const uint64_t windows = rig.Stats().windows;
    rig.feed.FeedSeconds(1.0, [](int64_t r, int) { return static_cast<float>(r % 7 + 1); });
    EXPECT_TRUE(std::equal(before.begin(), before.end(), rig.plots->time[0].velocitySamples));
    EXPECT_EQ(rig.plots->time[0].pointCount, 26667);
    EXPECT_GT(rig.Stats().windows, windows);
    EXPECT_NE(rig.plots->time[1].Shown(0)[0], yBefore);
}

TEST(Conditioning, CaptureStopsAtItsLimitUntilRestarted)
{
    Rig rig(false);
    ConditionState &c = rig.rec.cond;
    for (auto &axis : c.speedCapture)
        std::fill(std::begin(axis), std::end(axis), -1.0f);
    auto one = [](int64_t, int) { return 1.0f; };
    while (rig.feed.row < 80001)
        rig.feed.FeedBlock(one);
    EXPECT_EQ(c.captureCount.load(), 80001);
    // Only the Z axis is captured: the speed is estimated from it alone.
    for (int a = 0; a < 3; ++a) {
        const auto &axis = c.speedCapture[a];
        EXPECT_EQ(std::count_if(std::begin(axis), std::end(axis), [](float v) { return v != -1.0f; }),
                  a == kAxisZ ? 1601 : 0);
    }
    EXPECT_NEAR(c.speedCapture[kAxisZ][1600], 1.0, 1e-6);  // the low-pass passes DC
    rig.feed.FeedBlock(one);
    EXPECT_EQ(c.captureCount.load(), 80001);
    EXPECT_EQ(c.speedCapture[kAxisZ][1601], -1.0f);

    c.captureLimit = 100;  // a restart by the speed estimate
    c.captureCount = 0;
    rig.feed.FeedBlock(one);
    EXPECT_EQ(c.captureCount.load(), 100);
}

TEST(Conditioning, HighPassToggleKeepsSectionStates)
{
    Rig rig;
    rig.feed.FeedSeconds(0.5, Sine(1.0, 50, 26667, 0));
    const Biquad kept = rig.rec.cond.velocityHighPass[0];
    EXPECT_EQ(ToggleHighPass(*rig.plots), 0);
    EXPECT_STREQ(HighPassButtonText(0), "10Hz高通->关");
    rig.feed.FeedBlock(Sine(1.0, 50, 26667, 0));
    EXPECT_EQ(rig.rec.cond.velocityHighPass[0].y1, kept.y1);
    EXPECT_EQ(rig.rec.cond.velocityHighPass[0].x2, kept.x2);
    EXPECT_EQ(ToggleHighPass(*rig.plots), 1);
    EXPECT_STREQ(HighPassButtonText(1), "10Hz高通->开");
}

TEST(Conditioning, NonFiniteInputAndDivergedIntegratorsRecoverInTheBackground)
{
    Rig rig(false);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    auto gen = Sine(1.0, 159.15, 26667, 0);
    rig.feed.FeedBlock([&](int64_t r, int a) { return r == 3 ? nan : r == 4 && a == 2 ? inf : gen(r, a); });
    EXPECT_EQ(rig.rec.cond.nonFiniteSamples.load(), 4u);
    // A diverged integrator and its high-pass, as an overflow would leave them.
    rig.rec.cond.velocityIntegrator[0].previousOutput = nan;
    rig.rec.cond.velocityHighPass[0].y1 = nan;
    rig.rec.cond.displacementIntegrator[0].previousInput = inf;
    rig.feed.FeedSeconds(8.0, gen);
    const WindowStats s = rig.Stats();
    EXPECT_NEAR(s.rms[kAcceleration][0], 0.7071, 1e-3);
    EXPECT_NEAR(s.rms[kVelocity][0], 6.93, 0.02);
    EXPECT_TRUE(std::isfinite(s.rms[kDisplacement][0]));
}

TEST(Conditioning, EachConnectionKeepsCoefficientsForItsOwnRate)
{
    Rig rig(false);
    ConnectionRecord &other = (*rig.table)[1];
    BlockFeeder slow(rig.conditioner, other, 10000.0f);
    const double f = 159.15, w = 2 * kPi * f;
    slow.FeedSeconds(7.0, Sine(1.0, f, 10000, 0));
    rig.feed.FeedSeconds(1.0, Sine(1.0, f, 26667, 0));
    EXPECT_DOUBLE_EQ(other.cond.integratorB, std::cos(1e-4) / (1 + std::sin(1e-4)));
    EXPECT_DOUBLE_EQ(rig.rec.cond.integratorB, std::cos(1 / 26667.0) / (1 + std::sin(1 / 26667.0)));
    EXPECT_EQ(other.cond.windowLength, 5000);
    const WindowStats s = ReadStats(other.cond);
    EXPECT_NEAR(s.peak[kVelocity][0], 9800 / w, 9800 / w * 0.005);
    // The first packet of another rate redesigns the sections for it.
    Biquad expected;
    DesignBiquad(expected, BiquadKind::HighPass, 10000, 10.0f, 0.7071f);
    EXPECT_EQ(other.cond.velocityHighPass[2].a1, expected.a1);
}

// The shown second moves along its arrays and back to their start when it
// reaches their end: at every block it must be the newest rows, in order.
TEST(Conditioning, ShownSecondIsTheNewestRowsAcrossTheArraysEnd)
{
    Rig rig;
    auto ramp = [](int64_t r, int a) { return static_cast<float>(r % 1000000 + a); };
    int wrong = 0, blocks = 0;
    while (rig.feed.row < 8 * 26667) {
        rig.feed.FeedBlock(ramp);
        ++blocks;
        const int live = rig.plots->time[0].pointCount;
        for (int a = 0; a < 3; ++a)
            for (int i = int(std::max<int64_t>(live - rig.feed.row, 0)); i < live; ++i)
                wrong += rig.plots->time[a].Shown(0)[i] != ramp(rig.feed.row - live + i, a);
    }
    EXPECT_EQ(wrong, 0) << "over " << blocks << " blocks";
}

TEST(Conditioning, BlockLongerThanTheLiveWindowIsShownRawAndNotCounted)
{
    Rig rig;
    rig.feed.fs = 2000.0f;  // 22 packets = 2552 rows > 2000
    rig.feed.FeedBlock([](int64_t r, int) { return static_cast<float>(r); }, 22);
    EXPECT_EQ(rig.plots->time[0].samples[2551], 2551.0f);
    EXPECT_EQ(rig.plots->time[0].pointCount, 2000);
    EXPECT_EQ(rig.rec.cond.windowCount, 0u);
    EXPECT_EQ(rig.rec.cond.captureCount.load(), 0);
}

TEST(Conditioning, LiveBlockEventsAreCoalescedAndRecordingComesFirst)
{
    struct Recorder : RecordingSink {
        void RecordBlock(ConnectionRecord &rec, const uint8_t *, uint32_t n) override
        {
            bytes += n;
            windowCountSeen = rec.cond.windowCount;
        }
        uint32_t bytes = 0, windowCountSeen = 99;
    } recorder;
    Rig rig;
    rig.conditioner.SetRecordingSink(&recorder);
    auto zero = [](int64_t, int) { return 0.0f; };
    rig.feed.FeedBlock(zero);
    rig.feed.FeedBlock(zero);
    EXPECT_EQ(rig.sink.liveBlocks.load(), 1);
    rig.plots->liveBlockPending = false;  // the window handled it
    rig.feed.FeedBlock(zero);
    EXPECT_EQ(rig.sink.liveBlocks.load(), 2);
    EXPECT_EQ(recorder.bytes, 3u * 22 * 1420);
    EXPECT_EQ(recorder.windowCountSeen, 2u * 2552);
}

// The vector kernel against the plain steps it stands for, bit for bit: the
// integrators, their high-pass sections and the float rounding between them,
// for every row of a noisy signal on all three axes, and the double states
// and sums they leave (where a change of the order of the arithmetic shows
// even when the float values round alike).
TEST(Conditioning, PlotValuesAreExactlyThoseOfTheScalarSteps)
{
    for (int highPass : {0, 1}) {
        Rig rig;
        rig.plots->highPassOn = highPass;
        std::mt19937 rng(17);
        std::normal_distribution<float> noise(0.0f, 0.7f);
        std::vector<float> input;
        const int blocks = 3;
        for (int b = 0; b < blocks; ++b)
            rig.feed.FeedBlock([&](int64_t, int) {
                input.push_back(noise(rng));
                return input.back();
            });
        const int rows = int(input.size() / 3);
        const int live = rig.plots->time[0].pointCount;
        ASSERT_GT(live, rows);

        const IntegratorCoefficients k = MakeIntegratorCoefficients(26667.0f);
        for (int a = 0; a < 3; ++a) {
            Integrator vi, di;
            Biquad vh, dh;
            DesignBiquad(vh, BiquadKind::HighPass, 26667, kHighPassHz, kFilterQ);
            DesignBiquad(dh, BiquadKind::HighPass, 26667, kHighPassHz, kFilterQ);
            const PlotData &plot = rig.plots->time[a];
            int mismatches = 0;
            double sums[3] = {};
            for (int r = 0; r < rows; ++r) {
                const float x = input[size_t(r) * 3 + size_t(a)];
                float v = static_cast<float>(IntegratorStep(x, vi, k.a, k.b) * kMillimetresPerSecondSquaredPerG);
                float d = static_cast<float>(IntegratorStep(v, di, k.a, k.b));
                if (highPass) {
                    v = static_cast<float>(BiquadStep(vh, v));
                    d = static_cast<float>(BiquadStep(dh, d));
                }
                sums[0] += double(x) * x;
                sums[1] += double(v) * v;
                sums[2] += double(d) * d;
                const int at = live - rows + r;
                mismatches += plot.Shown(0)[at] != x;
                mismatches += std::memcmp(&plot.Shown(1)[at], &v, sizeof v) != 0;
                mismatches += std::memcmp(&plot.Shown(2)[at], &d, sizeof d) != 0;
            }
            EXPECT_EQ(mismatches, 0) << "axis " << a << " high-pass " << highPass;
            const ConditionState &c = rig.rec.cond;
            EXPECT_EQ(c.velocityIntegrator[a].previousOutput, vi.previousOutput);
            EXPECT_EQ(c.displacementIntegrator[a].previousOutput, di.previousOutput);
            if (highPass) {
                EXPECT_EQ(c.velocityHighPass[a].y1, vh.y1);
                EXPECT_EQ(c.displacementHighPass[a].y1, dh.y1);
            }
            for (int q = 0; q < 3; ++q)
                EXPECT_EQ(c.sumSquares[q][a], sums[q]) << "quantity " << q << " axis " << a;
        }
    }
}
