#pragma once
// "频谱分析": the spectrum of one axis of the shown sensor for the analyst,
// with its options, cursors, harmonic markers and the peak list; in the
// "包络谱" mode the envelope spectrum of a band of the acceleration with
// the defect lines of the machine's bearings. The spectra are computed by
// an AnalysisWorker on its own thread while the window is open; the window
// only sends the options and shows each new result on its timer.
#include <QDialog>
#include <QStringList>
#include <QTimer>
#include <map>
#include <vector>

#include "core/analysis/AnalysisWorker.h"
#include "core/analysis/FaultLines.h"
#include "core/model/MachineSettings.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QPushButton;
class QSpinBox;
class QStackedWidget;
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
        // 2120 to 2128 are the main window's crest factor, band velocity and
        // zone fields; 2160 on the waterfall panel's.
        kModeList = 2140, kModePages, kEnvelopeBandList, kEnvelopeLow, kEnvelopeHigh, kEnvelopeMaxList,
    };
    // Entries of the mode list, and the pages they show.
    enum Mode : int { kSpectrumMode = 0, kEnvelopeMode = 1, kWaterfallMode = 2 };

    // `table` and `plots` must outlive the window.
    CAnalysisDlg(tav::ConnectionTable &table, tav::LivePlots &plots, QWidget *parent = nullptr);
    ~CAnalysisDlg() override;

    // Shows the window on `axis` (0 X, 1 Y, 2 Z) with the main window's
    // settings for it, and starts the computation.
    void OpenOn(int axis);
    // Takes the worker's newest result, if any, into the plot and the list.
    void Poll();
    // The station's machine settings by sensor address, for the bearings'
    // defect lines; null for none. Read on the window thread only, so the
    // owner may replace their contents there.
    void SetMachines(const std::map<int32_t, tav::MachineSettings> *machines) { machines_ = machines; }
    // The page of "瀑布图" (objectName "waterfallPage"); SetWaterfallPage
    // puts `page` in its place (the window takes it and deletes the old one).
    QWidget *WaterfallPage() const { return waterfall_; }
    void SetWaterfallPage(QWidget *page);
    // Defect lines of the shown sensor's bearings in the envelope mode.
    const std::vector<tav::analysis::FaultLine> &FaultLines() const { return faults_; }

    tav::analysis::AnalysisWorker &Worker() { return worker_; }
    tav::ui::AnalysisPlot &View() { return *view_; }

protected:
    void hideEvent(QHideEvent *event) override;

private:
    void BuildLayout();
    void SendRequest();
    void ShowPeaks();
    void ShowStatus();
    void ModeChanged();
    void BandChosen();
    void BandTyped();
    void UpdateFaultLines();
    bool Envelope() const;
    double EnvelopeMaxHz() const;

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

    QComboBox *mode_ = nullptr, *band_ = nullptr, *envelopeMax_ = nullptr;
    QDoubleSpinBox *bandLow_ = nullptr, *bandHigh_ = nullptr;
    QWidget *envelopeRow_ = nullptr;
    QWidget *spectrumRow_ = nullptr;  // the first row's options of the spectrum and the envelope
    QStackedWidget *pages_ = nullptr;
    QWidget *waterfall_ = nullptr;
    const std::map<int32_t, tav::MachineSettings> *machines_ = nullptr;
    std::vector<tav::analysis::FaultLine> faults_;
    QStringList bearingPrefixes_;  // per bearing, when there is more than one
};
