// Accuracy of the monitoring numbers through the real conditioning path:
// the severity's relative response to sines of 5 mm/s RMS beside the
// instrument tolerances, and the worst speed error that a strong tone
// anywhere from 100 Hz to fs/2 causes. Prints tables and FIGURE lines.
// Arguments: [step Hz of the speed sweep; default 5, which keeps `make bench`
// near a minute; 1 takes about seven].
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Figure.h"
#include "core/dsp/BandDesign.h"
#include "core/processing/Conditioner.h"
#include "core/processing/SpeedEstimator.h"

using namespace tav;

namespace {

constexpr double kPi = 3.14159265358979323846;

class NullSink : public EventSink {
public:
    void Post(const StationEvent &) override {}
};

struct Tone {
    double g = 0, hz = 0;
};

// One connection conditioned in the background, fed with sums of tones on
// the Z axis (and X for the severity), phases kept across blocks.
struct Rig {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    NullSink sink;
    Conditioner conditioner{*table, *plots, sink, nullptr};
    ConnectionRecord &rec = (*table)[0];
    float fs;
    int packets;
    std::vector<uint8_t> block;
    double phase[4] = {};

    explicit Rig(float rate) : fs(rate)
    {
        table->selectedConnection = -1;
        plots->highPassOn = 1;
        packets = std::max(1, int(fs * 0.1 / 116));
        block.assign(size_t(packets) * 1420, 0);
    }

    // White acceleration noise of `g` RMS on X and Z when `tones` is empty.
    double noiseG = 0;
    uint64_t noiseState = 1;

