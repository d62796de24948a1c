#include "ui/analysis/WaterfallPlot.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "core/analysis/AnalysisScale.h"
#include "core/plotting/PlotReadout.h"

namespace tav::ui {

namespace {

constexpr int kLeft = 66, kTop = 8, kRight = 78, kBottom = 24;  // margins
constexpr int kBarWidth = 14;

QString ClockText(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(seconds)) * 1000)
        .toString(QStringLiteral("HH:mm:ss"));
}

}  // namespace

WaterfallPlot::WaterfallPlot(const analysis::WaterfallStore &store, QWidget *parent) : QWidget(parent), store_(store)
{
    setMouseTracking(true);
    setMinimumSize(360, 220);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

analysis::WaterfallArea WaterfallPlot::Area(int width, int height)
{
    analysis::WaterfallArea a;
    a.left = kLeft;
    a.top = kTop;
    a.right = std::max(width - kRight, a.left);
    a.bottom = std::max(height - kBottom, a.top);
    return a;
}

void WaterfallPlot::SetDecibels(bool on)
{
    if (on == decibels_)
        return;
    decibels_ = on;
    Refresh();
    update();
}

bool WaterfallPlot::Refresh()
{
    const analysis::WaterfallArea a = Area(width(), height());
    bool changed;
    {
        auto lock = store_.Lock();
        changed = picture_.Update(store_, std::max(a.Width(), 1), decibels_);
        signal_ = store_.Signal();
    }
    if (changed)
        update();
    return changed;
}

void WaterfallPlot::resizeEvent(QResizeEvent *)
{
    // The picture follows the plot's width at once, not at the next poll.
    Refresh();
}

void WaterfallPlot::Render(QPainter &p, int width, int height)
{
    p.fillRect(0, 0, width, height, Qt::white);
    const analysis::WaterfallArea a = Area(width, height);
    if (!a.Valid())
        return;
    p.fillRect(a.left, a.top, a.Width(), a.Height(), QColor::fromRgb(analysis::WaterfallPicture::kEmpty));
    const analysis::WaterfallPicture &pic = picture_;
    const uint64_t shown = std::min<uint64_t>(pic.Next() - pic.First(), static_cast<uint64_t>(std::max(pic.Rows(), 0)));
    if (shown > 0 && pic.Width() > 0) {
        // A view of the picture's pixels, not a copy.
        const QImage image(reinterpret_cast<const uchar *>(pic.Pixels()), pic.Width(), pic.Rows(),
                           static_cast<qsizetype>(pic.Width()) * 4, QImage::Format_RGB32);
        const double rowHeight = static_cast<double>(a.Height()) / pic.Rows();
        const int newest = pic.PixelRow(pic.Next() - 1);
        const int first = static_cast<int>(std::min<uint64_t>(shown, static_cast<uint64_t>(pic.Rows() - newest)));
        p.drawImage(QRectF(a.left, a.top, a.Width(), first * rowHeight), image, QRectF(0, newest, pic.Width(), first));
        if (static_cast<uint64_t>(first) < shown) {
            const int rest = static_cast<int>(shown) - first;
            p.drawImage(QRectF(a.left, a.top + first * rowHeight, a.Width(), rest * rowHeight), image,
                        QRectF(0, 0, pic.Width(), rest));
        }
    } else {
        p.setPen(Qt::darkGray);
        p.drawText(QRect(a.left, a.top, a.Width(), a.Height()), Qt::AlignCenter,
                   QStringLiteral("等待数据…"));
    }
    DrawAxes(p, a);
    DrawScale(p, a);
}

void WaterfallPlot::DrawAxes(QPainter &p, const analysis::WaterfallArea &a)
{
    const QFontMetrics fm = p.fontMetrics();
    p.setPen(Qt::black);
    p.drawRect(a.left - 1, a.top - 1, a.Width() + 1, a.Height() + 1);
    // Frequency across, ticks at round frequencies: the lines' span is the
    // chosen maximum plus part of a line.
    const double span = signal_.lines * signal_.df;
    const double step = analysis::NiceAbove(span / 10.5);
    for (int k = 0; span > 0 && k * step <= span; ++k) {
        const int x = a.left + static_cast<int>(std::lround(a.Width() * k * step / span));
        const QString hz = QString::number(k * step, 'g', 6);
        p.drawLine(x, a.bottom, x, a.bottom + 3);
        p.drawText(std::clamp(x - fm.horizontalAdvance(hz) / 2, 0, a.right + kRight - fm.horizontalAdvance(hz)),
                   a.bottom + fm.ascent() + 5, hz);
    }
    p.drawText(4, a.bottom + fm.ascent() + 5, QStringLiteral("Hz"));
    // Time down: the clock time of the row at five heights.
    const int rows = picture_.Rows();
    auto lock = store_.Lock();
    for (int k = 0; k < 5 && rows > 0; ++k) {
        const int y = a.top + a.Height() * k / 5;
        const auto back = static_cast<uint64_t>(static_cast<int64_t>(rows) * k / 5);
        if (back >= picture_.Next() - picture_.First())
            break;
        const uint64_t row = picture_.Next() - 1 - back;
        if (row < store_.First() || row >= store_.Next() || store_.Generation() == 0)
            break;
        const QString t = ClockText(store_.Time(row));
        p.drawLine(a.left - 4, y, a.left - 1, y);
        p.drawText(a.left - fm.horizontalAdvance(t) - 6, y + fm.ascent(), t);
    }
}

void WaterfallPlot::DrawScale(QPainter &p, const analysis::WaterfallArea &a)
{
    const QFontMetrics fm = p.fontMetrics();
    const int x = a.right + 8;
    for (int y = a.top; y < a.bottom; ++y) {
        const int index = 255 - (y - a.top) * 255 / std::max(a.Height() - 1, 1);
        p.setPen(QColor::fromRgb(analysis::WaterfallPicture::Colour(index)));
        p.drawLine(x, y, x + kBarWidth - 1, y);
    }
    p.setPen(Qt::black);
    p.drawRect(x - 1, a.top - 1, kBarWidth + 1, a.Height() + 1);
    if (picture_.Rows() <= 0 || picture_.Next() == picture_.First())
        return;
    const char *unit = QuantityUnit(signal_.quantity);
    for (int k = 0; k <= 4; ++k) {
        const int y = a.top + (a.Height() - 1) * k / 4;
        const QString v = decibels_ ? QString::number(picture_.TopDb() - analysis::WaterfallPicture::kRangeDb * k / 4, 'f', 0)
                                    : QString::number(picture_.Top() * (4 - k) / 4, 'g', 3);
        p.drawText(x + kBarWidth + 3, std::clamp(y + fm.ascent() / 2, a.top + fm.ascent(), a.bottom), v);
    }
    const QString u = decibels_ ? QStringLiteral("dB") : QString::fromUtf8(unit);
    p.drawText(x + kBarWidth + 3, a.bottom + fm.ascent() + 5, u);
}

QString WaterfallPlot::ReadoutAt(int px, int py) const
{
    analysis::WaterfallPoint point;
    {
        auto lock = store_.Lock();
        point = picture_.PointAt(store_, Area(width(), height()), px, py);
    }
    return QString::fromStdString(analysis::WaterfallReadoutText(point, signal_.quantity, decibels_));
}

QImage WaterfallPlot::Grab()
{
    QImage image(std::max(width(), 1), std::max(height(), 1), QImage::Format_RGB32);
    QPainter p(&image);
    Render(p, image.width(), image.height());
    return image;
}

void WaterfallPlot::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    Render(p, width(), height());
    const QString text = mouseX_ >= 0 ? ReadoutAt(mouseX_, mouseY_) : QString();
    if (text.isEmpty())
        return;
    // The value under the mouse, in a small label beside it inside the plot.
    const analysis::WaterfallArea a = Area(width(), height());
    const QFontMetrics fm = p.fontMetrics();
    QRect box(0, 0, fm.horizontalAdvance(text) + 8, fm.height() + 4);
    box.moveTopLeft(QPoint(mouseX_ + 12, std::max(mouseY_ - box.height() - 4, a.top + 2)));
    if (box.right() > a.right)
        box.moveRight(mouseX_ - 12);
    p.fillRect(box, QColor(255, 255, 225));
    p.setPen(Qt::darkGray);
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(Qt::black);
    p.drawText(box, Qt::AlignCenter, text);
}

void WaterfallPlot::mouseMoveEvent(QMouseEvent *event)
{
    mouseX_ = event->position().toPoint().x();
    mouseY_ = event->position().toPoint().y();
    update();
}

void WaterfallPlot::leaveEvent(QEvent *)
{
    mouseX_ = mouseY_ = -1;
    update();
}

}  // namespace tav::ui
