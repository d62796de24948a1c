#pragma once
// "瀑布图": the spectra of one axis of the shown sensor over the last 1 to
// 30 minutes as a colour map, live, with its controls, freezing for study
// and the image and CSV exports. The spectra are computed by a
// WaterfallWorker on its own thread while the panel is shown; the panel
// sends the choices and takes the new rows into the picture on its timer.
// Exports are written on a thread of the panel's own, so the window never
// waits for the disk.
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "core/analysis/WaterfallWorker.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace tav::ui {

class WaterfallPlot;

class WaterfallPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kPollMs = 250;
    // Control ids.
    enum : int {
        kAxisList = 2160, kQuantityList, kSpanBox, kMaxFrequencyList, kAmplitudeList, kFreezeButton,
        kImageButton, kCsvButton, kPlot, kStatusLabel,
    };
    // Asks where an export goes, given the suggested path; empty for none.
    using FileChooser = std::function<QString(QWidget *parent, const QString &suggested, const QString &filter)>;

    // `table` and `plots` must outlive the panel; exports are suggested in
    // `exportFolder` (the station's data folder).
    WaterfallPanel(ConnectionTable &table, LivePlots &plots, std::string exportFolder, QWidget *parent = nullptr);
    ~WaterfallPanel() override;

    // Start computing and drawing (also on showing), stop (also on hiding).
    // The rows stay between a stop and the next start.
    void Start();
    void Stop();
    bool Running() const { return worker_.Running(); }
    // Shows `axis` (0 X, 1 Y, 2 Z), as the analysis window's choice.
    void SetAxis(int axis);
    // Takes the new rows into the plot and updates the status line.
    void Poll();

    void SetFileChooser(FileChooser chooser) { chooser_ = std::move(chooser); }
    void ExportImage();
    void ExportCsv();
    bool ExportBusy() const { return exportBusy_.load(std::memory_order_acquire); }
    // Path and outcome of the last finished export ("" while none).
    QString LastExport() const;
    bool LastExportOk() const;

    analysis::WaterfallWorker &Worker() { return worker_; }
    WaterfallPlot &View() { return *view_; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void BuildLayout();
    void SendRequest();
    QString Suggested(const char *extension) const;
    // Runs `job` (returning "" or an error) on the export thread.
    void RunExport(const QString &path, std::function<std::string()> job);
    void ShowStatus();

    ConnectionTable &table_;
    analysis::WaterfallWorker worker_;
    std::string exportFolder_;
    FileChooser chooser_;
    QTimer poll_;

    QComboBox *axis_ = nullptr, *quantity_ = nullptr, *maxHz_ = nullptr, *amplitude_ = nullptr;
    QSpinBox *minutes_ = nullptr;
    QPushButton *freeze_ = nullptr, *image_ = nullptr, *csv_ = nullptr;
    QLabel *status_ = nullptr;
    WaterfallPlot *view_ = nullptr;

    std::thread exporter_;
    std::atomic<bool> exportBusy_{false};
    mutable std::mutex exportMutex_;  // guards the two below
    QString lastExport_;
    std::string exportError_;
};

}  // namespace tav::ui
