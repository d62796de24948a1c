// Drives the real steady-state viewer, opened from the main window's menu,
// by its control ids on the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "core/plotting/PlotGeometry.h"
#include "sim/SimSensor.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/MyListCtr.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"
#include "ui/steady/SteadyDataDisp.h"

using tav::ui::FindControl;

namespace {

struct ViewerFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;

    // `live`: the station listens and the main window's timers run, as in
    // operation; otherwise the table is filled by hand and nothing ticks it.
    void Start(bool live)
    {
        tav::ui::SetMessageHook([this](const QString &m) { messages << m; });
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        if (live) {
            std::vector<std::string> startMessages;
            station->Start(&startMessages);
            dlg->Initialise(startMessages);
        }
        dlg->show();
    }
    void TearDown() override
    {
        if (dlg) dlg->Shutdown();
        sink.Detach();
        tav::ui::SetMessageHook(nullptr);
    }
    // Opens the viewer as the operator does and returns it.
    CSteadyDataDisp *OpenViewer()
    {
        dlg->findChild<QAction *>(QStringLiteral("32777"))->trigger();
        auto *viewer = dlg->findChild<CSteadyDataDisp *>(QStringLiteral("133"));
        EXPECT_NE(viewer, nullptr);
        EXPECT_TRUE(viewer && viewer->isVisible());
        return viewer;
    }
    bool Spin(const std::function<bool()> &cond, int ms = 8000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms) QTest::qWait(10);
        return cond();
    }
    template <class W>
    W *Control(int id)
    {
        auto *viewer = &dlg->SteadyViewer();
        W *w = FindControl<W>(viewer, id);
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    QString Cell(int row, int column)
    {
        auto *item = dlg->SteadyViewer().List().item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }
    bool Checked(int id) { return Control<QCheckBox>(id)->isChecked(); }
};

TEST_F(ViewerFixture, FirstOpeningAfterStartUp)
{
    Start(false);
    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer, &dlg->SteadyViewer());
    EXPECT_TRUE(viewer->isModal());
    EXPECT_EQ(viewer->windowTitle(), "稳态数据----60分钟记录");

    auto *tabs = Control<QTabBar>(1081);
    ASSERT_EQ(tabs->count(), 5);
    EXPECT_EQ(tabs->tabText(0), "连接1~20");
    EXPECT_EQ(tabs->tabText(4), "连接81~100");
    EXPECT_EQ(tabs->currentIndex(), 0);

    auto *list = Control<CMyListCtr>(1092);
    ASSERT_EQ(list->columnCount(), 23);
    EXPECT_EQ(list->horizontalHeaderItem(0)->text(), "设备地址");
    EXPECT_EQ(list->horizontalHeaderItem(1)->text(), "X_AR");
    EXPECT_EQ(list->horizontalHeaderItem(21)->text(), "Z_DP");
    EXPECT_EQ(list->horizontalHeaderItem(22)->text(), "rpm");
    EXPECT_EQ(list->columnWidth(0), 90);
    EXPECT_EQ(list->columnWidth(22), 60);
    ASSERT_EQ(list->rowCount(), 20);
    EXPECT_EQ(Cell(19, 0), "000    N");
    EXPECT_EQ(list->item(0, 0)->textAlignment(), int(Qt::AlignCenter));

    // The Z axis and its seven boxes, and the speed.
    for (int id = 1096; id <= 1111; ++id) EXPECT_FALSE(Checked(id)) << id;
    for (int id = 1112; id <= 1119; ++id) EXPECT_TRUE(Checked(id)) << id;
    EXPECT_TRUE(Checked(1165));
    EXPECT_EQ(Control<QCheckBox>(1098)->text(), "AKU");
    EXPECT_EQ(Control<QCheckBox>(1103)->text(), "X轴");
    EXPECT_EQ(Control<QComboBox>(1123)->count(), 6);
    EXPECT_EQ(Control<QComboBox>(1123)->currentText(), "60分钟");
    EXPECT_EQ(Control<QComboBox>(1121)->count(), 22);
    EXPECT_EQ(Control<QComboBox>(1121)->currentText(), "X_AR");
    EXPECT_EQ(Control<QComboBox>(1120)->count(), 40);
    EXPECT_EQ(Control<QComboBox>(1120)->currentText(), "0");
    EXPECT_EQ(Control<QLineEdit>(1122)->text(), "1.00");
    EXPECT_EQ(Control<QPushButton>(1124)->text(), "倍率设定");
    EXPECT_EQ(Control<QPushButton>(2)->text(), "退出");
    EXPECT_EQ(Control<QSlider>(1125)->maximum(), 100);
    bool abbreviations = false;
    for (auto *label : viewer->findChildren<QLabel *>())
        abbreviations |= label->text().startsWith("X-X轴 Y-Y轴 Z-Z轴 AR-加速度RMS");
    EXPECT_TRUE(abbreviations);

    tav::CWaveDisp &trend = viewer->Trend();
    EXPECT_EQ(trend.plotMode, tav::kTrendMode);
    EXPECT_EQ(trend.controlId, 1095);
    EXPECT_EQ(trend.pointCount, 7200);
    EXPECT_EQ(trend.rightMargin, 124);
    EXPECT_EQ(trend.yScaleIndex, 7);
    EXPECT_EQ(trend.running, 1);
    EXPECT_EQ(trend.xScaleIndex, 0);
    EXPECT_EQ(viewer->State().redrawDivisor, 6);
    // The whole hour in steps of 6 minutes.
    trend.clock = [] { return tav::ClockTime{12, 0, 0}; };
    trend.Render(900, 400);
    EXPECT_EQ(trend.startIndex, 0);
    EXPECT_EQ(trend.secondsPerDivision, 360);

    // "退出" closes it; the refresh ends with it.
    Control<QPushButton>(2)->click();
    EXPECT_FALSE(viewer->isVisible());
    EXPECT_FALSE(viewer->IsOpen());
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
}

