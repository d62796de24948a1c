// Integrator and second-order sections against closed forms.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "core/processing/Conditioner.h"

using namespace tav;

namespace {
constexpr double kPi = 3.14159265358979323846;

// H(e^jw) of a section, evaluated from its coefficients.
std::complex<double> Response(const Biquad &s, double w)
{
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    return (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
}

// Amplitude and phase of the settled output of a sine at w through BiquadStep.
std::complex<double> MeasuredResponse(Biquad s, double w)
{
    const int n = 200000;
    std::complex<double> acc = 0;
    for (int i = 0; i < n; ++i) {
        const double y = BiquadStep(s, std::cos(w * i));
        if (i >= n / 2)
            acc += y * std::polar(1.0, -w * i);
    }
    return acc * (2.0 / (n / 2));
}
}  // namespace

TEST(Filters, StartCoefficientsAt26667Hz)
{
    ConditionState c;
    PrepareForSamplingFrequency(c, 26667.0f);
    // Values computed independently from the design formulas.
    EXPECT_DOUBLE_EQ(c.integratorA, 1.8749414083030214e-05);
    EXPECT_DOUBLE_EQ(c.integratorB, 0.9999625011718339);
    const Biquad &lp = c.speedLowPass[0], &hp = c.velocityHighPass[1];
    EXPECT_DOUBLE_EQ(hp.b0, 0.9983353108456671);
    EXPECT_DOUBLE_EQ(hp.b1, -1.9966706216913341);
    EXPECT_DOUBLE_EQ(hp.a1, -1.996667850552699);
    EXPECT_DOUBLE_EQ(hp.a2, 0.9966733928299691);
    EXPECT_EQ(0.0, lp.x1 + lp.x2 + lp.y1 + lp.y2);
}

TEST(Filters, IntegratorGainIsOneOverOmegaAboveTheCorner)
{
    const auto k = MakeIntegratorCoefficients(26667.0);
    EXPECT_NEAR(2 * k.a / (1 - k.b), 1.0, 1e-12);  // DC gain
    const double f = 50, w = 2 * kPi * f / 26667.0;
    const std::complex<double> z1 = std::polar(1.0, -w);
    const double gain = std::abs(k.a * (1.0 + z1) / (1.0 - k.b * z1));
    EXPECT_NEAR(gain * 2 * kPi * f, 1.0, 1e-3);
}

TEST(Filters, LowAndHighPassGainsAtDcCornerAndNyquist)
{
    Biquad lp, hp;
    DesignBiquad(lp, BiquadKind::LowPass, 26667, 120.0f, 0.7071f);
    DesignBiquad(hp, BiquadKind::HighPass, 26667, 10.0f, 0.7071f);
    const double lpCorner = 2 * kPi * 120 / 26667, hpCorner = 2 * kPi * 10 / 26667;
    EXPECT_NEAR(std::abs(Response(lp, 0)), 1.0, 1e-12);
    EXPECT_NEAR(std::abs(Response(lp, lpCorner)), 0.7071, 1e-4);  // -3 dB
    EXPECT_NEAR(std::abs(Response(lp, kPi)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(Response(hp, 0)), 0.0, 1e-12);
    EXPECT_NEAR(std::abs(Response(hp, hpCorner)), 0.7071, 1e-4);
    EXPECT_NEAR(std::abs(Response(hp, kPi)), 1.0, 1e-12);
}

TEST(Filters, DirectFormOneMatchesTheTransferFunction)
{
    Biquad lp, bp;
    DesignBiquad(lp, BiquadKind::LowPass, 10000, 120.0f, 0.7071f);
    DesignBiquad(bp, BiquadKind::BandPass, 10000, 300.0f, 2.0f);
    for (double f : {30.0, 120.0, 300.0, 1000.0}) {
        const double w = 2 * kPi * f / 10000;
        for (const Biquad *s : {&lp, &bp}) {
            const auto expected = Response(*s, w), measured = MeasuredResponse(*s, w);
            EXPECT_NEAR(std::abs(measured - expected), 0.0, 1e-6) << f << " Hz";
        }
    }
}
