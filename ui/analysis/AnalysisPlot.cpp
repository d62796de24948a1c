#include "ui/analysis/AnalysisPlot.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "core/plotting/PlotReadout.h"

namespace tav::ui {

namespace {
const QColor kTrace(0, 0, 255);
const QColor kGrid(220, 220, 220);
const QColor kHarmonic(0, 140, 0);
const QColor kSideband(230, 140, 0);
const QColor kCursorColour[2] = {QColor(220, 0, 0), QColor(180, 0, 180)};
constexpr int kHarmonics = 10;
// Defect lines by kind: cage, element, outer race, inner race.
const QColor kFaultColour[4] = {QColor(120, 90, 0), QColor(0, 150, 150), QColor(200, 0, 0), QColor(160, 0, 200)};
}  // namespace

AnalysisPlot::AnalysisPlot(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(400, 250);
}

void AnalysisPlot::SetResult(const analysis::Result &result)
{
    result_ = result;
    RereadCursors();
    update();
}

void AnalysisPlot::SetDecibels(bool on)
{
    decibels_ = on;
    update();
}

void AnalysisPlot::SetHarmonics(bool on)
{
    harmonics_ = on;
    update();
}

void AnalysisPlot::SetSidebands(bool on, double spacingHz)
{
    sidebands_ = on;
    sidebandHz_ = spacingHz;
    update();
}

void AnalysisPlot::SetFaultLines(const std::vector<analysis::FaultLine> &lines, const QStringList &bearingPrefixes)
{
    faults_ = lines;
    faultPrefixes_ = bearingPrefixes;
    update();
}

QString AnalysisPlot::FaultLabel(const analysis::FaultLine &line) const
{
    const QString prefix = line.bearing < faultPrefixes_.size() ? faultPrefixes_[line.bearing] : QString();
    return prefix + QString::fromStdString(analysis::FaultLineName(line));
}

QStringList AnalysisPlot::FaultLabels() const
{
    QStringList labels;
    for (const analysis::FaultLine &line : faults_)
        if (line.side == 0 && analysis::Drawn(line) && line.hz >= fromHz_ && line.hz <= toHz_)
            labels << FaultLabel(line);
    return labels;
}

QString AnalysisPlot::FaultNameAt(double hz) const
{
    const analysis::FaultNames names = analysis::FaultNamesAt(faults_, hz);
    QStringList labels;
    for (int i = 0; i < names.count; ++i)
        labels << FaultLabel(*names.line[i]);
    return labels.join(QStringLiteral(" / "));
}

void AnalysisPlot::SetSpanLimit(double hz)
{
    limitHz_ = std::clamp(hz, 1.0, analysis::kSpanHz);
    if (toHz_ > limitHz_ || fromHz_ > limitHz_)
        FullSpan();
}

void AnalysisPlot::SetSpan(double fromHz, double toHz)
{
    if (toHz < fromHz)
        std::swap(fromHz, toHz);
    fromHz = std::clamp(fromHz, 0.0, limitHz_);
    toHz = std::clamp(toHz, 0.0, limitHz_);
    // At least five lines across, or a zoom would show nothing to read.
    const double least = 5 * std::max(result_.layout.df, 0.01);
    if (toHz - fromHz < least) {
        toHz = std::min(fromHz + least, limitHz_);
        fromHz = toHz - least;
    }
    fromHz_ = fromHz;
    toHz_ = toHz;
    emit spanChanged();
    update();
}

const char *AnalysisPlot::Unit() const { return QuantityUnit(result_.request.quantity); }

analysis::AnalysisScale AnalysisPlot::Scale(int width, int height) const
{
    return analysis::MakeScale(width, height, fromHz_, toHz_, decibels_, result_.amplitude, result_.layout.df);
}

QString AnalysisPlot::AmplitudeText(double amplitude) const
{
    if (decibels_)
        return QString::asprintf("%.1f dB", analysis::ToDecibels(amplitude));
    return QString::fromStdString(FormatValue(amplitude, Unit()));
}

QString AnalysisPlot::OrderText(double hz) const
{
    if (!(result_.rpm > 0))
        return QString();
    QString text = QString::asprintf("%.2f×", analysis::Order(hz, result_.rpm));
    // On a defect line the readout names it, as the peak list does.
    const QString name = FaultNameAt(hz);
    if (!name.isEmpty())
        text += QStringLiteral("  ") + name;
    return text;
}

QString AnalysisPlot::ReadoutAt(int px) const
{
    const analysis::AnalysisScale s = Scale(width(), height());
    const int line = analysis::LineAtColumn(s, px, result_.amplitude, result_.layout.real, result_.layout.df);
    if (line < 0 || !result_.ready)
        return QString();
    const double hz = line * result_.layout.df;
    QString text = QString::asprintf("%.2f Hz  ", hz) + AmplitudeText(result_.amplitude[line]);
    const QString order = OrderText(hz);
    if (!order.isEmpty())
        text += QStringLiteral("  ") + order;
    return text;
}

void AnalysisPlot::PlaceCursor(bool b, int px)
{
    const analysis::AnalysisScale s = Scale(width(), height());
    const int line = analysis::LineAtColumn(s, px, result_.amplitude, result_.layout.real, result_.layout.df);
    if (line < 0)
        return;
    Cursor &c = cursor_[b ? 1 : 0];
    c.set = true;
    c.line = line;
    RereadCursors();
    emit cursorsChanged();
    update();
}

void AnalysisPlot::RereadCursors()
{
    for (Cursor &c : cursor_) {
        if (!c.set)
            continue;
        c.frequency = c.line * result_.layout.df;
        c.amplitude = c.line < static_cast<int>(result_.amplitude.size()) ? result_.amplitude[c.line] : 0.0;
        // On a listed peak the cursor reads the peak as refined between
        // lines, not the line it happens to sit on.
        for (const analysis::Peak &peak : result_.peaks) {
            if (std::fabs(peak.frequency - c.frequency) <= 2 * result_.layout.df) {
                c.frequency = peak.frequency;
                c.amplitude = peak.amplitude;
                break;
            }
        }
    }
}

QString AnalysisPlot::CursorText() const
{
    QStringList parts;
    const char *names[2] = {"A", "B"};
    for (int i = 0; i < 2; ++i) {
        const Cursor &c = cursor_[i];
        if (!c.set)
            continue;
        QString t = QString::asprintf("%s: %.2f Hz  ", names[i], c.frequency) + AmplitudeText(c.amplitude);
        const QString order = OrderText(c.frequency);
        if (!order.isEmpty())
            t += QStringLiteral("  ") + order;
        parts << t;
    }
    if (cursor_[0].set && cursor_[1].set)
        parts << QString::asprintf("Δf = %.2f Hz", cursor_[1].frequency - cursor_[0].frequency);
    return parts.join(QStringLiteral("    "));
}

void AnalysisPlot::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    Render(p, width(), height());
    // The value under the mouse, over the plot.
    const QString text = mouseX_ >= 0 ? ReadoutAt(mouseX_) : QString();
    if (!text.isEmpty()) {
        const analysis::AnalysisScale s = Scale(width(), height());
        const QFontMetrics fm = p.fontMetrics();
        QRect box(0, 0, fm.horizontalAdvance(text) + 8, fm.height() + 4);
        box.moveTopLeft(QPoint(mouseX_ + 12, std::max(mouseY_ - box.height() - 4, s.top + 2)));
        if (box.right() > s.right)
            box.moveRight(mouseX_ - 12);
        p.fillRect(box, QColor(255, 255, 225));
        p.setPen(Qt::darkGray);
        p.drawRect(box.adjusted(0, 0, -1, -1));
        p.setPen(Qt::black);
        p.drawText(box, Qt::AlignCenter, text);
    }
}

