// The parameter dialog's exchange with the sensor: the read sequence at
// opening, the commands the buttons send, the fields they read and fill,
// and the traffic views that echo every frame.
#include "ui/config/PARASET.h"

#include <QButtonGroup>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>

#include "core/base/TextInput.h"
#include "ui/common/Messages.h"

using namespace tav::ui;

namespace {

const char *const kUpgradeNotice = "进入传感器软件升级模式，请使用下载程序进行升级";

QString Utf8(const std::string &s) { return QString::fromStdString(s); }

}  // namespace

void CPARASET::ClearReadFields()
{
    for (int id : {kIdGateway, kIdDeviceIp, kIdServerIp, kIdSubnetMask, kIdDns, kIdDeviceAddress, kIdVersion,
                   kIdDeviceId, kIdDownsampling, kIdHighPass, kIdLowPass, kIdSamplingMode})
        SetText(id, QString());
    for (int i = 0; i < 6; ++i)
        SetText(kIdMacFirst + i, QString());
    SetText(kIdServerPort, QString::asprintf("%d", portValue_));
    SetText(kIdAcquisitionTime, QString::asprintf("%d", timeValues_[0]));
    SetText(kIdUnlabeledTime, QString::asprintf("%d", timeValues_[1]));
    SetText(kIdIntervalTime, QString::asprintf("%d", timeValues_[2]));
}

void CPARASET::ClearTraffic()
{
    sendView_->clear();
    receiveView_->clear();
    SetText(kIdSendCount, QString());
    SetText(kIdReceiveCount, QString());
}

void CPARASET::StartReadSequence()
{
    pollStep_ = 0;
    pollTimer_.start();
}

void CPARASET::PollTick()
{
    if (pollStep_ >= kPollSteps) {
        pollTimer_.stop();
        return;
    }
    switch (pollStep_++) {
    case 0:
        Handle(commander_->ReadCommunication());
        break;
    case 1:
        Handle(commander_->ReadDeviceAddress());
        break;
    case 2:
        Handle(commander_->ReadParameters());
        break;
    case 3:
        Handle(commander_->ReadVersionAndId());
        break;
    case 4:
        Handle(commander_->ReadMac());
        break;
    }
}

void CPARASET::Handle(const tav::CommandResult &result)
{
    if (!result.built) {
        ShowMessage(this, Utf8(result.message));
        return;
    }
    EchoSent(result);
}

void CPARASET::EchoSent(const tav::CommandResult &result)
{
    std::string line = tav::FormatHex(result.frame.bytes, result.frame.length) + "\r\n";
    if (!result.sent)
        line += "(" + result.message + ")\r\n";
    sendView_->moveCursor(QTextCursor::End);
    sendView_->insertPlainText(Utf8(line));
    SetText(kIdSendCount, QString::asprintf("%d", int(result.frame.length)));
}

void CPARASET::EchoReceived(const uint8_t *data, size_t length)
{
    receiveView_->moveCursor(QTextCursor::End);
    receiveView_->insertPlainText(Utf8(tav::FormatHex(data, length) + "\r\n"));
    SetText(kIdReceiveCount, QString::asprintf("%d", int(length)));
}

void CPARASET::SetSelection(int group, int value)
{
    selection_[group] = value;
    if (auto *b = groups_[group]->button(value))
        b->setChecked(true);
}

void CPARASET::RefreshFromCache()
{
    int slot = commander_->SelectedSlot();
    if (slot < 0)
        return;
    // Only what the chosen connection answered since it was chosen: older
    // entries of the cache may come from the slot's previous sensor.
    auto answered = [this](tav::SettingsGroup g) { return commander_->Answered(g); };
    const tav::SensorSettingsEntry &e = station_.SettingsCache().Entry(slot);
    if (answered(tav::SettingsGroup::Communication)) {
        tav::CommunicationSettings c = e.Communication();
        auto ip = [](uint32_t a) { return QString::fromStdString(tav::FormatIpv4(a)); };
        SetText(kIdGateway, ip(c.gatewayIp));
        SetText(kIdDeviceIp, ip(c.deviceIp));
        SetText(kIdServerIp, ip(c.serverIp));
        SetText(kIdSubnetMask, ip(c.subnetMask));
        SetText(kIdDns, ip(c.dnsServer));
        SetText(kIdServerPort, QString::asprintf("%d", int(c.serverPort)));
    }
    if (answered(tav::SettingsGroup::DeviceAddress))
        SetText(kIdDeviceAddress, QString::asprintf("%d", int(e.DeviceAddress())));
    if (answered(tav::SettingsGroup::VersionAndId)) {
        SetText(kIdVersion, Utf8(e.VersionText()));
        SetText(kIdDeviceId, Utf8(tav::GbkToUtf8(e.deviceId)));
    }
    if (answered(tav::SettingsGroup::Parameters)) {
        tav::ParameterSettings p = e.Parameters();
        const int values[3] = {p.measuringRange, p.axisMode, p.sensorMode};
        for (int g = 0; g < 3; ++g)
            if (values[g] >= 0 && values[g] <= 3)
                SetSelection(g, values[g]);
        SetText(kIdAcquisitionTime, QString::asprintf("%d", int(p.acquisitionTime)));
        SetText(kIdUnlabeledTime, QString::asprintf("%d", int(p.unlabeledTime)));
        SetText(kIdIntervalTime, QString::asprintf("%d", int(p.intervalTime)));
        SetText(kIdDownsampling, QString::asprintf("%d", int(p.downsampling)));
        SetText(kIdHighPass, QString::asprintf("%d", p.highPassHz));
        SetText(kIdLowPass, QString::asprintf("%d", p.lowPassHz));
    }
    if (answered(tav::SettingsGroup::Mac))
        for (int i = 0; i < 6; ++i)
            SetText(kIdMacFirst + i, QString::asprintf("%d", int(e.mac[i])));
    if (answered(tav::SettingsGroup::SamplingMode))
        SetText(kIdSamplingMode, QString::asprintf("%d", int(station_.SettingsCache().SamplingFrequencyMode())));
}

tav::CommunicationInput CPARASET::CommunicationFields() const
{
    tav::CommunicationInput in;
    in.deviceIp = Text(kIdDeviceIp).toStdString();
    in.subnetMask = Text(kIdSubnetMask).toStdString();
    in.gatewayIp = Text(kIdGateway).toStdString();
    in.dnsServer = Text(kIdDns).toStdString();
    in.serverPort = Text(kIdServerPort).toStdString();
    in.serverIp = Text(kIdServerIp).toStdString();
    return in;
}

tav::ParameterInput CPARASET::ParameterFields() const
{
    tav::ParameterInput in;
    in.measuringRange = selection_[0];
    in.axisMode = selection_[1];
    in.sensorMode = selection_[2];
    in.acquisitionTime = Text(kIdAcquisitionTime).toStdString();
    in.unlabeledTime = Text(kIdUnlabeledTime).toStdString();
    in.intervalTime = Text(kIdIntervalTime).toStdString();
    in.downsampling = Text(kIdDownsampling).toStdString();
    in.highPass = Text(kIdHighPass).toStdString();
    in.lowPass = Text(kIdLowPass).toStdString();
    return in;
}

void CPARASET::EnterUpgradeMode()
{
    // The command goes out only once the operator has read the notice.
    auto *box = new QMessageBox(QMessageBox::Information, windowTitle(), QString::fromUtf8(kUpgradeNotice),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("upgradeNotice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [this] {
        if (open_)
            Handle(commander_->EnterUpgradeMode());
    });
    box->open();
}
