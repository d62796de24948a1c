#include "ui/config/PARASET.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include "core/base/TextInput.h"
#include "ui/common/ConnectionLine.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/ScreenFit.h"

using namespace tav::ui;

int CPARASET::pollStep_ = 0;

namespace {

const char *const kUpgradeNotice = "进入传感器软件升级模式，请使用下载程序进行升级";

QString Utf8(const std::string &s) { return QString::fromStdString(s); }

QPushButton *Button(int id, const QString &text)
{
    auto *b = Tag(new QPushButton(text), id, text);
    b->setAutoDefault(false);
    return b;
}

QLineEdit *Edit(int id, const QString &accessibleName, int width = 90)
{
    auto *e = Tag(new QLineEdit, id, accessibleName);
    e->setMinimumWidth(width);
    return e;
}

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

void CPARASET::BuildLayout()
{
    // With "高级" ticked the fields are taller than a small screen: they
    // scroll inside the dialog rather than reach below the screen's edge.
    page_ = new QWidget;
    auto *column = new QVBoxLayout(page_);
    column->addWidget(BuildShown());
    advanced_ = Tag(new QCheckBox(QStringLiteral("高级")), kIdAdvanced, QStringLiteral("高级"));
    column->addWidget(advanced_);
    hidden_ = BuildHidden();
    hidden_->setVisible(false);
    column->addWidget(hidden_);
    column->addStretch(1);
    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->addWidget(ScrollingPage(page_));
    connect(advanced_, &QCheckBox::toggled, this, [this](bool on) {
        hidden_->setVisible(on);
        FitContent();
    });
}

void CPARASET::FitContent()
{
    page_->layout()->activate();
    QSize wanted = page_->sizeHint();
    // A page taller than the room scrolls, and its bar takes some width.
    if (wanted.height() > ScreenRoom(this).height())
        wanted.rwidth() += style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2;
    FitToScreen(this, wanted);
}

QWidget *CPARASET::BuildShown()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    auto *select = new QGroupBox(QStringLiteral("设备选择"));
    auto *sl = new QHBoxLayout(select);
    sensorList_ = Tag(new ConnectionCombo, kIdSensorList, QStringLiteral("设备选择"));
    sensorList_->setMinimumWidth(160);
    sl->addWidget(sensorList_);
    grid->addWidget(select, 0, 0);
    connect(sensorList_, &ConnectionCombo::aboutToShowPopup, this, &CPARASET::FillSensorList);
    connect(sensorList_, &QComboBox::activated, this, &CPARASET::ChooseSensor);

    auto *device = new QGroupBox(QStringLiteral("设备参数"));
    auto *dl = new QGridLayout(device);
    workMode_ = Tag(new QComboBox, kIdWorkMode, QStringLiteral("设备参数 工作模式"));
    dl->addWidget(new QLabel(QStringLiteral("工作模式")), 0, 0);
    dl->addWidget(workMode_, 0, 1);
    dl->addWidget(new QLabel(QStringLiteral("额定转速")), 1, 0);
    dl->addWidget(Edit(kIdRatedSpeed, QStringLiteral("设备参数 额定转速")), 1, 1);
    auto *saveRecord = Button(kIdSaveDeviceRecord, QStringLiteral("保存"));
    dl->addWidget(saveRecord, 2, 1);
    grid->addWidget(device, 1, 0);
    connect(saveRecord, &QPushButton::clicked, this, &CPARASET::SaveDeviceRecord);

