// tavenor-screenshots [folder]: draws each plot mode from made-up signals
// and writes the images as PNG files (default folder build/screenshots).
#include <QDir>
#include <QGuiApplication>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

#include "view/WaveDisp.h"

using namespace tav;

namespace {

constexpr double kPi = 3.14159265358979323846;

// One second at 26667 Hz of a 50 Hz wave with its harmonics, a 3 kHz
// component and a one-sample knock, as a worn bearing might give.
void FillTime(PlotData &d)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    d.pointCount = 26667;
    for (int i = 0; i < d.pointCount; ++i) {
        const double t = i / 26667.0;
        d.samples[i] = static_cast<float>(0.6 * std::sin(2 * kPi * 50 * t) + 0.2 * std::sin(2 * kPi * 150 * t) +
                                          0.15 * std::sin(2 * kPi * 3000 * t));
        d.velocitySamples[i] = static_cast<float>(0.8 * std::cos(2 * kPi * 50 * t));
        d.displacementSamples[i] = static_cast<float>(0.3 * std::sin(2 * kPi * 50 * t));
    }
    d.samples[13000] = 0.95f;
}

void FillSpectrum(PlotData &d)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    d.pointCount = 6143;
    for (int i = 0; i < d.pointCount; ++i) d.samples[i] = 0.02f + 0.01f * std::sin(i * 0.37f);
    const int peaks[] = {31, 62, 93, 1843, 4000};
    const float heights[] = {1.8f, 0.9f, 0.5f, 1.2f, 0.4f};
    for (int k = 0; k < 5; ++k) d.samples[peaks[k]] = heights[k];
}

bool Save(CWaveDisp &plot, int w, int h, const QString &folder, const char *name)
{
    const QString path = folder + "/" + name;
    const bool ok = plot.Render(w, h).save(path, "PNG");
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("build/screenshots");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", folder.toLocal8Bit().constData());
        return 1;
    }
    bool ok = true;

    auto time = std::make_unique<PlotData>();
    FillTime(*time);
    CWaveDisp timePlot(kTimeMode);
    timePlot.Bind(nullptr, time.get());
    timePlot.yScaleIndex = 6;  // 0.5 g per division
    ok &= Save(timePlot, 640, 240, folder, "time-1s.png");
    timePlot.xScaleIndex = 4;  // the first 100 ms
    ok &= Save(timePlot, 640, 240, folder, "time-100ms.png");
    timePlot.xScaleIndex = 7;
    timePlot.SetQuantity(1);
    timePlot.yScaleIndex = 5;
    ok &= Save(timePlot, 640, 240, folder, "time-velocity.png");

    auto spectrum = std::make_unique<PlotData>();
    FillSpectrum(*spectrum);
    CWaveDisp spectrumPlot(kSpectrumMode);
    spectrumPlot.Bind(nullptr, spectrum.get());
    ok &= Save(spectrumPlot, 640, 240, folder, "spectrum.png");
    spectrumPlot.xScaleIndex = 4;  // 100 Hz per division, scrolled
    spectrumPlot.scrollPercent = 30;
    ok &= Save(spectrumPlot, 640, 240, folder, "spectrum-scrolled.png");

    static const int selected[kTrendSeries] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               1, 1, 1, 1, 1, 1, 1, 1};
    static const float scales[kTrendSeries] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                               1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0.005f};
    static const std::string names[kTrendSeries] = {
        "X_AR", "X_AP", "X_AK", "X_VR", "X_VP", "X_DR", "X_DP", "Y_AR", "Y_AP", "Y_AK", "Y_VR",
        "Y_VP", "Y_DR", "Y_DP", "Z_AR", "Z_AP", "Z_AK", "Z_VR", "Z_VP", "Z_DR", "Z_DP", "rpm"};
    CWaveDisp trend(kTrendMode);
    trend.rightMargin = 124;
    trend.yScaleIndex = 7;
    trend.xScaleIndex = 0;
    trend.pointCount = 7200;
    trend.trendSelected = selected;
    trend.trendScale = scales;
    trend.trendName = names;
    trend.clock = [] { return ClockTime{14, 30, 0}; };
    for (int s = 14; s < kTrendSeries; ++s)
        for (int i = 0; i < 7200; ++i)
            trend.trendTraces[s][i] = s == 21 ? static_cast<float>(1480 + 20 * std::sin(i / 700.0))
                                              : static_cast<float>(1 + (s - 14) + 0.4 * std::sin(i / (300.0 + 40 * s)));
    ok &= Save(trend, 800, 300, folder, "trend-60min.png");
    trend.xScaleIndex = 5;
    trend.scrollPercent = 100;
    ok &= Save(trend, 800, 300, folder, "trend-1min-end.png");
    return ok ? 0 : 1;
}
