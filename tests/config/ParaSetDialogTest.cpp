// The sensor parameter dialog on the offscreen platform, against loopback
// peers that stand in for sensors: the test reads what the station sends to
// them and answers with reply events as the frame parser posts them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "support/TestPeers.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/config/DeviceParaSet.h"
#include "ui/config/PARASET.h"
#include "ui/main/TavenorDlg.h"

using namespace tav::ui;
namespace fs = std::filesystem;

namespace {

struct Frame {
    std::vector<uint8_t> bytes;
    qint64 atMs;
    uint16_t U16(size_t offset) const { return uint16_t(bytes[offset] | bytes[offset + 1] << 8); }
};

// A sensor's end of a connection: collects the frames the station sends.
struct Peer {
    int fd = -1;
    std::vector<uint8_t> pending;
    std::vector<Frame> frames;
    void Pump(const QElapsedTimer &clock)
    {
        uint8_t buf[4096];
        for (;;) {
            ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0)
                break;
            pending.insert(pending.end(), buf, buf + n);
        }
        while (pending.size() >= 6) {
            size_t len = size_t(pending[4] | pending[5] << 8);
            if (len < 24 || pending.size() < len)
                break;
            frames.push_back({{pending.begin(), pending.begin() + long(len)}, clock.elapsed()});
            pending.erase(pending.begin(), pending.begin() + long(len));
        }
    }
};

std::vector<uint8_t> Reply(uint16_t count, const std::vector<uint8_t> &values)
{
    std::vector<uint8_t> r(18 + values.size(), 0);
    std::memcpy(r.data(), "PRAS", 4);
    r[4] = uint8_t(r.size());
    r[16] = uint8_t(count);
    std::copy(values.begin(), values.end(), r.begin() + 18);
    return r;
}

std::vector<uint8_t> ParameterBlock(uint16_t range, uint16_t axis, uint16_t mode)
{
    std::vector<uint8_t> b(24, 0);
    b[2] = uint8_t(range), b[4] = uint8_t(axis), b[6] = uint8_t(mode);
    b[8] = 10;   // acquisition time
    b[12] = 30;  // interval
    b[14] = 1;   // N
    b[16] = 5;   // high-pass
    b[20] = 0xE8, b[21] = 0x03;  // low-pass 1000
    return b;
}

struct ParaSetFixture : ::testing::Test {
    QtEventSink sink;
    fs::path folder;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;
    Peer peers[4];
    QElapsedTimer clock;

