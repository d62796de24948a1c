#include "ui/config/PARASET.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

#include "core/base/TextInput.h"
#include "ui/common/ConnectionLine.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"

using namespace tav::ui;

int CPARASET::pollStep_ = 0;

namespace {

QString Utf8(const std::string &s) { return QString::fromStdString(s); }

// Leading slot number of a "%3d : 地址:%d" line, or -1.
int SlotOfLine(const QString &line)
{
    bool ok = false;
    int slot = line.trimmed().section(' ', 0, 0).toInt(&ok);
    return ok && slot >= 0 && slot < tav::kSlotCount ? slot : -1;
}

}  // namespace

CPARASET::CPARASET(tav::Station &station, QWidget *mainWindow)
    : QDialog(mainWindow),
      station_(station),
      mainWindow_(mainWindow),
      transport_(station.Net()),
      commander_(std::make_unique<tav::SensorCommander>(station.Table(), station.SettingsCache(), transport_))
{
    setObjectName(QString::number(kDialogId));
    setWindowTitle(QStringLiteral("设置参数"));
    BuildLayout();
    pollTimer_.setInterval(kPollIntervalMs);
    connect(&pollTimer_, &QTimer::timeout, this, &CPARASET::PollTick);
}

CPARASET::~CPARASET() = default;

QString CPARASET::Text(int id) const
{
    auto *e = FindControl<QLineEdit>(this, id);
    return e ? e->text() : QString();
}

void CPARASET::SetText(int id, const QString &text)
{
    if (auto *e = FindControl<QLineEdit>(this, id))
        e->setText(text);
}

void CPARASET::OpenDialog()
{
    // 1. The slot shown in the main window.
    auto *main = FindControl<QComboBox>(mainWindow_, 1001);
    int mainIndex = main ? main->currentIndex() : -1;
    int slot = mainIndex >= 0 ? SlotOfLine(main->itemText(mainIndex)) : -1;
    // 2 and 3. The list of connected sensors, a fresh command sequence.
    commander_->SelectSlot(slot);
    FillSensorList();
    commander_->ResetSequence();
    // The dialog is reused: nothing that the last opening's sensor reported
    // may be offered for this one, and the traffic views log one opening.
    ClearReadFields();
    ClearTraffic();
    open_ = true;
    // 4. Read the sensor's settings.
    if (slot >= 0 && station_.Table()[slot].InUse())
        StartReadSequence();
    // 5. The device table as it is on disk now.
    workMode_->clear();
    for (const char *name : tav::kWorkModeNames)
        workMode_->addItem(QString::fromUtf8(name));
    std::string error;
    if (!station_.DeviceTable().LoadDeviceParameters(station_.DeviceParameterPath(), false, &error))
        ShowMessage(this, Utf8(error));
    ShowDeviceRecord();
    FitContent();
    open();
}

void CPARASET::FillSensorList()
{
    auto &table = station_.Table();
    sensorList_->clear();
    for (int slot = 0; slot < tav::kSlotCount; ++slot)
        if (table[slot].InUse())
            sensorList_->addItem(tav::ui::ConnectionLine(slot, table[slot]), slot);
    // The entry of the slot the commands go to, looked up by slot number: the
    // main window's list may be older than this one, and the operator may
    // have chosen another sensor here.
    int slot = commander_->SelectedSlot();
    sensorList_->setCurrentIndex(slot >= 0 ? sensorList_->findData(slot) : -1);
}

void CPARASET::ChooseSensor(int index)
{
    if (index < 0)
        return;
    commander_->SelectSlot(SlotOfLine(sensorList_->itemText(index)));
    ClearReadFields();
    ShowDeviceRecord();
    StartReadSequence();
}

void CPARASET::ShowDeviceRecord()
{
    int slot = commander_->SelectedSlot();
    tav::DeviceParameterRecord record;  // the all-zero default record
    currentRecord_ = -1;
    if (slot >= 0) {
        currentRecord_ = station_.DeviceTable().FindDeviceRecord(station_.Table()[slot].sensorAddress.load());
        if (currentRecord_ >= 0)
            record = station_.DeviceTable().Record(currentRecord_);
    }
    workMode_->setCurrentIndex(record.workMode >= 0 && record.workMode < workMode_->count() ? record.workMode : -1);
    SetText(kIdRatedSpeed, QString::asprintf("%d", record.ratedSpeed));
}

void CPARASET::SaveDeviceRecord()
{
    int slot = commander_->SelectedSlot();
    if (slot < 0) {
        ShowMessage(this, QStringLiteral("未选择传感器，设备参数未保存"));
        return;
    }
    auto speed = tav::ParseRatedSpeed(Text(kIdRatedSpeed).toStdString());
    if (!speed) {
        ShowMessage(this, QStringLiteral("“额定转速”必须是不小于 0 的整数（转/分），设备参数未保存"));
        return;
    }
    auto &connection = station_.Table()[slot];
    std::string error;
    int index = station_.DeviceTable().SaveDeviceRecord(station_.DeviceParameterPath(),
                                                        connection.sensorAddress.load(), workMode_->currentIndex(),
                                                        *speed, &error);
    if (index < 0) {
        ShowMessage(this, Utf8(error));
        return;
    }
    currentRecord_ = index;
    station_.DeviceTable().ApplyDeviceParameters(connection);
}

void CPARASET::accept()
{
    // The port and the time boxes go back into the dialog's values only when
    // they hold whole numbers in range.
    auto port = tav::ParseInteger(Text(kIdServerPort).toStdString());
    if (!port || *port < 1 || *port > 65535) {
        ShowMessage(this, QStringLiteral("请输入一个介于 1 和 65535 之间的整数。"));
        if (auto *e = FindControl<QLineEdit>(this, kIdServerPort))
            e->setFocus();
        return;
    }
    const int ids[3] = {kIdAcquisitionTime, kIdUnlabeledTime, kIdIntervalTime};
    int times[3];
    for (int i = 0; i < 3; ++i) {
        auto v = tav::ParseInteger(Text(ids[i]).toStdString());
        if (!v || *v < 0 || *v > 65535) {
            ShowMessage(this, QStringLiteral("请输入一个介于 0 和 65535 之间的整数。"));
            return;
        }
        times[i] = int(*v);
    }
    portValue_ = int(*port);
    for (int i = 0; i < 3; ++i)
        timeValues_[i] = times[i];
    QDialog::accept();
}

void CPARASET::keyPressEvent(QKeyEvent *e)
{
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CPARASET::done(int result)
{
    pollTimer_.stop();
    open_ = false;
    QDialog::done(result);
}