TEST_F(ViewerFixture, AxisBoxesAndTheEightSeriesLimit)
{
    Start(false);
    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    Control<QCheckBox>(1103)->click();  // "X轴"
    EXPECT_TRUE(Checked(1103));
    EXPECT_FALSE(Checked(1111));
    EXPECT_FALSE(Checked(1119));
    for (int id = 1096; id <= 1102; ++id) EXPECT_TRUE(Checked(id)) << id;
    for (int id = 1104; id <= 1118; ++id)
        if (id != 1111) {
            EXPECT_FALSE(Checked(id)) << id;
        }
    EXPECT_TRUE(Checked(1165));
    EXPECT_EQ(viewer->State().selectedCount, 8);

    // A click on the axis already chosen keeps it chosen.
    Control<QCheckBox>(1103)->click();
    EXPECT_TRUE(Checked(1103));

    Control<QCheckBox>(1104)->click();  // Y AR: a ninth series
    ASSERT_EQ(messages, QStringList{"已经选中8个参数，请删除后再添加"});
    EXPECT_FALSE(Checked(1104));
    EXPECT_EQ(viewer->State().trendSelected[7], 0);
    EXPECT_EQ(viewer->State().selectedCount, 8);

    Control<QCheckBox>(1096)->click();  // X AR off
    Control<QCheckBox>(1104)->click();  // now Y AR fits
    EXPECT_TRUE(Checked(1104));
    EXPECT_EQ(viewer->State().trendSelected[0], 0);
    EXPECT_EQ(viewer->State().trendSelected[7], 1);
    EXPECT_EQ(messages.size(), 1);
    EXPECT_TRUE(Checked(1103));  // the axis boxes do not follow single boxes

    // The selection survives closing and reopening.
    Control<QPushButton>(2)->click();
    OpenViewer();
    EXPECT_FALSE(Checked(1096));
    EXPECT_TRUE(Checked(1104));
    EXPECT_TRUE(Checked(1103));
}

