// The analyst's spectrum against closed-form numbers: a sine's amplitude at
// a line and half-way between lines for each window, the refined peak
// frequency, the spread of averaged noise and the orders of a simulated
// machine.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "core/analysis/FrequencyLines.h"
#include "sim/AxisSignal.h"
#include "sim/SignalGenerator.h"

namespace tav::analysis {
namespace {

std::vector<float> Sine(double fs, int count, double hz, double amplitude, double phase = 0.3)
{
    std::vector<float> x(count);
    for (int i = 0; i < count; ++i)
        x[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / fs + phase));
    return x;
}

double Db(double ratio) { return 20 * std::log10(ratio); }

const WindowKind kWindows[] = {WindowKind::Rectangular, WindowKind::Hann, WindowKind::FlatTop};

TEST(AnalysisLayout, SameLinesAsTheMainWindowSpectrum)
{
    // 26667 Hz, half a second: 13333 values padded to 16384 lines of 1.628 Hz.
    const Layout l = LayoutFor(26667, 0.5);
    EXPECT_EQ(l.count, 13333);
    EXPECT_EQ(l.n, 16384);
    EXPECT_NEAR(l.df, 26667.0 / 16384, 1e-9);
    EXPECT_EQ(l.lines, 6143);
    EXPECT_EQ(l.real, 6143);
    // Four seconds: lines of 0.2 Hz; below 20 kHz the lines past Nyquist stay 0.
    EXPECT_EQ(LayoutFor(26667, 4).n, 131072);
    const Layout slow = LayoutFor(10000, 1);
    EXPECT_EQ(slow.real, slow.n / 2);
    EXPECT_GT(slow.lines, slow.real);
    EXPECT_EQ(LayoutFor(0, 1).count, 0);
    EXPECT_EQ(LayoutFor(NAN, 1).count, 0);
}

// A length one short of a power of two leaves the lines unpadded, so the
// textbook scalloping applies: sinc(1/2) for the rectangular window,
// sinc(1/2)/(1 - 1/4) for Hann, nearly nothing for the flat-top.
TEST(AnalysisAmplitude, SineAtALineAndBetweenLinesForEachWindow)
{
    const double fs = 16383, amplitude = 0.37;
    const double halfLineLoss[] = {Db(2 / std::numbers::pi), Db(2 / std::numbers::pi / 0.75), 0.0};
    const double tolerance[] = {0.02, 0.02, 0.1};
    for (int w = 0; w < 3; ++w) {
        SCOPED_TRACE(w);
        SpectrumAnalyser s;
        Options o;
        o.seconds = 1;
        o.window = kWindows[w];
        const Layout l = s.Configure(fs, o);
        ASSERT_EQ(l.n, 16384);
        const int line = 1234;
        s.Add(Sine(fs, l.count, line * l.df, amplitude).data());
        EXPECT_NEAR(Db(s.Amplitudes()[line] / amplitude), 0.0, 0.01);
        s.Reset();
        s.Add(Sine(fs, l.count, (line + 0.5) * l.df, amplitude).data());
        const double between = std::max(s.Amplitudes()[line], s.Amplitudes()[line + 1]);
        EXPECT_NEAR(Db(between / amplitude), halfLineLoss[w], tolerance[w]);
    }
}

TEST(AnalysisAmplitude, DecibelsReferToOneUnit)
{
    EXPECT_NEAR(ToDecibels(1.0), 0.0, 1e-12);
    EXPECT_NEAR(ToDecibels(0.1), -20.0, 1e-9);
    EXPECT_NEAR(ToDecibels(31.6227766), 30.0, 1e-6);
    EXPECT_EQ(ToDecibels(0.0), -240.0);
}

// Sines anywhere between two lines of a padded layout (a real sensor's
// rate): the refined peak reads the frequency within a tenth of a line and
// the amplitude within 0.1 dB, whatever the window.
TEST(AnalysisPeaks, FrequencyAndAmplitudeRefinedBetweenLines)
{
    const double fs = 26667, amplitude = 0.8;
    for (WindowKind kind : kWindows) {
        for (double offset : {0.0, 0.13, 0.25, 0.37, 0.5, 0.81}) {
            SCOPED_TRACE(static_cast<int>(kind) * 100 + offset * 100);
            SpectrumAnalyser s;
            Options o;
            o.seconds = 1;
            o.window = kind;
            const Layout l = s.Configure(fs, o);
            const double hz = (2001 + offset) * l.df;
            s.Add(Sine(fs, l.count, hz, amplitude).data());
            const std::vector<Peak> peaks = FindPeaks(s.Amplitudes(), l, kind, 0, 10000);
            ASSERT_FALSE(peaks.empty());
            EXPECT_NEAR(peaks[0].frequency, hz, 0.1 * l.df);
            EXPECT_NEAR(Db(peaks[0].amplitude / amplitude), 0.0, 0.1);
        }
    }
}

TEST(AnalysisPeaks, TenLargestAboveTheNoiseLargestFirst)
{
    const double fs = 26667;
    SpectrumAnalyser s;
    Options o;
    o.seconds = 1;
    o.window = WindowKind::Hann;
    const Layout l = s.Configure(fs, o);
    std::vector<float> x(l.count, 0.0f);
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.001f);
    for (float &v : x)
        v = noise(rng);
    // Twelve tones of falling amplitude: the list keeps the ten largest.
    for (int t = 0; t < 12; ++t) {
        const std::vector<float> tone = Sine(fs, l.count, 100.0 + 437.3 * t, 1.0 - 0.07 * t, t);
        for (int i = 0; i < l.count; ++i)
            x[i] += tone[i];
    }
    s.Add(x.data());
    const std::vector<Peak> peaks = FindPeaks(s.Amplitudes(), l, o.window, 0, 10000);
    ASSERT_EQ(peaks.size(), 10u);
    for (int t = 0; t < 10; ++t) {
        EXPECT_NEAR(peaks[t].frequency, 100.0 + 437.3 * t, 0.1 * l.df);
        EXPECT_NEAR(peaks[t].amplitude, 1.0 - 0.07 * t, 0.01);
    }
    // Noise alone stands above nothing.
    s.Reset();
    std::vector<float> quiet(l.count);
    for (float &v : quiet)
        v = noise(rng);
    s.Add(quiet.data());
    EXPECT_LE(FindPeaks(s.Amplitudes(), l, o.window, 0, 10000).size(), 1u);
    // A zoomed span lists only what lies inside it.
    s.Reset();
    s.Add(x.data());
    const std::vector<Peak> zoomed = FindPeaks(s.Amplitudes(), l, o.window, 500, 1500);
    ASSERT_EQ(zoomed.size(), 3u);
    EXPECT_NEAR(zoomed[0].frequency, 537.3, 0.1);
    EXPECT_NEAR(zoomed[2].frequency, 1411.9, 0.1);
}

