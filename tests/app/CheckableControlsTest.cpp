// Check boxes and radio buttons act on their change of state, whatever made
// it: a click, the keyboard, or an assistive tool that sets them. Each case
// sets the control without a mouse and checks that the station followed.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "sim/SimSensor.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/config/PARASET.h"
#include "ui/main/LiveView.h"
#include "ui/main/TavenorDlg.h"
#include "ui/steady/SteadyDataDisp.h"

using tav::ui::FindControl;

namespace {

struct CheckableFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;

    void SetUp() override
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
        std::vector<std::string> startMessages;
        ASSERT_EQ(station->Start(&startMessages), 0);
        dlg->Initialise(startMessages);
        dlg->show();
    }
    void TearDown() override
    {
        dlg->Shutdown();
        sink.Detach();
        tav::ui::SetMessageHook(nullptr);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 8000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms)
            QTest::qWait(10);
        return cond();
    }
};

}  // namespace

TEST_F(CheckableFixture, QuantityRadiosFollowAnyChange)
{
    for (int a = 0; a < 3; ++a) {
        auto *displacement = FindControl<QRadioButton>(dlg.get(), 1072 + 3 * a + 2);
        ASSERT_NE(displacement, nullptr);
        displacement->setChecked(true);
        EXPECT_EQ(dlg->LiveView().TimePlot(a).quantity, 2) << a;
        FindControl<QRadioButton>(dlg.get(), 1072 + 3 * a + 1)->toggle();  // "速度"
        EXPECT_EQ(dlg->LiveView().TimePlot(a).quantity, 1) << a;
        EXPECT_FALSE(displacement->isChecked());
    }
    // The other axes are left as they were.
    FindControl<QRadioButton>(dlg.get(), 1072)->setChecked(true);
    EXPECT_EQ(dlg->LiveView().TimePlot(0).quantity, 0);
    EXPECT_EQ(dlg->LiveView().TimePlot(1).quantity, 1);
}

TEST_F(CheckableFixture, ViewerBoxesFollowAnyChangeAndKeepTheEightSeriesRule)
{
    dlg->findChild<QAction *>(QStringLiteral("32777"))->trigger();
    CSteadyDataDisp &viewer = dlg->SteadyViewer();
    ASSERT_TRUE(viewer.isVisible());
    auto box = [&](int id) { return FindControl<QCheckBox>(&viewer, id); };
    tav::SteadyViewerState &state = viewer.State();

    box(1103)->setChecked(true);  // "X轴", without a click
    EXPECT_EQ(state.axisChoice[0], 1);
    EXPECT_EQ(state.axisChoice[2], 0);
    EXPECT_FALSE(box(1119)->isChecked());
    for (int s = 0; s < 7; ++s)
        EXPECT_EQ(state.trendSelected[s], 1) << s;
    EXPECT_EQ(state.trendSelected[14], 0);
    EXPECT_EQ(state.selectedCount, 8);
    EXPECT_TRUE(messages.isEmpty());

    box(1104)->setChecked(true);  // Y AR: a ninth series
    EXPECT_EQ(messages, QStringList{"已经选中8个参数，请删除后再添加"});
    EXPECT_FALSE(box(1104)->isChecked());
    EXPECT_EQ(state.trendSelected[7], 0);
    EXPECT_EQ(state.selectedCount, 8);

    box(1096)->setChecked(false);  // X AR off makes room
    EXPECT_EQ(state.trendSelected[0], 0);
    EXPECT_EQ(state.selectedCount, 7);
    box(1104)->toggle();
    EXPECT_EQ(state.trendSelected[7], 1);
    EXPECT_EQ(state.selectedCount, 8);
    EXPECT_EQ(messages.size(), 1);

    // A real mouse click is handled once, not once per signal.
    QTest::mouseClick(box(1165), Qt::LeftButton);  // "rpm" off
    EXPECT_EQ(state.trendSelected[21], 0);
    EXPECT_EQ(state.selectedCount, 7);
    QTest::mouseClick(box(1165), Qt::LeftButton);
    EXPECT_EQ(state.selectedCount, 8);
    int ones = 0;
    for (int s = 0; s < tav::kSteadySeriesCount; ++s)
        ones += state.trendSelected[s];
    EXPECT_EQ(ones, state.selectedCount);
    viewer.reject();
}

TEST_F(CheckableFixture, ParameterRadiosFollowAnyChange)
{
    tav::sim::SensorConfig c;
    c.address = 31;
    c.port = uint16_t(station->Port());
    c.quiet = true;
    tav::sim::SimSensor sensor(c);
    sensor.Start();
    ASSERT_TRUE(Spin([&] { return station->Table().selectedConnection.load() == 0; }));
    dlg->findChild<QAction *>("32771")->trigger();
    auto *dialog = dlg->findChild<CPARASET *>();
    ASSERT_NE(dialog, nullptr);
    auto *highPass = FindControl<QLineEdit>(dialog, tav::ui::kIdHighPass);
    ASSERT_TRUE(Spin([&] { return !highPass->text().isEmpty(); }));

    FindControl<QRadioButton>(dialog, tav::ui::kIdRangeFirst + 3)->setChecked(true);  // "±2g"
    FindControl<QRadioButton>(dialog, tav::ui::kIdAxisFirst + 2)->toggle();           // "单Y"
    FindControl<QPushButton>(dialog, tav::ui::kIdWriteParameters)->click();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    using Map = tav::sim::SensorRegisterMap;
    EXPECT_TRUE(Spin([&] { return sensor.Registers().Get(Map::kMeasuringRange) == 3; }));
    EXPECT_EQ(sensor.Registers().Get(Map::kAxisMode), 2);
    dialog->reject();
    sensor.Stop();
}
