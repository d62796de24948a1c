// The live view in the real main window (offscreen), fed by a simulated
// sensor straight into the conditioning.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <cmath>
#include <memory>

#include "dsp/BlockFeeder.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/LiveView.h"
#include "ui/main/TavenorDlg.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct LiveViewFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    std::unique_ptr<tav::test::BlockFeeder> sensor;

    void SetUp() override
    {
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = ::testing::TempDir();
        // Test processes share this folder; the history's lock would make all
        // but one report a second station. Nothing here is about the history.
        options.settings.history.enabled = false;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        // The station is not started: no processing thread takes the
        // spectrum ticks away, so every block after the fifth copies.
        dlg->Initialise({});
        dlg->show();
        station->Table().selectedConnection = 3;
        sensor = std::make_unique<tav::test::BlockFeeder>(station->Conditioning(), station->Table()[3]);
        sensor->address = 1234;
        sensor->temperature = 36.5f;
    }
    void TearDown() override
    {
        dlg->Shutdown();
        sink.Detach();
    }
    // 1 g at 159.15 Hz on X: 0.707 g RMS and 6.93 mm/s velocity RMS. The
    // window handles each block's event before the next block, as it keeps
    // up with a real sensor.
    void Feed(double seconds)
    {
        const int64_t end = sensor->row + static_cast<int64_t>(seconds * 26667);
        while (sensor->row < end) {
            sensor->FeedBlock([](int64_t r, int a) {
                return a == 0 ? static_cast<float>(std::cos(2 * kPi * 159.15 * r / 26667.0)) : 0.0f;
            });
            QCoreApplication::sendPostedEvents();
        }
    }
    QString Text(int id) { return dlg->findChild<QLineEdit *>(QString::number(id))->text(); }
    void Click(int id) { QTest::mouseClick(dlg->findChild<QAbstractButton *>(QString::number(id)), Qt::LeftButton); }
    bool WaitFor(const std::function<bool()> &cond)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < 5000)
            QTest::qWait(20);
        return cond();
    }
};

}  // namespace

TEST_F(LiveViewFixture, FieldsFollowTheSelectedSensorAndQuantity)
{
    Feed(3.0);
    ASSERT_TRUE(WaitFor([&] { return Text(1019) == "0.707"; })) << Text(1019).toStdString();
    EXPECT_EQ(Text(1020), "1.000");
    EXPECT_EQ(Text(1021), "0.000");
    EXPECT_EQ(Text(1026), "1234");
    EXPECT_EQ(Text(1027), "26667.00");
    EXPECT_EQ(Text(1028), "36.50");
    EXPECT_EQ(Text(1029), "0");

    // "速度" on X: the plot, its spectrum input and its fields switch.
    Click(1073);
    EXPECT_EQ(dlg->LiveView().TimePlot(0).quantity, 1);
    Feed(0.6);
    ASSERT_TRUE(WaitFor([&] { return std::fabs(Text(1019).toDouble() - 6.93) < 0.01; }))
        << Text(1019).toStdString();
    auto &plots = station->Plots();
    EXPECT_TRUE(std::equal(plots.time[0].Shown(1), plots.time[0].Shown(1) + 13333,
                           plots.spectrumInput[0]));
    EXPECT_EQ(plots.spectrumInput[0][13333], 0.0f);
    EXPECT_TRUE(std::equal(plots.time[1].Shown(0), plots.time[1].Shown(0) + 13333, plots.spectrumInput[1]));

    station->Table().selectedConnection = -1;
    ASSERT_TRUE(WaitFor([&] { return Text(1019).isEmpty(); }));
    EXPECT_TRUE(Text(1027).isEmpty());
}

TEST_F(LiveViewFixture, CommonPauseAndHighPassButtons)
{
    auto &live = dlg->LiveView();
    Click(1016);
    EXPECT_EQ(station->Plots().time[1].running.load(), 0);
    Click(1018);
    for (int a = 0; a < 3; ++a)
        EXPECT_EQ(live.TimePlot(a).running, 0);
    Click(1018);
    for (int a = 0; a < 3; ++a)
        EXPECT_EQ(station->Plots().time[a].running.load(), 1);

    auto *highPass = dlg->findChild<QAbstractButton *>("1149");
    Click(1149);
    EXPECT_EQ(highPass->text(), QStringLiteral("10Hz高通->关"));
    EXPECT_EQ(station->Plots().highPassOn.load(), 0);
    Click(1149);
    EXPECT_EQ(highPass->text(), QStringLiteral("10Hz高通->开"));
}