TEST_F(ViewerFixture, DisplayFactorBounds)
{
    Start(false);
    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    auto *parameter = Control<QComboBox>(1121);
    auto *edit = Control<QLineEdit>(1122);
    auto *apply = Control<QPushButton>(1124);
    parameter->setCurrentIndex(21);
    emit parameter->activated(21);  // "rpm"
    EXPECT_EQ(edit->text(), "0.005");
    // Reopened, the speed's factor reads as it is, and applying it unedited
    // leaves the trend as it was.
    Control<QPushButton>(2)->click();
    OpenViewer();
    EXPECT_EQ(edit->text(), "0.005");
    apply->click();
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_FLOAT_EQ(viewer->State().trendScale[21], 0.005f);

    for (const char *accepted : {"0.001", "1000"}) {
        edit->setText(accepted);
        apply->click();
        EXPECT_TRUE(messages.isEmpty()) << accepted;
        EXPECT_FLOAT_EQ(viewer->State().trendScale[21], std::stof(accepted));
    }
    for (const char *refused : {"0.0009", "1000.1", "abc", ""}) {
        messages.clear();
        edit->setText(refused);
        apply->click();
        EXPECT_EQ(messages, QStringList{"倍率设置范围为0.001~1000.0"}) << refused;
        EXPECT_EQ(edit->text(), "1000.00") << refused;
        EXPECT_FLOAT_EQ(viewer->State().trendScale[21], 1000.0f);
    }
    // Only the chosen series changed.
    EXPECT_FLOAT_EQ(viewer->State().trendScale[20], 1.0f);

    // Reopened, the edit shows the remembered parameter's factor.
    Control<QPushButton>(2)->click();
    OpenViewer();
    EXPECT_EQ(parameter->currentText(), "rpm");
    EXPECT_EQ(edit->text(), "1000.00");
}

TEST_F(ViewerFixture, OneMinuteWindowFollowsTheSlider)
{
    Start(false);
    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    auto *time = Control<QComboBox>(1123);
    time->setCurrentIndex(5);
    emit time->activated(5);
    tav::CWaveDisp &trend = viewer->Trend();
    EXPECT_EQ(trend.xScaleIndex, 5);
    EXPECT_EQ(viewer->State().redrawDivisor, 1);
    trend.clock = [] { return tav::ClockTime{0, 30, 0}; };

    auto *slider = Control<QSlider>(1125);
    const int width = 900, height = 400;
    const tav::PlotArea area = tav::ComputeArea(width, height, 124, 7200, tav::HorizontalValue(tav::kTrendMode, 5));
    for (int position : {0, 50, 99, 100}) {
        slider->setValue(position);
        EXPECT_EQ(trend.scrollPercent, position);
        trend.Render(width, height);
        tav::ScrollView view;
        tav::ApplyScrollView(tav::kTrendMode, 5, position, 7200, area.Width() / 10, view);
        EXPECT_EQ(trend.startIndex, view.startIndex) << position;
        EXPECT_EQ(trend.secondsPerDivision, 6);
    }
    // At 0 the oldest minute; at the end the window stops at the newest value.
    slider->setValue(0);
    trend.Render(width, height);
    EXPECT_EQ(trend.startIndex, 0);
    slider->setValue(100);
    trend.Render(width, height);
    EXPECT_EQ(trend.startIndex, 7200 - 120);

    // The window is remembered; pointCount is set again at the opening.
    Control<QPushButton>(2)->click();
    trend.pointCount = 100;
    OpenViewer();
    EXPECT_EQ(time->currentText(), "1分钟");
    EXPECT_EQ(trend.xScaleIndex, 5);
    EXPECT_EQ(trend.pointCount, 7200);
    EXPECT_EQ(viewer->State().redrawDivisor, 1);
}

