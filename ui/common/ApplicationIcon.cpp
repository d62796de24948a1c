#include "ui/common/ApplicationIcon.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace tav::ui {

QIcon ApplicationIcon()
{
    QPixmap pm(64, 64);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(30, 90, 170));
    p.setPen(Qt::NoPen);
    p.drawEllipse(2, 2, 60, 60);
    QPainterPath trace;
    for (int x = 8; x <= 56; ++x) {
        double t = (x - 8) / 48.0;
        double y = 32 - 16 * std::sin(t * 6.283185307 * 2.5) * std::exp(-2.0 * t);
        if (x == 8)
            trace.moveTo(x, y);
        else
            trace.lineTo(x, y);
    }
    p.setPen(QPen(Qt::white, 3));
    p.setBrush(Qt::NoBrush);
    p.drawPath(trace);
    return QIcon(pm);
}

}  // namespace tav::ui
