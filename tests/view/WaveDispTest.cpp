// Pixels of rendered plots: grid, pens, trace rows, the min/max strokes of
// time plots, the trend legend, and nothing drawn outside the plot area.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "ui/common/PlotFrame.h"
#include "ui/common/WaveDisp.h"

using namespace tav;

namespace {

const QRgb kBlue = qRgb(0, 0, 255);

bool IsRed(QRgb c) { return qRed(c) > 200 && qGreen(c) < 80 && qBlue(c) < 80; }
bool IsBlue(QRgb c) { return qBlue(c) > 200 && qRed(c) < 80 && qGreen(c) < 80; }

// A 646 x 260 control: plot area x 30..630, rows 10..240, 23 pixels a division.
constexpr int kW = 646, kH = 260, kLeft = 30, kRight = 630, kBottom = 240, kCell = 23;

class WaveDispTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test_wavedisp";
        static char *argv[] = {name, nullptr};
        if (!QApplication::instance()) app_ = new QApplication(argc, argv);
    }

    void SetUp() override { data_ = std::make_unique<PlotData>(); }

    void Fill(int count, float value)
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        data_->pointCount = count;
        for (int i = 0; i < count; ++i) data_->samples[i] = value;
    }

    static int CountInColumn(const QImage &img, int x, int y0, int y1, bool (*is)(QRgb))
    {
        int n = 0;
        for (int y = y0; y <= y1; ++y) n += is(img.pixel(x, y));
        return n;
    }
    static int CountInRow(const QImage &img, int y, int x0, int x1, bool (*is)(QRgb))
    {
        int n = 0;
        for (int x = x0; x <= x1; ++x) n += is(img.pixel(x, y));
        return n;
    }

    static QApplication *app_;
    std::unique_ptr<PlotData> data_;
};

QApplication *WaveDispTest::app_ = nullptr;

TEST_F(WaveDispTest, TimeGridLinesAndZeroTrace)
{
    Fill(26667, 0.0f);
    CWaveDisp plot(kTimeMode);
    plot.Bind(nullptr, data_.get());
    const QImage &img = plot.Render(kW, kH);
    EXPECT_EQ(plot.cellHeight, kCell);
    EXPECT_EQ(plot.pointCount, 26667);

    // White ground with a black outline.
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(kW - 1, kH - 1), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(kRight + 8, kBottom / 2), qRgb(255, 255, 255));

    // Ten dotted vertical lines 60 pixels apart; between them no red.
    for (int k = 1; k <= 10; ++k) {
        const int x = kLeft + 60 * k;
        const int red = CountInColumn(img, x, 12, kBottom - 1, IsRed);
        EXPECT_GT(red, 40) << x;
        EXPECT_LT(red, 200) << "dotted, not solid: " << x;
    }
    EXPECT_LE(CountInColumn(img, kLeft + 45, 12, kBottom - 1, IsRed), 9);  // only the row lines cross
    // Rows 1..10 divisions up are grid lines.
    for (int k = 1; k <= 10; ++k) {
        if (k == 5) continue;  // under the zero trace
        EXPECT_GT(CountInRow(img, kBottom - k * kCell, kLeft + 1, kRight - 1, IsRed), 100) << k;
    }

    // The zero trace lies on the row five divisions up, drawn over the grid.
    const int zero = kBottom - 5 * kCell;
    EXPECT_EQ(img.pixel(kLeft + 100, zero), kBlue);
    EXPECT_GT(CountInRow(img, zero, kLeft + 1, kRight - 1, IsBlue), 590);
    EXPECT_EQ(CountInRow(img, zero - 1, kLeft + 1, kRight - 1, IsBlue), 0);
}

TEST_F(WaveDispTest, SpectrumZeroOnBottomEdgeAndValuesRaisedToTheColumnPeak)
{
    Fill(6143, 0.0f);
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        data_->samples[3000] = 1.0f;  // one narrow line between column starts
    }
    CWaveDisp plot(kSpectrumMode);
    plot.Bind(nullptr, data_.get());
    plot.yScaleIndex = 7;  // one unit per division
    const QImage &img = plot.Render(kW, kH);
    EXPECT_EQ(img.pixel(kLeft + 100, kBottom), kBlue);
    // 6143 lines on 600 columns: line 3000 lies inside the span of column
    // 293 (2999..3009), which the next column takes up as its peak.
    int found = -1;
    for (int x = kLeft + 280; x < kLeft + 310; ++x)
        if (IsBlue(img.pixel(x, kBottom - kCell))) found = x;
    EXPECT_EQ(found, kLeft + 294);
    EXPECT_EQ(plot.firstLabel, 0);  // ten divisions: the whole span, labelled from 0
    EXPECT_EQ(plot.totalDivisions, 10);
}