    void SetUp() override
    {
        static int n = 0;
        folder = fs::temp_directory_path() / ("tav_paraset_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::remove_all(folder);
        fs::create_directories(folder);
        SetMessageHook([this](const QString &m) { messages << m; });
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = folder.string();
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        std::vector<std::string> startMessages;
        ASSERT_EQ(station->Start(&startMessages), 0);
        dlg->Initialise(startMessages);
        dlg->show();
        clock.start();
    }
    void TearDown() override
    {
        dlg->Shutdown();
        sink.Detach();
        for (auto &p : peers)
            if (p.fd >= 0)
                ::close(p.fd);
        SetMessageHook(nullptr);
        dlg.reset();
        station.reset();
        fs::remove_all(folder);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms) {
            QTest::qWait(5);
            for (auto &p : peers)
                if (p.fd >= 0)
                    p.Pump(clock);
        }
        return cond();
    }
    // Sensors in slots 0 and 3 (addresses 11 and 7), the main window on slot 3.
    void ConnectSlotsZeroAndThree()
    {
        for (auto &p : peers)
            p.fd = tav::test::ConnectLoopback(station->Port());
        auto &table = station->Table();
        ASSERT_TRUE(Spin([&] { return table.CountInUse() == 4; }));
        ::close(peers[1].fd), ::close(peers[2].fd);
        peers[1].fd = peers[2].fd = -1;
        ASSERT_TRUE(Spin([&] { return !table[1].threadsRunning && !table[2].threadsRunning; }));
        table[0].sensorAddress = 11;
        table[3].sensorAddress = 7;
        table[0].packetsParsed = table[3].packetsParsed = 1;  // as if each had sent its first packet
        dlg->RebuildConnectionList();
        auto *list = FindControl<QComboBox>(dlg.get(), 1001);
        ASSERT_EQ(list->count(), 2);
        list->setCurrentIndex(1);
        dlg->SelectConnection(3);
    }
    CPARASET *Dialog() { return dlg->findChild<CPARASET *>(); }
    CDeviceParaSet *MachineDialog() { return dlg->findChild<CDeviceParaSet *>(); }
    template <class W = QLineEdit>
    W *MachineControl(int id)
    {
        W *w = FindControl<W>(MachineDialog(), id);
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    std::string FileText(const char *name)
    {
        std::ifstream in(folder / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void OpenParameters() { dlg->findChild<QAction *>("32771")->trigger(); }
    template <class W = QLineEdit>
    W *Control(int id)
    {
        W *w = FindControl<W>(Dialog(), id);
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    void Click(int id) { Control<QPushButton>(id)->click(); }
    void PostReply(int slot, const std::vector<uint8_t> &frame)
    {
        auto e = tav::StationEvent::Make(tav::kSensorReplyEvent, int64_t(frame.size()), slot);
        e.length = uint16_t(frame.size());
        std::memcpy(e.data, frame.data(), frame.size());
        sink.Post(e);
        QCoreApplication::sendPostedEvents();
    }
    // Answers a read frame the way a sensor with these settings would.
    void Answer(int slot, const Frame &f, uint16_t range = 2)
    {
        uint16_t first = f.U16(16), count = f.U16(18);
        if (first == 15)
            PostReply(slot, Reply(11, {192, 168, 1, 20, 255, 255, 255, 0, 192, 168, 1, 1, 192, 168, 1, 1, 0xF9, 0x55,
                                       192, 168, 1, 100}));
        else if (first == 26)
            PostReply(slot, Reply(1, {uint8_t(f.U16(12)), 0}));
        else if (first == 0)
            PostReply(slot, Reply(12, ParameterBlock(range, 1, 3)));
        else if (first == 27)
            PostReply(slot, Reply(8, {2, 0, 0, 0, 7, 0, 0, 0, 'V', 'S', '0', '0', '0', '1', '2', '3'}));
        else if (first == 12 && count == 3)
            PostReply(slot, Reply(3, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0xFE}));
    }
};

}  // namespace

TEST_F(ParaSetFixture, OpeningReadsTheShownSensorFiftyMillisecondsApartAndFillsTheFields)
{
    ConnectSlotsZeroAndThree();
    OpenParameters();
    ASSERT_NE(Dialog(), nullptr);
    EXPECT_TRUE(Dialog()->isVisible());
    EXPECT_EQ(Dialog()->windowTitle(), "设置参数");
    auto *list = Control<QComboBox>(kIdSensorList);
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->itemText(0), "  0 : 地址:11");
    EXPECT_EQ(list->currentIndex(), 1);

    Peer &sensor = peers[3];
    ASSERT_TRUE(Spin([&] { return sensor.frames.size() >= 5; }));
    QTest::qWait(150);  // the sequence stops after five
    sensor.Pump(clock);
    ASSERT_EQ(sensor.frames.size(), 5u);
    EXPECT_TRUE(peers[0].frames.empty());
    const uint16_t expected[5][2] = {{15, 11}, {26, 1}, {0, 12}, {27, 8}, {12, 3}};
    for (size_t i = 0; i < 5; ++i) {
        const Frame &f = sensor.frames[i];
        EXPECT_EQ(std::string(f.bytes.begin(), f.bytes.begin() + 4), "PDRT");
        EXPECT_EQ(f.U16(6), i + 1) << "sequence";
        EXPECT_EQ(f.U16(12), 7) << "sensor address";
        EXPECT_EQ(f.U16(16), expected[i][0]);
        EXPECT_EQ(f.U16(18), expected[i][1]);
        if (i > 0) {
            qint64 gap = f.atMs - sensor.frames[i - 1].atMs;
            std::printf("read %zu followed the previous after %lld ms\n", i + 1, (long long)gap);
            EXPECT_GE(gap, 35);
        }
        Answer(3, f);
    }
    EXPECT_EQ(Control(kIdDeviceIp)->text(), "192.168.1.20");
    EXPECT_EQ(Control(kIdSubnetMask)->text(), "255.255.255.0");
    EXPECT_EQ(Control(kIdServerIp)->text(), "192.168.1.100");
    EXPECT_EQ(Control(kIdServerPort)->text(), "22009");
    EXPECT_EQ(Control(kIdDeviceAddress)->text(), "7");
    EXPECT_EQ(Control(kIdHighPass)->text(), "5");
    EXPECT_EQ(Control(kIdLowPass)->text(), "1000");
    EXPECT_EQ(Control(kIdDownsampling)->text(), "1");
    EXPECT_EQ(Control(kIdVersion)->text(), "2--7");
    EXPECT_EQ(Control(kIdDeviceId)->text(), "VS000123");
    EXPECT_EQ(Control(kIdMacFirst + 1)->text(), "26");
    EXPECT_EQ(Control(kIdMacFirst + 5)->text(), "254");
    EXPECT_TRUE(Control<QRadioButton>(kIdRangeFirst + 2)->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(kIdAxisFirst + 1)->isChecked());
    EXPECT_TRUE(Control<QRadioButton>(kIdModeFirst + 3)->isChecked());
    // Every frame and reply is echoed with its length.
    EXPECT_EQ(Control<QPlainTextEdit>(kIdSendView)->toPlainText().count("50 44 52 54 18 00 "), 5);
    EXPECT_EQ(Control(kIdSendCount)->text(), "24");
    EXPECT_EQ(Control<QPlainTextEdit>(kIdReceiveView)->toPlainText().count("50 52 41 53 "), 5);
    EXPECT_EQ(Control(kIdReceiveCount)->text(), "24");  // the MAC reply came last

    // Choosing the other sensor reads it, numbers continuing.
    list->setCurrentIndex(0);
    emit list->activated(0);
    ASSERT_TRUE(Spin([&] { return peers[0].frames.size() >= 5; }));
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(peers[0].frames[i].U16(6), i + 6);
        EXPECT_EQ(peers[0].frames[i].U16(12), 11);
    }
    EXPECT_EQ(sensor.frames.size(), 5u);

