#pragma once
// The main window's side of "总览": the menu bar's "总览" that opens it, its
// state taken on every steady tick and painted while it is shown, a click on a tile showing
// that sensor here as the connection list would, and [window] overview in
// station.toml, so that it opens at start unless the operator closed it.
// Window thread only; owned by the main window.
#include <QObject>
#include <vector>

#include "core/settings/MachineForm.h"

class CTavenorDlg;

namespace tav::ui {
class COverviewDlg;

class OverviewControls : public QObject {
    Q_OBJECT
public:
    static constexpr int kOverviewCommand = 32795;  // "总览"

    explicit OverviewControls(CTavenorDlg &window);
    COverviewDlg &Dialog() { return *dialog_; }
    // Opens the overview unless the operator closed it last time.
    void OpenAtStart();
    // Makes the sensor at `address` the one the main window shows; false,
    // with a note in the overview, when it is not connected.
    bool ShowSensor(int address);
    // Reads the station's state into the overview (every tick) and
    // repaints it while it is shown.
    void Refresh();

private:
    void Open();
    void Remember(bool open);

    CTavenorDlg &window_;
    COverviewDlg *dialog_ = nullptr;
    bool rememberedOpen_ = true;
    std::vector<KnownSensor> known_;
    unsigned ticksSinceKnown_ = 0;
};

}  // namespace tav::ui