TEST_F(WaveDispTest, SpectrumSliderAtTheEnd)
{
    Fill(6143, 0.0f);
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        data_->samples[6135] = 2.0f;  // near the last line
    }
    CWaveDisp plot(kSpectrumMode);
    plot.Bind(nullptr, data_.get());
    plot.xScaleIndex = 4;  // 100 divisions
    plot.yScaleIndex = 7;
    plot.scrollPercent = 100;
    const QImage &img = plot.Render(kW, kH);
    EXPECT_EQ(plot.firstLabel, 90);
    EXPECT_EQ(plot.startIndex, 90 * 6143 / 100);
    // (6135 - 5528) / 1.0238 = column 592.9: the peak shows near the right edge.
    int peak = 0;
    for (int x = kRight - 10; x < kRight; ++x) peak += IsBlue(img.pixel(x, kBottom - 2 * kCell + 1));
    EXPECT_GT(peak, 0);
}

TEST_F(WaveDispTest, TimeColumnsShowTheirExtremes)
{
    // A one-sample knock that the first value of its column does not hold.
    Fill(26667, 0.0f);
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        data_->samples[13000] = 4.0f;
        data_->samples[13001] = -3.0f;
        data_->samples[20000] = -3.0f;
    }
    CWaveDisp plot(kTimeMode);
    plot.Bind(nullptr, data_.get());
    plot.yScaleIndex = 7;
    const QImage &img = plot.Render(kW, kH);
    const int zero = kBottom - 5 * kCell;
    // Column 292 covers samples 12977..13021, starting and ending at 0: one
    // stroke from -3 up to 4, both extremes included.
    const int x = kLeft + 292;
    EXPECT_EQ(CountInColumn(img, x, zero - 5 * kCell, zero + 5 * kCell, IsBlue), 7 * kCell + 1);
    EXPECT_FALSE(IsBlue(img.pixel(x - 1, zero - 2 * kCell)));
    EXPECT_FALSE(IsBlue(img.pixel(x + 1, zero + 2 * kCell)));
    // Sample 20000 opens column 450 (19955..19999 make up 449): a stroke down to -3.
    const int down = kLeft + 450;
    EXPECT_EQ(CountInColumn(img, down, zero, zero + 3 * kCell, IsBlue), 3 * kCell + 1);

    // At 5 ms per screen (133 samples on 600 columns) a column holds under
    // one sample: one value per column, no stroke. Column 10 shows sample 2.
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        for (int i = 0; i < 200; ++i) data_->samples[i] = i % 2 ? 1.0f : -1.0f;
    }
    plot.xScaleIndex = 0;
    const QImage &fine = plot.Render(kW, kH);
    EXPECT_TRUE(IsBlue(fine.pixel(kLeft + 10, zero + kCell)));
    EXPECT_FALSE(IsBlue(fine.pixel(kLeft + 10, zero - kCell)));
    EXPECT_FALSE(IsBlue(fine.pixel(kLeft + 10, zero)));
}

TEST_F(WaveDispTest, NothingOutsideThePlotArea)
{
    // Wild values, a count past the arrays and scale indices off the tables.
    {
        std::lock_guard<std::mutex> lock(data_->mutex);
        data_->pointCount = 500000;
        for (int i = 0; i < kPlotPoints; ++i)
            data_->samples[i] = i % 3 == 0   ? 1e30f
                                : i % 3 == 1 ? -std::numeric_limits<float>::infinity()
                                             : std::numeric_limits<float>::quiet_NaN();
    }
    for (int mode : {kTimeMode, kSpectrumMode}) {
        for (int w : {kW, 186}) {  // 186: divisions so narrow that eleven fit before the right edge
            for (int h : {kH, 125}) {  // 125: a division above the frame would still be inside the image
                CWaveDisp plot(mode);
                plot.Bind(nullptr, data_.get());
                plot.xScaleIndex = 99;
                plot.yScaleIndex = -4;
                plot.scrollPercent = 100;
                const QImage &img = plot.Render(w, h);
                EXPECT_EQ(plot.pointCount, kPlotPoints);
                const int right = w - 16, bottom = h - 20, top = bottom - 10 * plot.cellHeight;
                int outside = 0;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const bool inside = x >= 30 && x <= right && y >= top && y <= bottom;
                        const QRgb c = img.pixel(x, y);
                        if (!inside && (IsRed(c) || IsBlue(c))) ++outside;
                    }
                EXPECT_EQ(outside, 0) << "mode " << mode << " size " << w << "x" << h;
            }
        }
    }
}