TEST_F(ViewerFixture, PagesRowsAndTheRecordPlotted)
{
    Start(false);
    tav::SteadyTable &table = station->Steady();
    tav::SteadyRecord &live = table.Record(0);
    live.address = 5;
    live.inUse = 1;
    live.current[tav::kSteadyVR][0] = 2.345f;  // X_VR, column 4
    live.currentRpm = 1480.5f;
    tav::SteadyRecord &gone = table.Record(1);
    gone.address = 12;  // its sensor disconnected
    table.Record(25).address = 30;
    table.Record(25).inUse = 1;
    gone.writeIndex = 7000;
    for (int k = 0; k < tav::kSteadyHistoryLength; ++k) gone.rpmHistory[k] = float(k);

    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    viewer->Tick();
    auto &list = viewer->List();
    ASSERT_EQ(list.rowCount(), 20);
    EXPECT_EQ(Cell(0, 0), "005    Y");
    EXPECT_EQ(Cell(0, 4), "2.35");
    EXPECT_EQ(Cell(0, 1), "0.00");
    EXPECT_EQ(Cell(0, 22), "1480.500000");
    EXPECT_EQ(Cell(1, 0), "012    N");
    for (int c = 1; c <= 21; ++c) EXPECT_EQ(Cell(1, c), "------") << c;
    EXPECT_EQ(Cell(1, 22), "");
    EXPECT_EQ(Cell(2, 0), "000    N");

    // The next tick changes texts in the same items.
    QTableWidgetItem *address = list.item(0, 0), *value = list.item(0, 4);
    live.current[tav::kSteadyVR][0] = 7.0f;
    live.inUse = 0;
    viewer->Tick();
    EXPECT_EQ(list.item(0, 0), address);
    EXPECT_EQ(list.item(0, 4), value);
    EXPECT_EQ(Cell(0, 0), "005    N");
    EXPECT_EQ(Cell(0, 4), "------");

    // Second page: rows of zero until the tick fills records 20..39.
    auto *tabs = Control<QTabBar>(1081);
    tabs->setCurrentIndex(1);
    ASSERT_EQ(list.rowCount(), 20);
    EXPECT_EQ(Cell(5, 0), "000    N");
    viewer->Tick();
    EXPECT_EQ(Cell(5, 0), "030    Y");
    // "连接41~60" and after: no records.
    tabs->setCurrentIndex(2);
    viewer->Tick();
    EXPECT_EQ(list.rowCount(), 0);
    tabs->setCurrentIndex(4);
    viewer->Tick();
    EXPECT_EQ(list.rowCount(), 0);

    // The drop-down lists the addresses as they are now, keeping the choice.
    auto *address_combo = Control<tav::ui::ConnectionCombo>(1120);
    table.Record(2).address = 77;
    address_combo->showPopup();
    address_combo->hidePopup();
    ASSERT_EQ(address_combo->count(), 40);
    EXPECT_EQ(address_combo->itemText(1), "12");
    EXPECT_EQ(address_combo->itemText(2), "77");
    EXPECT_EQ(address_combo->currentIndex(), 0);

    // Record 1 plotted: its ring in time order, the newest value last.
    address_combo->setCurrentIndex(1);
    emit address_combo->activated(1);
    viewer->Tick();
    const std::vector<float> &rpm = viewer->Trend().trendTraces[21];
    EXPECT_FLOAT_EQ(rpm[0], 7000.0f);
    EXPECT_FLOAT_EQ(rpm[199], 7199.0f);
    EXPECT_FLOAT_EQ(rpm[200], 0.0f);
    EXPECT_FLOAT_EQ(rpm[7199], 6999.0f);
    // No selection keeps the record.
    emit address_combo->activated(-1);
    EXPECT_EQ(viewer->State().recordIndex, 1);
}

// A real sensor through the server: its row goes from Y with numbers to N
// with dashes when it disconnects, and its trend drops to zero.
TEST_F(ViewerFixture, LiveSensorThenDisconnected)
{
    Start(true);
    tav::sim::SensorConfig cfg;
    cfg.port = uint16_t(station->Port());
    cfg.address = 5;
    cfg.quiet = true;
    std::string error;
    ASSERT_TRUE(tav::sim::ParseAxisSignal("159.15hz=1", &cfg.axes[0], &error)) << error;
    tav::sim::SimSensor sensor(cfg);
    sensor.Start();
    ASSERT_TRUE(Spin([&] { return station->Steady().Record(0).inUse == 1; }));

    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    ASSERT_TRUE(Spin([&] { return Cell(0, 0) == "005    Y"; }));
    // The simulated acceleration reaches the X_AR column and the newest trend entry.
    ASSERT_TRUE(Spin([&] { return Cell(0, 1).toDouble() > 0.0; })) << Cell(0, 1).toStdString();
    // The speed's cell stays empty until the first estimate, about 3 s of samples in.
    EXPECT_TRUE(Spin([&] { return !Cell(0, 22).isEmpty(); }, 30000));
    ASSERT_TRUE(Spin([&] { return viewer->Trend().trendTraces[0][7199] > 0.0f; }));

    sensor.Stop();
    ASSERT_TRUE(Spin([&] { return Cell(0, 0) == "005    N"; }));
    EXPECT_EQ(Cell(0, 1), "------");
    EXPECT_EQ(Cell(0, 22), "");
    ASSERT_TRUE(Spin([&] { return viewer->Trend().trendTraces[0][7199] == 0.0f; }));
    // The connected time stays in the hour, just before the zeros.
    const std::vector<float> &xar = viewer->Trend().trendTraces[0];
    EXPECT_GT(*std::max_element(xar.begin() + 7100, xar.begin() + 7200), 0.0f);
    EXPECT_EQ(Control<QComboBox>(1120)->itemText(0), "5");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("|").toStdString();
    Control<QPushButton>(2)->click();
    EXPECT_FALSE(viewer->IsOpen());
}

