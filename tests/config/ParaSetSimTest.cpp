// The parameter dialog against simulated sensors streaming over loopback:
// the whole road from a button through the sensor's answer back into the
// fields, and writes that change what the sensor does.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "sim/SimSensor.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/config/PARASET.h"
#include "ui/main/TavenorDlg.h"

using namespace tav::ui;
namespace fs = std::filesystem;

namespace {

struct ParaSetSimFixture : ::testing::Test {
    QtEventSink sink;
    fs::path folder;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    std::vector<std::unique_ptr<tav::sim::SimSensor>> sensors;
    QStringList messages;

    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("tav_paraset_sim_" + std::to_string(::getpid()));
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
    }
    void TearDown() override
    {
        for (auto &s : sensors)
            if (s)
                s->Stop();
        dlg->Shutdown();
        sink.Detach();
        SetMessageHook(nullptr);
        dlg.reset();
        station.reset();
        fs::remove_all(folder);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 8000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms)
            QTest::qWait(10);
        return cond();
    }
    // One sensor at a time, so that each takes the next slot.
    void AddSensor(uint32_t address, int slot)
    {
        tav::sim::SensorConfig c;
        c.index = int(sensors.size());
        c.address = address;
        c.port = uint16_t(station->Port());
        c.quiet = true;
        c.reconnectDelay = 0.05;
        sensors.push_back(std::make_unique<tav::sim::SimSensor>(c));
        sensors.back()->Start();
        auto &rec = station->Table()[slot];
        ASSERT_TRUE(Spin([&] { return rec.InUse() && rec.sensorAddress.load() == address; })) << slot;
    }
    CPARASET *Dialog() { return dlg->findChild<CPARASET *>(); }
    QLineEdit *Edit(int id) { return FindControl<QLineEdit>(Dialog(), id); }
    void Click(int id) { FindControl<QPushButton>(Dialog(), id)->click(); }
};

}  // namespace

TEST_F(ParaSetSimFixture, ReadsFillTheFieldsAndWritesChangeTheSensor)
{
    // Simulated sensors in slots 0 and 3, the main window showing slot 3.
    for (int i = 0; i < 4; ++i)
        AddSensor(uint32_t(10 + i), i);
    sensors[1]->Stop();
    sensors[2]->Stop();
    auto &table = station->Table();
    ASSERT_TRUE(Spin([&] { return table.CountInUse() == 2; }));
    dlg->RebuildConnectionList();
    auto *mainList = FindControl<QComboBox>(dlg.get(), 1001);
    ASSERT_EQ(mainList->count(), 2);
    mainList->setCurrentIndex(1);
    dlg->SelectConnection(3);

    dlg->findChild<QAction *>("32771")->trigger();
    ASSERT_NE(Dialog(), nullptr);
    EXPECT_EQ(FindControl<QComboBox>(Dialog(), kIdSensorList)->currentIndex(), 1);
    tav::sim::SimSensor &sensor = *sensors[3];
    // The MAC reply is the last of the opening sequence.
    ASSERT_TRUE(Spin([&] { return !Edit(kIdMacFirst)->text().isEmpty() && Edit(kIdVersion)->text() != "0--0"; }));
    ASSERT_TRUE(Spin([&] { return Edit(kIdMacFirst + 5)->text() == "3"; }));
    tav::sim::SensorRegisterMap regs = sensor.Registers();
    EXPECT_EQ(Edit(kIdDeviceIp)->text().toStdString(), regs.Ipv4(tav::sim::SensorRegisterMap::kDeviceIp));
    EXPECT_EQ(Edit(kIdServerIp)->text(), "192.168.1.100");
    EXPECT_EQ(Edit(kIdServerPort)->text(), QString::number(station->Port()));
    EXPECT_EQ(Edit(kIdDeviceAddress)->text(), "13");
    EXPECT_EQ(Edit(kIdVersion)->text(), "2--20260115");
    EXPECT_EQ(Edit(kIdDeviceId)->text().toStdString(), regs.DeviceId());
    EXPECT_EQ(Edit(kIdLowPass)->text(), "10000");
    EXPECT_TRUE(FindControl<QRadioButton>(Dialog(), kIdRangeFirst + 1)->isChecked());  // ±8g

    // A parameter write with "±4g" reaches the sensor.
    FindControl<QRadioButton>(Dialog(), kIdRangeFirst + 2)->click();
    Click(kIdWriteParameters);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    ASSERT_TRUE(Spin([&] { return sensor.Registers().Get(tav::sim::SensorRegisterMap::kMeasuringRange) == 2; }));

    // The lock code from sensorcodes.conf.
    std::ofstream(folder / "sensorcodes.conf") << "unlock=0x5AA5C33C\nlock=0x12345678\n";
    Click(kIdLock);
    ASSERT_TRUE(Spin([&] { return sensor.LastLockCode() == 0x12345678u; }));

    // A new device address changes the address the station sees.
    Edit(kIdDeviceAddress)->setText("77");
    Click(kIdWriteDeviceAddress);
    ASSERT_TRUE(Spin([&] { return table[3].sensorAddress.load() == 77; }));
    EXPECT_EQ(table[0].sensorAddress.load(), 10u);

    // The upgrade switch, after its notice, stops the sensor's stream.
    ASSERT_TRUE(sensor.Streaming());
    Click(kIdEnterUpgrade);
    auto *notice = Dialog()->findChild<QMessageBox *>("upgradeNotice");
    ASSERT_NE(notice, nullptr);
    QTest::qWait(100);
    EXPECT_FALSE(sensor.InUpgradeMode());
    notice->button(QMessageBox::Ok)->click();
    ASSERT_TRUE(Spin([&] { return sensor.InUpgradeMode() && !sensor.Streaming(); }));
}

