#include "ui/common/WaveDisp.h"

#include <QPainter>
#include <QPen>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/plotting/PlotReadout.h"
#include "core/plotting/TrendPens.h"
#include "ui/common/PlotFrame.h"

namespace tav {

namespace {

const QColor kGridColour(255, 0, 0);
const QColor kTraceColour(0, 0, 255);
static_assert(kTrendPens == kTrendPenCount);
QColor TrendColour(int pen) { return QColor(kTrendPenRgb[pen].r, kTrendPenRgb[pen].g, kTrendPenRgb[pen].b); }

QPen GridPen()
{
    QPen pen(kGridColour, 1, Qt::DotLine);
    pen.setCosmetic(true);
    return pen;
}

QPen TracePen(const QColor &colour, int width)
{
    // A thin trace keeps both end pixels of every segment: a column's
    // min/max stroke must reach its extremes. Wide pens would overshoot.
    QPen pen(colour, width, Qt::SolidLine, width == 1 ? Qt::SquareCap : Qt::FlatCap, Qt::MiterJoin);
    pen.setCosmetic(true);
    return pen;
}

// Text with its top-left corner at (x, y), black on an opaque white ground.
void DrawLabel(QPainter &p, int x, int y, const QString &text)
{
    const QFontMetrics fm = p.fontMetrics();
    const QRect box(x, y, fm.horizontalAdvance(text), fm.height());
    p.fillRect(box, Qt::white);
    p.setPen(Qt::black);
    p.drawText(x, y + fm.ascent(), text);
}

QString Number(int n) { return QString::number(n); }

QString Clock(const ClockTime &t)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", t.hour, t.minute, t.second);
    return QString::fromLatin1(text);
}

}  // namespace

CWaveDisp::CWaveDisp(int mode) : plotMode(mode)
{
    if (mode == kTrendMode) AllocateTrendTraces();
    lines_.reserve(2 * 4096);
    strokes_.reserve(4096);
}

CWaveDisp::~CWaveDisp()
{
    if (frame_ && frame_->plot_ == this) frame_->plot_ = nullptr;
}

void CWaveDisp::AllocateTrendTraces()
{
    trendTraces.assign(kTrendSeries, std::vector<float>(kPlotPoints, 0.0f));
}

void CWaveDisp::Bind(PlotFrame *frame, PlotData *data)
{
    if (frame_ && frame_->plot_ == this) frame_->plot_ = nullptr;
    frame_ = frame;
    if (frame) {
        frame->plot_ = this;
        controlId = frame->ControlId();
    }
    data_ = data;
    if (data_) {
        copy_.assign(kPlotPoints, 0.0f);
        SetRunning(running);
        SetQuantity(quantity);
    }
}

void CWaveDisp::SetRunning(int value)
{
    running = value;
    if (data_) data_->running.store(value);
}

void CWaveDisp::SetQuantity(int value)
{
    quantity = value;
    if (data_) data_->quantity.store(value);
}

void CWaveDisp::SetupScroll()
{
    ScrollView view{totalDivisions, secondsPerDivision, firstLabel, offsetPercent, startIndex, 0};
    tav::SetupScroll(plotMode, xScaleIndex, scrollPercent, view);
    totalDivisions = view.totalDivisions;
    secondsPerDivision = view.secondsPerDivision;
    firstLabel = view.firstLabel;
    offsetPercent = view.offsetPercent;
}

void CWaveDisp::Redraw()
{
    if (!frame_) return;
    if (!frame_->CanBeSeen()) {
        stale_ = true;
        return;
    }
    const bool fresh = TakeData();
    const int width = std::max(frame_->width(), 1), height = std::max(frame_->height(), 1);
    if (!fresh && !stale_ && CurrentLook(width, height) == drawn_) return;
    Compose(width, height);
    frame_->UpdateChanged(changed_);
}

const QImage &CWaveDisp::Render(int width, int height)
{
    TakeData();
    Compose(std::max(width, 1), std::max(height, 1));
    return image_;
}

void CWaveDisp::Draw(QPainter &p, int width, int height)
{
    TakeData();
    DrawBackground(p, width, height, pointCount);
    DrawForeground(p, pointCount);
}

CWaveDisp::Look CWaveDisp::CurrentLook(int width, int height) const
{
    return Look{width,          height,         plotMode,           xScaleIndex, yScaleIndex,
                scrollPercent,  rightMargin,    quantity,           pointCount,  totalDivisions,
                secondsPerDivision, firstLabel, offsetPercent,      lineSpacing_};
}