// A driver running in the window's event loop finds the open dialog and
// closes it with "退出".
TEST_F(ViewerFixture, OpenDialogFoundAndClosedFromTheEventLoop)
{
    Start(false);
    bool found = false;
    QTimer::singleShot(50, [&] {
        auto *modal = qobject_cast<CSteadyDataDisp *>(QApplication::activeModalWidget());
        found = modal == &dlg->SteadyViewer();
        if (auto *exit = FindControl<QPushButton>(&dlg->SteadyViewer(), 2)) exit->click();
    });
    dlg->findChild<QAction *>(QStringLiteral("32777"))->trigger();
    ASSERT_TRUE(Spin([&] { return !dlg->SteadyViewer().IsOpen(); }));
    EXPECT_TRUE(found);
    // A second command while open does not open it twice.
    dlg->findChild<QAction *>(QStringLiteral("32777"))->trigger();
    dlg->findChild<QAction *>(QStringLiteral("32777"))->trigger();
    EXPECT_TRUE(dlg->SteadyViewer().IsOpen());
}

}  // namespace

// A glance at the list finds the bad machine: each row takes the colour of
// its sensor's zone or alarm, names its machine in its tooltip, and keeps
// the texts of the list as they are.
TEST_F(ViewerFixture, RowsTakeTheColourOfTheirZoneOrAlarmAndNameTheirMachine)
{
    Start(false);
    tav::SteadyTable &table = station->Steady();
    table.Record(0).address = 5;
    table.Record(0).inUse = 1;
    table.Record(1).address = 7;
    table.Record(1).inUse = 1;
    table.Record(2).address = 12;  // no settings: no colour, no name
    tav::StationSettings settings;
    for (auto [address, name] : {std::pair{5, "1号泵 电机端"}, std::pair{7, "2号风机"}}) {
        tav::MachineSettings m;
        m.address = address;
        m.name = name;
        m.isoClass = tav::IsoClass::kGroup2Rigid;  // A/B 1.4, B/C 2.8, C/D 4.5
        m.onDelayS = 60;  // zones only: no alarm within the test
        settings.sensors[address] = m;
    }
    station->ApplyAlarmSettings(settings);
    tav::SteadySnapshot snapshot;
    snapshot.utcMs = 1'700'000'000'000;
    snapshot.count = 2;
    snapshot.sensors[0].address = 5;
    snapshot.sensors[0].isoVelocity[1] = 5.0f;  // Y in zone D
    snapshot.sensors[1].address = 7;
    snapshot.sensors[1].slot = 1;
    snapshot.sensors[1].isoVelocity[0] = 1.0f;  // zone A
    station->Alarms().OnSteadySnapshot(snapshot);

    CSteadyDataDisp *viewer = OpenViewer();
    ASSERT_NE(viewer, nullptr);
    viewer->Tick();
    CMyListCtr &list = viewer->List();
    EXPECT_EQ(list.RowColour(0), tav::MarkColour(tav::Mark::kZoneD));
    EXPECT_EQ(list.RowColour(1), tav::MarkColour(tav::Mark::kZoneA));
    EXPECT_EQ(list.RowColour(2), -1);
    EXPECT_EQ(list.item(0, 7)->background().color(), QColor(0xff5050));
    EXPECT_EQ(Cell(0, 0), "005    Y");
    EXPECT_TRUE(list.item(0, 0)->toolTip().contains("1号泵 电机端")) << list.item(0, 0)->toolTip().toStdString();
    EXPECT_TRUE(list.item(1, 3)->toolTip().contains("2号风机"));
    EXPECT_EQ(list.item(2, 0)->toolTip(), "地址:12");
    // The plotted record (the first) names its machine beside the chooser.
    auto *name = viewer->findChild<QLabel *>(QStringLiteral("machineName"));
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text(), "1号泵 电机端");

    // Sensor 5's connection ends: its row turns grey; the other keeps green.
    table.Record(0).inUse = 0;
    snapshot.utcMs += 500;
    snapshot.sensors[0] = snapshot.sensors[1];
    snapshot.count = 1;
    station->Alarms().OnSteadySnapshot(snapshot);
    viewer->Tick();
    EXPECT_EQ(list.RowColour(0), tav::MarkColour(tav::Mark::kOffline));
    EXPECT_EQ(list.RowColour(1), tav::MarkColour(tav::Mark::kZoneA));
    EXPECT_EQ(Cell(0, 0), "005    N");
}
