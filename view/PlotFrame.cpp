#include "view/PlotFrame.h"

#include <QPainter>

#include "view/WaveDisp.h"

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
    // Exposed after a resize before the owner redrew: draw at the new size
    // now rather than show a stretched or clipped old image.
    if (plot_->Image().size() != size()) plot_->Render(width(), height());
    painter.drawImage(0, 0, plot_->Image());
}

}  // namespace tav
