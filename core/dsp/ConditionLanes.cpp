// Gathering a connection's conditioning state into the kernel's lanes and
// scattering it back: once a block and at each window's close, apart from
// the row passes, which are built for several instruction sets.

#include "core/dsp/ConditionKernel.h"

namespace tav::kernel {

namespace {

void LoadSection(LaneBiquad &l, const Biquad (&s)[3])
{
    l = LaneBiquad{};
    for (int a = 0; a < 3; ++a) {
        l.b0[a] = s[a].b0;
        l.b1[a] = s[a].b1;
        l.b2[a] = s[a].b2;
        l.a1[a] = s[a].a1;
        l.a2[a] = s[a].a2;
        l.x1[a] = s[a].x1;
        l.x2[a] = s[a].x2;
        l.y1[a] = s[a].y1;
        l.y2[a] = s[a].y2;
    }
}

void StoreSection(const LaneBiquad &l, Biquad (&s)[3])
{
    for (int a = 0; a < 3; ++a) {
        s[a].x1 = l.x1[a];
        s[a].x2 = l.x2[a];
        s[a].y1 = l.y1[a];
        s[a].y2 = l.y2[a];
    }
}

}  // namespace

void LoadLanes(RowWork &w, const ConditionState &c)
{
    w = RowWork{};
    w.a = V4{c.integratorA, c.integratorA, c.integratorA, 0};
    w.b = V4{c.integratorB, c.integratorB, c.integratorB, 0};
    for (int a = 0; a < 3; ++a) {
        w.velIn[a] = c.velocityIntegrator[a].previousInput;
        w.velOut[a] = c.velocityIntegrator[a].previousOutput;
        w.dispIn[a] = c.displacementIntegrator[a].previousInput;
        w.dispOut[a] = c.displacementIntegrator[a].previousOutput;
        for (int q = 0; q < 3; ++q) {
            w.sumSq[q][a] = c.sumSquares[q][a];
            w.peak[q][a] = c.runningPeak[q][a];
        }
        w.s1[a] = c.sumAccel[a];
        w.s2[a] = c.sumAccel2[a];
        w.s3[a] = c.sumAccel3[a];
        w.s4[a] = c.sumAccel4[a];
        w.shift[a] = c.kurtosisShift[a];
        w.sumIso[a] = c.isoSumSquares[a];
        w.rawMin[a] = c.rawMin[a];
        w.rawMax[a] = c.rawMax[a];
        w.rawPrevious[a] = c.rawPrevious[a];
        w.run[a] = c.rawRun[a];
        w.longestRun[a] = c.rawLongestRun[a];
        w.atLimit[a] = c.rawAtLimit[a];
    }
    // An unknown range counts nothing at its limit.
    const float range = c.rangeLimitG.load(std::memory_order_relaxed);
    const double limit = range > 0.0f ? kRangeLimitShare * range : __builtin_inf();
    w.rangeLimit = V4{limit, limit, limit, __builtin_inf()};
    LoadSection(w.velHp, c.velocityHighPass);
    LoadSection(w.dispHp, c.displacementHighPass);
    w.speedLp = LaneBiquad{};
    for (int i = 0; i < kSpeedSections; ++i) {
        const Biquad &s = c.speedLowPass[i];
        w.speedLp.b0[i] = s.b0;
        w.speedLp.b1[i] = s.b1;
        w.speedLp.b2[i] = s.b2;
        w.speedLp.a1[i] = s.a1;
        w.speedLp.a2[i] = s.a2;
        w.speedLp.x1[i] = s.x1;
        w.speedLp.x2[i] = s.x2;
        w.speedOut[i] = s.y1;
    }
    // The low-pass's real pole (1, p) and pair (1, q1, q2) as one
    // denominator; the history and the high-pass's states per axis.
    for (int a = 0; a < 3; ++a) {
        const double p = c.isoBand[1][a].a1, q1 = c.isoBand[2][a].a1, q2 = c.isoBand[2][a].a2;
        w.isoPoles[0][a] = -(p + q1);
        w.isoPoles[1][a] = -(q2 + p * q1);
        w.isoPoles[2][a] = -(p * q2);
        for (int k = 0; k < 3; ++k)
            w.isoState[k][a] = c.isoLowPassState[k][a];
        for (int k = 0; k < kIsoTaps - 1; ++k)
            w.isoHistory[k][a] = c.isoLowPassHistory[k][a];
    }
    LoadSection(w.isoHigh[0], c.isoBand[3]);
    LoadSection(w.isoHigh[1], c.isoBand[4]);
    w.isoDecimation = c.isoDecimation;
    w.isoUntilKept = c.isoUntilKept;
    w.isoKept = c.isoKeptRows;
}

uint64_t StoreLanes(const RowWork &w, ConditionState &c)
{
    for (int a = 0; a < 3; ++a) {
        c.velocityIntegrator[a] = Integrator{w.velOut[a], w.velIn[a]};
        c.displacementIntegrator[a] = Integrator{w.dispOut[a], w.dispIn[a]};
        for (int q = 0; q < 3; ++q) {
            c.sumSquares[q][a] = w.sumSq[q][a];
            c.runningPeak[q][a] = w.peak[q][a];
        }
        c.sumAccel[a] = w.s1[a];
        c.sumAccel2[a] = w.s2[a];
        c.sumAccel3[a] = w.s3[a];
        c.sumAccel4[a] = w.s4[a];
        c.isoSumSquares[a] = w.sumIso[a];
        c.rawMin[a] = static_cast<float>(w.rawMin[a]);
        c.rawMax[a] = static_cast<float>(w.rawMax[a]);
        c.rawPrevious[a] = static_cast<float>(w.rawPrevious[a]);
        c.rawRun[a] = static_cast<uint32_t>(w.run[a]);
        c.rawLongestRun[a] = static_cast<uint32_t>(w.longestRun[a]);
        c.rawAtLimit[a] = static_cast<uint32_t>(w.atLimit[a]);
    }
    StoreSection(w.velHp, c.velocityHighPass);
    StoreSection(w.dispHp, c.displacementHighPass);
    for (int i = 0; i < kSpeedSections; ++i) {
        c.speedLowPass[i].x1 = w.speedLp.x1[i];
        c.speedLowPass[i].x2 = w.speedLp.x2[i];
        c.speedLowPass[i].y1 = w.speedOut[i];
    }
    for (int a = 0; a < 3; ++a) {
        for (int k = 0; k < 3; ++k)
            c.isoLowPassState[k][a] = w.isoState[k][a];
        for (int k = 0; k < kIsoTaps - 1; ++k)
            c.isoLowPassHistory[k][a] = w.isoHistory[k][a];
    }
    StoreSection(w.isoHigh[0], c.isoBand[3]);
    StoreSection(w.isoHigh[1], c.isoBand[4]);
    c.isoUntilKept = w.isoUntilKept;
    c.isoKeptRows = w.isoKept;
    return static_cast<uint64_t>(w.nonFinite[0] + w.nonFinite[1] + w.nonFinite[2]);
}

}  // namespace tav::kernel
