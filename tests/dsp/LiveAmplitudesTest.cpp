#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <vector>

#include "core/dsp/Fft.h"
#include "core/processing/LiveAmplitudes.h"

namespace tav {
namespace {

constexpr double kTwoPi = 6.283185307179586;

TEST(LiveLayout, LengthSpacingAndLineCount)
{
    // 26667 Hz x 0.5 s = 13333.5 values, so the next power of two is 16384.
    LiveSpectrumLayout l = LiveLayout(26667, 5);
    EXPECT_EQ(l.n, 16384);
    EXPECT_NEAR(l.df, 1.62762, 1e-4);
    EXPECT_EQ(l.lines, 6143);

    // Exactly 10 kHz of lines is exactly half the transform.
    l = LiveLayout(20000, 5);
    EXPECT_EQ(l.n, 16384);
    EXPECT_EQ(l.lines, 8192);

    // Below 20 kHz the lines still reach 10 kHz, so that every division of
    // the plot means 1 kHz; those past n/2 are drawn as 0.
    l = LiveLayout(10000, 5);
    EXPECT_EQ(l.n, 8192);
    EXPECT_EQ(l.lines, 8192);
    l = LiveLayout(10000, 10);  // the whole second, as the window copies it
    EXPECT_EQ(l.n, 16384);
    EXPECT_EQ(l.lines, 16384);

    // Far below 10 kHz the count runs past n itself.
    l = LiveLayout(2000, 5);
    EXPECT_EQ(l.n, 1024);
    EXPECT_EQ(l.lines, 5120);

    // Nothing to transform.
    EXPECT_EQ(LiveLayout(0, 5).lines, 0);
    EXPECT_EQ(LiveLayout(1, 5).lines, 0);
}

TEST(ForwardFft, MatchesDirectDft)
{
    constexpr int n = 48;  // not a power of two: the reference takes any length
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> re(n), im(n), outRe(n), outIm(n);
    for (int i = 0; i < n; ++i) {
        re[i] = u(rng);
        im[i] = u(rng);
    }
    ForwardFft(re.data(), im.data(), n, outRe.data(), outIm.data());
    for (int k = 0; k < n; ++k) {
        std::complex<double> sum = 0;
        for (int i = 0; i < n; ++i)
            sum += std::complex<double>(re[i], im[i]) * std::polar(1.0, -kTwoPi * k * i / n);
        EXPECT_NEAR(outRe[k], sum.real(), 1e-5) << k;
        EXPECT_NEAR(outIm[k], sum.imag(), 1e-5) << k;
    }

    // n <= 1 leaves the output alone.
    float one = 3.0f, zero = 0.0f, o1 = -1.0f, o2 = -1.0f;
    ForwardFft(&one, &zero, 1, &o1, &o2);
    EXPECT_EQ(o1, -1.0f);
}

// The reused real-input plans must show the lines of the per-call complex
// transform of the same zero-extended input.
TEST(RealFft, SameLinesAsComplexTransformOfZeroExtendedInput)
{
    FftPlanCache plans;
    std::mt19937 rng(11);
    std::normal_distribution<float> g(0.0f, 1.0f);
    for (int n : {8, 8192, 16384}) {
        const int count = n * 13 / 16;
        std::vector<float> in(n, 0.0f), zero(n, 0.0f), re(n), im(n);
        for (int i = 0; i < count; ++i)
            in[i] = g(rng);
        ForwardFft(in.data(), zero.data(), n, re.data(), im.data());
        RealFft *fft = plans.ForLength(n);
        ASSERT_NE(fft, nullptr);
        // Garbage past `count` must not reach the transform.
        std::vector<float> dirty = in;
        for (int i = count; i < n; ++i)
            dirty[i] = 1e6f;
        fft->Transform(dirty.data(), count);
        double worst = 0, largest = 0;
        for (int k = 0; k <= n / 2; ++k) {
            const double ref = std::hypot(double(re[k]), double(im[k]));
            largest = std::max(largest, ref);
            worst = std::max(worst, std::fabs(fft->Magnitude(k) - ref));
        }
        EXPECT_LT(worst, 1e-6 * largest) << n;
        EXPECT_EQ(plans.ForLength(n), fft) << "plan reused";
    }
    EXPECT_EQ(plans.ForLength(3000), nullptr);
}

TEST(LiveSpectra, SineAtALineShowsItsZeroExtendedAmplitude)
{
    auto plots = std::make_unique<LivePlots>();
    FftPlanCache plans;
    LiveSpectra spectra(*plots, plans);
    const LiveSpectrumLayout l = LiveLayout(26667, 5);
    const int line = 614;  // about 1 kHz
    const double f = line * double(l.df);
    const float amplitude[3] = {1.0f, 0.5f, 2.0f};
    // What the window copies at 26667 Hz: half a second, 13333 values.
    for (int axis = 0; axis < 3; ++axis)
        for (int i = 0; i < 13333; ++i)
            plots->spectrumInput[axis][i] = float(amplitude[axis] * std::sin(kTwoPi * f * i / 26667.0));

    spectra.ComputeLiveSpectra(26667, 5);
    for (int axis = 0; axis < 3; ++axis) {
        PlotData &p = plots->spectrum[axis];
        EXPECT_EQ(p.pointCount, 6143);
        // A sine that fills 13333 of 16384 points: about 0.81 of its amplitude.
        EXPECT_NEAR(p.samples[line], amplitude[axis] * 13333.0 / 16384.0, 0.01 * amplitude[axis]);
        EXPECT_LT(p.samples[line + 40], 0.02 * amplitude[axis]);
    }

    // A layout without lines leaves the plots as they are.
    spectra.ComputeLiveSpectra(0, 5);
    EXPECT_EQ(plots->spectrum[0].pointCount, 6143);
}

// A regression: at 10 kHz a 1 kHz line was drawn at the 2 kHz mark (the
// lines stopped at n/2 but were spread over 10 kHz of divisions).
TEST(LiveSpectra, BelowTwentyKilohertzLinesKeepTheirFrequencyAndNothingShowsPastNyquist)
{
    auto plots = std::make_unique<LivePlots>();
    FftPlanCache plans;
    LiveSpectra spectra(*plots, plans);
    for (unsigned fs : {10000u, 5000u, 1000u}) {
        const SpectrumCadence cadence = SpectrumCadenceFor(fs);
        ASSERT_EQ(cadence.share, 1.0);
        const LiveSpectrumLayout l = LiveLayout(fs, cadence.span);
        ASSERT_GE(l.n, int(fs)) << "the transform holds the whole second";
        const double f = fs / 10.0;  // a tenth of the sampling frequency
        for (unsigned i = 0; i < fs; ++i)
            plots->spectrumInput[0][i] = float(std::sin(kTwoPi * f * i / fs));
        spectra.ComputeLiveSpectra(fs, cadence.span);
        PlotData &p = plots->spectrum[0];
        ASSERT_EQ(p.pointCount, int(10000.0f / l.df)) << fs;
        int best = 0;
        for (int j = 0; j < p.pointCount; ++j)
            best = p.samples[j] > p.samples[best] ? j : best;
        // By the plot's own scale: pointCount lines over 10 kHz.
        EXPECT_NEAR(best * 10000.0 / p.pointCount, f, 1.0) << fs;
        EXPECT_GT(p.samples[best], 0.4f) << fs;
        for (int j = l.n / 2; j < p.pointCount; ++j)
            ASSERT_EQ(p.samples[j], 0.0f) << fs << " line " << j;
    }
}

TEST(SpectrumCadence, HalfASecondEveryFiveBlocksFromTwentyKilohertzElseTheWholeSecondEveryBlock)
{
    for (long fs : {20000L, 26667L, 100000L}) {
        const SpectrumCadence c = SpectrumCadenceFor(fs);
        EXPECT_EQ(c.ticks, 5);
        EXPECT_EQ(c.share, 0.5);
        EXPECT_EQ(c.span, 5u);
    }
    for (long fs : {19999L, 10000L, 1000L, 0L}) {
        const SpectrumCadence c = SpectrumCadenceFor(fs);
        EXPECT_EQ(c.ticks, 1);
        EXPECT_EQ(c.share, 1.0);
        EXPECT_EQ(c.span, 10u);
    }
}

}  // namespace
}  // namespace tav
