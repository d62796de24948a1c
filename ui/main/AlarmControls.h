#pragma once
// The main window's alarm duties: the menu "报警" that opens the alarm window,
// the indicator in the menu bar's corner (active and unacknowledged counts,
// coloured by the worst severity, blinking while a danger or offline alarm is
// unacknowledged; a click opens the window), the notice of each new danger or
// offline alarm to an operator looking elsewhere, applying the
// machine settings the settings watcher read from a changed station.toml, and
// the capture outcomes that need telling.
// Window thread only; owned by the main window.
#include <QObject>

#include "core/alarm/AlarmWatch.h"

class CTavenorDlg;
class CAlarmDlg;

namespace tav::ui {
class AlarmIndicator;
class AlarmNotice;

class AlarmControls : public QObject {
    Q_OBJECT
public:
    static constexpr int kAlarmCommand = 32791;  // "报警" -> "报警列表"
    static constexpr int kIdIndicator = 1505;

    explicit AlarmControls(CTavenorDlg &window);
    CAlarmDlg &Window() { return *dialog_; }
    AlarmIndicator *Indicator() const { return indicator_; }
    AlarmNotice &Notice() { return *notice_; }

private:
    void OpenWindow();
    void OnTick();
    void UpdateIndicator();

    CTavenorDlg &window_;
    CAlarmDlg *dialog_ = nullptr;
    AlarmIndicator *indicator_ = nullptr;
    AlarmNotice *notice_ = nullptr;
    NewAlarmWatch watch_;
};

}  // namespace tav::ui
