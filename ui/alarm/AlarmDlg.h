#pragma once
// CAlarmDlg, the window "报警". First tab: the alarms not yet both cleared
// and acknowledged, newest first, the acknowledgement of the selected ones or
// of all, with an optional comment, and the raw capture of each alarm, opened
// for replay through the signal openCapture. Second tab: the alarm log
// (CAlarmLogTab). It reads the engine on its own timer while shown. Window
// thread only.
#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/alarm/AlarmEngine.h"

class CAlarmLogTab;
class CMyListCtr;
class QLineEdit;
class QPushButton;
class QTabWidget;

class CAlarmDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 170;
    static constexpr int kIdList = 1500;
    static constexpr int kIdAckSelected = 1501;
    static constexpr int kIdAckAll = 1502;
    static constexpr int kIdComment = 1503;
    static constexpr int kIdOpenCapture = 1504;
    static constexpr int kIdTabs = 1506;
    static constexpr int kCaptureColumn = 9;
    static constexpr int kRefreshMs = 500;

    // `now` gives UTC milliseconds for acknowledgements.
    CAlarmDlg(tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent = nullptr);

    void OpenDialog();
    // Rebuilds the list from the engine.
    void Refresh();

    // The history database the log tab reads and the folder of its exports.
    void SetHistory(std::string databasePath, std::string exportFolder);
    CAlarmLogTab &LogTab() { return *log_; }
    QTabWidget &Tabs() { return *tabs_; }
    // A capture was written (ok; complete or not) or failed; `path` is the
    // .vdat. Until then an alarm's capture shows as being recorded.
    void NoteCapture(const std::string &path, bool ok, bool complete = true);

signals:
    // The operator asked to replay this .vdat.
    void openCapture(const QString &path);

private:
    QString QuantityCell(const tav::Alarm &a) const;
    enum class CaptureState { kRecording, kReady, kIncomplete, kFailed };
    void Acknowledge(bool all);
    void OpenSelectedCapture();
    CaptureState StateOf(const std::string &path) const;

    tav::AlarmEngine &engine_;
    std::function<int64_t()> now_;
    CMyListCtr *list_ = nullptr;
    QLineEdit *comment_ = nullptr;
    QPushButton *openCapture_ = nullptr;
    QTabWidget *tabs_ = nullptr;
    CAlarmLogTab *log_ = nullptr;
    bool logShown_ = false;
    std::vector<uint64_t> rowIds_;
    std::vector<std::string> rowCaptures_;
    // Outcomes of captures still named by a listed alarm.
    std::map<std::string, CaptureState> captures_;
    QTimer timer_;
};
