#include "ui/common/PlotFrame.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include "ui/common/ReadoutBox.h"
#include "ui/common/WaveDisp.h"

namespace tav {

PlotFrame::PlotFrame(int controlId, QWidget *parent, const QString &accessibleName)
    : QFrame(parent), controlId_(controlId)
{
    const QString id = QString::number(controlId);
    setObjectName(id);
    setAccessibleDescription(id);
    setAccessibleName(accessibleName);
    setFrameShape(QFrame::NoFrame);
    // The image covers every pixel, so Qt need not clear behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
}

PlotFrame::~PlotFrame()
{
    if (plot_ && plot_->frame_ == this) plot_->frame_ = nullptr;
}

void PlotFrame::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (!plot_) {
        painter.fillRect(rect(), Qt::white);
        return;
    }
    // Exposed after a resize before the owner redrew, or after drawings
    // were left out while nobody could see the frame: draw now rather than
    // show a stretched or an old image.
    if (plot_->stale_ || plot_->Image().size() != size()) plot_->Render(width(), height());
    painter.drawImage(0, 0, plot_->Image());
    // Read again at every redraw: the data under a resting mouse move on.
    if (hovering_)
        readout_ = plot_->ReadoutText(readoutAt_.x(), readoutAt_.y());
    if (readout_.isEmpty())
        return;
    // Over the image, not in it: the plot's own drawing stays as it is.
    const QRect inner = plot_->AreaRect();
    QRect box = ui::ReadoutBoxRect(painter.fontMetrics(), readout_);
    box.moveTopLeft(readoutAt_ + QPoint(12, -box.height() - 4));
    if (box.right() > inner.right())
        box.moveRight(readoutAt_.x() - 12);
    if (box.left() < inner.left())
        box.moveLeft(inner.left() + 2);
    if (box.top() < inner.top())
        box.moveTop(readoutAt_.y() + 16);
    if (box.bottom() > inner.bottom())
        box.moveBottom(inner.bottom() - 2);
    ui::PaintReadoutBox(painter, box, readout_);
}

bool PlotFrame::CanBeSeen() const
{
    if (!isVisible())
        return false;
    const QWidget *top = window();
    if (top->isMinimized())
        return false;
    const QWindow *handle = top->windowHandle();
    if (!handle || !handle->isExposed())
        return false;
    return !visibleRegion().isEmpty();
}

void PlotFrame::UpdateChanged(const QRect &changed)
{
    if (hovering_ || !readout_.isEmpty())
        update();
    else if (!changed.isEmpty())
        update(changed);
}

void PlotFrame::ShowReadoutAt(const QPoint &pos)
{
    const QString text = plot_ ? plot_->ReadoutText(pos.x(), pos.y()) : QString();
    if (text == readout_ && pos == readoutAt_ && hovering_)
        return;
    readout_ = text;
    readoutAt_ = pos;
    hovering_ = true;
    update();
}

void PlotFrame::mouseMoveEvent(QMouseEvent *event)
{
    ShowReadoutAt(event->position().toPoint());
    QFrame::mouseMoveEvent(event);
}

void PlotFrame::leaveEvent(QEvent *event)
{
    readout_.clear();
    hovering_ = false;
    update();
    QFrame::leaveEvent(event);
}

void PlotFrame::mouseDoubleClickEvent(QMouseEvent *event)
{
    emit doubleClicked();
    QFrame::mouseDoubleClickEvent(event);
}

}  // namespace tav
