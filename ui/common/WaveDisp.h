#pragma once
// CWaveDisp: one plot of the station, a time waveform, a spectrum or a trend
// of up to 22 series (at most eight shown). It draws into an off-screen image
// that its PlotFrame shows in one step, so that a redraw never flickers.
//
// Threads: every member and function is for the owning window's thread only.
// Time and spectrum plots draw from a bound PlotData, whose arrays other
// threads fill; a drawing copies what it needs under that plot's mutex and
// draws from the copy. Trend plots draw from their own trendTraces.
//
// Typical wiring (window thread, at initialisation):
//     auto *frame = new PlotFrame(1006, parent);
//     plot.Bind(frame, &livePlots.time[0]);   // controlId = 1006
//     plot.plotMode = kTimeMode; ...
// and later plot.Redraw() whenever new data or settings may show; it draws
// only what changed and only where it can be seen.
#include <QImage>
#include <QLine>
#include <QRect>
#include <QPointer>
#include <functional>
#include <string>
#include <vector>

#include "core/plotting/PlotData.h"
#include "core/plotting/PlotGeometry.h"
#include "ui/common/PlotFrame.h"

class QPainter;

namespace tav {


constexpr int kTrendSeries = 22;
constexpr int kTrendPens = 8;  // at most this many series are shown at once

class CWaveDisp {
public:
    // A trend plot (plotMode kTrendMode) gets its 22 trend arrays here; the
    // others leave them empty, since only the viewer's plot uses them.
    explicit CWaveDisp(int plotMode = kTimeMode);
    ~CWaveDisp();
    CWaveDisp(const CWaveDisp &) = delete;
    CWaveDisp &operator=(const CWaveDisp &) = delete;

    int controlId = 0;           // id of the frame drawn into
    int running = 1;             // time plots: 0 while paused (see SetRunning)
    int cellHeight = 0;          // pixels per vertical division, set by Draw
    int firstColumn = 0;         // set to 0 by Draw
    int rightMargin = 16;        // pixels right of the plot area (legend room)
    int xScaleIndex = 7;         // horizontal scale, index into the tables
    int yScaleIndex = 5;         // vertical scale
    // Values valid in the arrays. Bound plots take it from their PlotData at
    // every drawing; trend plots are given it by their owner.
    int pointCount = 27000;
    int scrollPercent = 0;       // spectrum and trend slider, 0..100
    int quantity = 0;            // 0 samples, 1 velocity, 2 displacement (see SetQuantity)
    int plotMode = kTimeMode;    // kTimeMode, kSpectrumMode, kTrendMode
    int secondsPerDivision = 0;  // trend clock step between division labels
    int firstLabel = 0;          // scrolled view, set by SetupScroll / Draw
    int totalDivisions = 0;
    int offsetPercent = 0;
    int startIndex = 0;          // first data index of the scrolled view

    // Trend mode: 22 arrays of kPlotPoints values, written by the owner.
    std::vector<std::vector<float>> trendTraces;
    // Trend inputs owned by the steady-state viewer, each 22 entries in
    // series order; they must outlive the plot. Null: nothing shown, factor
    // 1, no name.
    const int *trendSelected = nullptr;      // 1 = series shown
    const float *trendScale = nullptr;       // display factor per series
    const std::string *trendName = nullptr;  // legend text (UTF-8)

    // Attaches the plot to its frame and, for time and spectrum plots, to
    // the shared data it draws. controlId becomes the frame's objectName.
    void Bind(PlotFrame *frame, PlotData *data = nullptr);
    PlotData *Data() const { return data_; }
    PlotFrame *Frame() const { return frame_.data(); }

    // Sets the member and publishes it to the bound PlotData at once, so
    // that the thread filling the plot sees a pause or a quantity change.
    void SetRunning(int value);
    void SetQuantity(int value);

    // Draws into the kept image at the frame's size and shows it, when
    // anything on show changed since the last drawing: the bound values,
    // the settings above or the frame's size. A frame nobody can see (hidden,
    // minimised, covered) is left alone; it draws at its next paint instead.
    void Redraw();
    // Draws into the kept image (reallocated only when the size changes)
    // without showing it; for the frame's own paint and for tests.
    const QImage &Render(int width, int height);
    const QImage &Image() const { return image_; }
    // Draws the whole plot into a width x height area of `painter`, from a
    // fresh copy of the bound values.
    void Draw(QPainter &painter, int width, int height);

