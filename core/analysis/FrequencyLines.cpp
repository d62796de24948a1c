#include "core/analysis/FrequencyLines.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace tav::analysis {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Sum over i = 0..count-1 of e^(-j theta i).
std::complex<double> Dirichlet(double theta, int count)
{
    const double half = std::sin(theta / 2.0);
    const std::complex<double> phase = std::polar(1.0, -theta * (count - 1) / 2.0);
    if (std::fabs(half) < 1e-12)
        return phase * static_cast<double>(count);
    return phase * (std::sin(count * theta / 2.0) / half);
}

// Half the width of each window's main lobe, in lines of an unpadded
// transform: peaks closer than this to a larger one are its own flanks.
double MainLobeHalfWidth(WindowKind kind)
{
    switch (kind) {
    case WindowKind::Hann: return 2.0;
    case WindowKind::FlatTop: return 5.0;
    default: return 1.0;
    }
}

}  // namespace

Layout LayoutFor(double fs, double seconds, double spanHz)
{
    Layout l;
    if (!(fs > 0) || !(seconds > 0) || !std::isfinite(fs * seconds))
        return l;
    l.count = static_cast<int>(std::min(fs * seconds, 4e6));
    if (l.count < 2)
        return Layout{};
    l.n = 2;
    while (l.n <= l.count)
        l.n *= 2;
    l.df = fs / l.n;
    const double span = spanHz > 0 && spanHz <= kSpanHz ? spanHz : kSpanHz;
    l.lines = static_cast<int>(std::min(span / l.df, static_cast<double>(kMaxLines)));
    l.real = std::min(l.lines, l.n / 2);
    return l;
}

const std::vector<double> &WindowTerms(WindowKind kind)
{
    static const std::vector<double> rectangular{1.0};
    static const std::vector<double> hann{0.5, -0.5};
    // The flat-top's five terms keep a sine within 0.01 dB anywhere between
    // two lines, at the price of a main lobe ten lines wide.
    static const std::vector<double> flatTop{0.21557895, -0.41663158, 0.277263158, -0.083578947, 0.006947368};
    switch (kind) {
    case WindowKind::Hann: return hann;
    case WindowKind::FlatTop: return flatTop;
    default: return rectangular;
    }
}

void MakeWindow(WindowKind kind, int count, float *out)
{
    const std::vector<double> &c = WindowTerms(kind);
    for (int i = 0; i < count; ++i) {
        double w = 0;
        for (size_t k = 0; k < c.size(); ++k)
            w += c[k] * std::cos(kTwoPi * static_cast<double>(k) * i / count);
        out[i] = static_cast<float>(w);
    }
}

double KernelGain(WindowKind kind, int count, int n, double offset)
{
    if (count < 2 || n < 2)
        return 1.0;
    const std::vector<double> &c = WindowTerms(kind);
    const double theta = kTwoPi * offset / n;
    std::complex<double> w = c[0] * Dirichlet(theta, count);
    for (size_t k = 1; k < c.size(); ++k) {
        const double phi = kTwoPi * static_cast<double>(k) / count;
        w += c[k] * 0.5 * (Dirichlet(theta - phi, count) + Dirichlet(theta + phi, count));
    }
    return std::abs(w) / (c[0] * count);
}

double ToDecibels(double value)
{
    return value > 1e-12 ? 20.0 * std::log10(value) : -240.0;
}

SpectrumAnalyser::SpectrumAnalyser() = default;
SpectrumAnalyser::~SpectrumAnalyser() = default;

const Layout &SpectrumAnalyser::Configure(double fs, const Options &requested)
{
    Options o = requested;
    o.averages = std::clamp(o.averages, kMinAverages, kMaxAverages);
    const bool sameLines = fs == fs_ && o.seconds == options_.seconds && o.window == options_.window &&
                           o.spanHz == options_.spanHz && fft_;
    const bool sameAverage = sameLines && o.averaging == options_.averaging && o.averages == options_.averages;
    options_ = o;
    if (sameAverage)
        return layout_;
    if (!sameLines) {
        fs_ = fs;
        layout_ = LayoutFor(fs, o.seconds, o.spanHz);
        fft_.reset();
        if (layout_.count > 0) {
            fft_ = std::make_unique<RealFft>(layout_.n);
            window_.assign(layout_.count, 0.0f);
            MakeWindow(o.window, layout_.count, window_.data());
            double sum = 0;
            for (float w : window_)
                sum += w;
            gain_ = sum > 0 ? 1.0 / sum : 1.0;
            windowed_.assign(layout_.count, 0.0f);
        }
        power_.assign(layout_.lines, 0.0);
        amplitude_.assign(layout_.lines, 0.0f);
    }
    Reset();
    return layout_;
}

void SpectrumAnalyser::Reset()
{
    std::fill(power_.begin(), power_.end(), 0.0);
    std::fill(amplitude_.begin(), amplitude_.end(), 0.0f);
    averaged_ = 0;
}

