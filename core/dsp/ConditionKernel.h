#pragma once
// The per-sample arithmetic of block conditioning, three axes at a time: each
// axis is one lane of a four-wide double vector (the fourth lane idles), so
// that one row costs one pass of vector operations rather than three scalar
// passes. The lanes compute exactly what the scalar formulas compute, in the
// same order and precision; the vector width only changes the speed.
#include <cstddef>
#include <cstdint>

#include "core/dsp/ConditionState.h"

namespace tav::kernel {

using V4 = double __attribute__((vector_size(32)));
using M4 = long __attribute__((vector_size(32)));

struct LaneBiquad {
    V4 b0, b1, b2, a1, a2;
    V4 x1, x2, y1, y2;
};

// Taps of the severity band's numerators and droop correction together.
constexpr int kIsoTaps = 6;
// Rows a run works on at once; ConditionRowRun cuts longer ones.
constexpr int kMaxRunRows = 128;

// A connection's conditioning state gathered into lanes (X, Y, Z, unused),
// worked on while a run of rows goes through and then scattered back.
struct RowWork {
    V4 a, b;                   // integrator coefficients
    V4 velIn, velOut, dispIn, dispOut;
    LaneBiquad velHp, dispHp;
    LaneBiquad speedLp;        // Z axis's low-pass, one section per lane
    V4 speedOut;               // each section's last output
    // Severity band of the velocity (ConditionState::isoBand): the
    // low-pass recursion's coefficients -a1, -a2, -a3, its states and last
    // outputs (oldest first), the high-pass's pair and real pole on every
    // isoDecimation-th row.
    V4 isoPoles[3];
    V4 isoState[3];
    V4 isoHistory[kIsoTaps - 1];
    LaneBiquad isoHigh[2];
    V4 sumIso;
    int isoDecimation = 1, isoUntilKept = 0;
    uint32_t isoKept = 0;
    V4 sumSq[3], peak[3];      // [quantity]
    V4 s1, s2, s3, s4;         // kurtosis sums of deviations from `shift`
    V4 shift;
    M4 nonFinite;              // NaN or infinite samples taken as 0, per lane
    // Raw figures: extremes, the last sample, the current and the
    // longest run of equal samples, samples at the range limit.
    V4 rawMin, rawMax, rawPrevious, rangeLimit;
    M4 run, longestRun, atLimit;
};

void LoadLanes(RowWork &w, const ConditionState &c);
// Returns the non-finite samples that the lanes counted since LoadLanes.
uint64_t StoreLanes(const RowWork &w, ConditionState &c);

// Where a run's results go. plot[axis][quantity] receives row i at
// plot[axis][quantity][i * step[axis]]: step 0 parks a paused axis's values
// on one throw-away element instead of its plot.
struct RowOutput {
    float *plot[3][3] = {};
    std::ptrdiff_t step[3] = {};
    float *capture[3] = {};    // speed capture arrays (only Z is written)
    int captureCount = 0;      // capture count at the run's first row
    int captureDecimation = kCaptureDecimation;  // samples per captured value
};

// Conditions `n` rows starting at `p` (12 bytes per row, 16 bytes readable
// at each row: the next row or the packet's end marker follows). `plot`
// selects the plot writes, `capture` the speed capture of every row, `iso`
// the severity band's filters and sum. The raw figures and the count of NaN
// or infinite samples are always kept.
void ConditionRowRun(RowWork &w, const uint8_t *p, int n, bool iso, bool highPass, bool plot, bool capture,
                     const RowOutput &out);

// The instruction sets the row runs are built for: the x86-64 baseline
// (SSE2), AVX2, and AVX2 with the AVX-512 registers. All give the same
// results bit for bit; the fastest the processor has runs by default.
enum class Path { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };
// Runs `wanted` from now on, or the fastest below it that the processor
// has; returns the one chosen. For tests and benchmarks, before any block.
Path UsePath(Path wanted);

// The raw figures of `n` rows starting at `p` (same layout as above), and
// the count of NaN or infinite samples, alone: what ConditionRowRun keeps
// besides its other work (in its own pass below AVX-512, whose 16 registers
// the row pass's running values already fill).
void RawRun(RowWork &w, const uint8_t *p, int n);

}  // namespace tav::kernel