    // A parameter save now goes to slot 0 only after slot 0's read was answered.
    Click(kIdWriteParameters);
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_TRUE(messages.last().contains("读取"));
    Answer(0, peers[0].frames[2]);
    Click(kIdWriteParameters);
    ASSERT_TRUE(Spin([&] { return peers[0].frames.size() == 6; }));
    EXPECT_EQ(peers[0].frames[5].bytes.size(), 50u);
    EXPECT_EQ(peers[0].frames[5].U16(6), 11);
    EXPECT_EQ(peers[0].frames[5].U16(22 + 2), 2);  // range from the read
}

TEST_F(ParaSetFixture, RepliesRedrawFromTheSelectedSlotAndOnlyWhileOpen)
{
    ConnectSlotsZeroAndThree();
    OpenParameters();
    ASSERT_TRUE(Spin([&] { return peers[3].frames.size() >= 5; }));
    PostReply(3, Reply(12, ParameterBlock(2, 0, 0)));
    for (int v = 0; v < 4; ++v)
        EXPECT_EQ(Control<QRadioButton>(kIdRangeFirst + v)->isChecked(), v == 2);
    PostReply(3, Reply(12, ParameterBlock(7, 0, 0)));
    for (int v = 0; v < 4; ++v)
        EXPECT_EQ(Control<QRadioButton>(kIdRangeFirst + v)->isChecked(), v == 2);

    // Slot 0 answers while slot 3 is shown: its cache changes, the fields stay slot 3's.
    PostReply(0, Reply(12, ParameterBlock(3, 0, 0)));
    EXPECT_EQ(station->SettingsCache().Entry(0).Parameters().measuringRange, 3);
    EXPECT_TRUE(Control<QRadioButton>(kIdRangeFirst + 2)->isChecked());

    // "清除发送窗口" leaves the receive view.
    Click(kIdClearSend);
    EXPECT_TRUE(Control<QPlainTextEdit>(kIdSendView)->toPlainText().isEmpty());
    EXPECT_TRUE(Control(kIdSendCount)->text().isEmpty());
    EXPECT_FALSE(Control<QPlainTextEdit>(kIdReceiveView)->toPlainText().isEmpty());
    Click(kIdClearReceive);
    EXPECT_TRUE(Control<QPlainTextEdit>(kIdReceiveView)->toPlainText().isEmpty());

    // Closed: the cache still learns, the controls are left alone.
    Control(kIdServerPort)->setText("22009");
    Control<QPushButton>(kIdParaOk)->click();
    EXPECT_FALSE(Dialog()->isVisible());
    PostReply(3, Reply(12, ParameterBlock(0, 0, 0)));
    EXPECT_EQ(station->SettingsCache().Entry(3).Parameters().measuringRange, 0);
    EXPECT_TRUE(Control<QRadioButton>(kIdRangeFirst + 2)->isChecked());
    EXPECT_TRUE(Control<QPlainTextEdit>(kIdReceiveView)->toPlainText().isEmpty());
}

