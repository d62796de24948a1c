// Drives the real main window on the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

#include "sim/SimSensor.h"
#include "support/TestPeers.h"
#include "ui/alarm/AlarmDlg.h"
#include "ui/alarm/AlarmIndicator.h"
#include "ui/alarm/AlarmNotice.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/AlarmControls.h"
#include "ui/main/TavenorDlg.h"

#include <QDateTime>
#include <QDir>
#include <QImage>

using tav::ui::FindControl;

namespace {

struct MainWindowFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;
    std::vector<int> clients;

    void Open(int port = 0)
    {
        tav::ui::SetMessageHook([this](const QString &m) { messages << m; });
        tav::StationOptions options;
        options.port = port;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        std::vector<std::string> startMessages;
        station->Start(&startMessages);
        dlg->Initialise(startMessages);
        dlg->show();
    }
    void TearDown() override
    {
        if (dlg)
            dlg->Shutdown();
        sink.Detach();
        for (int fd : clients)
            ::close(fd);
        tav::ui::SetMessageHook(nullptr);
        tav::ui::SetQuestionHook(nullptr);  // a test's hooks point at its own locals
        tav::ui::AlarmNotice::SetSoundHook({});
    }
    // Runs the event loop until `cond` holds.
    bool Spin(const std::function<bool()> &cond, int ms = 5000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms)
            QTest::qWait(10);
        return cond();
    }
    template <class W>
    W *Control(int id)
    {
        W *w = FindControl<W>(dlg.get(), id);
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
};

}  // namespace

TEST_F(MainWindowFixture, CaptionMenusAndCommandIds)
{
    Open();
    EXPECT_TRUE(dlg->windowTitle().startsWith("Ostrel"));
    const std::pair<int, const char *> items[] = {
        {32773, "打开"}, {32775, "保存"}, {32771, "传感器参数"}, {32778, "设备参数设置"}, {32777, "数据展示"},
        {32780, "历史趋势"}, {32790, "频谱分析"}, {32791, "报警列表"}};
    for (auto [id, text] : items) {
        auto *a = dlg->findChild<QAction *>(QString::number(id));
        ASSERT_NE(a, nullptr) << id;
        EXPECT_EQ(a->text(), QString::fromUtf8(text));
    }
    QStringList menus;
    for (QAction *m : dlg->MenuBar()->actions())
        menus << m->text();
    EXPECT_EQ(menus, (QStringList{"文件", "设置参数", "稳态数据", "分析", "报警", "帮助"}));
    QSignalSpy spy(dlg.get(), &CTavenorDlg::menuCommand);
    dlg->findChild<QAction *>("32777")->trigger();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toInt(), 32777);
    // "报警" opens the alarm window; the indicator counts from nothing.
    dlg->findChild<QAction *>("32791")->trigger();
    EXPECT_EQ(spy.at(1).at(0).toInt(), 32791);
    auto *alarms = dlg->findChild<QDialog *>("170");
    ASSERT_NE(alarms, nullptr);
    EXPECT_TRUE(alarms->isVisible());
    alarms->close();
    auto *indicator = dlg->findChild<QPushButton *>("1505");
    ASSERT_NE(indicator, nullptr);
    EXPECT_EQ(indicator->text(), QStringLiteral("报警 0 / 未确认 0"));
    // Painted in the menu bar as it stands, not left to a style's whim.
    const QImage shown = indicator->grab().toImage();
    EXPECT_EQ(shown.pixel(3, shown.height() / 2) & 0xffffffu, 0x209030u);
}