bool CWaveDisp::TakeData()
{
    if (plotMode == kTrendMode || !data_) {
        pointCount = ClampPointCount(pointCount);
        return plotMode == kTrendMode;
    }
    // The members are the window's settings; the filling thread reads
    // them from the shared plot, so a direct assignment still reaches it.
    data_->running.store(running);
    data_->quantity.store(quantity);
    // Compared before copied: a paused or silent plot is neither copied nor
    // drawn again, and a moving one differs within its first values.
    std::lock_guard lock(data_->mutex);
    const int n = ClampPointCount(data_->pointCount);
    const float *values = data_->Shown(quantity);
    const bool changed = n != pointCount || data_->lineSpacing != lineSpacing_ ||
                         std::memcmp(copy_.data(), values, sizeof(float) * size_t(n)) != 0;
    if (changed) std::memcpy(copy_.data(), values, sizeof(float) * size_t(n));
    pointCount = n;
    lineSpacing_ = data_->lineSpacing;
    return changed;
}

void CWaveDisp::Compose(int width, int height)
{
    if (image_.width() != width || image_.height() != height)
        image_ = QImage(width, height, QImage::Format_RGB32);
    QPainter painter(&image_);
    const int n = pointCount;
    if (plotMode == kTrendMode) {
        // A trend's clock labels move with the time: nothing to keep.
        DrawBackground(painter, width, height, n);
    } else {
        // The values do not change the frame, grid or labels.
        auto key = [this](int w, int h) {
            Look look = CurrentLook(w, h);
            look.quantity = 0;
            look.lineSpacing = 0;
            return look;
        };
        const bool sameFrame = background_.size() == image_.size() && key(width, height) == backgroundLook_;
        if (!sameFrame) {
            if (background_.size() != image_.size())
                background_ = QImage(width, height, QImage::Format_RGB32);
            QPainter back(&background_);
            DrawBackground(back, width, height, n);
            backgroundLook_ = key(width, height);
            backgroundArea_ = area_;
            backgroundStart_ = startIndex;
        } else {
            area_ = backgroundArea_;
            cellHeight = area_.cellHeight;
            startIndex = backgroundStart_;
            firstColumn = 0;
        }
        // Over the frame the last trace was drawn on, only that trace's
        // pixels differ from it.
        if (sameFrame && traced_ && plotMode == kTimeMode && data_) {
            if (!traceRect_.isEmpty()) painter.drawImage(traceRect_.topLeft(), background_, traceRect_);
        } else
            painter.drawImage(0, 0, background_);
    }
    // A time trace's min/max strokes, some five hundred one-pixel columns,
    // are written straight into the image once the painter is done: the
    // same pixels at a tenth of the painter's cost per column.
    const bool strokesLater = plotMode == kTimeMode && data_;
    DrawForeground(painter, n, strokesLater);
    painter.end();
    if (strokesLater && area_.valid) FillStrokes(image_);
    const bool traced = strokesLater && area_.valid && plotMode == kTimeMode;
    const QRect trace = traced ? TraceBounds() : QRect();
    changed_ = traced && traced_ && drawn_.width == width && drawn_.height == height
                   ? (traceRect_ | trace) : image_.rect();
    traced_ = traced;
    traceRect_ = trace;
    drawn_ = CurrentLook(width, height);
    stale_ = false;
}

void CWaveDisp::DrawBackground(QPainter &p, int width, int height, int n)
{
    startIndex = 0;
    firstColumn = 0;
    const float h = HorizontalValue(plotMode, xScaleIndex);

    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(0, 0, width, height, Qt::white);
    p.setPen(QPen(Qt::black, 0));
    p.setBrush(Qt::NoBrush);
    p.drawRect(0, 0, width - 1, height - 1);

    const PlotArea a = ComputeArea(width, height, rightMargin, n, h);
    area_ = a;
    cellHeight = a.cellHeight;
    if (!a.valid) return;
    // Traces, grid and legend stay inside the control even where a margin
    // is too small for them.
    p.setClipRect(0, 0, width, height);

    p.setPen(GridPen());
    const int top = a.TopRow();
    p.drawLine(a.left, top, a.left, a.bottom);
    p.drawLine(a.left, a.bottom, a.right, a.bottom);
    p.drawLine(a.right, top, a.right, a.bottom);

    DrawHorizontalAxis(p, a, n);
    DrawVerticalAxis(p, a);
    if (plotMode == kTrendMode) DrawLegend(p, a);
    p.setClipping(false);
}

