#pragma once
// CAlarmDlg, the window "报警": the alarms not yet both cleared and
// acknowledged, newest first, and the acknowledgement of the selected ones or
// of all, with an optional comment. It reads the engine on its own timer
// while shown. Window thread only.
#include <QDialog>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "alarm/AlarmEngine.h"

class CMyListCtr;
class QLineEdit;

class CAlarmDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 170;
    static constexpr int kIdList = 1500;
    static constexpr int kIdAckSelected = 1501;
    static constexpr int kIdAckAll = 1502;
    static constexpr int kIdComment = 1503;
    static constexpr int kRefreshMs = 500;

    // `now` gives UTC milliseconds for acknowledgements.
    CAlarmDlg(tav::AlarmEngine &engine, std::function<int64_t()> now, QWidget *parent = nullptr);

    void OpenDialog();
    // Rebuilds the list from the engine.
    void Refresh();

private:
    void Acknowledge(bool all);

    tav::AlarmEngine &engine_;
    std::function<int64_t()> now_;
    CMyListCtr *list_ = nullptr;
    QLineEdit *comment_ = nullptr;
    std::vector<uint64_t> rowIds_;
    QTimer timer_;
};