TEST_F(MainWindowFixture, ScaleListsAndControlDefaults)
{
    Open();
    for (int id : {1009, 1011, 1013, 1034, 1036, 1038}) {
        auto *box = Control<QComboBox>(id);
        ASSERT_EQ(box->count(), 13);
        EXPECT_EQ(box->itemText(0), "0.005");
        EXPECT_EQ(box->itemText(12), "50.0");
        EXPECT_EQ(box->currentIndex(), 5);
        EXPECT_EQ(box->currentText(), "0.2");
    }
    for (int id : {1010, 1012, 1014}) {
        auto *box = Control<QComboBox>(id);
        ASSERT_EQ(box->count(), 8);
        EXPECT_EQ(box->currentText(), "100.0ms");
    }
    for (int id : {1035, 1037, 1039}) {
        auto *box = Control<QComboBox>(id);
        ASSERT_EQ(box->count(), 8);
        EXPECT_EQ(box->itemText(0), "5");
        EXPECT_EQ(box->currentText(), "1000");
    }
    for (int id : {1072, 1075, 1078})
        EXPECT_TRUE(Control<QRadioButton>(id)->isChecked());
    EXPECT_FALSE(Control<QPushButton>(1156)->isEnabled());
    EXPECT_TRUE(Control<QPushButton>(1155)->isEnabled());
    EXPECT_EQ(Control<QPushButton>(1149)->text(), "10Hz高通->开");
    EXPECT_EQ(Control<QLineEdit>(1019)->accessibleName(), "X轴 有效值");
    for (int id : {1006, 1007, 1008, 1025, 1030, 1033, 1026, 1126, 1144, 1143, 1089, 1083, 1084, 1085, 1090, 1091})
        EXPECT_NE(FindControl(dlg.get(), id), nullptr) << id;
}

TEST_F(MainWindowFixture, TimerSelectsTheLowestConnectedSlotAndShowsItsPeer)
{
    Open();
    for (int i = 0; i < 3; ++i)
        clients.push_back(tav::test::ConnectLoopback(station->Port()));
    ASSERT_TRUE(Spin([&] { return station->Table().selectedConnection.load() == 0; }));
    auto *list = Control<QComboBox>(1001);
    ASSERT_TRUE(Spin([&] { return Control<QLineEdit>(1000)->text() == "3"; }));
    ASSERT_EQ(list->count(), 3);
    // No packet yet, so no address; a sensor's address shows as soon as
    // its first packet has given it, without anybody opening the list.
    EXPECT_EQ(list->itemText(1), "  1 : 地址:等待数据");
    EXPECT_EQ(list->currentIndex(), 0);
    tav::sim::SensorConfig cfg;
    cfg.port = uint16_t(station->Port());
    cfg.address = 7;
    cfg.quiet = true;
    tav::sim::SimSensor sensor(cfg);
    sensor.Start();
    EXPECT_TRUE(Spin([&] { return list->count() == 4 && list->itemText(3) == "  3 : 地址:7"; }, 10000));
    EXPECT_EQ(list->currentIndex(), 0);
    sensor.Stop();
    EXPECT_EQ(Control<QLineEdit>(1004)->text(), "127.0.0.1");
    EXPECT_GT(Control<QLineEdit>(1005)->text().toInt(), 0);

    // Choosing the third line shows slot 2.
    list->setCurrentIndex(2);
    emit list->activated(2);
    EXPECT_EQ(station->Table().selectedConnection.load(), 2);
}

TEST_F(MainWindowFixture, EnterAndEscapeKeepTheWindowQuitAsksWhileSensorsAreConnected)
{
    Open();
    QStringList questions;
    bool answer = false;
    tav::ui::SetQuestionHook([&](const QString &q) {
        questions << q;
        return answer;
    });
    for (int i = 0; i < tav::kSlotCount; ++i)
        clients.push_back(tav::test::ConnectLoopback(station->Port()));
    ASSERT_TRUE(Spin([&] { return station->Table().CountInUse() == tav::kSlotCount; }, 10000));
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape})
        QTest::keyClick(dlg.get(), key);
    EXPECT_TRUE(questions.isEmpty());
    // The close box and "退出" ask; a no keeps everything running.
    dlg->close();
    QTest::mouseClick(Control<QPushButton>(2), Qt::LeftButton);
    ASSERT_EQ(questions.size(), 2);
    EXPECT_EQ(questions[0], QStringLiteral("退出后将停止监测所有传感器，确定退出？"));
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(station->Table().CountInUse(), tav::kSlotCount);

    answer = true;
    QElapsedTimer t;
    t.start();
    QTest::mouseClick(Control<QPushButton>(2), Qt::LeftButton);
    std::printf("quit to all threads joined with 40 sensors: %lld ms\n", (long long)t.elapsed());
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(station->Table().CountInUse(), 0);
    for (auto &rec : station->Table().records)
        EXPECT_FALSE(rec.receiveThread.joinable() && rec.threadsRunning.load());
}

