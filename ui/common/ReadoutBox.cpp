#include "ui/common/ReadoutBox.h"

#include <QFontMetrics>
#include <QPainter>
#include <algorithm>

namespace tav::ui {

QRect ReadoutBoxRect(const QFontMetrics &fm, const QString &text)
{
    return QRect(0, 0, fm.horizontalAdvance(text) + 8, fm.height() + 4);
}

void PaintReadoutBox(QPainter &p, const QRect &box, const QString &text)
{
    p.fillRect(box, QColor(255, 255, 225));
    p.setPen(Qt::darkGray);
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(Qt::black);
    p.drawText(box, Qt::AlignCenter, text);
}

void DrawReadoutBeside(QPainter &p, const QString &text, const QPoint &mouse, int top, int right)
{
    QRect box = ReadoutBoxRect(p.fontMetrics(), text);
    box.moveTopLeft(QPoint(mouse.x() + 12, std::max(mouse.y() - box.height() - 4, top + 2)));
    if (box.right() > right)
        box.moveRight(mouse.x() - 12);
    PaintReadoutBox(p, box, text);
}

}  // namespace tav::ui