    void Feed(double seconds, const std::vector<Tone> &tones)
    {
        const long rows = long(seconds * fs);
        for (long done = 0; done < rows; done += packets * 116) {
            for (int j = 0; j < packets; ++j) {
                uint8_t *p = block.data() + j * 1420;
                std::memcpy(p, "PUDT", 4);
                std::memcpy(p + 8, &fs, 4);
                for (int r = 0; r < 116; ++r) {
                    double x = 0;
                    if (noiseG > 0) {
                        noiseState = noiseState * 6364136223846793005ULL + 1442695040888963407ULL;
                        x = noiseG * std::sqrt(12.0) * (double(noiseState >> 11) / double(1ULL << 53) - 0.5);
                    }
                    for (size_t t = 0; t < tones.size(); ++t) {
                        x += tones[t].g * std::sin(phase[t]);
                        phase[t] = std::fmod(phase[t] + 2 * kPi * tones[t].hz / fs, 2 * kPi);
                    }
                    const float v[3] = {float(x), 0.0f, float(x)};
                    std::memcpy(p + 24 + r * 12, v, 12);
                }
                std::memcpy(p + 1416, "PEND", 4);
            }
            std::lock_guard lock(rec.conditionMutex);
            rec.samplingFrequency = fs;
            conditioner.ConditionBlock(rec, block.data(), packets);
        }
    }
};

struct Tolerance {
    double lo, hi;  // relative sensitivity; lo 0 = outside the band
};

Tolerance InstrumentTolerance(double f)
{
    if (f == 10.0 || f == 1000.0)
        return {0.8, 1.1};
    if (f >= 20.0 && f <= 500.0)
        return {0.9, 1.1};
    if (f > 10.0 && f < 1000.0)
        return {0.8, 1.1};
    return {0.0, 0.0};
}

// Third-order Butterworth band limits with corners where the band's edges
// read 0.85: what a tone outside the band may at most read.
double ThirdOrderLimit(double f, double fs)
{
    const SeverityCorners c = SeverityCornersFor(fs);
    return 1.0 / std::sqrt((1.0 + std::pow(c.lowHz / f, 6)) * (1.0 + std::pow(f / c.highHz, 6)));
}

void SeverityTable()
{
    const double freqs[] = {5, 8, 10, 15, 20, 80, 500, 900, 1000, 1200, 1500, 2000};
    const float rates[] = {26667.0f, 10000.0f, 5000.0f};
    std::printf("\nSeverity relative response (5 mm/s RMS sine, measured through the conditioning)\n");
    std::printf("| f (Hz) | fs 26667 | fs 10000 | fs 5000 | tolerance | 3rd-order limit (26667) |\n");
    std::printf("|---|---|---|---|---|---|\n");
    double worstIn = 0;
    for (double f : freqs) {
        double rel[3] = {};
        for (int k = 0; k < 3; ++k) {
            if (f >= rates[k] / 2) {
                rel[k] = NAN;
                continue;
            }
            Rig rig(rates[k]);
            const double g = 5.0 * std::sqrt(2.0) * 2 * kPi * f / 9800.0;
            rig.Feed(3.0, {{g, f}});
            rel[k] = ReadStats(rig.rec.cond).isoVelocityRms[0] / 5.0;
        }
        const Tolerance t = InstrumentTolerance(f);
        char tol[32];
        if (t.lo > 0)
            std::snprintf(tol, sizeof tol, "%.1f–%.1f", t.lo, t.hi);
        else
            std::snprintf(tol, sizeof tol, "outside");
        std::printf("| %g | %.3f | %.3f | %.3f | %s | %.3f |\n", f, rel[0], rel[1], rel[2], tol,
                    ThirdOrderLimit(f, 26667.0));
        if (t.lo > 0)
            for (double r : rel)
                worstIn = std::max(worstIn, std::fabs(r - 1.0));
    }
    tav::bench::PrintFigure("severity, worst in-band deviation from 1 (10 Hz - 1 kHz)", worstIn * 100, "%",
                            "<= 20 at the edges");
    for (float fs : rates) {
        const SeverityCorners c = SeverityCornersFor(fs);
        std::printf("fs %.0f: band corners %.2f Hz and %.1f Hz, top %.0f Hz\n", fs, c.lowHz, c.highHz,
                    SeverityTopHz(fs));
    }
}

// Worst speed error (rpm) with a `g` tone stepped from 100 Hz to fs/2 beside
// a 0.05 g running-speed line at `speedHz`, searched in [lower, upper].
void SpeedSweep(float fs, double speedHz, double toneG, float lower, float upper, double step, bool record)
{
    Rig rig(fs);
    rig.rec.lowerSearchLimit = lower;
    rig.rec.upperSearchLimit = upper;
    FftPlanCache plans;
    double worst = 0, worstAt = 0;
    int over = 0, tones = 0;
    for (double f = 100; f < fs / 2; f += step) {
        const std::vector<Tone> tones2 = {{0.05, speedHz}, {toneG, f}};
        rig.Feed(0.2, tones2);  // the filters settle on the new tone
        {
            std::lock_guard lock(rig.rec.conditionMutex);
            rig.rec.cond.captureLimit = NextCaptureLimit(fs);
            rig.rec.cond.captureCount = 0;
        }
        while (!CaptureComplete(rig.rec.cond))
            rig.Feed(0.1, tones2);
        std::lock_guard lock(rig.rec.conditionMutex);
        EstimateSpeed(rig.rec, plans);
        const double error = std::fabs(rig.rec.measuredSpeed.load() - speedHz * 60);
        ++tones;
        if (error > 5.0)
            ++over;
        if (error > worst) {
            worst = error;
            worstAt = f;
        }
    }
    std::printf("fs %.0f, %s band %.2f–%.2f Hz, line %.2f Hz: worst error %.1f rpm (tone %.0f Hz), %d of %d "
                "tones beyond 5 rpm\n",
                fs, record ? "record" : "start-up", lower, upper, speedHz, worst, worstAt, over, tones);
    char name[128];
    std::snprintf(name, sizeof name, "speed, worst error with a %.0f g tone 100 Hz - fs/2, fs %.0f, %s band", toneG,
                  fs, record ? "record" : "start-up");
    tav::bench::PrintFigure(name, worst, "rpm", "< 5");
}

// Tick-to-tick scatter (standard deviation over mean) of the severity of
// white acceleration noise: each half-second window's value and the
// averaged one that zones and alarms judge (10 s, the default).
void SeverityScatter(float fs)
{
    Rig rig(fs);
    rig.noiseG = 0.5;
    std::vector<double> fast, slow;
    uint64_t seen = 0;
    for (int i = 0; i < 1200; ++i) {
        rig.Feed(0.1, {});
        const WindowStats s = ReadStats(rig.rec.cond);
        if (s.windows != seen && i > 110) {
            fast.push_back(s.isoVelocityRms[0]);
            slow.push_back(s.isoVelocityAverage[0]);
        }
        seen = s.windows;
    }
    auto scatter = [](const std::vector<double> &v) {
        double m = 0, q = 0;
        for (double x : v) m += x / double(v.size());
        for (double x : v) q += (x - m) * (x - m) / double(v.size());
        return 100.0 * std::sqrt(q) / m;
    };
    std::printf("fs %.0f, white noise: severity scatter %.1f %% per window, %.1f %% averaged over %d windows\n", fs,
                scatter(fast), scatter(slow), kDefaultSeverityAverageWindows);
    char name[96];
    std::snprintf(name, sizeof name, "severity scatter on random vibration, averaged (fs %.0f)", fs);
    tav::bench::PrintFigure(name, scatter(slow), "%", "");
}

}  // namespace

int main(int argc, char **argv)
{
    const double step = argc > 1 ? std::max(0.01, std::atof(argv[1])) : 5.0;
    SeverityTable();
    SeverityScatter(26667.0f);
    SeverityScatter(5000.0f);
    std::fflush(stdout);
    std::printf("\nSpeed error, 6 g tone every %g Hz from 100 Hz to fs/2\n", step);
    for (float fs : {26667.0f, 10000.0f, 5000.0f}) {
        SpeedSweep(fs, 49.5, 6.0, 44.55f, 54.45f, step, true);
        SpeedSweep(fs, 20.0, 6.0, 13.0f, 25.5f, step, false);
    }
    return 0;
}