void SpectrumAnalyser::Add(const float *data)
{
    if (!fft_ || layout_.count <= 0)
        return;
    const Options &o = options_;
    if (o.averaging == Averaging::Linear && averaged_ >= o.averages)
        return;
    for (int i = 0; i < layout_.count; ++i)
        windowed_[i] = data[i] * window_[i];
    fft_->Transform(windowed_.data(), layout_.count);
    ++averaged_;
    for (int j = 0; j < layout_.real; ++j) {
        // A sine's energy splits between the line and its mirror above the
        // Nyquist frequency; the constant part has no mirror.
        const double a = (j == 0 ? 1.0 : 2.0) * gain_ * fft_->Magnitude(j);
        const double p = a * a;
        double &avg = power_[j];
        switch (o.averaging) {
        case Averaging::None: avg = p; break;
        case Averaging::Linear: avg += (p - avg) / averaged_; break;
        case Averaging::Exponential:
            // The first N spectra weigh alike, so the start is not biased
            // towards the first one; then each new one weighs 1/N.
            avg += (p - avg) / std::min(averaged_, o.averages);
            break;
        case Averaging::PeakHold: avg = std::max(avg, p); break;
        }
        amplitude_[j] = static_cast<float>(std::sqrt(avg));
    }
}

Refined RefinePeak(double below, double at, double above, WindowKind kind, int count, int n)
{
    Refined r;
    r.amplitude = at;
    if (!(at > 0))
        return r;
    // The sine lies towards the larger neighbour. Its ratio to the line
    // grows from 0 (or the flank's level) to 1 as the sine moves half a line
    // towards it, inside every window's main lobe, so it fixes the offset;
    // the farther neighbour may lie past a zero of the lobe and is not used.
    const double sign = above >= below ? 1.0 : -1.0;
    const double measured = std::max(above, below) / at;
    auto ratio = [&](double d) {
        const double k0 = KernelGain(kind, count, n, d);
        return k0 > 0 ? KernelGain(kind, count, n, 1.0 - d) / k0 : 0.0;
    };
    double lo = 0.0, hi = 0.5;
    if (measured <= ratio(lo)) {
        hi = lo;
    } else if (measured >= ratio(hi)) {
        lo = hi;
    } else {
        for (int i = 0; i < 40; ++i) {
            const double mid = 0.5 * (lo + hi);
            (ratio(mid) < measured ? lo : hi) = mid;
        }
    }
    const double d = 0.5 * (lo + hi);
    r.offset = sign * d;
    const double gain = KernelGain(kind, count, n, d);
    r.amplitude = gain > 0 ? at / gain : at;
    return r;
}

std::vector<Peak> FindPeaks(const std::vector<float> &a, const Layout &layout, WindowKind kind, double fromHz,
                            double toHz, int most)
{
    std::vector<Peak> peaks;
    if (layout.df <= 0 || layout.count <= 0 || most <= 0)
        return peaks;
    const int last = std::min(layout.real, static_cast<int>(a.size())) - 2;
    const int first = std::max(1, static_cast<int>(std::ceil(fromHz / layout.df)));
    const int end = std::min(last, static_cast<int>(std::floor(toHz / layout.df)));
    if (end < first)
        return peaks;
    std::vector<float> sorted(a.begin() + first, a.begin() + end + 1);
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const float floor = std::max(6.0f * sorted[sorted.size() / 2], 1e-12f);

    std::vector<int> candidates;
    for (int k = first; k <= end; ++k)
        if (a[k] > floor && a[k] > a[k - 1] && a[k] >= a[k + 1])
            candidates.push_back(k);
    std::sort(candidates.begin(), candidates.end(), [&](int x, int y) { return a[x] > a[y]; });

    // Each kept peak is a sine of known frequency and amplitude, so what it
    // leaks into any other line follows from the window's own line shape.
    // A smaller maximum is a peak of its own only where it stands clear of
    // the main lobes and twice above the side lobes of all the larger ones
    // together: the side lobes of several sines add up, and between two
    // strong lines of a rectangular window they form maxima that no single
    // line's skirt explains.
    struct Kept {
        double centre;     // in lines
        double amplitude;  // of the sine
    };
    std::vector<Kept> kept;
    const double lobe = MainLobeHalfWidth(kind) * layout.n / layout.count;
    auto gain = [&](double distance) { return KernelGain(kind, layout.count, layout.n, distance); };
    // The constant part (gravity on a vertical axis) is no peak, but it
    // leaks like any line; its line holds half what a sine's would.
    const double dc = a[0];
    constexpr double kClearance = 2.0;
    const size_t tried = std::min<size_t>(candidates.size(), 400);
    for (size_t c = 0; c < tried && static_cast<int>(kept.size()) < most; ++c) {
        const int k = candidates[c];
        if (dc > a[k] && k <= lobe)
            continue;
        double leaked = 2.0 * dc * gain(k);
        bool inLobe = false;
        for (const Kept &m : kept) {
            inLobe = inLobe || std::fabs(k - m.centre) <= lobe;
            // Its mirror below 0 Hz leaks as well, which counts near 0 Hz.
            leaked += m.amplitude * (gain(k - m.centre) + gain(k + m.centre));
        }
        if (inLobe || a[k] < kClearance * leaked)
            continue;
        const Refined r = RefinePeak(a[k - 1], a[k], a[k + 1], kind, layout.count, layout.n);
        kept.push_back({k + r.offset, r.amplitude});
    }
    for (const Kept &m : kept)
        peaks.push_back({m.centre * layout.df, m.amplitude});
    std::sort(peaks.begin(), peaks.end(), [](const Peak &x, const Peak &y) { return x.amplitude > y.amplitude; });
    return peaks;
}

double Order(double frequencyHz, double rpm)
{
    return rpm > 0 && std::isfinite(rpm) ? frequencyHz / (rpm / 60.0) : 0.0;
}

}  // namespace tav::analysis
