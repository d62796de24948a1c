#include "core/health/BandAnalyser.h"

#include <algorithm>
#include <cmath>

#include "core/analysis/Envelope.h"
#include "core/dsp/ConditionState.h"
#include "core/dsp/Fft.h"

namespace tav::health {

namespace {
void Hann(int count, std::vector<float> &out, double *power)
{
    out.resize(size_t(count));
    double sum = 0;
    for (int i = 0; i < count; ++i) {
        out[size_t(i)] = float(0.5 - 0.5 * std::cos(2.0 * M_PI * i / count));
        sum += double(out[size_t(i)]) * out[size_t(i)];
    }
    *power = sum;
}
}  // namespace

int BandTransformLength(double fs)
{
    int n = 1024;
    while (n < 16384 && n < 0.3 * fs)
        n *= 2;
    return n;
}

int SlowTransformLength(double fs)
{
    int n = 1024;
    while (n < kSlowTransformMax && n < 2.4 * fs)
        n *= 2;
    return n;
}

BandAnalyser::BandAnalyser() = default;
BandAnalyser::~BandAnalyser() = default;

void BandAnalyser::Configure(double fs) { Configure(fs, BandTransformLength(fs), true); }

void BandAnalyser::Configure(double fs, int n, bool envelope)
{
    if (fs == fs_ && n == n_ && envelope == envelopeWanted_ && forward_)
        return;
    fs_ = fs;
    envelopeWanted_ = envelope;
    if (n != n_) {
        n_ = n;
        forward_ = std::make_unique<RealFft>(n);
        Hann(n, window_, &windowPower_);
        windowed_.resize(size_t(n));
        velocityPower_.assign(size_t(n / 2 + 1), 0.0);
    }
    df_ = fs / n_;
    velocityGain_.assign(size_t(n_ / 2 + 1), 0.0);
    displacementGain_.assign(size_t(n_ / 2 + 1), 0.0);
    const int floorLine = std::max(2, int(std::ceil(1.0 / df_)));
    for (int k = floorLine; k <= n_ / 2; ++k) {
        const double omega = 2.0 * M_PI * k * df_;
        const double gain = kMillimetresPerSecondSquaredPerG / omega;
        velocityGain_[size_t(k)] = gain * gain;
        displacementGain_[size_t(k)] = (1000.0 / omega) * (1000.0 / omega);
    }
    if (!envelope) {
        first_ = 0;
        last_ = -1;
        return;
    }
    const analysis::EnvelopeBand band = analysis::kEnvelopeBands[analysis::kDefaultEnvelopeBand];
    first_ = std::max(1, int(std::ceil(band.lowHz / df_)));
    last_ = std::min(n_ / 2 - 1, int(std::floor(band.highHz / df_)));
    int m = 64;
    while (m < last_ - first_ + 1)
        m *= 2;
    if (m != m_) {
        m_ = m;
        shifted_ = std::make_unique<InverseComplexFft>(m);
        envelopeFft_ = std::make_unique<RealFft>(m);
        Hann(m, envelopeWindow_, &envelopeWindowPower_);
        envelope_.resize(size_t(m));
        envelopePower_.assign(size_t(m / 2 + 1), 0.0);
    }
}

void BandAnalyser::Transform(const float *data)
{
    double mean = 0;
    for (int i = 0; i < n_; ++i)
        mean += data[i];
    mean /= n_;
    for (int i = 0; i < n_; ++i)
        windowed_[size_t(i)] = float((data[i] - mean) * window_[size_t(i)]);
    forward_->Transform(windowed_.data(), n_);
    const fftw_complex *x = forward_->Lines();
    for (int k = 0; k <= n_ / 2; ++k)
        velocityPower_[size_t(k)] = (x[k][0] * x[k][0] + x[k][1] * x[k][1]) * velocityGain_[size_t(k)];
    envelopeValid_ = last_ >= first_;
    if (!envelopeValid_)
        return;
    // The windowed band's analytic signal at m points: |.| is the envelope
    // times the window at those points, so the envelope comes windowed.
    fftw_complex *z = shifted_->In();
    const double scale = 2.0 / n_;
    for (int j = 0; j < m_; ++j) {
        const int k = first_ + j;
        z[j][0] = k <= last_ ? scale * x[k][0] : 0.0;
        z[j][1] = k <= last_ ? scale * x[k][1] : 0.0;
    }
    shifted_->Transform();
    const fftw_complex *a = shifted_->Out();
    double sum = 0;
    for (int j = 0; j < m_; ++j) {
        envelope_[size_t(j)] = float(std::sqrt(a[j][0] * a[j][0] + a[j][1] * a[j][1]));
        sum += envelope_[size_t(j)];
    }
    // The envelope's constant part, the carrier's size, taken out under
    // the same window so it does not leak over the cage's low lines.
    const double level = sum / (0.5 * m_);  // a Hann window of m points sums to m / 2
    for (int j = 0; j < m_; ++j)
        envelope_[size_t(j)] -= float(level * envelopeWindow_[size_t(j)]);
    envelopeFft_->Transform(envelope_.data(), m_);
    const fftw_complex *e = envelopeFft_->Lines();
    for (int k = 0; k <= m_ / 2; ++k)
        envelopePower_[size_t(k)] = k == 0 ? 0.0 : e[k][0] * e[k][0] + e[k][1] * e[k][1];
}

// A sine of amplitude A spreads N A^2 W / 4 over the lines of its lobe (W the
// window's sum of squares): the band's mean square is 2 sum / (N W).
double BandAnalyser::BandRms(const std::vector<double> &power, double scale, double lowHz, double highHz,
                             const std::vector<double> *weight) const
{
    const int lines = int(power.size());
    const int from = std::max(0, int(std::ceil(lowHz / df_ - 1e-9)));
    const int to = std::min(lines - 1, int(std::floor(highHz / df_ + 1e-9)));
    if (to < from)
        return NAN;
    double sum = 0;
    if (weight)
        for (int k = from; k <= to; ++k)
            sum += power[size_t(k)] * (*weight)[size_t(k)];
    else
        for (int k = from; k <= to; ++k)
            sum += power[size_t(k)];
    return std::sqrt(2.0 * sum * scale);
}

double BandAnalyser::VelocityRms(double lowHz, double highHz) const
{
    return n_ > 0 ? BandRms(velocityPower_, 1.0 / (double(n_) * windowPower_), lowHz, highHz) : NAN;
}

double BandAnalyser::DisplacementRms(double lowHz, double highHz) const
{
    return n_ > 0 ? BandRms(velocityPower_, 1.0 / (double(n_) * windowPower_), lowHz, highHz, &displacementGain_)
                  : NAN;
}

double BandAnalyser::EnvelopeRms(double lowHz, double highHz) const
{
    if (!envelopeValid_)
        return NAN;
    return BandRms(envelopePower_, 1.0 / (double(m_) * envelopeWindowPower_), lowHz, highHz);
}

}  // namespace tav::health
