#pragma once
// The alarm window's second tab, "报警记录": the alarm log from the history
// database for a range (default the last 24 h), filtered by sensor and
// severity, newest first, and its export as CSV in the columns of
// `tavenor-history alarms`. A double click on an event with a capture asks
// for its replay.
//
// Window thread only. Reads and the export run on a HistoryQueryThread made
// at the first query; its answers arrive as posted events.
#include <QDateTime>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/model/AlarmTypes.h"

class CMyListCtr;
class QComboBox;
class QDateTimeEdit;
class QLabel;

namespace tav {
class AlarmEngine;
class HistoryQueryThread;
struct HistoryAnswer;
}  // namespace tav

class CAlarmLogTab : public QWidget {
    Q_OBJECT
public:
    enum ControlId : int {
        kIdFrom = 1510,
        kIdTo = 1511,
        kIdSensor = 1512,
        kIdSeverity = 1513,
        kIdQuery = 1514,
        kIdTable = 1515,
        kIdExport = 1516,
        kIdStatus = 1517,
    };
    // Rows on show at most; the export writes every row read.
    static constexpr int kMaxShownRows = 2000;
    // Rows read at most for one range.
    static constexpr size_t kMaxReadRows = 200'000;

    // `engine` names the machines in the sensor list; `now` gives UTC ms.
    CAlarmLogTab(const tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent = nullptr);
    ~CAlarmLogTab() override;

    // The history database and the folder exports are offered in. Before
    // the first query; an empty path says the history is off.
    void SetDatabase(std::string databasePath, std::string exportFolder);
    // Reads the log for the chosen range and filters.
    void Query();
    // Sets the range to the 24 h up to now. Until the operator changes it,
    // every query moves it on with the clock.
    void ResetRange();

    // Asks where the export goes; empty = cancelled. Tests replace it.
    using ExportChooser = std::function<QString(QWidget *parent, const QString &suggested)>;
    static void SetExportChooser(ExportChooser chooser);

    // Queries and exports sent and not yet taken here.
    int Pending() const;
    // The events of the last answer, in time order (null before one).
    const std::vector<tav::AlarmEvent> *Shown() const { return shown_.get(); }
    QString LastExportPath() const { return lastExport_; }
    bool LastExportOk() const { return lastExportOk_; }

signals:
    // A double click on an event whose alarm has a raw capture.
    void openCapture(const QString &path);

protected:
    bool event(QEvent *e) override;

private:
    void TakeAnswer(std::unique_ptr<tav::HistoryAnswer> answer);
    void FillSensors(const std::vector<int32_t> &addresses);
    void Show();
    void ShowStatus();
    void Export();

    const tav::AlarmEngine &engine_;
    std::function<int64_t()> now_;
    std::string databasePath_;
    std::string exportFolder_;
    uint64_t request_ = 0;
    QDateTime autoFrom_, autoTo_;  // the range ResetRange set
    std::shared_ptr<const std::vector<tav::AlarmEvent>> shown_;
    bool truncated_ = false;
    QString error_;
    QString lastExport_;
    bool lastExportOk_ = false;
    std::atomic<int> answersPosted_{0};

    QDateTimeEdit *from_ = nullptr;
    QDateTimeEdit *to_ = nullptr;
    QComboBox *sensor_ = nullptr;
    QComboBox *severity_ = nullptr;
    CMyListCtr *table_ = nullptr;
    QLabel *status_ = nullptr;

    // Last: its thread posts to this tab until it is joined.
    std::unique_ptr<tav::HistoryQueryThread> queries_;
};