void AnalysisPlot::Render(QPainter &p, int width, int height)
{
    p.fillRect(0, 0, width, height, Qt::white);
    const analysis::AnalysisScale s = Scale(width, height);
    if (!s.Valid())
        return;
    const QFontMetrics fm = p.fontMetrics();
    // Grid and axes: ten divisions each way.
    for (int k = 0; k <= 10; ++k) {
        const int x = s.left + (s.right - s.left) * k / 10;
        const int y = s.bottom - (s.bottom - s.top) * k / 10;
        p.setPen(kGrid);
        p.drawLine(x, s.top, x, s.bottom);
        p.drawLine(s.left, y, s.right, y);
        p.setPen(Qt::black);
        const QString hz = QString::number(s.fromHz + (s.toHz - s.fromHz) * k / 10, 'f', s.toHz - s.fromHz < 50 ? 1 : 0);
        p.drawText(x - fm.horizontalAdvance(hz) / 2, s.bottom + fm.ascent() + 4, hz);
        const QString v = decibels_ ? QString::number(s.topValue - s.rangeDb * (10 - k) / 10, 'f', 0)
                                    : QString::number(s.topValue * k / 10, 'g', 3);
        p.drawText(s.left - fm.horizontalAdvance(v) - 4, y + fm.ascent() / 2, v);
    }
    p.setPen(Qt::black);
    p.drawRect(QRect(QPoint(s.left, s.top), QPoint(s.right, s.bottom)));
    const QString unit = decibels_ ? QStringLiteral("dB re 1 ") + QString::fromUtf8(Unit()) : QString::fromUtf8(Unit());
    p.drawText(4, s.top - 8, unit);
    p.drawText(s.right - fm.horizontalAdvance(QStringLiteral("Hz")), height - 4, QStringLiteral("Hz"));

    p.save();
    p.setClipRect(QRect(QPoint(s.left, s.top), QPoint(s.right, s.bottom)));
    DrawFaultLines(p, s);  // under the trace, which they must not hide
    const double df = result_.layout.df;
    const int lines = std::min(result_.layout.real, static_cast<int>(result_.amplitude.size()));
    if (result_.ready && df > 0 && lines > 1) {
        // One point per column with the column's largest line, so that a
        // narrow line stays visible however many lines share a column;
        // zoomed past one line per column, a point per line.
        QPolygon trace;
        const double linesPerColumn = (s.toHz - s.fromHz) / df / (s.right - s.left);
        if (linesPerColumn >= 1) {
            trace.reserve(s.right - s.left + 1);
            for (int px = s.left; px <= s.right; ++px) {
                const int line = analysis::LineAtColumn(s, px, result_.amplitude, lines, df);
                if (line >= 0)
                    trace << QPoint(px, s.RowOf(result_.amplitude[line]));
            }
        } else {
            const int first = std::max(0, static_cast<int>(s.fromHz / df) - 1);
            const int last = std::min(lines - 1, static_cast<int>(s.toHz / df) + 1);
            for (int k = first; k <= last; ++k)
                trace << QPoint(static_cast<int>(std::lround(s.ColumnOf(k * df))), s.RowOf(result_.amplitude[k]));
        }
        p.setPen(QPen(kTrace, 1));
        p.drawPolyline(trace);
    }
    // Harmonics of the running speed, and their sidebands.
    const double fr = result_.rpm / 60.0;
    if (harmonics_ && fr > 0) {
        for (int h = 1; h <= kHarmonics; ++h) {
            const double hz = h * fr;
            if (sidebands_ && sidebandHz_ > 0) {
                p.setPen(QPen(kSideband, 1, Qt::DotLine));
                for (double side : {hz - sidebandHz_, hz + sidebandHz_}) {
                    const int x = static_cast<int>(std::lround(s.ColumnOf(side)));
                    if (side >= s.fromHz && side <= s.toHz)
                        p.drawLine(x, s.top + fm.height() + 2, x, s.bottom);
                }
            }
            if (hz < s.fromHz || hz > s.toHz)
                continue;
            const int x = static_cast<int>(std::lround(s.ColumnOf(hz)));
            p.setPen(QPen(kHarmonic, 1, Qt::DashLine));
            p.drawLine(x, s.top + fm.height() + 2, x, s.bottom);
            p.setPen(kHarmonic);
            p.drawText(x + 2, s.top + fm.ascent() + 1, QString::number(h) + QStringLiteral("×"));
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (!cursor_[i].set || cursor_[i].frequency < s.fromHz || cursor_[i].frequency > s.toHz)
            continue;
        const int x = static_cast<int>(std::lround(s.ColumnOf(cursor_[i].frequency)));
        p.setPen(QPen(kCursorColour[i], 1));
        p.drawLine(x, s.top, x, s.bottom);
        p.drawText(x + 3, s.bottom - 4, QString::fromLatin1(i == 0 ? "A" : "B"));
    }
    if (dragFrom_ >= 0 && std::abs(dragTo_ - dragFrom_) > 4) {
        const QRect band(QPoint(std::min(dragFrom_, dragTo_), s.top), QPoint(std::max(dragFrom_, dragTo_), s.bottom));
        p.fillRect(band, QColor(0, 0, 255, 40));
    }
    p.restore();
}

void AnalysisPlot::DrawFaultLines(QPainter &p, const analysis::AnalysisScale &s)
{
    const QFontMetrics fm = p.fontMetrics();
    int labelEnd[4] = {s.left, s.left, s.left, s.left};  // right end of the last label per row
    int bearing = -1;
    for (const analysis::FaultLine &line : faults_) {
        if (line.bearing != bearing)  // each bearing's lines rise from the lowest again
            std::fill(std::begin(labelEnd), std::end(labelEnd), s.left);
        bearing = line.bearing;
        if (!analysis::Drawn(line) || line.hz < s.fromHz || line.hz > s.toHz)
            continue;
        const int kind = static_cast<int>(line.kind);
        const int x = static_cast<int>(std::lround(s.ColumnOf(line.hz)));
        // Labels of the four kinds on rows of their own below the harmonic
        // markers' row, so that lines close together stay readable.
        const int labelTop = s.top + fm.height() * (kind + 1) + 2;
        p.setPen(QPen(kFaultColour[kind], 1, line.side == 0 ? Qt::SolidLine : Qt::DotLine));
        p.drawLine(x, line.side == 0 ? labelTop + 2 : labelTop + fm.height(), x, s.bottom);
        // A label that would run into the previous one of its row is left
        // out; its line stays, and the readout and peak list name it.
        if (line.side == 0 && x + 2 > labelEnd[kind]) {
            const QString label = FaultLabel(line);
            p.setPen(kFaultColour[kind]);
            p.drawText(x + 2, labelTop + fm.ascent(), label);
            labelEnd[kind] = x + 2 + fm.horizontalAdvance(label) + 2;
        }
    }
}

void AnalysisPlot::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        dragFrom_ = dragTo_ = event->position().toPoint().x();
}

void AnalysisPlot::mouseMoveEvent(QMouseEvent *event)
{
    mouseX_ = event->position().toPoint().x();
    mouseY_ = event->position().toPoint().y();
    if (dragFrom_ >= 0)
        dragTo_ = mouseX_;
    update();
}

void AnalysisPlot::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || dragFrom_ < 0)
        return;
    const int from = dragFrom_, to = event->position().toPoint().x();
    dragFrom_ = dragTo_ = -1;
    if (std::abs(to - from) > 4) {
        const analysis::AnalysisScale s = Scale(width(), height());
        SetSpan(s.FrequencyAt(std::min(from, to)), s.FrequencyAt(std::max(from, to)));
        return;
    }
    PlaceCursor(event->modifiers() & Qt::ShiftModifier, to);
}

void AnalysisPlot::leaveEvent(QEvent *)
{
    mouseX_ = mouseY_ = -1;
    update();
}

}  // namespace tav::ui