TEST_F(ParaSetFixture, UpgradeSwitchSendsOnlyAfterTheNoticeIsClosed)
{
    ConnectSlotsZeroAndThree();
    OpenParameters();
    ASSERT_TRUE(Spin([&] { return peers[3].frames.size() >= 5; }));
    QTest::qWait(100);
    Control<QCheckBox>(kIdAdvanced)->setChecked(true);
    EXPECT_TRUE(Control<QPushButton>(kIdEnterUpgrade)->isVisible());
    Click(kIdEnterUpgrade);
    auto *notice = Dialog()->findChild<QMessageBox *>("upgradeNotice");
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(), "进入传感器软件升级模式，请使用下载程序进行升级");
    QTest::qWait(100);
    peers[3].Pump(clock);
    EXPECT_EQ(peers[3].frames.size(), 5u);
    notice->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(Spin([&] { return peers[3].frames.size() == 6; }));
    const Frame &f = peers[3].frames[5];
    EXPECT_EQ(std::string(f.bytes.begin(), f.bytes.begin() + 4), "PDWT");
    EXPECT_EQ(f.U16(14), 6);
    EXPECT_EQ(f.U16(16), 0);
    EXPECT_EQ(f.U16(18), 0x4D2C);
}

TEST_F(ParaSetFixture, WithoutASensorEveryButtonEchoesAndSaysNotSent)
{
    std::ofstream(folder / "sensorcodes.conf") << "unlock=0x01020304\nlock=0x05060708\n";
    OpenParameters();
    ASSERT_NE(Dialog(), nullptr);
    EXPECT_EQ(Control<QComboBox>(kIdSensorList)->count(), 0);
    QTest::qWait(120);
    EXPECT_TRUE(Control<QPlainTextEdit>(kIdSendView)->toPlainText().isEmpty());  // no read sequence
    EXPECT_EQ(Control<QComboBox>(kIdWorkMode)->currentIndex(), 0);                // the default record
    EXPECT_EQ(Control(kIdRatedSpeed)->text(), "0");

    const std::pair<int, const char *> fields[] = {
        {kIdDeviceIp, "192.168.1.20"}, {kIdSubnetMask, "255.255.255.0"}, {kIdGateway, "192.168.1.1"},
        {kIdDns, "192.168.1.1"},       {kIdServerIp, "192.168.1.100"},   {kIdServerPort, "22009"},
        {kIdDeviceAddress, "7"},       {kIdHighPass, "5"},               {kIdLowPass, "100"},
        {kIdDownsampling, "0"},        {kIdDeviceId, "AB"},              {kIdSamplingMode, "1"}};
    for (auto [id, text] : fields)
        Control(id)->setText(QString::fromUtf8(text));
    for (int i = 0; i < 6; ++i)
        Control(kIdMacFirst + i)->setText(QString::number(i));
    const int buttons[] = {kIdReadCommunication, kIdWriteCommunication, kIdReadDeviceAddress, kIdWriteDeviceAddress,
                           kIdReadParameters,    kIdWriteParameters,    kIdReadDeviceId,      kIdWriteDeviceId,
                           kIdReadMac,           kIdWriteMac,           kIdReadSamplingMode,  kIdWriteSamplingMode,
                           kIdUnlock,            kIdLock,               kIdStartAcquisition,  kIdStopAcquisition};
    int echoed = 0;
    for (int id : buttons) {
        Click(id);
        QString text = Control<QPlainTextEdit>(kIdSendView)->toPlainText();
        EXPECT_EQ(text.count("未发送"), ++echoed) << id;
        EXPECT_FALSE(Control(kIdSendCount)->text().isEmpty());
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    QString text = Control<QPlainTextEdit>(kIdSendView)->toPlainText();
    EXPECT_TRUE(text.contains("50 44 57 54 1E 00 ")) << "30-byte unlock";
    EXPECT_TRUE(text.contains("04 03 02 01 50 45 4E 44")) << "unlock code";

    Click(kIdEnterUpgrade);
    auto *notice = Dialog()->findChild<QMessageBox *>("upgradeNotice");
    ASSERT_NE(notice, nullptr);
    notice->button(QMessageBox::Ok)->click();
    EXPECT_EQ(Control<QPlainTextEdit>(kIdSendView)->toPlainText().count("未发送"), echoed + 1);
    EXPECT_EQ(Control(kIdSendCount)->text(), "24");

    // A bad field is refused with its name, and nothing is echoed.
    Control(kIdServerPort)->setText("70000");
    Click(kIdWriteCommunication);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("端口"));
    EXPECT_EQ(Control<QPlainTextEdit>(kIdSendView)->toPlainText().count("未发送"), echoed + 1);

    // OK validates the port box.
    Control<QPushButton>(kIdParaOk)->click();
    EXPECT_TRUE(Dialog()->isVisible());
    EXPECT_EQ(messages.size(), 2);
    QTest::keyClick(Dialog(), Qt::Key_Return);  // Enter is OK, with the same check
    EXPECT_TRUE(Dialog()->isVisible());
    EXPECT_EQ(messages.size(), 3);
    Control(kIdServerPort)->setText("22009");
    Control<QPushButton>(kIdParaOk)->click();
    EXPECT_FALSE(Dialog()->isVisible());
    // The exchange value comes back at the next opening.
    OpenParameters();
    EXPECT_EQ(Control(kIdServerPort)->text(), "22009");
}