// Gravity on a vertical axis: the constant's skirt, strong in the
// rectangular window, lists no peaks of its own near 0 Hz.
TEST(AnalysisPeaks, ConstantPartListsNoPeaks)
{
    const double fs = 26667;
    SpectrumAnalyser s;
    Options o;
    o.window = WindowKind::Rectangular;
    const Layout l = s.Configure(fs, o);
    std::vector<float> x = Sine(fs, l.count, 50.3, 0.1);
    for (float &v : x)
        v += 1.0f;
    s.Add(x.data());
    EXPECT_NEAR(s.Amplitudes()[0], 1.0, 1e-3);  // the constant reads itself, not twice
    const std::vector<Peak> peaks = FindPeaks(s.Amplitudes(), l, o.window, 0, 10000);
    ASSERT_FALSE(peaks.empty());
    EXPECT_NEAR(peaks[0].frequency, 50.3, 0.1 * l.df);
    for (const Peak &p : peaks)
        EXPECT_GT(p.frequency, 10.0) << p.frequency << " " << p.amplitude;
}

// Regression: the rectangular window over the full span listed the side
// lobes of 30, 60 and 90 Hz (74, 84, 100 Hz ...) as peaks, where two
// sines' lobes add up. Every window, the sines on and between lines, lists
// the three and a small tone far from them, nothing else.
TEST(AnalysisPeaks, SideLobesAreNoPeaksInAnyWindow)
{
    const double fs = 26667;
    for (WindowKind kind : kWindows) {
        for (double shift : {0.0, 0.37}) {
            SCOPED_TRACE(static_cast<int>(kind) * 100 + shift * 100);
            SpectrumAnalyser s;
            Options o;
            o.seconds = 1;
            o.window = kind;
            const Layout l = s.Configure(fs, o);
            std::vector<float> x(l.count, 0.0f);
            std::mt19937 rng(5);
            std::normal_distribution<float> noise(0.0f, 0.001f);
            for (float &v : x)
                v = noise(rng);
            const double hz[4] = {30 + shift, 60 + 2 * shift, 90 + 3 * shift, 1234.5};
            const double amplitude[4] = {0.5, 0.15, 0.05, 0.004};
            for (int t = 0; t < 4; ++t) {
                const std::vector<float> tone = Sine(fs, l.count, hz[t], amplitude[t], 0.7 * t);
                for (int i = 0; i < l.count; ++i)
                    x[i] += tone[i];
            }
            s.Add(x.data());
            const std::vector<Peak> peaks = FindPeaks(s.Amplitudes(), l, kind, 0, 10000);
            ASSERT_EQ(peaks.size(), 4u) << peaks.back().frequency;
            for (int t = 0; t < 4; ++t)
                EXPECT_NEAR(peaks[t].frequency, hz[t], 0.2 * l.df);
        }
    }
}

