#pragma once
// The waterfall's plot: the colour map of the store's rows (the newest on
// top, frequency across, the area's height holding the whole span), its
// frequency and time axes, the colour scale and the value under the mouse.
// Refresh takes only the rows that arrived since into the picture, so a
// paint copies one prepared image. Window thread only.
#include <QImage>
#include <QWidget>

#include "core/analysis/WaterfallPicture.h"

namespace tav::ui {

class WaterfallPlot : public QWidget {
    Q_OBJECT
public:
    // `store` must outlive the plot.
    explicit WaterfallPlot(const analysis::WaterfallStore &store, QWidget *parent = nullptr);

    void SetDecibels(bool on);
    bool Decibels() const { return decibels_; }
    // Brings the picture up to date at the plot's size; repaints when it changed.
    bool Refresh();
    // Plot area of a width x height plot.
    static analysis::WaterfallArea Area(int width, int height);
    // The whole plot into a width x height area (the picture as last refreshed).
    void Render(QPainter &p, int width, int height);
    // "14:03:27  49.61 Hz  0.312 g" under pixel (px, py); empty off the rows.
    QString ReadoutAt(int px, int py) const;
    // The plot as it shows now, for the image export.
    QImage Grab();
    const analysis::WaterfallPicture &Picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void DrawAxes(QPainter &p, const analysis::WaterfallArea &a);
    void DrawScale(QPainter &p, const analysis::WaterfallArea &a);

    const analysis::WaterfallStore &store_;
    analysis::WaterfallPicture picture_;
    analysis::WaterfallSignal signal_;  // of the picture, copied at Refresh
    bool decibels_ = false;
    int mouseX_ = -1, mouseY_ = -1;
};

}  // namespace tav::ui
