#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "BlockFeeder.h"
#include "core/dsp/BandDesign.h"
#include "core/dsp/Fft.h"
#include "core/net/ConnectionTable.h"
#include "core/processing/SpeedEstimator.h"

namespace tav {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// A completed capture of the decimated Z axis: `values` values of a sine at
// `hz` (plus an optional second line), as the conditioning leaves it.
void FillCapture(ConnectionRecord &c, float fs, double hz, double amplitude, int samples = 80001,
                 double otherHz = 0, double otherAmplitude = 0)
{
    const double rate = fs / kCaptureDecimation;
    for (int i = 0; i < kSpeedCaptureLength; ++i)
        c.cond.speedCapture[kAxisZ][i] =
            float(amplitude * std::sin(kTwoPi * hz * i / rate) +
                  otherAmplitude * std::sin(kTwoPi * otherHz * i / rate + 0.3));
    c.samplingFrequency = fs;
    c.cond.captureLimit = samples;
    c.cond.captureCount = samples;
}

struct SpeedEstimatorTest : ::testing::Test {
    std::unique_ptr<ConnectionRecord> rec = std::make_unique<ConnectionRecord>();
    FftPlanCache plans;
};

TEST(SpeedLayout, FirstCaptureAt26667Hz)
{
    // 80001 samples give 1600 values, padded to 4 x 2048.
    const SpeedLayout l = SpeedLayoutFor(80001, 26667.0f, 13.0f, 25.5f);
    EXPECT_EQ(l.values, 1600);
    EXPECT_EQ(l.n, 8192);
    EXPECT_NEAR(l.df, 26667.0 / 50 / 8192, 1e-6);
    EXPECT_EQ(l.lo, 199);
    EXPECT_EQ(l.hi, 391);

    // Limits outside the transform are clamped to its searchable half.
    const SpeedLayout wide = SpeedLayoutFor(80001, 26667.0f, -5.0f, 1e9f);
    EXPECT_EQ(wide.lo, 0);
    EXPECT_EQ(wide.hi, 4096);
    EXPECT_EQ(SpeedLayoutFor(80001, 26667.0f, NAN, NAN).hi, 0);
    // A count beyond the capture array never reads past it.
    EXPECT_EQ(SpeedLayoutFor(1000000, 26667.0f, 13.0f, 25.5f).values, kSpeedCaptureLength);
}

TEST_F(SpeedEstimatorTest, DominantLineGivesItsSpeedAcrossTheBand)
{
    const float df = SpeedLayoutFor(80001, 26667.0f, 0, 0).df;
    struct Case {
        float lower, upper;
        double hz;
    };
    // Start-up band 13.0 .. 25.5 Hz near both edges, and the bands a rated
    // 3000 rpm machine gets (45 .. 55 Hz and 30 .. 55 Hz).
    for (Case k : {Case{13.0f, 25.5f, 13.1}, Case{13.0f, 25.5f, 25.0}, Case{13.0f, 25.5f, 25.4},
                   Case{13.0f, 25.5f, 19.77}, Case{45.0f, 55.0f, 49.5}, Case{45.0f, 55.0f, 54.8},
                   Case{30.0f, 55.0f, 30.2}}) {
        rec->lowerSearchLimit = k.lower;
        rec->upperSearchLimit = k.upper;
        FillCapture(*rec, 26667.0f, k.hz, 0.3);
        EstimateSpeed(*rec, plans);
        EXPECT_NEAR(rec->measuredSpeed.load(), k.hz * 60, df * 60) << k.hz;
    }
}

TEST_F(SpeedEstimatorTest, StrongerLineOutsideTheBandIsIgnored)
{
    FillCapture(*rec, 26667.0f, 24.0, 0.1, 80001, 50.0, 1.0);
    EstimateSpeed(*rec, plans);
    EXPECT_NEAR(rec->measuredSpeed.load(), 1440.0, 4.0);
}

TEST_F(SpeedEstimatorTest, NoSpeedFromAnEmptyBandOrASilentCapture)
{
    rec->measuredSpeed = 1500.0f;
    rec->lowerSearchLimit = 30.0f;
    rec->upperSearchLimit = 30.0f;
    FillCapture(*rec, 26667.0f, 30.0, 1.0);
    EstimateSpeed(*rec, plans);
    EXPECT_EQ(rec->measuredSpeed.load(), 0.0f);

    rec->measuredSpeed = 1500.0f;
    rec->lowerSearchLimit = 13.0f;
    rec->upperSearchLimit = 25.5f;
    FillCapture(*rec, 26667.0f, 20.0, 0.0);
    EstimateSpeed(*rec, plans);
    EXPECT_EQ(rec->measuredSpeed.load(), 0.0f);
}

TEST_F(SpeedEstimatorTest, EstimateRestartsTheCaptureWithinTheArray)
{
    FillCapture(*rec, 26667.0f, 20.0, 1.0);
    ASSERT_TRUE(CaptureComplete(rec->cond));
    EstimateSpeed(*rec, plans);
    EXPECT_EQ(rec->cond.captureLimit.load(), 80001);  // trunc(26667 x 3.0)
    EXPECT_EQ(rec->cond.captureCount.load(), 0);
    EXPECT_FALSE(CaptureComplete(rec->cond));

    // Three seconds at 40 kHz would overrun the 2000-value array: the capture
    // is cut to what fits.
    FillCapture(*rec, 40000.0f, 20.0, 1.0, 120000);
    EstimateSpeed(*rec, plans);
    EXPECT_EQ(rec->cond.captureLimit.load(), kSpeedCaptureLength * kCaptureDecimation);
    EXPECT_NEAR(rec->measuredSpeed.load(), 1200.0, 40000.0 / 50 / 8192 * 60);

    // A count that ran past a lowered limit still counts as complete.
    rec->cond.captureLimit = 100;
    rec->cond.captureCount = 150;
    EXPECT_TRUE(CaptureComplete(rec->cond));
}

// A weak running-speed line beside a strong tone that the decimation folds
// into the search band (at 26667 Hz 2 x 533.34 Hz + 47 Hz or + 15 Hz, and
// the nearest such tones, 533.34 Hz - 47 Hz or - 15 Hz), through the
// conditioning at two rates: the speed stays on the line, and the first
// capture completes after three seconds of the sensor's own samples,
// whatever the start-up limit.
TEST(SpeedThroughConditioning, AliasProneToneDoesNotMoveTheSpeed)
{
    struct Case {
        float fs;
        double lineHz, lineG, multiple, foldHz, toneG;
        float lower, upper;
    };
    for (const Case k : {Case{26667.0f, 49.5, 0.05, 2, 47.0, 6.0, 44.55f, 54.45f},
                         Case{26667.0f, 20.0, 0.05, 2, 15.0, 5.0, 13.0f, 25.5f},
                         Case{26667.0f, 49.5, 0.05, 1, -47.0, 6.0, 44.55f, 54.45f},
                         Case{5000.0f, 49.5, 0.05, 1, -47.0, 6.0, 44.55f, 54.45f},
                         Case{5000.0f, 20.0, 0.05, 1, -15.0, 5.0, 13.0f, 25.5f}}) {
        const double toneHz = k.multiple * k.fs / CaptureDecimationFor(k.fs) + k.foldHz;
        SCOPED_TRACE(testing::Message() << k.fs << " Hz, tone " << toneHz << " Hz");
        auto table = std::make_unique<ConnectionTable>();
        auto plots = std::make_unique<LivePlots>();
        test::CountingSink sink;
        Conditioner conditioner(*table, *plots, sink, nullptr);
        ConnectionRecord &rec = (*table)[0];
        table->selectedConnection = -1;
        rec.lowerSearchLimit = k.lower;
        rec.upperSearchLimit = k.upper;
        test::BlockFeeder feed(conditioner, rec, k.fs);
        const double w1 = kTwoPi * k.lineHz / k.fs, w2 = kTwoPi * toneHz / k.fs;
        feed.FeedSeconds(3.1, [&](int64_t r, int) {
            return float(k.lineG * std::sin(w1 * double(r)) + k.toneG * std::sin(w2 * double(r)));
        });
        ASSERT_TRUE(CaptureComplete(rec.cond));
        FftPlanCache plans;
        EstimateSpeed(rec, plans);
        const double df = SpeedLayoutFor(NextCaptureLimit(k.fs), k.fs, 0, 0).df;
        EXPECT_NEAR(rec.measuredSpeed.load(), k.lineHz * 60, df * 60 * 1.5);
    }
}

}  // namespace
}  // namespace tav
