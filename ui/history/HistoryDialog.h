#pragma once
// "历史趋势": one sensor's durable history as a trend, from an hour to years.
// The operator picks the sensor, a range (or two dates) and the series with
// the check boxes and display factors of the 60-minute viewer (whose choices
// it shares); the resolution follows the span shown. Aggregated spans draw
// each series' minimum-maximum band under its mean. Dragging across the plot
// zooms into the dragged time, "返回" steps back, "导出CSV" writes what is
// shown in the history's CSV export format.
//
// Window thread only. Every read and write of the database runs on the
// dialog's HistoryQueryThread; its answers arrive as posted events.
#include <QDialog>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

#include "core/history/HistoryViewState.h"

class QComboBox;
class QCustomPlot;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QCPItemStraightLine;

namespace tav {
struct SteadyViewerState;
class HistoryQueryThread;
struct HistoryAnswer;
namespace ui {
class SeriesBoxes;
}
}  // namespace tav

class CHistoryDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 160;
    enum ControlId : int {
        kIdExit = 2,
        kIdSensorCombo = 1600,
        kIdRangeCombo = 1601,
        kIdFromEdit = 1602,
        kIdToEdit = 1603,
        kIdApplyDates = 1604,
        kIdZoomBack = 1605,
        kIdExport = 1606,
        kIdStatus = 1607,
        kIdPlot = 1608,
        kIdReadout = 1609,
        kIdParameterCombo = 1121,  // as in the 60-minute viewer
        kIdFactorEdit = 1122,
        kIdSetFactor = 1124,
    };
    // Relative ranges are refreshed this often while not zoomed.
    static constexpr int kRefreshMs = 30'000;

    // `selection`: the series choice and factors, shared with the 60-minute
    // viewer; it must outlive the dialog.
    CHistoryDialog(const std::string &databasePath, const std::string &exportFolder,
                   tav::SteadyViewerState &selection, QWidget *parent);
    ~CHistoryDialog() override;

    // Reads the sensor list and the chosen range again and shows the dialog
    // modally without blocking the caller's event loop.
    void OpenDialog();

    // Machine names by sensor address, shown beside the addresses of the
    // sensor chooser; window thread. Unset = addresses only.
    using NameLookup = std::function<std::string(int32_t address)>;
    void SetNames(NameLookup names) { names_ = std::move(names); }
    // The time "now" of the relative ranges (tests and pictures set a
    // simulated one); UTC milliseconds.
    using Clock = std::function<int64_t()>;
    void SetClock(Clock clock) { clock_ = std::move(clock); }
    // Asks where the export goes; empty = cancelled. Tests replace it.
    using ExportChooser = std::function<QString(QWidget *parent, const QString &suggested)>;
    static void SetExportChooser(ExportChooser chooser);

    const tav::HistoryViewState &View() const { return view_; }
    // The entries on show (null before the first answer) and their plot.
    const tav::HistorySeries *Shown() const { return shown_.get(); }
    const tav::HistoryPlot &ShownPlot() const { return plot_; }
    QCustomPlot *Plot() const { return plotWidget_; }
    // Queries sent and not yet answered; 0 = what is shown is the newest.
    int Pending() const;
    // Outcome of the last export: its file, or empty, and whether it worked.
    QString LastExportPath() const { return lastExport_; }
    bool LastExportOk() const { return lastExportOk_; }
    int ExportsDone() const { return exportsDone_; }

public slots:
    void done(int result) override;

protected:
    bool event(QEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;

private:
    void BuildLayout();
    QWidget *BuildFactorControls();
    void Query();
    void ShowDates(const tav::HistorySpan &span);
    void Draw();
    void ShowStatus();
    void TakeAnswer(std::unique_ptr<tav::HistoryAnswer> answer);
    void FillSensors(const std::vector<tav::HistorySensorSummary> &sensors);
    void ChooseRange(int index);
    void ApplyDates();
    void ZoomDragged(const QRect &rect);
    void ZoomBack();
    void Export();
    void MouseMoved(QMouseEvent *event);
    void ApplyFactor();
    int64_t Now() const;

    tav::SteadyViewerState &selection_;
    tav::HistoryViewState view_;
    std::string exportFolder_;
    Clock clock_;
    NameLookup names_;
    std::shared_ptr<const tav::HistorySeries> shown_;
    tav::HistoryPlot plot_;
    tav::HistorySpan shownSpan_;
    bool open_ = false;
    bool datesTyped_ = false;  // 从/到 changed by the operator since the dialog last set them
    QString error_;
    QString lastExport_;
    bool lastExportOk_ = false;
    int exportsDone_ = 0;
    QTimer refresh_;
    // Answers posted by the query thread and not yet taken here: with the
    // thread's own count, nothing is missed between its post and our event.
    std::atomic<int> answersPosted_{0};

    QComboBox *sensorCombo_ = nullptr;
    QComboBox *rangeCombo_ = nullptr;
    QDateTimeEdit *fromEdit_ = nullptr;
    QDateTimeEdit *toEdit_ = nullptr;
    QPushButton *zoomBack_ = nullptr;
    QLabel *status_ = nullptr;
    QLabel *readout_ = nullptr;
    QCustomPlot *plotWidget_ = nullptr;
    QCPItemStraightLine *cursor_ = nullptr;
    tav::ui::SeriesBoxes *boxes_ = nullptr;
    QComboBox *parameterCombo_ = nullptr;
    QLineEdit *factorEdit_ = nullptr;

    // Last: its thread posts to this dialog until it is joined.
    std::unique_ptr<tav::HistoryQueryThread> queries_;
};
