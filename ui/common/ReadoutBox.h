#pragma once
// The value under the mouse, drawn over a plot in a small pale label, the
// same on every plot that shows one. The text comes from the plot (its
// numbers from core/plotting/PlotReadout); only the label is drawn here.
// Window thread only.
#include <QRect>
#include <QString>

class QFontMetrics;
class QPainter;

namespace tav::ui {

// The label's rectangle for `text` at the origin: the text with a little room.
QRect ReadoutBoxRect(const QFontMetrics &fm, const QString &text);
// Paints the label into `box`: pale yellow, a grey border, the text centred.
void PaintReadoutBox(QPainter &p, const QRect &box, const QString &text);
// The label beside the mouse: right of it and above, never higher than just
// below `top`, and left of the mouse where it would pass `right`.
void DrawReadoutBeside(QPainter &p, const QString &text, const QPoint &mouse, int top, int right);

}  // namespace tav::ui