TEST_F(ParaSetSimFixture, ReopenedForASilentSensorOffersNothingOfTheLastOne)
{
    // Slot 0 answers; slot 1's sensor never answers a command.
    AddSensor(21, 0);
    {
        tav::sim::SensorConfig c;
        c.index = 1;
        c.address = 22;
        c.port = uint16_t(station->Port());
        c.quiet = true;
        c.noReplies = true;
        sensors.push_back(std::make_unique<tav::sim::SimSensor>(c));
        sensors.back()->Start();
        ASSERT_TRUE(Spin([&] { return station->Table()[1].InUse(); }));
    }
    dlg->RebuildConnectionList();
    auto *mainList = FindControl<QComboBox>(dlg.get(), 1001);
    ASSERT_EQ(mainList->count(), 2);
    mainList->setCurrentIndex(0);
    dlg->SelectConnection(0);

    auto *open = dlg->findChild<QAction *>("32771");
    open->trigger();
    ASSERT_TRUE(Spin([&] { return !Edit(kIdMacFirst + 5)->text().isEmpty(); }));
    ASSERT_FALSE(Edit(kIdDeviceIp)->text().isEmpty());
    Dialog()->reject();

    mainList->setCurrentIndex(1);
    dlg->SelectConnection(1);
    open->trigger();
    auto *sendView = FindControl<QPlainTextEdit>(Dialog(), kIdSendView);
    ASSERT_TRUE(Spin([&] { return sendView->toPlainText().count("50 44 52 54") == 5; }));
    QTest::qWait(300);  // time for any answer
    // Read-filled boxes are empty; port and time boxes show their exchange values.
    for (int id : std::initializer_list<int>{kIdDeviceIp, kIdSubnetMask, kIdDns, kIdGateway, kIdServerIp, kIdDeviceAddress, kIdHighPass,
                   kIdLowPass, kIdDownsampling, kIdDeviceId, kIdVersion, kIdSamplingMode, kIdMacFirst, kIdMacFirst + 5})
        EXPECT_TRUE(Edit(id)->text().isEmpty()) << id << " " << Edit(id)->text().toStdString();
    EXPECT_EQ(Edit(kIdServerPort)->text(), "0");
    EXPECT_EQ(Edit(kIdAcquisitionTime)->text(), "0");
    // The traffic views hold this opening's five reads and nothing else.
    EXPECT_EQ(sendView->toPlainText().count("\n"), 5);
    EXPECT_TRUE(FindControl<QPlainTextEdit>(Dialog(), kIdReceiveView)->toPlainText().isEmpty());

    // Even with every box typed in, "保存" in "通信设置" sends nothing and says why.
    const std::pair<int, const char *> typed[] = {{kIdDeviceIp, "192.168.1.20"}, {kIdSubnetMask, "255.255.255.0"},
                                                  {kIdGateway, "192.168.1.1"},   {kIdDns, "192.168.1.1"},
                                                  {kIdServerIp, "192.168.1.100"}, {kIdServerPort, "22009"}};
    for (auto [id, text] : typed)
        Edit(id)->setText(QString::fromUtf8(text));
    const std::string ipBefore = sensors[1]->Registers().Ipv4(tav::sim::SensorRegisterMap::kDeviceIp);
    Click(kIdWriteCommunication);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("“通信设置”") && messages[0].contains("读取")) << messages[0].toStdString();
    Edit(kIdDeviceAddress)->setText("21");
    Click(kIdWriteDeviceAddress);
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[1].contains("“设备地址设置”")) << messages[1].toStdString();
    EXPECT_EQ(sendView->toPlainText().count("\n"), 5);
    QTest::qWait(200);
    EXPECT_EQ(sensors[1]->Registers().Ipv4(tav::sim::SensorRegisterMap::kDeviceIp), ipBefore);
    EXPECT_EQ(station->Table()[1].sensorAddress.load(), 22u);

    // Choosing the answering sensor in "设备选择" empties the typed boxes,
    // then its answers fill them.
    auto *list = FindControl<QComboBox>(Dialog(), kIdSensorList);
    list->setCurrentIndex(0);
    emit list->activated(0);
    EXPECT_TRUE(Edit(kIdDeviceIp)->text().isEmpty());
    EXPECT_EQ(Edit(kIdServerPort)->text(), "0");
    ASSERT_TRUE(Spin([&] { return !Edit(kIdMacFirst + 5)->text().isEmpty(); }));
    EXPECT_EQ(Edit(kIdDeviceIp)->text().toStdString(),
              sensors[0]->Registers().Ipv4(tav::sim::SensorRegisterMap::kDeviceIp));
}