void CWaveDisp::DrawForeground(QPainter &p, int n, bool strokesLater)
{
    const PlotArea &a = area_;
    if (!a.valid) return;
    const float u = ReciprocalUnits(yScaleIndex);
    // A wide trend pen at the top or bottom row would spill over the edge.
    p.setClipRect(QRect(QPoint(a.left, a.TopRow()), QPoint(a.right, a.bottom)));
    if (plotMode == kTrendMode) {
        DrawTrendTraces(p, a, u);
    } else if (plotMode == kSpectrumMode) {
        if (data_) DrawSpectrumTrace(p, a, copy_.data(), n, u);
    } else {
        if (data_) DrawTimeTrace(p, a, copy_.data(), n, u, strokesLater);
    }
    p.setClipping(false);
}

void CWaveDisp::DrawHorizontalAxis(QPainter &p, const PlotArea &a, int n)
{
    const int top = a.TopRow();
    const int labelY = a.bottom + 2;
    const int cell = a.Width() / 10;
    if (plotMode == kTimeMode) {
        DrawLabel(p, a.left, labelY, QStringLiteral("0"));
        // Ten divisions across; a line at left + D must not pass the right
        // edge, or narrow plots get grid lines in their margin.
        for (int d = cell, k = 1; a.left + d <= a.right; d += cell, ++k) {
            p.setPen(GridPen());
            p.drawLine(a.left + d, a.bottom, a.left + d, top);
            DrawLabel(p, a.left + d - 4, labelY, Number(k));
        }
        return;
    }

    ScrollView view{totalDivisions, secondsPerDivision, firstLabel, offsetPercent, 0, 0};
    ApplyScrollView(plotMode, xScaleIndex, scrollPercent, n, cell, view);
    totalDivisions = view.totalDivisions;
    secondsPerDivision = view.secondsPerDivision;
    firstLabel = view.firstLabel;
    offsetPercent = view.offsetPercent;
    startIndex = view.startIndex;

    const int tick = static_cast<int>(0.5 * a.cellHeight);
    ClockTime clockTime{};
    if (plotMode == kTrendMode) {
        clockStart_ = TrendClockStart(clock ? clock() : LocalClockNow());
        clockTime = TrendTickTime(clock ? clock() : LocalClockNow(), startIndex, n, secondsPerDivision, 0);
    }
    int label = firstLabel;
    for (int d = view.firstTickOffset; a.left + d <= a.right; d += cell) {
        p.setPen(GridPen());
        p.drawLine(a.left + d, a.bottom, a.left + d, a.bottom - tick);
        if (plotMode == kTrendMode) {
            DrawLabel(p, a.left + d - 4, a.bottom + 2, Clock(clockTime));
            tav::AddSeconds(clockTime.hour, clockTime.minute, clockTime.second, secondsPerDivision);
        } else {
            DrawLabel(p, a.left + d - 4, a.bottom + 2, Number(label));
        }
        ++label;
    }
}

void CWaveDisp::DrawVerticalAxis(QPainter &p, const PlotArea &a)
{
    const int c = a.cellHeight;
    const int labelX = a.left - 17;
    const int step = VerticalLabelStep(c, p.fontMetrics().height());
    if (plotMode == kTimeMode) {
        for (int k = -5; k <= 5; ++k) {
            // Grid row k+6 is the one above the label k; for k = 5 it would
            // lie a division above the frame, outside the plot area.
            if (k + 6 <= 10) {
                p.setPen(GridPen());
                const int y = a.bottom - (k + 6) * c;
                p.drawLine(a.left, y, a.right, y);
            }
            if (k % step == 0)
                DrawLabel(p, labelX, static_cast<int>(a.bottom - (k + 5.5) * c), Number(k));
        }
        return;
    }
    for (int k = 0; k <= 10; ++k) {
        p.setPen(GridPen());
        const int y = a.bottom - k * c;
        p.drawLine(a.left, y, a.right, y);
        if (k % step == 0)
            DrawLabel(p, labelX, static_cast<int>(a.bottom - (k + 0.4) * c), Number(k));
    }
}

