#pragma once
// "设置参数": reads and changes the settings of one connected sensor, and
// shows and saves its entry of the device parameter table. The dialog owns
// its controls only; frames, checks and the cache live in the core
// (SensorCommander, SensorSettingsCache, DeviceParameterTable).
//
// Everything here runs on the window thread.
#include <QDialog>
#include <QTimer>
#include <array>
#include <memory>

#include "core/config/SensorCommander.h"
#include "core/station/Station.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QKeyEvent;
class QWidget;

namespace tav::ui {
class ConnectionCombo;

// Control identifiers of the dialog.
enum ParaSetId : int {
    kIdParaOk = 1,
    kIdParaCancel = 2,
    kIdSensorList = 1200,  // "设备选择"
    kIdWorkMode = 1201,
    kIdRatedSpeed = 1202,
    kIdSaveDeviceRecord = 1203,
    kIdDeviceIp = 1210,
    kIdSubnetMask = 1211,
    kIdDns = 1212,
    kIdGateway = 1213,
    kIdServerIp = 1214,
    kIdServerPort = 1215,
    kIdReadCommunication = 1216,
    kIdSetCommunication = 1217,  // shown disabled, no action
    kIdWriteCommunication = 1218,
    kIdDeviceAddress = 1220,
    kIdReadDeviceAddress = 1221,
    kIdWriteDeviceAddress = 1222,
    kIdHighPass = 1230,
    kIdReadParameters = 1231,
    kIdWriteParameters = 1232,
    kIdDownsampling = 1233,
    kIdRangeFirst = 1240,  // "±16g", "±8g", "±4g", "±2g"
    kIdAxisFirst = 1244,   // "三轴", "单X", "单Y", "单Z"
    kIdModeFirst = 1248,   // "模式1" .. "模式4"
    kIdAcquisitionTime = 1252,
    kIdUnlabeledTime = 1253,
    kIdIntervalTime = 1254,
    kIdLowPass = 1255,
    kIdDeviceId = 1260,
    kIdReadDeviceId = 1261,
    kIdWriteDeviceId = 1262,
    kIdVersion = 1263,
    kIdMacFirst = 1270,  // six boxes 1270..1275
    kIdReadMac = 1276,
    kIdWriteMac = 1277,
    kIdSamplingMode = 1280,
    kIdReadSamplingMode = 1281,
    kIdWriteSamplingMode = 1282,
    kIdUnlock = 1290,
    kIdLock = 1291,
    kIdStartAcquisition = 1292,
    kIdStopAcquisition = 1293,
    kIdEnterUpgrade = 1294,
    kIdSendView = 1300,
    kIdReceiveView = 1301,
    kIdSendCount = 1302,
    kIdReceiveCount = 1303,
    kIdClearSend = 1304,
    kIdClearReceive = 1305,
    kIdAdvanced = 1310,  // "高级": uncovers the controls the layout hides
};
}  // namespace tav::ui

class CPARASET : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 130;
    static constexpr int kPollIntervalMs = 50;
    static constexpr int kPollSteps = 5;

    // `mainWindow` holds the connection list (1001) whose selection the
    // dialog starts from.
    CPARASET(tav::Station &station, QWidget *mainWindow);
    ~CPARASET() override;

    // Runs the opening steps and shows the dialog modally (without blocking
    // the caller's event loop).
    void OpenDialog();
    bool IsOpen() const { return open_; }

    // A reply of the settings cache arrived (decoded by the caller already).
    void RefreshFromCache();
    void EchoReceived(const uint8_t *data, size_t length);

    tav::SensorCommander &Commander() { return *commander_; }
    int SelectedSlot() const { return commander_->SelectedSlot(); }
    static int PollStep() { return pollStep_; }

public slots:
    void accept() override;
    void done(int result) override;

protected:
    // Enter closes with OK (and its checks) although the OK button is hidden.
    void keyPressEvent(QKeyEvent *e) override;

private:
    void BuildLayout();
    // Sizes the dialog to its fields, as far as the screen allows.
    void FitContent();
    QWidget *BuildShown();
    QWidget *BuildHidden();
    void FillSensorList();
    void ChooseSensor(int index);
    // Empties every box that a read fills; the port and time boxes show their
    // exchange values.
    void ClearReadFields();
    void ClearTraffic();
    void StartReadSequence();
    void PollTick();
    void ShowDeviceRecord();
    void SaveDeviceRecord();
    void Handle(const tav::CommandResult &result);
    void EchoSent(const tav::CommandResult &result);
    void SetSelection(int group, int value);
    tav::CommunicationInput CommunicationFields() const;
    tav::ParameterInput ParameterFields() const;
    void EnterUpgradeMode();
    QString Text(int id) const;
    void SetText(int id, const QString &text);

    tav::Station &station_;
    QWidget *mainWindow_;
    tav::ServerTransport transport_;
    std::unique_ptr<tav::SensorCommander> commander_;
    bool open_ = false;
    QTimer pollTimer_;
    static int pollStep_;  // shared by every instance, as the read sequence is
    int currentRecord_ = -1;  // device table index shown, -1 = the default record
    int selection_[3] = {0, 0, 0};  // range, axis, mode
    // Values the port and time boxes exchange with the dialog: shown at each
    // opening, stored back when it is closed with OK.
    int portValue_ = 0;
    int timeValues_[3] = {0, 0, 0};

    tav::ui::ConnectionCombo *sensorList_ = nullptr;
    QComboBox *workMode_ = nullptr;
    QButtonGroup *groups_[3] = {};
    QPlainTextEdit *sendView_ = nullptr;
    QPlainTextEdit *receiveView_ = nullptr;
    QWidget *hidden_ = nullptr;
    QWidget *page_ = nullptr;  // everything, inside the scroll area
    QCheckBox *advanced_ = nullptr;
};
