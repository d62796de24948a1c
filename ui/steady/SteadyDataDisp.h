#pragma once
// "稳态数据----60分钟记录": the steady-state table as a list of 20 records per
// page and one record's last hour as a trend of up to eight series. The
// dialog belongs to the main window and is reused for every opening, so the
// operator's choices stay; the choices and the rules behind the check boxes
// and the factor live in SteadyViewerState.
//
// Window thread only: the dialog reads the steady-state table between the
// main window's ticks.
#include <QDialog>
#include <QTimer>

#include "core/steady/SteadyViewerState.h"
#include "ui/common/WaveDisp.h"

class CMyListCtr;
class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;
class QTabBar;

namespace tav {
class SteadyTable;
struct SteadyRecord;
class SensorMarks;
namespace ui {
class ConnectionCombo;
class SeriesBoxes;
}
}  // namespace tav

namespace tav::ui {
// Control identifiers of the dialog.
enum SteadyDataDispId : int {
    kIdViewerExit = 2,
    kIdViewerTabs = 1081,
    kIdViewerList = 1092,
    kIdTrendFrame = 1095,
    kIdSeriesBoxX = 1096,   // 1096..1102: X AR..DP
    kIdAxisBoxX = 1103,
    kIdSeriesBoxY = 1104,   // 1104..1110
    kIdAxisBoxY = 1111,
    kIdSeriesBoxZ = 1112,   // 1112..1118
    kIdAxisBoxZ = 1119,
    kIdAddressCombo = 1120,
    kIdParameterCombo = 1121,
    kIdFactorEdit = 1122,
    kIdTimeCombo = 1123,
    kIdSetFactor = 1124,
    kIdTrendSlider = 1125,
    kIdRpmBox = 1165,
};
}  // namespace tav::ui

class CSteadyDataDisp : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 133;
    static constexpr int kTimerMs = 500;

    CSteadyDataDisp(const tav::SteadyTable &table, QWidget *parent);
    ~CSteadyDataDisp() override;

    // The opening steps, then shows the dialog modally without blocking the
    // caller's event loop. Does nothing while the dialog is open.
    void OpenDialog();
    bool IsOpen() const { return open_; }

    // One 500 ms tick: list refresh, trend copy, redraw when due. Left out
    // while the dialog is minimised; it catches up when restored.
    void Tick();
    void RedrawTrend();

    // Machine names (row and address tooltips) and row colours by zone or
    // alarm; null = none. Must outlive the dialog.
    void SetMarks(const tav::SensorMarks *marks) { marks_ = marks; }

    tav::SteadyViewerState &State() { return state_; }
    tav::CWaveDisp &Trend() { return trend_; }
    CMyListCtr &List() { return *list_; }

public slots:
    void done(int result) override;

protected:
    void changeEvent(QEvent *event) override;

private:
    void BuildLayout();
    void ShowSelection();
    void InsertEmptyRows();
    void FillAddresses();
    void MarkRow(int row, const tav::SteadyRecord &record);
    void ApplyFactor();
    void ChooseTimeWindow(int index);

    const tav::SteadyTable &table_;
    const tav::SensorMarks *marks_ = nullptr;
    tav::SteadyViewerState state_;
    tav::CWaveDisp trend_{tav::kTrendMode};
    float *traces_[tav::kSteadySeriesCount] = {};
    QTimer timer_;
    bool tickMissed_ = false;  // ticks left out while minimised
    bool open_ = false;

    QTabBar *tabs_ = nullptr;
    CMyListCtr *list_ = nullptr;
    tav::ui::SeriesBoxes *boxes_ = nullptr;
    tav::ui::ConnectionCombo *addressCombo_ = nullptr;
    QComboBox *parameterCombo_ = nullptr;
    QComboBox *timeCombo_ = nullptr;
    QLineEdit *factorEdit_ = nullptr;
    QSlider *slider_ = nullptr;
    QLabel *nameLabel_ = nullptr;  // machine name of the plotted record
};
