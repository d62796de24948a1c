#include "core/dsp/ConditionKernel.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cstring>

// The vector helpers below are always inlined: no vector value crosses a
// call, so the note that passing one would differ between the baseline and
// the AVX calling convention does not apply.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wpsabi"
#elif defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace tav::kernel {

static_assert(sizeof ConditionState::isoLowPassHistory / sizeof ConditionState::isoLowPassHistory[0] == kIsoTaps - 1,
              "the kept history is what the taps reach back to");

namespace {

using F4 = float __attribute__((vector_size(16)));

constexpr M4 kAxisLanes = {-1, -1, -1, 0};
constexpr M4 kAbsMask = {0x7fffffffffffffffL, 0x7fffffffffffffffL, 0x7fffffffffffffffL, 0x7fffffffffffffffL};

#define TAV_INLINE [[gnu::always_inline]] inline

TAV_INLINE V4 Splat(double v) { return V4{v, v, v, v}; }
TAV_INLINE V4 Abs(const V4 &v) { return (V4)((M4)v & kAbsMask); }
// Strict comparison: a lane keeps its first largest magnitude, and a NaN
// never replaces it (on x86, one maxpd).
TAV_INLINE V4 Larger(const V4 &peak, const V4 &magnitude) { return magnitude > peak ? magnitude : peak; }

// Conversions between four floats and four doubles. The compiler's generic
// form of the 256-bit one goes through the stack in two halves; the AVX
// paths use the one instruction each instead. Same values bit for bit.
struct Generic {
    // Whether the row pass keeps the raw figures as well (RawPass otherwise):
    // only where 32 registers hold their running values beside the rest.
    static constexpr bool kFusedRaw = false;
    TAV_INLINE static V4 Widen(const F4 &v) { return __builtin_convertvector(v, V4); }
    TAV_INLINE static F4 Narrow(const V4 &v) { return __builtin_convertvector(v, F4); }
};

#if defined(__clang__)
// Clang emits the one instruction for the generic form itself, and refuses
// 256-bit operands in inline assembly outside a function built for AVX.
struct Avx : Generic {};
struct Avx512 : Generic {
    static constexpr bool kFusedRaw = true;
};
#else
// Only ever inlined into the functions built for AVX2 and above.
struct Avx {
    static constexpr bool kFusedRaw = false;
    TAV_INLINE static V4 Widen(const F4 &v)
    {
        V4 r;
        asm("vcvtps2pd %1, %0" : "=v"(r) : "v"(v));
        return r;
    }
    TAV_INLINE static F4 Narrow(const V4 &v)
    {
        F4 r;
        asm("vcvtpd2ps %1, %0" : "=v"(r) : "v"(v));
        return r;
    }
};
struct Avx512 : Avx {
    static constexpr bool kFusedRaw = true;
};
#endif

// Rounds each lane to float32, as the scalar code stores its float values.
template <class Isa>
TAV_INLINE V4 ToFloat(const V4 &v)
{
    return Isa::Widen(Isa::Narrow(v));
}

// A section's running states, apart from its coefficients: the states stay
// in registers through a run while the coefficients are read from memory as
// operands (copying whole sections left the compiler storing their states
// to the stack every row).
struct State {
    V4 x1, x2, y1, y2;
};

TAV_INLINE State StateOf(const LaneBiquad &s) { return State{s.x1, s.x2, s.y1, s.y2}; }

TAV_INLINE void KeepState(LaneBiquad &s, const State &t)
{
    s.x1 = t.x1;
    s.x2 = t.x2;
    s.y1 = t.y1;
    s.y2 = t.y2;
}

// The plotted high-pass sections: direct form I, summed in the order of
// BiquadStep. Their numerators are symmetric (b2 is b0, as every section
// DesignBiquad makes for them has it), so b2 times the input two rows back
// is b0 times it, the product its own row already made: each input is
// multiplied twice, not three times, with the same products. `p1` and `p2`
// hold b0 times the last two inputs, `q1` b1 times the last.
struct HighPassState {
    V4 q1, p1, p2, y1, y2;
};

TAV_INLINE HighPassState HighPassStateOf(const LaneBiquad &k)
{
    return HighPassState{k.b1 * k.x1, k.b0 * k.x1, k.b2 * k.x2, k.y1, k.y2};
}

TAV_INLINE V4 Step(const LaneBiquad &k, HighPassState &s, const V4 &x)
{
    const V4 p = k.b0 * x;
    const V4 y = (((p + s.q1) + s.p2) - k.a1 * s.y1) - k.a2 * s.y2;
    s.q1 = k.b1 * x;
    s.p2 = s.p1;
    s.p1 = p;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// Keeps the states of a section whose last two inputs were `x1` (the newer)
// and `x2`.
TAV_INLINE void KeepHighPass(LaneBiquad &k, const HighPassState &s, const V4 &x1, const V4 &x2)
{
    k.x1 = x1;
    k.x2 = x2;
    k.y1 = s.y1;
    k.y2 = s.y2;
}

// Transposed direct form II: two states per section (held in x1, x2)
// instead of four. For the sections no plot shows.
TAV_INLINE V4 StepTransposed(const LaneBiquad &k, State &s, const V4 &x)
{
    const V4 y = k.b0 * x + s.x1;
    s.x1 = k.b1 * x - k.a1 * y + s.x2;
    s.x2 = k.b2 * x - k.a2 * y;
    return y;
}

// The severity band's sections without their numerators' scales, which
// ConditionState::isoGain gathers and the window's close applies to the sum
// of squares: with the numerators' fixed shapes, fewer operations than
// general sections give the same band to within rounding. At the full rate
// only the low-pass's denominators run, as one third-order recursion
// (transposed, its coefficients negated); the numerators, linear and without
// feedback, are applied only on the rows kept for the high-pass part: the
// droop correction (1, -14, 1) times (1, 1) and (1, 2, 1) is the six taps
// (1, -11, -38, -38, -11, 1) over the recursion's outputs, `u` the newest.
TAV_INLINE V4 LowPassTaps(const V4 *u)
{
    return ((u[0] + u[-5]) - Splat(11.0) * (u[-1] + u[-4])) - Splat(38.0) * (u[-2] + u[-3]);
}

// The high-pass's pole pair over (1, -2, 1), transposed. The input's term
// goes in before the output's, off the path from one kept row's output to
// the next: the kept rows run one after the other, bound by that latency.
TAV_INLINE V4 HighPassPair(const LaneBiquad &k, State &s, const V4 &x)
{
    const V4 y = x + s.x1;
    s.x1 = (s.x2 - x * Splat(2.0)) - k.a1 * y;
    s.x2 = x - k.a2 * y;
    return y;
}

// The high-pass's real pole over (1, -1), transposed with its state held
// negated, which saves the negation of the input.
TAV_INLINE V4 HighPassPole(const LaneBiquad &k, State &s, const V4 &x)
{
    const V4 y = x - s.x1;
    s.x1 = x + k.a1 * y;
    return y;
}

// Loads row i's X, Y, Z (and one value beyond, into the idle lane) with a
// NaN or infinite sample, and the idle lane, taken as 0; the raw figures
// count them. `raw` receives the samples as they came, `magnitude` their
// absolute values and `finite` which of them are finite.
template <class Isa>
TAV_INLINE V4 LoadRow(const uint8_t *p, V4 &raw, V4 &magnitude, M4 &finite)
{
    F4 in;
    std::memcpy(&in, p, sizeof in);
    raw = Isa::Widen(in);
    magnitude = Abs(raw);
    finite = magnitude <= Splat(FLT_MAX);
    return (V4)((M4)raw & finite & kAxisLanes);
}

// One loop over the rows does the acceleration's statistics and speed
// filter and the integrators with their filters. Each recurrence is bound by
// its own latency, so in one loop they overlap (two passes over the rows,
// each with all its values in registers, took about 15 % longer). Within a
// row the values depend on one another from the sample to the high-passed
// displacement, a long chain that left the processor too little to overlap;
// so the loop works on three rows at once, each at another stage. Each row's
// operations are the same, in the same order, as row by row.
template <class Isa, bool kIso, bool kHighPass, bool kPlot, bool kCapture>
TAV_INLINE void FusedPass(RowWork &w, const uint8_t *p, int n, const RowOutput &out)
{
    if (n <= 0)
        return;
    V4 sumSq = w.sumSq[0], peak = w.peak[0];
    V4 s1 = w.s1, s2 = w.s2, s3 = w.s3, s4 = w.s4;
    const V4 shift = w.shift;
    const LaneBiquad &lpK = w.speedLp;
    State lp = StateOf(lpK);
    V4 lpOut = w.speedOut;
    const V4 ka = w.a, kb = w.b, gravity = Splat(kMillimetresPerSecondSquaredPerG);
    V4 velIn = w.velIn, velOut = w.velOut, dispIn = w.dispIn, dispOut = w.dispOut;
    V4 sumV = w.sumSq[1], peakV = w.peak[1], sumD = w.sumSq[2], peakD = w.peak[2];
    const LaneBiquad &velHpK = w.velHp, &dispHpK = w.dispHp;
    HighPassState velHp = HighPassStateOf(velHpK), dispHp = HighPassStateOf(dispHpK);
    // The sections' last two inputs, for their states; the loop keeps only
    // their products, and the last rows' inputs are taken at the end.
    V4 velX1 = velHpK.x1, velX2 = velHpK.x2, dispX1 = dispHpK.x1, dispX2 = dispHpK.x2;
    // The band's recursion writes each row's output after the last ones of
    // the run before, which the six taps reach back to.
    const V4 isoN1 = w.isoPoles[0], isoN2 = w.isoPoles[1], isoN3 = w.isoPoles[2];
    V4 iso1 = w.isoState[0], iso2 = w.isoState[1], iso3 = w.isoState[2];
    V4 lowPassed[kIso ? kMaxRunRows + kIsoTaps - 1 : 1];
    V4 *lowPassedRow = lowPassed + (kIso ? kIsoTaps - 1 : 0);
    if constexpr (kIso)
        std::memcpy(lowPassed, w.isoHistory, sizeof w.isoHistory);
    // Rows left until the next captured value, and its position.
    const int decimation = out.captureDecimation > 0 ? out.captureDecimation : 1;
    int untilCapture = (decimation - out.captureCount % decimation) % decimation;
    int position = (out.captureCount + untilCapture) / decimation;
    V4 sumIso = w.sumIso;
    // The raw figures, where this pass keeps them: in double lanes, which
    // hold the float samples exactly, against the limit as a float, so that
    // every comparison falls as RawPass's does. Runs are counted less one:
    // a sample that ends a run sets it to 0, the masked count as it stands.
    V4 rawMin = w.rawMin, rawMax = w.rawMax, rawPrevious = w.rawPrevious;
    const V4 rawLimit = ToFloat<Isa>(w.rangeLimit);
    M4 runLess = w.run - 1, longestLess = w.longestRun - 1, atLimit = w.atLimit, finiteRows = {};
    float *dst[3][3];
    std::memcpy(dst, out.plot, sizeof dst);

    // A row's first stage: the acceleration's statistics, the speed filter
    // and the velocity (before the high-pass), from its samples.
    auto velocity = [&](const uint8_t *row, V4 &x) __attribute__((always_inline)) {
        // A NaN or infinite sample counts as no acceleration.
        V4 raw, magnitude;
        M4 finite;
        x = LoadRow<Isa>(row, raw, magnitude, finite);
        if constexpr (Isa::kFusedRaw) {
            rawMin = raw < rawMin ? raw : rawMin;
            rawMax = raw > rawMax ? raw : rawMax;
            runLess = raw == rawPrevious ? runLess + 1 : M4{};
            longestLess = runLess > longestLess ? runLess : longestLess;
            atLimit -= magnitude >= rawLimit;
            finiteRows -= finite;
            rawPrevious = raw;
        }
        sumSq += x * x;
        peak = Larger(peak, Abs(x));
        const V4 dev = x - shift;
        const V4 dev2 = dev * dev;
        s1 += dev;
        s2 += dev2;
        s3 += dev2 * dev;
        s4 += dev2 * dev2;
        if constexpr (kCapture) {
            // The three sections of the Z axis's low-pass run side by side,
            // one per lane: each takes what the section before it gave one
            // row earlier, so the last lane gives the cascade's output two
            // rows late (no matter for a speed).
            const V4 in = __builtin_shufflevector(lpOut, x, 6, 0, 1, 2);
            lpOut = StepTransposed(lpK, lp, in);
        }
        const V4 vy = ka * (x + velIn) + kb * velOut;
        velIn = x;
        velOut = vy;
        return ToFloat<Isa>(vy * gravity);
    };
    // Its second: displacement, severity band, the velocity's high-pass.
    auto displacement = [&](V4 &v, V4 &d) __attribute__((always_inline)) {
        // Displacement comes from the velocity before its high-pass.
        const V4 dy = ka * (v + dispIn) + kb * dispOut;
        dispIn = v;
        dispOut = dy;
        d = ToFloat<Isa>(dy);
        if constexpr (kIso) {
            const V4 y = v + iso1;
            iso1 = iso2 + isoN1 * y;
            iso2 = iso3 + isoN2 * y;
            iso3 = isoN3 * y;
            *lowPassedRow++ = y;
        }
        if constexpr (kHighPass)
            v = ToFloat<Isa>(Step(velHpK, velHp, v));
    };
    // Its third: the displacement's high-pass, plots and sums. The row's
    // displacement before its high-pass stays as it was, for the section's
    // state at the run's end.
    auto rest = [&](const V4 &x, const V4 &v, const V4 &unfiltered) __attribute__((always_inline)) {
        V4 d = unfiltered;
        if constexpr (kHighPass)
            d = ToFloat<Isa>(Step(dispHpK, dispHp, d));
        if constexpr (kPlot) {
            for (int a = 0; a < 3; ++a) {
                *dst[a][0] = static_cast<float>(x[a]);
                *dst[a][1] = static_cast<float>(v[a]);
                *dst[a][2] = static_cast<float>(d[a]);
                dst[a][0] += out.step[a];
                dst[a][1] += out.step[a];
                dst[a][2] += out.step[a];
            }
        }
        sumV += v * v;
        peakV = Larger(peakV, Abs(v));
        sumD += d * d;
        peakD = Larger(peakD, Abs(d));
    };
    // A captured value is the speed filter's output after its row's first
    // stage.
    auto captured = [&](int rows) __attribute__((always_inline)) {
        if constexpr (kCapture) {
            if (rows == untilCapture + 1) {
                // A limit set beyond the capture's length must not write past it.
                if (position < kSpeedCaptureLength)
                    out.capture[kAxisZ][position] = static_cast<float>(lpOut[kSpeedSections - 1]);
                ++position;
                untilCapture = decimation - 1;
            } else {
                untilCapture -= rows;
            }
        }
    };

    // Three rows are in work at once: row k's velocity, row k-1's
    // displacement and row k-2's rest.
    V4 x, v = velocity(p, x), d;
    captured(1);
    if (n == 1) {
        velX2 = velX1;
        velX1 = v;
        displacement(v, d);
        dispX2 = dispX1;
        dispX1 = d;
        rest(x, v, d);
    } else {
        V4 x1, v1 = velocity(p + 12, x1), d1;
        captured(1);
        displacement(v, d);
        // The rows run in stretches that end where a value is captured, so
        // that only a stretch's last row asks whether to capture.
        for (int i = 2; i < n;) {
            const int start = i;
            const int stop = kCapture ? std::min(n, i + untilCapture + 1) : n;
            for (; i < stop; ++i) {
                V4 x2;
                const V4 v2 = velocity(p + 12 * i, x2);
                displacement(v1, d1);
                rest(x, v, d);
                x = x1;
                v = v1;
                d = d1;
                x1 = x2;
                v1 = v2;
            }
            captured(i - start);
        }
        // The velocity before its high-pass is the displacement's input.
        velX2 = dispIn;
        velX1 = v1;
        displacement(v1, d1);
        dispX2 = d;
        dispX1 = d1;
        rest(x, v, d);
        rest(x1, v1, d1);
    }
    w.sumSq[0] = sumSq;
    w.peak[0] = peak;
    w.s1 = s1;
    w.s2 = s2;
    w.s3 = s3;
    w.s4 = s4;
    KeepState(w.speedLp, lp);
    w.speedOut = lpOut;
    w.velIn = velIn;
    w.velOut = velOut;
    w.dispIn = dispIn;
    w.dispOut = dispOut;
    w.sumSq[1] = sumV;
    w.peak[1] = peakV;
    w.sumSq[2] = sumD;
    w.peak[2] = peakD;
    if constexpr (kHighPass) {
        KeepHighPass(w.velHp, velHp, velX1, velX2);
        KeepHighPass(w.dispHp, dispHp, dispX1, dispX2);
    }
    if constexpr (kIso) {
        // The high-pass part and the sum on the kept rows, every isoDecimation-th
        // from the first the run before left for this one.
        State pair = StateOf(w.isoHigh[0]), pole = StateOf(w.isoHigh[1]);
        const int step = w.isoDecimation > 0 ? w.isoDecimation : 1;
        const V4 *rows = lowPassed + (kIsoTaps - 1);
        int r = w.isoUntilKept;
        uint32_t kept = 0;
        for (; r < n; r += step, ++kept) {
            const V4 band = HighPassPole(w.isoHigh[1], pole, HighPassPair(w.isoHigh[0], pair, LowPassTaps(rows + r)));
            sumIso += band * band;
        }
        w.isoKept += kept;
        w.isoUntilKept = r - n;
        KeepState(w.isoHigh[0], pair);
        KeepState(w.isoHigh[1], pole);
        std::memcpy(w.isoHistory, rows + n - (kIsoTaps - 1), sizeof w.isoHistory);
        w.isoState[0] = iso1;
        w.isoState[1] = iso2;
        w.isoState[2] = iso3;
    }
    w.sumIso = sumIso;
    if constexpr (Isa::kFusedRaw) {
        w.rawMin = rawMin;
        w.rawMax = rawMax;
        w.rawPrevious = rawPrevious;
        w.run = runLess + 1;
        w.longestRun = longestLess + 1;
        w.atLimit = atLimit;
        w.nonFinite += n - finiteRows;
    }
}

// The raw figures in single precision, four lanes in one 128-bit register:
// the samples come as floats and the figures need nothing more. The idle
// lane holds the next row's first value; its figures are never read.
template <class Isa>
TAV_INLINE void RawPass(RowWork &w, const uint8_t *p, int n)
{
    using I4 = int __attribute__((vector_size(16)));
    F4 mn = __builtin_convertvector(w.rawMin, F4), mx = __builtin_convertvector(w.rawMax, F4);
    F4 previous = __builtin_convertvector(w.rawPrevious, F4);
    const F4 limit = __builtin_convertvector(w.rangeLimit, F4);
    const I4 absMask = {0x7fffffff, 0x7fffffff, 0x7fffffff, 0x7fffffff};
    I4 run = __builtin_convertvector(w.run, I4), longest = __builtin_convertvector(w.longestRun, I4);
    I4 atLimit = __builtin_convertvector(w.atLimit, I4);
    const F4 largest = {FLT_MAX, FLT_MAX, FLT_MAX, FLT_MAX};
    // Finite samples, counted negatively (true is -1); the non-finite ones,
    // which the fused pass takes as 0, are the rest of the rows.
    I4 finite = {};
    for (int i = 0; i < n; ++i, p += 12) {
        F4 x;
        std::memcpy(&x, p, sizeof x);
        // Strict comparisons keep the extreme when the sample is NaN: one
        // minps or maxps each.
        mn = x < mn ? x : mn;
        mx = x > mx ? x : mx;
        // A run continues on an equal sample and starts again at 1.
        run = (run & (x == previous)) + 1;
        longest = run > longest ? run : longest;
        const F4 magnitude = (F4)((I4)x & absMask);
        atLimit -= magnitude >= limit;
        finite += magnitude <= largest;
        previous = x;
    }
    const I4 nonFinite = n + finite;
    w.nonFinite += __builtin_convertvector(nonFinite, M4);
    w.rawMin = __builtin_convertvector(mn, V4);
    w.rawMax = __builtin_convertvector(mx, V4);
    w.rawPrevious = __builtin_convertvector(previous, V4);
    w.run = __builtin_convertvector(run, M4);
    w.longestRun = __builtin_convertvector(longest, M4);
    w.atLimit = __builtin_convertvector(atLimit, M4);
}

using RunFn = void (*)(RowWork &, const uint8_t *, int, const RowOutput &);

template <bool kIso, bool kHighPass, bool kPlot, bool kCapture>
void RowsBaseline(RowWork &w, const uint8_t *p, int n, const RowOutput &out)
{
    FusedPass<Generic, kIso, kHighPass, kPlot, kCapture>(w, p, n, out);
    RawPass<Generic>(w, p, n);
}

// The same code for processors with 256-bit vectors. No fused multiply-add
// (the file is built without contraction), so that results do not depend on
// the processor.
template <bool kIso, bool kHighPass, bool kPlot, bool kCapture>
__attribute__((target("avx2"))) void RowsAvx2(RowWork &w, const uint8_t *p, int n, const RowOutput &out)
{
    FusedPass<Avx, kIso, kHighPass, kPlot, kCapture>(w, p, n, out);
    RawPass<Avx>(w, p, n);
}

// Still 256-bit vectors, but with the 32 vector registers of AVX-512: the
// pass's running values then stay in registers instead of being stored and
// reloaded every row, the raw figures' as well.
template <bool kIso, bool kHighPass, bool kPlot, bool kCapture>
__attribute__((target("avx2,avx512f,avx512vl"))) void RowsAvx512(RowWork &w, const uint8_t *p, int n,
                                                                 const RowOutput &out)
{
    FusedPass<Avx512, kIso, kHighPass, kPlot, kCapture>(w, p, n, out);
}

#define TAV_TABLE_HALF(fn, iso)                                            \
    {{{fn<iso, false, false, false>, fn<iso, false, false, true>},         \
      {fn<iso, false, true, false>, fn<iso, false, true, true>}},          \
     {{fn<iso, true, false, false>, fn<iso, true, false, true>},           \
      {fn<iso, true, true, false>, fn<iso, true, true, true>}}}
#define TAV_TABLE(fn) {TAV_TABLE_HALF(fn, false), TAV_TABLE_HALF(fn, true)}

// Indexed [path][iso][highPass][plot][capture].
constexpr RunFn kPaths[3][2][2][2][2] = {TAV_TABLE(RowsBaseline), TAV_TABLE(RowsAvx2), TAV_TABLE(RowsAvx512)};

void RawBaseline(RowWork &w, const uint8_t *p, int n) { RawPass<Generic>(w, p, n); }
__attribute__((target("avx2"))) void RawAvx2(RowWork &w, const uint8_t *p, int n) { RawPass<Avx>(w, p, n); }
__attribute__((target("avx2,avx512f,avx512vl"))) void RawAvx512(RowWork &w, const uint8_t *p, int n)
{
    RawPass<Avx>(w, p, n);
}

using RawFn = void (*)(RowWork &, const uint8_t *, int);
constexpr RawFn kRawPaths[3] = {RawBaseline, RawAvx2, RawAvx512};

int FastestPath()
{
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        return 2;
    return __builtin_cpu_supports("avx2") ? 1 : 0;
}

std::atomic<int> gPath{FastestPath()};

}  // namespace

void RawRun(RowWork &w, const uint8_t *p, int n)
{
    kRawPaths[gPath.load(std::memory_order_relaxed)](w, p, n);
}

void ConditionRowRun(RowWork &w, const uint8_t *p, int n, bool iso, bool highPass, bool plot, bool capture,
                     const RowOutput &out)
{
    const RunFn run = kPaths[gPath.load(std::memory_order_relaxed)][iso][highPass][plot][capture];
    if (n <= kMaxRunRows) {
        run(w, p, n, out);
        return;
    }
    // The band's outputs of a run are kept on the stack: longer runs go in
    // pieces, each taking up where the one before stopped.
    RowOutput piece = out;
    while (n > 0) {
        const int m = std::min(n, kMaxRunRows);
        run(w, p, m, piece);
        p += 12 * m;
        n -= m;
        piece.captureCount += m;
        for (int a = 0; a < 3; ++a)
            for (int q = 0; q < 3; ++q)
                piece.plot[a][q] += m * piece.step[a];
    }
}

Path UsePath(Path wanted)
{
    const int path = std::min(static_cast<int>(wanted), FastestPath());
    gPath.store(path, std::memory_order_relaxed);
    return static_cast<Path>(path);
}

}  // namespace tav::kernel