TEST_F(WaveDispTest, TrendLegendAndTracesUseOnePenPerShownSeries)
{
    static const QRgb pens[kTrendPens] = {qRgb(255, 215, 0),   qRgb(65, 105, 225), qRgb(255, 97, 0),
                                          qRgb(0, 51, 0),      qRgb(255, 153, 204), qRgb(51, 153, 102),
                                          qRgb(128, 0, 128),   qRgb(128, 64, 128)};
    int selected[kTrendSeries] = {};
    float scale[kTrendSeries];
    std::string names[kTrendSeries];
    for (int i = 0; i < kTrendSeries; ++i) {
        scale[i] = 1.0f;
        names[i] = "S" + std::to_string(i);
    }
    // Nine series ticked: the ninth has no pen and is neither drawn nor listed.
    const int shown[9] = {2, 3, 5, 8, 13, 14, 17, 20, 21};
    for (int s : shown) selected[s] = 1;

    CWaveDisp plot(kTrendMode);
    plot.rightMargin = 124;
    plot.yScaleIndex = 7;
    plot.xScaleIndex = 0;
    plot.pointCount = 7200;
    plot.trendSelected = selected;
    plot.trendScale = scale;
    plot.trendName = names;
    plot.clock = [] { return ClockTime{14, 30, 0}; };
    for (int p = 0; p < 9; ++p)
        for (int i = 0; i < 7200; ++i) plot.trendTraces[shown[p]][i] = 1.0f + p;
    scale[shown[6]] = 0.5f;  // series 17 at 7.0 x 0.5: three and a half divisions

    const int w = 800, h = 300;
    const QImage &img = plot.Render(w, h);
    const int right = w - 124, bottom = h - 20, c = plot.cellHeight;
    ASSERT_EQ(c, 27);
    for (int p = 0; p < kTrendPens; ++p) {
        const int y = bottom - (p + 2) * c - 23;
        const bool onLine = img.pixel(right + 80, y) == pens[p] || img.pixel(right + 80, y - 1) == pens[p];
        EXPECT_TRUE(onLine) << "legend pen " << p;
    }

    auto traceAt = [&](int row, QRgb pen) {
        return img.pixel(30 + 200, row) == pen || img.pixel(30 + 200, row - 1) == pen;
    };
    EXPECT_TRUE(traceAt(bottom - 1 * c, pens[0]));
    EXPECT_TRUE(traceAt(bottom - 2 * c, pens[1]));
    EXPECT_TRUE(traceAt(bottom - 3 * c, pens[2]));
    EXPECT_TRUE(traceAt(static_cast<int>(bottom - 3.5 * c), pens[6]));
    EXPECT_TRUE(traceAt(bottom - 8 * c, pens[7]));
    int ninth = 0;  // series 21 at 9.0 would lie at row 9
    for (int x = 31; x < right; ++x) ninth += img.pixel(x, bottom - 9 * c) != qRgb(255, 255, 255) && !IsRed(img.pixel(x, bottom - 9 * c));
    EXPECT_EQ(ninth, 0);
    EXPECT_EQ(plot.secondsPerDivision, 360);
    EXPECT_EQ(plot.startIndex, 0);
}

TEST_F(WaveDispTest, TrendWithoutInputsOrArraysDrawsOnlyTheGrid)
{
    CWaveDisp plot(kTimeMode);  // no trend arrays
    plot.plotMode = kTrendMode;
    int selected[kTrendSeries];
    for (int &s : selected) s = 1;
    plot.trendSelected = selected;
    plot.pointCount = -20;
    const QImage &img = plot.Render(400, 200);
    EXPECT_EQ(plot.pointCount, 0);
    EXPECT_FALSE(img.isNull());
}