void CWaveDisp::DrawLegend(QPainter &p, const PlotArea &a)
{
    if (!trendSelected) return;
    int shown = 0;
    for (int i = 0; i < kTrendSeries && shown < kTrendPens; ++i) {
        if (trendSelected[i] != 1) continue;
        const int base = a.bottom - (shown + 2) * a.cellHeight;
        p.setPen(TracePen(TrendColour(shown), 2));
        p.drawLine(a.right + 60, base - 23, a.right + 100, base - 23);
        if (trendName) DrawLabel(p, a.right + 20, base - 30, QString::fromStdString(trendName[i]));
        ++shown;
    }
}

// Joins one point per column from column 1 on; column 0 lies on the frame's
// left edge and is never joined.
void CWaveDisp::DrawTimeTrace(QPainter &p, const PlotArea &a, const float *data, int n, float u, bool strokesLater)
{
    lines_.clear();
    strokes_.clear();
    QPoint prev;
    // Rows of the previous column's stroke; top > bottom when it has none.
    int prevTop = 1, prevBottom = 0;
    const int columns = a.Width();
    for (int x = std::max(firstColumn, 1); x < columns; ++x) {
        const ColumnRange r = ColumnSamples(x, 0, a.samplesPerPixel);
        if (r.first >= n) break;
        const int px = a.left + x;
        const int end = std::min(r.end, n);
        if (end - r.first < 2) {
            const QPoint pt(px, ValueToRow(a, 5, data[r.first], u));
            if (x > 1) lines_.emplace_back(prev, pt);
            prev = pt;
            prevTop = 1;
            prevBottom = 0;
            continue;
        }
        // Several samples share this column: a vertical stroke from their
        // smallest to their largest, so spikes and fast waves show as they
        // are instead of aliasing into whatever the first sample holds.
        float lo = data[r.first], hi = lo;
        for (int i = r.first + 1; i < end; ++i) {
            lo = std::min(lo, data[i]);
            hi = std::max(hi, data[i]);
        }
        const QPoint first(px, ValueToRow(a, 5, data[r.first], u));
        const int yHi = ValueToRow(a, 5, hi, u), yLo = ValueToRow(a, 5, lo, u);
        // A join whose two ends each lie in both columns' strokes only
        // covers pixels the strokes paint anyway: most joins of a dense
        // wave. Leaving them out changes no pixel.
        const bool covered = prev.y() >= yHi && prev.y() <= yLo && first.y() >= prevTop && first.y() <= prevBottom;
        if (x > 1 && !covered) lines_.emplace_back(prev, first);
        strokes_.emplace_back(px, yHi, 1, yLo - yHi + 1);
        prev = QPoint(px, ValueToRow(a, 5, data[end - 1], u));
        prevTop = yHi;
        prevBottom = yLo;
    }
    p.setPen(TracePen(kTraceColour, 1));
    p.drawLines(lines_.data(), static_cast<int>(lines_.size()));
    if (strokesLater) return;
    // Strokes as one-pixel-wide fills: the same pixels as vertical lines, at
    // a fraction of the cost when every column spans the whole wave.
    p.setPen(Qt::NoPen);
    p.setBrush(kTraceColour);
    p.drawRects(strokes_.data(), static_cast<int>(strokes_.size()));
    p.setBrush(Qt::NoBrush);
}

QRect CWaveDisp::TraceBounds() const
{
    QRect r;
    for (const QRect &s : strokes_) r |= s;
    // A one-pixel cosmetic line stays within its ends' rectangle; one pixel
    // more on each side for the square caps.
    for (const QLine &l : lines_) r |= QRect(l.p1(), l.p2()).normalized().adjusted(-1, -1, 1, 1);
    const QRect clip = QRect(QPoint(area_.left, area_.TopRow()), QPoint(area_.right, area_.bottom));
    return r & clip & image_.rect();
}

void CWaveDisp::FillStrokes(QImage &image) const
{
    // The pixels the painter would fill, inside the trace's clip.
    const QRect clip = QRect(QPoint(area_.left, area_.TopRow()), QPoint(area_.right, area_.bottom)) & image.rect();
    const QRgb colour = kTraceColour.rgb();
    const qsizetype stride = image.bytesPerLine() / qsizetype(sizeof(QRgb));
    QRgb *bits = reinterpret_cast<QRgb *>(image.bits());
    for (const QRect &r : strokes_) {
        if (r.x() < clip.left() || r.x() > clip.right()) continue;
        const int top = std::max(r.top(), clip.top()), bottom = std::min(r.bottom(), clip.bottom());
        for (int y = top; y <= bottom; ++y) bits[y * stride + r.x()] = colour;
    }
}

