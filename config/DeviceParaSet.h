#pragma once
// "设备参数配置": the device table's separate menu dialog. Its controls carry
// no behaviour; the device table is edited in the "设备参数" group of the
// sensor parameter dialog.
#include <QDialog>

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
    };
    explicit CDeviceParaSet(QWidget *parent = nullptr);
};