    auto *comm = new QGroupBox(QStringLiteral("通信设置"));
    auto *cl = new QGridLayout(comm);
    const std::pair<int, const char *> addresses[] = {{kIdDeviceIp, "设备IP"},
                                                      {kIdSubnetMask, "子网掩码"},
                                                      {kIdDns, "DNS"},
                                                      {kIdGateway, "网关IP"},
                                                      {kIdServerIp, "服务器IP/ 端口"}};
    int row = 0;
    for (auto [id, label] : addresses) {
        const QString text = QString::fromUtf8(label);
        cl->addWidget(new QLabel(text), row, 0);
        auto *edit = Edit(id, QStringLiteral("通信设置 ") + text, 120);
        edit->setInputMask(QString());
        edit->setPlaceholderText(QStringLiteral("0.0.0.0"));
        cl->addWidget(edit, row, 1);
        ++row;
    }
    cl->addWidget(Edit(kIdServerPort, QStringLiteral("通信设置 端口"), 60), row - 1, 2);
    auto *buttons = new QHBoxLayout;
    auto *readComm = Button(kIdReadCommunication, QStringLiteral("读取"));
    auto *setComm = Button(kIdSetCommunication, QStringLiteral("设置"));
    setComm->setEnabled(false);
    auto *writeComm = Button(kIdWriteCommunication, QStringLiteral("保存"));
    buttons->addWidget(readComm);
    buttons->addWidget(setComm);
    buttons->addWidget(writeComm);
    cl->addLayout(buttons, row, 0, 1, 3);
    grid->addWidget(comm, 0, 1, 3, 1);
    connect(readComm, &QPushButton::clicked, this, [this] { Handle(commander_->ReadCommunication()); });
    connect(writeComm, &QPushButton::clicked, this,
            [this] { Handle(commander_->WriteCommunication(CommunicationFields())); });

    auto *addr = new QGroupBox(QStringLiteral("设备地址设置"));
    auto *al = new QHBoxLayout(addr);
    al->addWidget(new QLabel(QStringLiteral("设备地址")));
    al->addWidget(Edit(kIdDeviceAddress, QStringLiteral("设备地址设置 设备地址"), 60));
    auto *readAddr = Button(kIdReadDeviceAddress, QStringLiteral("读取"));
    auto *writeAddr = Button(kIdWriteDeviceAddress, QStringLiteral("保存"));
    al->addWidget(readAddr);
    al->addWidget(writeAddr);
    grid->addWidget(addr, 2, 0);
    connect(readAddr, &QPushButton::clicked, this, [this] { Handle(commander_->ReadDeviceAddress()); });
    connect(writeAddr, &QPushButton::clicked, this,
            [this] { Handle(commander_->WriteDeviceAddress(Text(kIdDeviceAddress).toStdString())); });

    auto *params = new QGroupBox(QStringLiteral("传感器参数设置"));
    auto *pl = new QGridLayout(params);
    pl->addWidget(new QLabel(QStringLiteral("高通fc[Hz]")), 0, 0);
    pl->addWidget(Edit(kIdHighPass, QStringLiteral("传感器参数设置 高通fc[Hz]"), 60), 0, 1);
    pl->addWidget(new QLabel(QStringLiteral("降采样率(N)")), 1, 0);
    pl->addWidget(Edit(kIdDownsampling, QStringLiteral("传感器参数设置 降采样率(N)"), 60), 1, 1);
    pl->addWidget(new QLabel(QStringLiteral("fs=原始采样频率/(N+1)")), 1, 2);
    auto *readPar = Button(kIdReadParameters, QStringLiteral("读取"));
    auto *writePar = Button(kIdWriteParameters, QStringLiteral("保存"));
    pl->addWidget(readPar, 2, 1);
    pl->addWidget(writePar, 2, 2);
    grid->addWidget(params, 3, 0, 1, 2);
    connect(readPar, &QPushButton::clicked, this, [this] { Handle(commander_->ReadParameters()); });
    connect(writePar, &QPushButton::clicked, this, [this] { Handle(commander_->WriteParameters(ParameterFields())); });
    return page;
}

