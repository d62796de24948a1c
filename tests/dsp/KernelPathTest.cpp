// The conditioning kernel's instruction-set paths against the baseline.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/dsp/ConditionKernel.h"
#include "core/processing/Conditioner.h"

using namespace tav;

// Runs of odd lengths over noise with a stuck stretch, a NaN and an
// infinity, every switch combination; returns the lanes and outputs.
static std::vector<uint8_t> RunAll(kernel::Path path)
{
    kernel::UsePath(path);
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 2.0f);
    std::vector<float> rows(3 * 400 + 4), plot(9 * 400), capture(3 * kSpeedCaptureLength);
    std::generate(rows.begin(), rows.end(), [&] { return noise(rng); });
    std::fill(rows.begin() + 300, rows.begin() + 330, 1.5f);
    rows[101] = NAN;
    rows[205] = INFINITY;
    ConditionState c;
    PrepareForSamplingFrequency(c, 26667.0f);
    c.rangeLimitG = 4.0f;  // some samples at the limit
    kernel::RowWork w;
    kernel::LoadLanes(w, c);
    int row = 0, count = 0;
    for (int flags = 0; flags < 16; ++flags)
        for (int n : {1, 7, 13}) {
            kernel::RowOutput o;
            for (int a = 0; a < 3; ++a) {
                o.step[a] = 1;
                o.capture[a] = capture.data() + a * kSpeedCaptureLength;
                for (int q = 0; q < 3; ++q)
                    o.plot[a][q] = plot.data() + (a * 3 + q) * 400 + row;
            }
            o.captureCount = count;
            const auto *p = reinterpret_cast<const uint8_t *>(rows.data() + 3 * row);
            kernel::ConditionRowRun(w, p, n, flags & 1, flags & 2, flags & 4, flags & 8, o);
            count += flags & 8 ? n : 0;
            row += n;
        }
    std::vector<uint8_t> out(sizeof w + 4 * (plot.size() + capture.size()));
    std::memcpy(out.data(), &w, sizeof w);
    std::memcpy(out.data() + sizeof w, plot.data(), 4 * plot.size());
    std::memcpy(out.data() + sizeof w + 4 * plot.size(), capture.data(), 4 * capture.size());
    return out;
}

TEST(KernelPaths, EveryPathGivesTheBaselinesResultsBitForBit)
{
    const std::vector<uint8_t> baseline = RunAll(kernel::Path::kBaseline);
    for (kernel::Path path : {kernel::Path::kAvx2, kernel::Path::kAvx512})
        if (kernel::UsePath(path) == path) {  // else this processor lacks it
            EXPECT_TRUE(RunAll(path) == baseline) << "path " << int(path);
        }
    kernel::UsePath(kernel::Path::kAvx512);
}

// The rows run in stretches that end at a captured value, three rows in work
// at once: each value must still be the speed cascade's output of its own
// row (every 50th), whatever the lengths of the runs.
TEST(KernelPaths, SpeedCaptureTakesTheCascadesOutputOfItsOwnRow)
{
    std::mt19937 rng(8);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    const int total = 3000;
    std::vector<float> rows(3 * total + 4), capture(3 * kSpeedCaptureLength, -1.0f);
    std::generate(rows.begin(), rows.end(), [&] { return noise(rng); });
    ConditionState c;
    PrepareForSamplingFrequency(c, 26667.0f);
    Biquad s[kSpeedSections];
    std::copy(std::begin(c.speedLowPass), std::end(c.speedLowPass), s);
    kernel::RowWork w;
    kernel::LoadLanes(w, c);
    float plot = 0.0f;
    for (int row = 0; row < total;) {
        const int n = std::min(std::uniform_int_distribution<int>(1, 120)(rng), total - row);
        kernel::RowOutput o;
        for (int a = 0; a < 3; ++a) {
            o.capture[a] = capture.data() + a * kSpeedCaptureLength;
            for (int q = 0; q < 3; ++q)
                o.plot[a][q] = &plot;
        }
        o.captureCount = row;
        kernel::ConditionRowRun(w, reinterpret_cast<const uint8_t *>(rows.data() + 3 * row), n, true, true, false,
                                true, o);
        row += n;
    }
    // Each section takes what the one before gave a row earlier.
    double out[kSpeedSections] = {};
    for (int r = 0; r < total; ++r) {
        const double in[kSpeedSections] = {rows[size_t(3 * r + kAxisZ)], out[0], out[1]};
        for (int k = 0; k < kSpeedSections; ++k) {
            out[k] = s[k].b0 * in[k] + s[k].x1;
            s[k].x1 = s[k].b1 * in[k] - s[k].a1 * out[k] + s[k].x2;
            s[k].x2 = s[k].b2 * in[k] - s[k].a2 * out[k];
        }
        if (r % kCaptureDecimation == 0) {
            ASSERT_EQ(capture[size_t(kAxisZ * kSpeedCaptureLength + r / kCaptureDecimation)], float(out[2])) << r;
        }
    }
}

// A run longer than the band's stack room goes in pieces inside the kernel:
// the pieces must carry on exactly where one long run would have, here
// against the same rows in short runs.
TEST(KernelPaths, ALongRunCutIntoPiecesGivesWhatShortRunsGive)
{
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 1.5f);
    const int total = 1000;
    std::vector<float> rows(3 * total + 4);
    std::generate(rows.begin(), rows.end(), [&] { return noise(rng); });
    struct Result {
        ConditionState c;
        std::vector<float> plot = std::vector<float>(9 * total), capture = std::vector<float>(3 * kSpeedCaptureLength);
    };
    auto run = [&](Result &r, bool shortRuns) {
        PrepareForSamplingFrequency(r.c, 26667.0f);
        kernel::RowWork w;
        kernel::LoadLanes(w, r.c);
        for (int row = 0; row < total;) {
            const int n = shortRuns ? std::min(std::uniform_int_distribution<int>(1, 40)(rng), total - row) : total;
            kernel::RowOutput o;
            for (int a = 0; a < 3; ++a) {
                o.step[a] = 1;
                o.capture[a] = r.capture.data() + a * kSpeedCaptureLength;
                for (int q = 0; q < 3; ++q)
                    o.plot[a][q] = r.plot.data() + (a * 3 + q) * total + row;
            }
            o.captureCount = row;
            kernel::ConditionRowRun(w, reinterpret_cast<const uint8_t *>(rows.data() + 3 * row), n, true, true, true,
                                    true, o);
            row += n;
        }
        kernel::StoreLanes(w, r.c);
    };
    auto one = std::make_unique<Result>(), pieces = std::make_unique<Result>();
    run(*one, false);
    run(*pieces, true);
    EXPECT_TRUE(one->plot == pieces->plot);
    EXPECT_TRUE(one->capture == pieces->capture);
    EXPECT_EQ(std::memcmp(one->c.isoSumSquares, pieces->c.isoSumSquares, sizeof one->c.isoSumSquares), 0);
    EXPECT_EQ(std::memcmp(one->c.sumSquares, pieces->c.sumSquares, sizeof one->c.sumSquares), 0);
    EXPECT_EQ(one->c.isoKeptRows, pieces->c.isoKeptRows);
}