// The kept frame, grid and labels and the strokes written straight into the
// image give the very pixels of a whole drawing, through changes of scale,
// slider, size and values.
TEST_F(WaveDispTest, KeptDrawingMatchesAWholeDrawing)
{
    struct Step { int mode, n, width, xScale, yScale, scroll; float frequency; };
    // Time steps of one look and other values: only the last trace is put back.
    const Step steps[] = {{kTimeMode, 26667, 646, 7, 5, 0, 50}, {kTimeMode, 26667, 646, 7, 5, 0, 9},
                          {kTimeMode, 26667, 646, 7, 5, 0, 1300}, {kTimeMode, 26667, 646, 7, 2, 0, 3000},
                          {kTimeMode, 1300, 333, 3, 8, 0, 13}, {kTimeMode, 1300, 333, 3, 8, 0, 2},
                          {kTimeMode, 26667, 646, 3, 2, 0, 3000}, {kTimeMode, 1300, 333, 3, 8, 0, 13},
                          {kTimeMode, 100000, 1000, 0, 5, 0, 400}, {kSpectrumMode, 6143, 646, 7, 5, 0, 0},
                          {kSpectrumMode, 6143, 646, 3, 5, 60, 0}, {kSpectrumMode, 6143, 900, 3, 5, 100, 0}};
    for (int mode : {kTimeMode, kSpectrumMode}) {
        CWaveDisp plot(mode);
        plot.Bind(nullptr, data_.get());
        for (const Step &s : steps) {
            if (s.mode != mode) continue;
            {
                std::lock_guard<std::mutex> lock(data_->mutex);
                data_->pointCount = s.n;
                for (int i = 0; i < s.n; ++i)
                    data_->samples[i] = mode == kSpectrumMode ? float((i * 7919) % 997) / 200.0f
                                                              : 3.0f * std::sin(6.2832f * s.frequency * float(i) / 26667.0f) +
                                                                    (i % 5000 == 0 ? 4.0f : 0.0f);
            }
            plot.xScaleIndex = s.xScale;
            plot.yScaleIndex = s.yScale;
            plot.scrollPercent = s.scroll;
            const QImage kept = plot.Render(s.width, kH).copy();
            QImage whole(s.width, kH, QImage::Format_RGB32);
            QPainter painter(&whole);
            plot.Draw(painter, s.width, kH);
            painter.end();
            EXPECT_TRUE(kept == whole) << "mode " << mode << " n " << s.n << " width " << s.width;
        }
    }
}

TEST_F(WaveDispTest, FrameShowsTheKeptImage)
{
    Fill(27000, 0.0f);
    auto frame = std::make_unique<PlotFrame>(1006);
    frame->resize(320, 180);
    CWaveDisp plot(kTimeMode);
    plot.Bind(frame.get(), data_.get());
    EXPECT_EQ(plot.controlId, 1006);
    EXPECT_EQ(frame->objectName(), QStringLiteral("1006"));
    EXPECT_EQ(frame->accessibleDescription(), QStringLiteral("1006"));
    plot.SetRunning(0);
    plot.SetQuantity(2);
    EXPECT_EQ(data_->running.load(), 0);
    EXPECT_EQ(data_->quantity.load(), 2);

    // Only a frame that can be seen draws.
    frame->show();
    QElapsedTimer waited;
    waited.start();
    while (!frame->CanBeSeen() && waited.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(frame->CanBeSeen());
    plot.Redraw();
    ASSERT_EQ(plot.Image().size(), QSize(320, 180));
    const uchar *bits = plot.Image().constBits();
    plot.Redraw();
    EXPECT_EQ(plot.Image().constBits(), bits) << "the image is kept between redraws";
    const int zeroRow = (180 - 20) - 5 * plot.cellHeight;
    const QRect area = plot.AreaRect();
    const int early = area.left() + area.width() / 4, late = area.left() + 3 * area.width() / 4;
    auto shown = [&] { return frame->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    EXPECT_EQ(shown().pixel(100, zeroRow), kBlue);

    // Values that change only after the first ones still show, at once or,
    // for a frame that was hidden meanwhile, when it shows again.
    auto setLateHalf = [&](float v) {
        std::lock_guard<std::mutex> lock(data_->mutex);
        std::fill(data_->displacementSamples + 13500, data_->displacementSamples + 27000, v);
    };
    setLateHalf(40.0f);
    plot.Redraw();
    EXPECT_EQ(plot.Image().pixel(early, zeroRow), kBlue);
    EXPECT_NE(plot.Image().pixel(late, zeroRow), kBlue);
    frame->hide();
    setLateHalf(0.0f);
    plot.Redraw();
    frame->show();
    EXPECT_EQ(shown().pixel(late, zeroRow), kBlue) << "a frame shown again draws the values of now";

    // A resized frame paints at its new size.
    frame->resize(400, 200);
    frame->grab();
    EXPECT_EQ(plot.Image().size(), QSize(400, 200));

    // Either side may go first.
    frame.reset();
    plot.Redraw();
    EXPECT_EQ(plot.Frame(), nullptr);
}

}  // namespace
