#pragma once
// The main window's steady-state duties: the 500 ms tick, releases of ended
// connections, and the log buttons "存储" (1155) and "停止" (1156).
// Window thread only; owned by the main window.
#include <QObject>

class CTavenorDlg;

namespace tav::ui {

class SteadyControls : public QObject {
    Q_OBJECT
public:
    explicit SteadyControls(CTavenorDlg &window);

private:
    void OnTick();
    void StartLog();
    void StopLog();
    void Show(const std::vector<std::string> &messages);

    CTavenorDlg &window_;
};

}  // namespace tav::ui
