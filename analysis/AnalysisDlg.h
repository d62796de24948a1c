#pragma once
// "频谱分析": the spectrum of one axis of the shown sensor for the analyst,
// with its options, cursors, harmonic markers and the peak list. The
// spectrum is computed by an AnalysisWorker on its own thread while the
// window is open; the window only sends the options and shows each new
// result on its timer.
#include <QDialog>
#include <QTimer>

#include "analysis/AnalysisWorker.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace tav::ui {
class AnalysisPlot;
}

class CAnalysisDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 150;
    static constexpr int kPollMs = 200;
    // Control ids.
    enum : int {
        kAxisList = 2101, kQuantityList, kLengthList, kLineSpacing, kWindowList, kAveragingList,
        kAverageCount, kResetButton, kAmplitudeList, kFullSpanButton, kSpeedList, kHarmonicBox,
        kSidebandBox, kSidebandSpacing, kPeakTable, kPlot, kCursorLabel, kStatusLabel,
    };

    // `table` and `plots` must outlive the window.
    CAnalysisDlg(tav::ConnectionTable &table, tav::LivePlots &plots, QWidget *parent = nullptr);
    ~CAnalysisDlg() override;

    // Shows the window on `axis` (0 X, 1 Y, 2 Z) with the main window's
    // settings for it, and starts the computation.
    void OpenOn(int axis);
    // Takes the worker's newest result, if any, into the plot and the list.
    void Poll();

    tav::analysis::AnalysisWorker &Worker() { return worker_; }
    tav::ui::AnalysisPlot &View() { return *view_; }

protected:
    void hideEvent(QHideEvent *event) override;

private:
    void BuildLayout();
    void SendRequest();
    void ShowPeaks();
    void ShowStatus();

    tav::ConnectionTable &table_;
    tav::LivePlots &plots_;
    tav::analysis::AnalysisWorker worker_;
    tav::analysis::Result result_;
    QTimer poll_;

    QComboBox *axis_ = nullptr, *quantity_ = nullptr, *length_ = nullptr, *window_ = nullptr;
    QComboBox *averaging_ = nullptr, *amplitude_ = nullptr, *speed_ = nullptr;
    QSpinBox *averages_ = nullptr;
    QDoubleSpinBox *sidebandSpacing_ = nullptr;
    QCheckBox *harmonics_ = nullptr, *sidebands_ = nullptr;
    QLabel *lineSpacing_ = nullptr, *cursor_ = nullptr, *status_ = nullptr;
    QTableWidget *peaks_ = nullptr;
    tav::ui::AnalysisPlot *view_ = nullptr;
};