    // The value under pixel (px, py) of the last drawing, in the plotted
    // quantity's unit: "125.3 ms  0.312 g", "47.0 Hz  0.31 g", a trend's
    // clock time and each shown series. Empty outside the plot area.
    QString ReadoutText(int px, int py) const;
    // The plot area of the last drawing, in the frame's pixels.
    QRect AreaRect() const;

    // Scrolled-view members from the scale index and slider.
    void SetupScroll();
    static void AddSeconds(int &hour, int &minute, int &second, int seconds)
    {
        tav::AddSeconds(hour, minute, second, seconds);
    }

    // The trend clock reads the local time through this; tests fix it.
    std::function<ClockTime()> clock = LocalClockNow;

private:
    friend class PlotFrame;
    // What a drawing shows besides the values: the settings it read, the
    // size, and the scrolled view it worked out (which feeds the next one).
    struct Look {
        int width = 0, height = 0, plotMode = -1, xScaleIndex = 0, yScaleIndex = 0, scrollPercent = 0;
        int rightMargin = 0, quantity = 0, pointCount = 0;
        int totalDivisions = 0, secondsPerDivision = 0, firstLabel = 0, offsetPercent = 0;
        float lineSpacing = 0;
        bool operator==(const Look &) const = default;
    };
    Look CurrentLook(int width, int height) const;
    // Brings copy_, pointCount and lineSpacing_ up to the bound values;
    // true when they changed (always for trends, whose owner writes them).
    bool TakeData();
    // Draws the taken values into image_; the frame, grid and labels of a
    // time or spectrum plot come from background_ while their look holds.
    void Compose(int width, int height);
    // Frame, grid, labels and legend; sets area_ and the scrolled view.
    void DrawBackground(QPainter &p, int width, int height, int n);
    // The traces of the taken values inside area_; with strokesLater a
    // time trace leaves its strokes in strokes_ for FillStrokes.
    void DrawForeground(QPainter &p, int n, bool strokesLater = false);
    void FillStrokes(QImage &image) const;
    void AllocateTrendTraces();
    void DrawHorizontalAxis(QPainter &p, const PlotArea &a, int n);
    void DrawVerticalAxis(QPainter &p, const PlotArea &a);
    void DrawLegend(QPainter &p, const PlotArea &a);
    void DrawTimeTrace(QPainter &p, const PlotArea &a, const float *data, int n, float u, bool strokesLater);
    void DrawSpectrumTrace(QPainter &p, const PlotArea &a, const float *data, int n, float u);
    void DrawTrendTraces(QPainter &p, const PlotArea &a, float u);

    PlotData *data_ = nullptr;
    QPointer<PlotFrame> frame_;
    std::vector<float> copy_;  // the bound data as last copied for drawing
    PlotArea area_;            // of the last drawing
    float lineSpacing_ = 0;    // spectra: Hz per line at the last drawing
    ClockTime clockStart_;     // trends: the clock at the last drawing's start
    std::vector<QLine> lines_;    // segments of one trace, kept to avoid reallocating
    std::vector<QRect> strokes_;  // a time trace's per-column min/max strokes
    QImage image_;
    // A time trace drawn over the kept frame: the rectangle its pixels lie
    // in, so that the next drawing over the same frame puts back only those
    // and the screen takes only what changed (`changed_`, image
    // coordinates). traced_ is false while image_ may differ from the frame
    // elsewhere.
    bool traced_ = false;
    QRect traceRect_, changed_;
    QRect TraceBounds() const;
    Look drawn_;           // what image_ shows
    bool stale_ = true;    // image_ lags behind: draw at the frame's next paint
    // Time and spectrum plots: the frame, grid and labels of backgroundLook_,
    // with the area and first index that drawing worked out. Text is the
    // dearest part of a drawing and changes only with the settings.
    QImage background_;
    Look backgroundLook_;
    PlotArea backgroundArea_;
    int backgroundStart_ = 0;
};

}  // namespace tav