QWidget *CPARASET::BuildHidden()
{
    auto *page = new QWidget;
    auto *grid = new QGridLayout(page);

    // Range, axis and mode selections.
    auto *sel = new QGroupBox(QStringLiteral("量程 / 轴 / 模式"));
    auto *sl = new QGridLayout(sel);
    const char *const names[3][4] = {{"±16g", "±8g", "±4g", "±2g"},
                                     {"三轴", "单X", "单Y", "单Z"},
                                     {"模式1", "模式2", "模式3", "模式4"}};
    const int first[3] = {kIdRangeFirst, kIdAxisFirst, kIdModeFirst};
    for (int g = 0; g < 3; ++g) {
        groups_[g] = new QButtonGroup(this);
        groups_[g]->setExclusive(true);
        for (int v = 0; v < 4; ++v) {
            const QString text = QString::fromUtf8(names[g][v]);
            auto *r = Tag(new QRadioButton(text), first[g] + v, text);
            groups_[g]->addButton(r, v);
            sl->addWidget(r, g, v);
        }
        // Any change of the checked button counts, whether a click, the
        // keyboard or an assistive tool made it.
        connect(groups_[g], &QButtonGroup::idToggled, this, [this, g](int v, bool checked) {
            if (checked)
                SetSelection(g, v);
        });
    }
    grid->addWidget(sel, 0, 0, 1, 2);

    auto *times = new QGroupBox(QStringLiteral("采集设置"));
    auto *tl = new QGridLayout(times);
    tl->addWidget(new QLabel(QStringLiteral("采集时间(s)")), 0, 0);
    tl->addWidget(Edit(kIdAcquisitionTime, QStringLiteral("采集设置 采集时间(s)"), 60), 0, 1);
    tl->addWidget(Edit(kIdUnlabeledTime, QStringLiteral("采集设置 时间"), 60), 0, 2);
    tl->addWidget(new QLabel(QStringLiteral("间隔时间(s)")), 1, 0);
    tl->addWidget(Edit(kIdIntervalTime, QStringLiteral("采集设置 间隔时间(s)"), 60), 1, 1);
    tl->addWidget(new QLabel(QStringLiteral("低通fc{Hz]")), 2, 0);
    tl->addWidget(Edit(kIdLowPass, QStringLiteral("采集设置 低通fc{Hz]"), 60), 2, 1);
    grid->addWidget(times, 1, 0);

    auto *id = new QGroupBox(QStringLiteral("设备ID设置"));
    auto *il = new QGridLayout(id);
    il->addWidget(new QLabel(QStringLiteral("设备ID")), 0, 0);
    auto *idEdit = Edit(kIdDeviceId, QStringLiteral("设备ID设置 设备ID"), 100);
    idEdit->setMaxLength(16);
    il->addWidget(idEdit, 0, 1);
    il->addWidget(new QLabel(QStringLiteral("版本号")), 1, 0);
    il->addWidget(Edit(kIdVersion, QStringLiteral("设备ID设置 版本号"), 100), 1, 1);
    auto *readId = Button(kIdReadDeviceId, QStringLiteral("读取"));
    auto *writeId = Button(kIdWriteDeviceId, QStringLiteral("保存"));
    il->addWidget(readId, 2, 0);
    il->addWidget(writeId, 2, 1);
    grid->addWidget(id, 1, 1);
    connect(readId, &QPushButton::clicked, this, [this] { Handle(commander_->ReadVersionAndId()); });
    connect(writeId, &QPushButton::clicked, this,
            [this] { Handle(commander_->WriteDeviceId(Text(kIdDeviceId).toStdString())); });

    auto *mac = new QGroupBox(QStringLiteral("设备MAC地址设置"));
    auto *ml = new QHBoxLayout(mac);
    for (int i = 0; i < 6; ++i)
        ml->addWidget(Edit(kIdMacFirst + i, QStringLiteral("设备MAC地址设置 %1").arg(i + 1), 36));
    auto *readMac = Button(kIdReadMac, QStringLiteral("读取"));
    auto *writeMac = Button(kIdWriteMac, QStringLiteral("保存"));
    ml->addWidget(readMac);
    ml->addWidget(writeMac);
    grid->addWidget(mac, 2, 0, 1, 2);
    connect(readMac, &QPushButton::clicked, this, [this] { Handle(commander_->ReadMac()); });
    connect(writeMac, &QPushButton::clicked, this, [this] {
        std::array<std::string, 6> boxes;
        for (int i = 0; i < 6; ++i)
            boxes[size_t(i)] = Text(kIdMacFirst + i).toStdString();
        Handle(commander_->WriteMac(boxes));
    });

    auto *misc = new QGroupBox(QStringLiteral("控制"));
    auto *xl = new QGridLayout(misc);
    xl->addWidget(new QLabel(QStringLiteral("采样频率模式")), 0, 0);
    xl->addWidget(Edit(kIdSamplingMode, QStringLiteral("控制 采样频率模式"), 60), 0, 1);
    auto *readMode = Button(kIdReadSamplingMode, QStringLiteral("读取"));
    auto *writeMode = Button(kIdWriteSamplingMode, QStringLiteral("保存"));
    xl->addWidget(readMode, 0, 2);
    xl->addWidget(writeMode, 0, 3);
    connect(readMode, &QPushButton::clicked, this, [this] { Handle(commander_->ReadSamplingFrequencyMode()); });
    connect(writeMode, &QPushButton::clicked, this,
            [this] { Handle(commander_->WriteSamplingFrequencyMode(Text(kIdSamplingMode).toStdString())); });
    const std::pair<int, const char *> actions[] = {{kIdUnlock, "解锁"},
                                                    {kIdLock, "加锁"},
                                                    {kIdStartAcquisition, "启动采集"},
                                                    {kIdStopAcquisition, "停止采集"},
                                                    {kIdEnterUpgrade, "启动升级程序"}};
    int col = 0;
    for (auto [bid, text] : actions)
        xl->addWidget(Button(bid, QString::fromUtf8(text)), 1, col++);
    grid->addWidget(misc, 3, 0, 1, 2);
    connect(FindControl<QPushButton>(misc, kIdUnlock), &QPushButton::clicked, this,
            [this] { Handle(commander_->Unlock(station_.SensorCodesPath())); });
    connect(FindControl<QPushButton>(misc, kIdLock), &QPushButton::clicked, this,
            [this] { Handle(commander_->Lock(station_.SensorCodesPath())); });
    connect(FindControl<QPushButton>(misc, kIdStartAcquisition), &QPushButton::clicked, this,
            [this] { Handle(commander_->StartAcquisition()); });
    connect(FindControl<QPushButton>(misc, kIdStopAcquisition), &QPushButton::clicked, this,
            [this] { Handle(commander_->StopAcquisition()); });
    connect(FindControl<QPushButton>(misc, kIdEnterUpgrade), &QPushButton::clicked, this,
            &CPARASET::EnterUpgradeMode);

    auto *traffic = new QGroupBox(QStringLiteral("数据"));
    auto *fl = new QGridLayout(traffic);
    sendView_ = Tag(new QPlainTextEdit, kIdSendView, QStringLiteral("发送数据"));
    receiveView_ = Tag(new QPlainTextEdit, kIdReceiveView, QStringLiteral("接收数据"));
    sendView_->setReadOnly(true);
    receiveView_->setReadOnly(true);
    fl->addWidget(new QLabel(QStringLiteral("发送数据")), 0, 0);
    fl->addWidget(new QLabel(QStringLiteral("接收数据")), 0, 2);
    fl->addWidget(sendView_, 1, 0, 1, 2);
    fl->addWidget(receiveView_, 1, 2, 1, 2);
    fl->addWidget(new QLabel(QStringLiteral("发送字节")), 2, 0);
    auto *sendCount = Edit(kIdSendCount, QStringLiteral("数据 发送字节"), 50);
    sendCount->setReadOnly(true);
    fl->addWidget(sendCount, 2, 1);
    fl->addWidget(new QLabel(QStringLiteral("接收字节")), 2, 2);
    auto *receiveCount = Edit(kIdReceiveCount, QStringLiteral("数据 接收字节"), 50);
    receiveCount->setReadOnly(true);
    fl->addWidget(receiveCount, 2, 3);
    auto *clearSend = Button(kIdClearSend, QStringLiteral("清除发送窗口"));
    auto *clearReceive = Button(kIdClearReceive, QStringLiteral("清除接收窗口"));
    fl->addWidget(clearSend, 3, 1);
    fl->addWidget(clearReceive, 3, 3);
    grid->addWidget(traffic, 4, 0, 1, 2);
    connect(clearSend, &QPushButton::clicked, this, [this, sendCount] {
        sendView_->clear();
        sendCount->clear();
    });
    connect(clearReceive, &QPushButton::clicked, this, [this, receiveCount] {
        receiveView_->clear();
        receiveCount->clear();
    });

    auto *ok = Button(kIdParaOk, QStringLiteral("确定"));
    auto *cancel = Button(kIdParaCancel, QStringLiteral("取消"));
    auto *okRow = new QHBoxLayout;
    okRow->addStretch(1);
    okRow->addWidget(ok);
    okRow->addWidget(cancel);
    grid->addLayout(okRow, 5, 0, 1, 2);
    connect(ok, &QPushButton::clicked, this, &CPARASET::accept);
    connect(cancel, &QPushButton::clicked, this, &CPARASET::reject);
    return page;
}

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