TEST_F(MainWindowFixture, CloseWithoutSensorsAsksNothing)
{
    Open();
    dlg->close();
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(messages.isEmpty());
}

// A danger on a sensor nobody is looking at: the indicator turns red and
// blinks, a banner and a sound reach the operator, and an acknowledgement
// quiets both.
TEST_F(MainWindowFixture, NewDangerAlarmIsAnnouncedUntilAcknowledged)
{
    Open();
    int beeps = 0;
    tav::ui::AlarmNotice::SetSoundHook([&] { ++beeps; });
    tav::StationSettings settings;
    tav::MachineSettings m;
    m.address = 31;
    m.name = "3号泵";
    m.isoClass = tav::IsoClass::kGroup2Rigid;  // danger above 4.5 mm/s
    m.onDelayS = 0;
    settings.sensors[31] = m;
    station->ApplyAlarmSettings(settings);
    tav::sim::SensorConfig cfg;
    cfg.port = uint16_t(station->Port());
    cfg.address = 31;
    cfg.quiet = true;
    cfg.axes = {};
    std::string error;
    ASSERT_TRUE(tav::sim::ParseAxisSignal("80hz=1", &cfg.axes[0], &error)) << error;  // 13.8 mm/s
    tav::sim::SimSensor sensor(cfg);
    sensor.Start();
    auto *controls = dlg->findChild<tav::ui::AlarmControls *>();
    ASSERT_NE(controls, nullptr);
    ASSERT_TRUE(Spin([&] { return controls->Indicator()->Shown().urgent; }, 10000));
    EXPECT_EQ(controls->Indicator()->Shown().worst, int(tav::AlarmSeverity::kDanger));
    ASSERT_TRUE(Spin([&] { return controls->Notice().Banner() && controls->Notice().Banner()->isVisible(); }));
    EXPECT_TRUE(controls->Notice().BannerText().startsWith(QStringLiteral("危险报警：地址 31 3号泵")));
    EXPECT_EQ(beeps, 1);

    station->Alarms().Acknowledge({}, "", QDateTime::currentMSecsSinceEpoch());
    EXPECT_TRUE(Spin([&] { return !controls->Notice().Banner()->isVisible(); }));
    EXPECT_FALSE(controls->Indicator()->Shown().urgent);
    sensor.Stop();
}

TEST_F(MainWindowFixture, PortTakenGivesBothMessagesAndTheWindowStillOpens)
{
    tav::test::RecordingEventSink other;
    auto table = std::make_unique<tav::ConnectionTable>();
    tav::DrainHandler handler;
    tav::Server holder(*table, other, handler);
    ASSERT_EQ(holder.OpenServer(0, true, nullptr), 0);
    Open(holder.Port());
    ASSERT_EQ(messages.size(), 2);
    EXPECT_EQ(messages[0], "网络初始化错误，端口被占用，关闭程序重新运行");
    EXPECT_EQ(messages[1], "与界面通信SOCKET产生错误");
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(MainWindowFixture, SteadyLogButtonsWriteAFilePerBoundSensor)
{
    Open();
    tav::sim::SensorConfig cfg;
    cfg.port = uint16_t(station->Port());
    cfg.address = 5;
    cfg.quiet = true;
    tav::sim::SimSensor sensor(cfg);
    sensor.Start();
    ASSERT_TRUE(Spin([&] { return station->Table().records[0].sensorAddress.load() == 5; }));
    QTest::mouseClick(Control<QPushButton>(1155), Qt::LeftButton);
    EXPECT_FALSE(Control<QPushButton>(1155)->isEnabled());
    EXPECT_TRUE(Control<QPushButton>(1156)->isEnabled());
    QDir data(QString::fromStdString(station->DataFolder()));
    ASSERT_TRUE(Spin([&] { return !data.entryList({"稳态0005-_*.csv"}).isEmpty(); }, 5000));
    QTest::mouseClick(Control<QPushButton>(1156), Qt::LeftButton);
    EXPECT_TRUE(Control<QPushButton>(1155)->isEnabled());
    EXPECT_FALSE(Control<QPushButton>(1156)->isEnabled());
    sensor.Stop();
    for (const QString &f : data.entryList({"稳态0005-_*.csv"}))
        data.remove(f);
}