// Relative spread of the averaged noise lines over a band.
double Spread(const std::vector<float> &a, int from, int to)
{
    double sum = 0, sum2 = 0;
    for (int k = from; k < to; ++k) {
        sum += a[k];
        sum2 += double(a[k]) * a[k];
    }
    const double n = to - from, mean = sum / n;
    return std::sqrt(std::max(sum2 / n - mean * mean, 0.0)) / mean;
}

TEST(AnalysisAveraging, NoiseSpreadFallsAsOneOverRootN)
{
    const double fs = 8000;
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    double spreadOne = 0;
    for (int n : {1, 4, 16, 64}) {
        SpectrumAnalyser s;
        Options o;
        o.seconds = 0.5;
        o.window = WindowKind::Hann;
        o.averaging = n == 1 ? Averaging::None : Averaging::Linear;
        o.averages = n;
        const Layout l = s.Configure(fs, o);
        std::vector<float> x(l.count);
        for (int k = 0; k < n + 3; ++k) {  // a linear average stops at its N
            for (float &v : x)
                v = noise(rng);
            s.Add(x.data());
        }
        EXPECT_EQ(s.Averaged(), n == 1 ? n + 3 : n);
        const double spread = Spread(s.Amplitudes(), 50, l.real - 50);
        if (n == 1)
            spreadOne = spread;
        else
            EXPECT_NEAR(spreadOne / spread, std::sqrt(double(n)), 0.2 * std::sqrt(double(n))) << n;
    }
}

TEST(AnalysisAveraging, ExponentialFollowsAndPeakHoldKeepsTheLargest)
{
    const double fs = 8000;
    Options o;
    o.seconds = 0.5;
    o.window = WindowKind::FlatTop;
    SpectrumAnalyser s;
    o.averaging = Averaging::PeakHold;
    const Layout l = s.Configure(fs, o);
    const int line = 400;
    s.Add(Sine(fs, l.count, line * l.df, 2.0).data());
    s.Add(Sine(fs, l.count, line * l.df, 0.5).data());
    EXPECT_NEAR(s.Amplitudes()[line], 2.0, 0.01);
    s.Reset();
    EXPECT_EQ(s.Averaged(), 0);
    EXPECT_EQ(s.Amplitudes()[line], 0.0f);

    o.averaging = Averaging::Exponential;
    o.averages = 4;
    s.Configure(fs, o);
    for (int k = 0; k < 40; ++k)
        s.Add(Sine(fs, l.count, line * l.df, 1.0).data());
    EXPECT_NEAR(s.Amplitudes()[line], 1.0, 0.01);
    // A step down: after one spectrum the power moves a quarter of the way.
    s.Add(Sine(fs, l.count, line * l.df, 0.0).data());
    EXPECT_NEAR(s.Amplitudes()[line], std::sqrt(0.75), 0.01);
}

// A simulated machine at 1770 rpm with lines at 1x, 2x and 3x: the three
// largest peaks read orders 1, 2 and 3 and their amplitudes.
TEST(AnalysisOrders, SimulatedSensorShowsItsHarmonics)
{
    const double fs = 26667, rpm = 1770;
    sim::AxisSignal axis;
    std::string error;
    ASSERT_TRUE(sim::ParseAxisSignal("1x=0.5,2x=0.2@40,3x=0.1@75,noise=0.002", &axis, &error)) << error;
    sim::SignalGenerator gen({axis, sim::AxisSignal{}, sim::AxisSignal{}}, rpm, 11);
    SpectrumAnalyser s;
    Options o;
    o.seconds = 2;
    o.window = WindowKind::Hann;
    const Layout l = s.Configure(fs, o);
    std::vector<float> xyz(3 * l.count), x(l.count);
    gen.Generate(xyz.data(), l.count, fs);
    for (int i = 0; i < l.count; ++i)
        x[i] = xyz[3 * i];
    s.Add(x.data());
    const std::vector<Peak> peaks = FindPeaks(s.Amplitudes(), l, o.window, 0, 10000);
    ASSERT_GE(peaks.size(), 3u);
    const double expected[3] = {0.5, 0.2, 0.1};
    for (int h = 0; h < 3; ++h) {
        EXPECT_NEAR(Order(peaks[h].frequency, rpm), h + 1.0, 0.005);
        EXPECT_NEAR(peaks[h].amplitude, expected[h], 0.005);
    }
    EXPECT_EQ(Order(29.5, 0), 0.0);
}

}  // namespace
}  // namespace tav::analysis
