// Bearing diagnostics without a window: the defect frequencies against a
// bearing computed by hand, the defect lines and the names peaks get from
// them, and the envelope spectrum of simulated signals: a carrier modulated
// at the outer race's frequency shows that line, an unmodulated one does
// not, and strong lines outside the band leave no trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/analysis/Envelope.h"
#include "core/analysis/FaultLines.h"
#include "core/model/BearingDefects.h"
#include "sim/SignalGenerator.h"

namespace tav::analysis {
namespace {

BearingGeometry Bearing(int z, double d, double pitch, double phi) { return {"", z, d, pitch, phi}; }

TEST(BearingDefects, FrequenciesOfBearingsComputedByHand)
{
    // 9 elements, d 7.94 mm, D 39.04 mm, no contact angle: g = 0.203381.
    const DefectFrequencies a = BearingDefectFrequencies(Bearing(9, 7.94, 39.04, 0), 1800);
    const double fr = 30;
    EXPECT_NEAR(a.bpfo / fr, 3.58478, 1e-4);
    EXPECT_NEAR(a.bpfi / fr, 5.41522, 1e-4);
    EXPECT_NEAR(a.ftf / fr, 0.39831, 1e-4);
    EXPECT_NEAR(a.bsf / fr, 2.35675, 1e-4);
    EXPECT_NEAR(a.bpfo + a.bpfi, 9 * fr, 1e-9);
    // 16 elements, d 10 mm, D 60 mm, 15 degrees: g = cos 15 / 6 = 0.160988.
    const DefectFrequencies b = BearingDefectFrequencies(Bearing(16, 10, 60, 15), 600);
    EXPECT_NEAR(b.bpfo / 10, 6.71210, 1e-4);
    EXPECT_NEAR(b.bpfi / 10, 9.28790, 1e-4);
    EXPECT_NEAR(b.ftf / 10, 0.41951, 1e-4);
    EXPECT_NEAR(b.bsf / 10, 2.92225, 1e-4);
    EXPECT_NEAR(b.bpfo + b.bpfi, 16 * 10, 1e-9);
    // An impossible bearing or no speed gives no lines rather than wrong ones.
    EXPECT_EQ(BearingDefectFrequencies(Bearing(9, 40, 39.04, 0), 1800).bpfo, 0);
    EXPECT_EQ(BearingDefectFrequencies(Bearing(9, 7.94, 39.04, 0), 0).bpfi, 0);
    EXPECT_FALSE(BearingGeometryProblem(Bearing(9, 7.94, 39.04, 90)).empty());
}

// At 1500 rpm 6 x BPFO (537.72 Hz, not drawn) lies 0.7 % from 4 x BPFI
// (541.52 Hz): an outer-race fault's sixth harmonic must not be called an
// inner-race line, so neither peak is named. Two drawn lines within 2 % are
// both named, nearest first; a lone line alone.
TEST(FaultLines, PeaksAreNamedOnlyWhereNoOtherLineFitsAsWell)
{
    const std::vector<BearingGeometry> bearings{Bearing(9, 7.94, 39.04, 0)};
    std::vector<FaultLine> lines;
    FaultLinesFor(bearings, 1500, 1000, lines);
    auto names = [&](double hz) {
        const FaultNames n = FaultNamesAt(lines, hz);
        std::string text;
        for (int i = 0; i < n.count; ++i)
            text += (i ? " / " : "") + FaultLineName(*n.line[i]);
        return text;
    };
    const double bpfo = 3.584785 * 25;
    EXPECT_EQ(names(6 * bpfo), "");
    EXPECT_EQ(names(541.52), "");
    EXPECT_EQ(names(2 * bpfo), "BPFO×2 / BSF×3");
    EXPECT_EQ(names(bpfo * 1.01), "BPFO×1");
    EXPECT_EQ(names(5 * bpfo), "BPFO×5");
}

TEST(FaultLines, HarmonicsInnerRaceSidebandsAndNames)
{
    const std::vector<BearingGeometry> bearings{Bearing(9, 7.94, 39.04, 0), Bearing(2, 1, 0.5, 0)};
    std::vector<FaultLine> lines;
    FaultLinesFor(bearings, 1800, 500, lines);
    const double bpfo = 3.584785 * 30, bpfi = 5.415215 * 30;
    int outer = 0, innerSides = 0;
    for (const FaultLine &l : lines) {
        EXPECT_EQ(l.bearing, 0);  // the impossible second bearing has none
        EXPECT_LE(l.hz, 500);
        EXPECT_GE(l.harmonic, 1);
        EXPECT_LE(l.harmonic, kFaultHarmonics);
        EXPECT_TRUE(l.side == 0 || l.kind == FaultKind::Bpfi);
        outer += l.kind == FaultKind::Bpfo;
        innerSides += l.kind == FaultKind::Bpfi && l.side != 0;
    }
    EXPECT_EQ(outer, 4);       // 107.5, 215.1, 322.6, 430.2 Hz; 537.7 lies above
    EXPECT_EQ(innerSides, 5);  // around 162.5, 324.9 and 487.4 Hz; 487.4 + 30 lies above
    // Peaks take the name of the nearest line within 2 %.
    const FaultLine *f = NearestFaultLine(lines, bpfo * 1.015);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FaultLineName(*f), "BPFO×1");
    f = NearestFaultLine(lines, 2 * bpfi);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FaultLineName(*f), "BPFI×2");
    f = NearestFaultLine(lines, 2 * bpfi - 30);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(FaultLineName(*f), "BPFI×2-fr");
    EXPECT_EQ(NearestFaultLine(lines, bpfo * 1.03), nullptr);
    // No speed, no lines; the vector keeps its room for the next time.
    const size_t room = lines.capacity();
    FaultLinesFor(bearings, 0, 500, lines);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(lines.capacity(), room);
}