TEST_F(ParaSetFixture, DeviceGroupSavesTheRecordAndSetsTheBand)
{
    ConnectSlotsZeroAndThree();
    station->Table()[3].sensorAddress = 5;
    dlg->RebuildConnectionList();
    ASSERT_EQ(fs::file_size(folder / "devicepara.dat"), 0u);
    OpenParameters();
    auto *mode = Control<QComboBox>(kIdWorkMode);
    ASSERT_EQ(mode->count(), 3);
    EXPECT_EQ(mode->itemText(0), "未定义");
    EXPECT_EQ(mode->itemText(1), "工频");
    EXPECT_EQ(mode->itemText(2), "变频");
    EXPECT_EQ(mode->currentIndex(), 0);
    EXPECT_EQ(Control(kIdRatedSpeed)->text(), "0");
    mode->setCurrentIndex(1);
    Control(kIdRatedSpeed)->setText("1500");
    Click(kIdSaveDeviceRecord);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    ASSERT_EQ(fs::file_size(folder / "devicepara.dat"), 1600u);
    auto &c = station->Table()[3];
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 22.5f);
    EXPECT_FLOAT_EQ(c.upperSearchLimit, 27.5f);
    EXPECT_EQ(station->DeviceTable().Record(0).sensorAddress, 5u);

    // A rated speed that is not a number is refused, nothing changes.
    Control(kIdRatedSpeed)->setText("15OO");
    Click(kIdSaveDeviceRecord);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("额定转速"));
    EXPECT_EQ(station->DeviceTable().Record(0).ratedSpeed, 1500);

    // The other sensor shows its own (free) record when chosen.
    auto *list = Control<QComboBox>(kIdSensorList);
    list->setCurrentIndex(0);
    emit list->activated(0);
    EXPECT_EQ(Control(kIdRatedSpeed)->text(), "0");
}