// A spectrum column shows the largest line since the previous column, so a
// narrow peak stays visible when many lines share a column.
void CWaveDisp::DrawSpectrumTrace(QPainter &p, const PlotArea &a, const float *data, int n, float u)
{
    lines_.clear();
    QPoint prev;
    const int columns = a.Width();
    int from = ColumnSamples(0, startIndex, a.samplesPerPixel).first;
    for (int x = 1; x < columns; ++x) {
        const int at = ColumnSamples(x, startIndex, a.samplesPerPixel).first;
        if (at >= n || at < 0) break;
        float value = data[at];
        for (int i = std::max(from, 0); i < at; ++i) value = std::max(value, data[i]);
        from = at;
        if (x < firstColumn) continue;
        const QPoint pt(a.left + x, ValueToRow(a, 0, value, u));
        if (x > 1) lines_.emplace_back(prev, pt);
        prev = pt;
    }
    p.setPen(TracePen(kTraceColour, 1));
    p.drawLines(lines_.data(), static_cast<int>(lines_.size()));
}

void CWaveDisp::DrawTrendTraces(QPainter &p, const PlotArea &a, float u)
{
    if (!trendSelected) return;
    const int columns = a.Width();
    int shown = 0;
    for (int i = 0; i < kTrendSeries && shown < kTrendPens; ++i) {
        if (trendSelected[i] != 1) continue;
        const int pen = shown++;
        if (i >= static_cast<int>(trendTraces.size())) continue;
        const std::vector<float> &trace = trendTraces[i];
        const int n = std::min(pointCount, static_cast<int>(trace.size()));
        const float scale = trendScale ? trendScale[i] : 1.0f;
        lines_.clear();
        QPoint prev;
        bool joined = false;
        for (int x = std::max(firstColumn, 1); x < columns; ++x) {
            const int at = ColumnSamples(x, startIndex, a.samplesPerPixel).first;
            if (at >= n || at < 0) break;
            // A value not measured yet is a gap in the line, not a fall to 0.
            if (std::isnan(trace[at])) {
                joined = false;
                continue;
            }
            const QPoint pt(a.left + x, ValueToRow(a, 0, trace[at] * scale, u));
            if (joined) lines_.emplace_back(prev, pt);
            prev = pt;
            joined = true;
        }
        p.setPen(TracePen(TrendColour(pen), 2));
        p.drawLines(lines_.data(), static_cast<int>(lines_.size()));
    }
}

QRect CWaveDisp::AreaRect() const
{
    return QRect(QPoint(area_.left, area_.TopRow()), QPoint(area_.right, area_.bottom));
}

QString CWaveDisp::ReadoutText(int px, int py) const
{
    const PlotArea &a = area_;
    if (!a.valid || py < a.TopRow() || py > a.bottom)
        return QString();
    char text[64];
    if (plotMode == kTrendMode) {
        QStringList parts;
        int shown = 0;
        for (int i = 0; i < kTrendSeries && shown < kTrendPens && trendSelected; ++i) {
            if (trendSelected[i] != 1 || i >= static_cast<int>(trendTraces.size()))
                continue;
            ++shown;
            const Readout r = ReadTrend(a, px, startIndex, trendTraces[i].data(), pointCount);
            if (!r.valid)
                return QString();
            if (parts.isEmpty()) {
                ClockTime t = clockStart_;
                tav::AddSeconds(t.hour, t.minute, t.second, static_cast<int>(r.position));
                parts << Clock(t);
            }
            const std::string name = trendName ? trendName[i] : std::string();
            // No value yet at that moment: the name alone.
            parts << QString::fromStdString(std::isnan(r.value) ? name
                                                                : name + " " + FormatValue(r.value, SeriesUnit(name)));
        }
        return parts.join(QStringLiteral("  "));
    }
    if (!data_)
        return QString();
    const char *unit = QuantityUnit(quantity);
    if (plotMode == kSpectrumMode) {
        const Readout r = ReadSpectrum(a, px, startIndex, copy_.data(), pointCount, lineSpacing_);
        if (!r.valid)
            return QString();
        std::snprintf(text, sizeof text, "%.1f Hz  ", r.position);
        return QString::fromUtf8(text) + QString::fromStdString(FormatValue(r.value, unit));
    }
    const Readout r = ReadTime(a, px, copy_.data(), pointCount);
    if (!r.valid)
        return QString();
    std::snprintf(text, sizeof text, "%.1f ms  ", r.position);
    return QString::fromUtf8(text) + QString::fromStdString(FormatValue(r.value, unit));
}

}  // namespace tav
