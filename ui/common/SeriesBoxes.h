#pragma once
// The trend's series choice as check boxes: "X轴", "Y轴", "Z轴" and the seven
// parameters of each axis, and "rpm", with the identifiers of the 60-minute
// viewer, following the rules of SteadyViewerState (an axis box picks its
// seven series, at most eight shown). Window thread only.
#include <QGroupBox>

#include "core/model/SteadyRecord.h"

class QCheckBox;

namespace tav {
struct SteadyViewerState;
}

namespace tav::ui {

// Identifier of the check box of `series` (0..21).
int SeriesBoxId(int series);

class SeriesBoxes : public QGroupBox {
    Q_OBJECT
public:
    // `state` must outlive the boxes.
    SeriesBoxes(SteadyViewerState &state, QWidget *parent = nullptr);
    // Ticks the boxes as the state says.
    void ShowSelection();
    QCheckBox *SeriesBox(int series) const { return series_[series]; }

signals:
    // The selection changed: the trend needs drawing again.
    void changed();

private:
    void AxisClicked(int axis);
    void SeriesClicked(int series, bool ticked);

    SteadyViewerState &state_;
    QCheckBox *axes_[3] = {};
    QCheckBox *series_[kSteadySeriesCount] = {};
    bool syncing_ = false;  // the boxes are being set to the state, not by the operator
};

}  // namespace tav::ui