TEST_F(ParaSetFixture, DeviceParameterMenuOpensTheEmptyDialog)
{
    dlg->findChild<QAction *>("32778")->trigger();
    auto *d = dlg->findChild<CDeviceParaSet *>();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(d->windowTitle(), "设备参数配置");
    EXPECT_EQ(d->objectName(), "137");
    for (int id : {1400, 1401, 1402, 1403, 1404})
        EXPECT_NE(FindControl(d, id), nullptr) << id;
    FindControl<QPushButton>(d, CDeviceParaSet::kIdSaveSettings)->click();
    FindControl<QPushButton>(d, CDeviceParaSet::kIdOk)->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(fs::file_size(folder / "devicepara.dat"), 0u);
}

TEST_F(ParaSetFixture, MachineSettingsDialogRefusesBadInputAndSavesBothFilesThroughItsControls)
{
    std::ofstream(folder / "station.toml", std::ios::binary) << "# hand made\n[sensor.9]\nname = \"pump\"\nowner = \"x\"\n";
    // The settings watcher reads the file on its own thread; the window's
    // tick takes what it read.
    ASSERT_TRUE(QTest::qWaitFor([&] { return station->Settings().sensors.count(9) == 1; }, 10000));
    ConnectSlotsZeroAndThree();
    dlg->findChild<QAction *>("32778")->trigger();
    CDeviceParaSet *d = MachineDialog();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->isVisible());
    // Connected 7 and 11, and 9 from the settings file; the main window's 7 shown.
    EXPECT_EQ(d->ListedAddresses(), (std::vector<int32_t>{7, 9, 11}));
    auto *address = MachineControl<QComboBox>(CDeviceParaSet::kIdSensorAddress);
    EXPECT_EQ(address->currentText(), "7");
    auto *list = MachineControl<QListWidget>(CDeviceParaSet::kIdList);
    EXPECT_EQ(list->currentRow(), 0);
    list->setCurrentRow(1);
    EXPECT_EQ(MachineControl(CDeviceParaSet::kIdMachineName)->text(), "pump");
    list->setCurrentRow(0);
    EXPECT_EQ(MachineControl(CDeviceParaSet::kIdMachineName)->text(), "");

    MachineControl<QComboBox>(CDeviceParaSet::kIdWorkMode)->setCurrentIndex(1);
    MachineControl(CDeviceParaSet::kIdRatedSpeed)->setText("1500");
    MachineControl(CDeviceParaSet::kIdMachineName)->setText("2号风机");
    auto *iso = MachineControl<QComboBox>(CDeviceParaSet::kIdIsoClass);
    iso->setCurrentIndex(iso->findData("group1-flexible"));
    EXPECT_EQ(MachineControl(CDeviceParaSet::kIdDangerFirst + tav::kQuantityVelocity)->placeholderText(), "C/D 11");
    MachineControl(CDeviceParaSet::kIdAlertFirst + tav::kQuantityVelocity)->setText("6");
    MachineControl(CDeviceParaSet::kIdDangerFirst + tav::kQuantityVelocity)->setText("5");
    FindControl<QPushButton>(d, CDeviceParaSet::kIdAddBearing)->click();
    auto *bearings = MachineControl<QTableWidget>(CDeviceParaSet::kIdBearings);
    ASSERT_EQ(bearings->rowCount(), 1);
    const char *geometry[] = {"DE", "8", "15.875", "65", "0"};
    for (int c = 0; c < 5; ++c)
        bearings->item(0, c)->setText(geometry[c]);
    // BPFO = 8 x 12.5 Hz x (1 - 15.875 / 65) at 1500 rpm.
    EXPECT_EQ(bearings->item(0, CDeviceParaSet::kColFtf + 2)->text(), "75.58");

    const std::string settingsBefore = FileText("station.toml"), deviceBefore = FileText("devicepara.dat");
    FindControl<QPushButton>(d, CDeviceParaSet::kIdSaveSettings)->click();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("速度有效值(10-1000Hz) 危险限值")) << messages[0].toStdString();
    // OK with the refused form keeps the dialog open and writes nothing either.
    FindControl<QPushButton>(d, CDeviceParaSet::kIdOk)->click();
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(FileText("station.toml"), settingsBefore);
    EXPECT_EQ(FileText("devicepara.dat"), deviceBefore);

    messages.clear();
    MachineControl(CDeviceParaSet::kIdDangerFirst + tav::kQuantityVelocity)->setText("9");
    FindControl<QPushButton>(d, CDeviceParaSet::kIdSaveSettings)->click();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    const tav::DeviceParameterRecord r = station->DeviceTable().Record(0);
    EXPECT_EQ(r.sensorAddress, 7u);
    EXPECT_EQ(r.workMode, 1);
    EXPECT_EQ(r.ratedSpeed, 1500);
    EXPECT_EQ(fs::file_size(folder / "devicepara.dat"), 1600u);
    EXPECT_FLOAT_EQ(station->Table()[3].upperSearchLimit, 27.5f);
    const std::string text = FileText("station.toml");
    EXPECT_EQ(text.rfind("# hand made\n[sensor.9]\nname = \"pump\"\nowner = \"x\"\n", 0), 0u) << text;
    EXPECT_NE(text.find("[[sensor.7.bearing]]\nname = \"DE\"\nelements = 8\n"), std::string::npos) << text;
    // The station takes the settings at once, not at the file's next poll.
    const auto &machines = station->Settings().sensors;
    ASSERT_EQ(machines.count(7), 1u);
    EXPECT_EQ(machines.at(7).name, "2号风机");
    EXPECT_EQ(machines.at(7).isoClass, tav::IsoClass::kGroup1Flexible);
    EXPECT_EQ(machines.at(7).danger[tav::kQuantityVelocity], 9.0);
    EXPECT_TRUE(list->item(0)->text().contains("2号风机"));

    // A change closed with OK is saved.
    MachineControl(CDeviceParaSet::kIdOnDelay)->setText("3");
    FindControl<QPushButton>(d, CDeviceParaSet::kIdOk)->click();
    EXPECT_FALSE(d->isVisible());
    EXPECT_EQ(station->Settings().sensors.at(7).onDelayS, 3.0);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(ParaSetFixture, MachineSettingsDialogAddsTheSensorsOnlyTheHistoryKnows)
{
    // A sensor seen last month: an hour aggregate of address 42 in the station's own database.
    // The station's writer creates the file and its tables on its own thread.
    const fs::path database = fs::path(station->DataFolder()) / "history.sqlite";
    ASSERT_TRUE(Spin([&] {
        sqlite3 *db = nullptr;
        const bool done = fs::exists(database) &&
                          sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                          sqlite3_busy_timeout(db, 1000) == SQLITE_OK &&
                          sqlite3_exec(db, "INSERT INTO hour_runs VALUES(42, 0, 3600000, 1, x'00')", nullptr,
                                       nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return done;
    }));

    dlg->findChild<QAction *>("32778")->trigger();
    CDeviceParaSet *d = MachineDialog();
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(Spin([&] { return d->PendingHistory() == 0; }));
    EXPECT_EQ(d->ListedAddresses(), std::vector<int32_t>{42});
    auto *list = MachineControl<QListWidget>(CDeviceParaSet::kIdList);
    ASSERT_EQ(list->count(), 1);
    EXPECT_TRUE(list->item(0)->text().contains("历史"));
    list->setCurrentRow(0);
    EXPECT_EQ(MachineControl<QComboBox>(CDeviceParaSet::kIdSensorAddress)->currentText(), "42");
}
