#pragma once
// "设备参数配置": the machine settings of each sensor. The list shows every
// sensor address the station knows (connected, in the device table, in
// station.toml, in the history); the fields edit that sensor's device record
// (work mode, rated speed) and its machine settings (name, severity class,
// alarm limits, on-delay, bearings). "保存设置" checks the whole form and
// writes devicepara.dat and station.toml together; the checks, the list and
// the save live in the core (settings/MachineForm).
//
// Everything here runs on the window thread; the history's addresses come
// from a reader thread by a posted event.
#include <QDialog>
#include <atomic>
#include <memory>
#include <vector>

#include "core/settings/MachineForm.h"

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QTableWidget;

namespace tav {
class Station;
class HistoryQueryThread;
struct HistoryAnswer;
struct BaselineEstimate;
}

class CDeviceParaSet : public QDialog {
    Q_OBJECT
public:
    static constexpr int kDialogId = 137;
    enum Id : int {
        kIdOk = 1,
        kIdCancel = 2,
        kIdList = 1400,
        kIdSensorAddress = 1401,
        kIdWorkMode = 1402,
        kIdRatedSpeed = 1403,
        kIdSaveSettings = 1404,
        kIdMachineName = 1405,
        kIdIsoClass = 1406,
        kIdOnDelay = 1407,
        kIdRatedRpm = 1408,
        kIdBearings = 1440,
        kIdAddBearing = 1441,
        kIdRemoveBearing = 1442,
        kIdBaselineFrom = 1450,
        kIdBaselineTo = 1451,
        kIdSetBaseline = 1452,
        kIdClearBaseline = 1453,
    };
    // One box per AlarmQuantity each, from these identifiers on.
    static constexpr int kIdAlertFirst = 1410;
    static constexpr int kIdDangerFirst = 1420;
    // Columns of the bearing table: five typed, four computed.
    enum BearingColumn : int { kColName, kColElements, kColBall, kColPitch, kColAngle, kColFtf, kColCount = 9 };

    CDeviceParaSet(tav::Station &station, QWidget *parent = nullptr);
    ~CDeviceParaSet() override;

    // Reloads the device table from its file, lists the known sensors (the
    // history's are added when its reader answers), shows the sensor of the
    // main window's connection list, and opens the dialog without blocking.
    void OpenDialog();
    // Checks and saves the form; false when refused or failed (the operator
    // has been told why).
    bool Save();
    // The sensor addresses listed, in order (tests).
    std::vector<int32_t> ListedAddresses() const;
    // Answers of the history reader not yet taken (tests).
    int PendingHistory() const { return historyPending_.load(); }
    // "设为基线": the median of the running minutes of the chosen stretch of
    // the history, read and computed on the reader thread; the fields take
    // it when the answer comes, and "保存设置" writes it.
    void RequestBaseline();

public slots:
    void accept() override;

protected:
    bool event(QEvent *e) override;

private:
    void BuildLayout();
    QWidget *BuildDevice();
    QWidget *BuildMachine();
    QWidget *BuildLimits();
    QWidget *BuildBearings();
    QWidget *BuildBaseline();
    void ShowBaseline();
    void TakeBaseline(const tav::HistoryAnswer &answer);
    // Starts the history reader thread; false when there is no history.
    bool EnsureHistory();
    void FillList();
    void ShowAddress(int32_t address);
    void ShowFields(const tav::MachineFields &f);
    tav::MachineFields Fields() const;
    void AddBearingRow(const tav::BearingFields &b);
    void UpdateFrequencies();
    void UpdateClassHints();
    void AskHistory();

    tav::Station &station_;
    std::vector<tav::KnownSensor> known_;
    tav::MachineFields shown_;  // what the fields held when last loaded or saved
    std::unique_ptr<tav::HistoryQueryThread> history_;
    std::atomic<int> historyPending_{0};
    bool filling_ = false;  // fields being set by the dialog, not typed

    QListWidget *list_ = nullptr;
    QComboBox *address_ = nullptr;
    QComboBox *workMode_ = nullptr;
    QLineEdit *ratedSpeed_ = nullptr;
    QLineEdit *name_ = nullptr;
    QComboBox *isoClass_ = nullptr;
    QLineEdit *alert_[tav::kAlarmQuantityCount] = {};
    QLineEdit *danger_[tav::kAlarmQuantityCount] = {};
    QLineEdit *onDelay_ = nullptr;
    QLineEdit *ratedRpm_ = nullptr;
    QTableWidget *bearings_ = nullptr;
    QLabel *saved_ = nullptr;  // says what "保存设置" saved, until another sensor is shown
    // The baseline the fields hold (set from the history, not typed).
    std::string baseline_[3], baselineSetAt_, baselineFrom_, baselineTo_;
    QLabel *baselineValue_[3] = {};
    QLabel *derived_[3] = {};
    QLabel *baselineDate_ = nullptr;
    QLabel *baselineStatus_ = nullptr;  // the confirmation line, saved_
    QDateTimeEdit *stretchFrom_ = nullptr;
    QDateTimeEdit *stretchTo_ = nullptr;
    uint64_t baselineRequest_ = 0;  // the query whose answer is awaited, 0 = none
    int32_t baselineAddress_ = 0;
    std::shared_ptr<tav::BaselineEstimate> baselineResult_;
    int32_t savedAddress_ = 0;
};