// `seconds` of the X axis of a simulated sensor at 25600 Hz.
std::vector<float> Simulate(const std::string &x, double seconds, uint32_t seed = 7)
{
    sim::AxisSignal axis;
    std::string error;
    EXPECT_TRUE(sim::ParseAxisSignal(x, &axis, &error)) << error;
    sim::SignalGenerator gen({axis, {}, {}}, 1800, seed);
    const int rows = static_cast<int>(seconds * 25600);
    std::vector<float> xyz(3 * rows), out(rows);
    gen.Generate(xyz.data(), rows, 25600);
    for (int i = 0; i < rows; ++i)
        out[i] = xyz[3 * i];
    return out;
}

struct EnvelopeRun {
    Layout layout;
    std::vector<float> amplitude;
    std::vector<Peak> peaks;
};

// Four two-second passes, Hann, linear average, envelope lines to 500 Hz.
EnvelopeRun Demodulate(const std::vector<float> &signal, EnvelopeBand band = kEnvelopeBands[kDefaultEnvelopeBand])
{
    EnvelopeAnalyser analyser;
    Options o;
    o.seconds = 2;
    o.window = WindowKind::Hann;
    o.averaging = Averaging::Linear;
    o.averages = 4;
    o.spanHz = 500;
    EnvelopeRun run;
    run.layout = analyser.Configure(25600, o, band);
    for (int pass = 0; pass < 4; ++pass)
        analyser.Add(signal.data() + pass * run.layout.count);
    EXPECT_EQ(analyser.Averaged(), 4);
    run.amplitude = analyser.Amplitudes();
    run.peaks = FindPeaks(run.amplitude, run.layout, o.window, 0, 500);
    return run;
}

double LineAt(const EnvelopeRun &run, double hz)
{
    const int k = static_cast<int>(std::lround(hz / run.layout.df));
    return *std::max_element(run.amplitude.begin() + k - 2, run.amplitude.begin() + k + 3);
}

TEST(EnvelopeLines, CarrierModulatedAtTheOuterRaceShowsItsLine)
{
    const std::vector<BearingGeometry> bearings{Bearing(9, 7.94, 39.04, 0)};
    const double bpfo = BearingDefectFrequencies(bearings[0], 1800).bpfo;  // 107.54 Hz
    std::vector<FaultLine> lines;
    FaultLinesFor(bearings, 1800, 500, lines);
    // 3 kHz at 1 g times (1 + 0.5 cos(2 pi BPFO t)): the carrier and two
    // sidebands in phase; the running speed's line and noise beside it.
    const std::string side = std::to_string(3000 - bpfo) + "hz=0.25," + std::to_string(3000 + bpfo) + "hz=0.25";
    const EnvelopeRun modulated = Demodulate(Simulate("1x=2,3000hz=1," + side + ",noise=0.05", 8.5));
    ASSERT_FALSE(modulated.peaks.empty());
    const Peak &top = modulated.peaks[0];
    EXPECT_NEAR(top.frequency, bpfo, modulated.layout.df);
    EXPECT_NEAR(top.amplitude, 0.5, 0.05);
    const FaultLine *named = NearestFaultLine(lines, top.frequency);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(FaultLineName(*named), "BPFO×1");

    // The same carrier without the modulation: nothing at the outer race.
    const EnvelopeRun plain = Demodulate(Simulate("1x=2,3000hz=1,noise=0.05", 8.5));
    for (const Peak &p : plain.peaks)
        EXPECT_GT(std::fabs(p.frequency - bpfo), 0.02 * bpfo) << p.frequency << " Hz " << p.amplitude;
    EXPECT_LT(LineAt(plain, bpfo), 0.02);
}

TEST(EnvelopeLines, BandPassKeepsStrongLinesOutsideTheBandOut)
{
    // Two strong lines 150 Hz apart beat at 150 Hz, a weak carrier in the
    // 2-5 kHz band does not beat at all.
    const std::vector<float> signal = Simulate("1000hz=2,1150hz=2,3000hz=0.2,noise=0.02", 8.5);
    const EnvelopeRun inBand = Demodulate(signal, {500, 2000});
    EXPECT_GT(LineAt(inBand, 150), 1.0);  // 16 / (3 pi) = 1.70 g for a full beat
    const EnvelopeRun outOfBand = Demodulate(signal);
    EXPECT_LT(LineAt(outOfBand, 150), 0.01);
    for (const Peak &p : outOfBand.peaks)
        EXPECT_GT(std::fabs(p.frequency - 150), 5.0) << p.frequency;

    // A band above the Nyquist frequency adds nothing rather than garbage.
    EnvelopeAnalyser analyser;
    Options o;
    o.spanHz = 500;
    const Layout &l = analyser.Configure(25600, o, {13000, 14000});
    analyser.Add(signal.data());
    EXPECT_GT(l.count, 0);
    EXPECT_EQ(analyser.Averaged(), 0);
}

}  // namespace
}  // namespace tav::analysis
