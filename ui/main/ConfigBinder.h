#pragma once
// Connects the sensor configuration windows to the main window: the two
// menu commands open them, and every sensor reply is decoded into the
// settings cache and, while the parameter dialog is open, refreshes and
// echoes there.
#include <QObject>

class CTavenorDlg;
class CPARASET;
class CDeviceParaSet;

namespace tav::ui {

constexpr int kSensorParametersCommand = 32771;
constexpr int kDeviceParametersCommand = 32778;

class ConfigBinder : public QObject {
    Q_OBJECT
public:
    // Becomes a child of `main`; the dialogs live as long as the window.
    explicit ConfigBinder(CTavenorDlg &main);
    CPARASET *ParameterDialog() const { return paraSet_; }
    CDeviceParaSet *DeviceDialog() const { return deviceParaSet_; }

private:
    CTavenorDlg &main_;
    CPARASET *paraSet_;
    CDeviceParaSet *deviceParaSet_;
};

}  // namespace tav::ui
