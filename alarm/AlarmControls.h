#pragma once
// The main window's alarm duties: the menu "报警" that opens the alarm window,
// the indicator in the menu bar's corner (active and unacknowledged counts,
// coloured by the worst severity; a click opens the window), applying the
// machine settings the settings watcher read from a changed station.toml, and
// the capture outcomes that need telling.
// Window thread only; owned by the main window.
#include <QObject>

class CTavenorDlg;
class CAlarmDlg;
class QPushButton;

namespace tav::ui {

class AlarmControls : public QObject {
    Q_OBJECT
public:
    static constexpr int kAlarmCommand = 32791;  // "报警" -> "报警列表"
    static constexpr int kIdIndicator = 1505;

    explicit AlarmControls(CTavenorDlg &window);
    CAlarmDlg &Window() { return *dialog_; }

private:
    void OpenWindow();
    void OnTick();
    void UpdateIndicator();

    CTavenorDlg &window_;
    CAlarmDlg *dialog_ = nullptr;
    QPushButton *indicator_ = nullptr;
};

}  // namespace tav::ui
