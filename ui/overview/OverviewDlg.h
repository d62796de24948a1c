#pragma once
// "总览", the operator's home: every machine the station knows as a tile —
// name and address, online or not, zone colour, severity per axis against
// its limits and baseline, speed, temperature, active alarms, time to alarm —
// worst first. A click on a tile asks for that sensor in the main window.
// The window owns no state of its own: it paints the core's OverviewModel,
// which its owner refreshes on the steady tick.
#include <QDialog>

#include "core/station/Overview.h"

class QLabel;

namespace tav::ui {

// The tiles, painted in rows of as many as fit, at least 150 x 118 pixels
// each: 40 of them fill a 1280 x 720 screen.
class OverviewTiles : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinTileWidth = 150;
    static constexpr int kMinTileHeight = 118;

    explicit OverviewTiles(const OverviewModel &model, QWidget *parent = nullptr);
    // Where tile `index` of the model's order lies now.
    QRect TileRect(int index) const;
    // The index of the tile under `at`, or -1.
    int TileAt(QPoint at) const;
    // The model changed: lays out and repaints.
    void ModelChanged();
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

signals:
    void tileClicked(int address);

protected:
    void paintEvent(QPaintEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;

private:
    int Columns() const;
    int Rows() const;
    const OverviewModel &model_;
    int shownCount_ = 0;
};

class COverviewDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 180;
    static constexpr int kStatusId = 1801;

    explicit COverviewDlg(QWidget *parent = nullptr);
    OverviewModel &Model() { return model_; }
    OverviewTiles &Tiles() { return *tiles_; }
    // Repaints what the model holds now.
    void ShowModel();
    // Shows and raises the window, at its preferred size the first time.
    void OpenDialog();
    // A note for the operator in the status line until the next refresh
    // (a click on a sensor that is not connected).
    void ShowNote(const QString &text);

signals:
    void sensorChosen(int address);
    // The operator closed the window (not the station closing it).
    void closedByOperator();

protected:
    void reject() override;

private:
    OverviewModel model_;
    OverviewTiles *tiles_ = nullptr;
    QLabel *status_ = nullptr;
    QString note_;
    bool sized_ = false;
};

}  // namespace tav::ui
