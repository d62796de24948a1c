// The analysis window on the offscreen platform, driven through its
// controls: opened from the main window's menu and by a double click on a
// spectrum, its options reach the computation, the peak list and cursors
// read the simulated machine, zoom and its way back, and every plot shows
// the value under the mouse.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTableWidget>
#include <QTest>

#include "sim/SignalGenerator.h"
#include "ui/analysis/AnalysisDlg.h"
#include "ui/analysis/AnalysisPlot.h"
#include "ui/common/Controls.h"
#include "ui/common/PlotFrame.h"
#include "ui/common/QtEventSink.h"
#include "ui/main/TavenorDlg.h"

namespace {

using tav::ui::FindControl;

struct AnalysisWindowFixture : ::testing::Test {
    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;

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
        dlg->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override { dlg->Shutdown(); }

    // Two seconds of a machine at 1800 rpm (1x, 2x, 3x on X) written into
    // the capture as the conditioning would, for slot 0 at 25600 Hz.
    void FeedMachine(double seconds, const char *signal = "1x=0.5,2x=0.2,3x=0.1")
    {
        auto &table = station->Table();
        table.selectedConnection = 0;
        table[0].samplingFrequency = 25600.0f;
        table[0].measuredSpeed = 1800.0f;
        tav::sim::AxisSignal x;
        std::string error;
        ASSERT_TRUE(tav::sim::ParseAxisSignal(signal, &x, &error));
        tav::sim::SignalGenerator gen({x, {}, {}}, 1800, 1);
        const int rows = static_cast<int>(seconds * 25600);
        std::vector<float> xyz(3 * rows), axis[3];
        gen.Generate(xyz.data(), rows, 25600);
        for (int a = 0; a < 3; ++a) {
            axis[a].resize(rows);
            for (int i = 0; i < rows; ++i)
                axis[a][i] = xyz[3 * i + a];
        }
        const float *src[3][3];
        for (int a = 0; a < 3; ++a)
            for (int q = 0; q < 3; ++q)
                src[a][q] = axis[a].data();
        auto &capture = station->Plots().capture;
        ASSERT_TRUE(QTest::qWaitFor([&] { return capture.Active(); }, 5000));
        capture.Write(0, 25600.0f, src, rows);
    }
    CAnalysisDlg &Window() { return dlg->Analysis(); }
    template <class W>
    W *Control(int id) { return FindControl<W>(&Window(), id); }
    // Waits for a result that answers the current options.
    bool WaitForSpectrum(int averaged = 1)
    {
        return QTest::qWaitFor(
            [&] { return Window().View().Shown().ready && Window().View().Shown().averaged >= averaged; }, 10000);
    }
};

TEST_F(AnalysisWindowFixture, MenuOpensOnXAndDoubleClickOnThatAxis)
{
    QAction *item = dlg->MenuBar()->findChild<QAction *>(QString::number(CTavenorDlg::kSpectrumAnalysisCommand));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->text(), QStringLiteral("频谱分析"));
    bool underAnalysis = false;
    for (QAction *menu : dlg->MenuBar()->actions())
        underAnalysis = underAnalysis || (menu->text() == QStringLiteral("分析") && menu->menu()->actions().contains(item));
    EXPECT_TRUE(underAnalysis);
    item->trigger();
    EXPECT_TRUE(Window().isVisible());
    EXPECT_EQ(Window().windowTitle(), QStringLiteral("频谱分析"));
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kAxisList)->currentIndex(), 0);
    EXPECT_TRUE(Window().Worker().Running());
    Window().close();
    EXPECT_FALSE(Window().Worker().Running());
    EXPECT_FALSE(station->Plots().capture.Active());

    // The Z spectrum (frame 1033), with velocity shown on Z.
    dlg->Plot(2).SetQuantity(1);
    QTest::mouseDClick(dlg->Plot(5).Frame(), Qt::LeftButton);
    EXPECT_TRUE(Window().isVisible());
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kAxisList)->currentIndex(), 2);
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kQuantityList)->currentIndex(), 1);
    // Defaults: the main window's spectrum.
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kWindowList)->currentText(), QStringLiteral("汉宁窗"));
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kAveragingList)->currentText(), QStringLiteral("无"));
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kAmplitudeList)->currentText(), QStringLiteral("线性"));
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kLengthList)->currentText(), QStringLiteral("0.5 s"));
}

TEST_F(AnalysisWindowFixture, OptionsPeakListCursorsAndZoom)
{
    dlg->Analysis().OpenOn(0);
    Window().resize(1180, 640);
    Control<QComboBox>(CAnalysisDlg::kLengthList)->setCurrentIndex(2);  // 2 s
    Control<QComboBox>(CAnalysisDlg::kWindowList)->setCurrentIndex(1);  // Hann
    FeedMachine(2.1);
    ASSERT_TRUE(WaitForSpectrum());
    auto &shown = Window().View().Shown();
    EXPECT_EQ(shown.request.spectrum.window, tav::analysis::WindowKind::Hann);
    EXPECT_EQ(shown.request.spectrum.seconds, 2.0);
    EXPECT_TRUE(Control<QLabel>(CAnalysisDlg::kLineSpacing)->text().contains(QStringLiteral("0.391")));

    auto *table = Window().findChild<QTableWidget *>();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->accessibleName(), QStringLiteral("峰值列表"));
    EXPECT_EQ(table->horizontalHeaderItem(0)->text(), QStringLiteral("频率(Hz)"));
    EXPECT_TRUE(table->horizontalHeaderItem(1)->text().startsWith(QStringLiteral("幅值")));
    EXPECT_EQ(table->horizontalHeaderItem(2)->text(), QStringLiteral("阶次"));
    const char *orders[3] = {"1.00", "2.00", "3.00"};
    for (int h = 0; h < 3; ++h) {
        EXPECT_NEAR(table->item(h, 0)->text().toDouble(), 30.0 * (h + 1), 0.02);
        EXPECT_EQ(table->item(h, 2)->text(), QString::fromLatin1(orders[h]));
    }
    EXPECT_NEAR(table->item(0, 1)->text().toDouble(), 0.5, 0.005);

    // dB re 1 g: 0.5 g reads -6.0.
    Control<QComboBox>(CAnalysisDlg::kAmplitudeList)->setCurrentIndex(1);
    EXPECT_EQ(table->item(0, 1)->text(), QStringLiteral("-6.0"));
    Control<QComboBox>(CAnalysisDlg::kAmplitudeList)->setCurrentIndex(0);

    // Cursor A by a click at 60 Hz, B by a shift-click at 90 Hz.
    tav::ui::AnalysisPlot &view = Window().View();
    view.SetSpan(0, 200);
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(static_cast<int>(view.ColumnOf(60.0)), 200));
    QTest::mouseClick(&view, Qt::LeftButton, Qt::ShiftModifier, QPoint(static_cast<int>(view.ColumnOf(90.0)), 200));
    ASSERT_TRUE(view.CursorA().set && view.CursorB().set);
    // On the 2x and 3x peaks, refined between lines.
    EXPECT_NEAR(view.CursorA().frequency, 60.0, 0.04);
    EXPECT_NEAR(view.CursorA().amplitude, 0.2, 0.002);
    EXPECT_NEAR(view.CursorB().frequency, 90.0, 0.04);
    const QString cursorText = Control<QLabel>(CAnalysisDlg::kCursorLabel)->text();
    EXPECT_TRUE(cursorText.contains(QStringLiteral("Δf = 30.00 Hz"))) << cursorText.toStdString();
    EXPECT_TRUE(cursorText.contains(QStringLiteral("2.00×"))) << cursorText.toStdString();
    // The readout under the mouse at 30 Hz: the 1x line.
    const QString readout = view.ReadoutAt(static_cast<int>(view.ColumnOf(30.0)));
    EXPECT_TRUE(readout.contains(QStringLiteral(" g"))) << readout.toStdString();
    EXPECT_TRUE(readout.contains(QStringLiteral("1.00×"))) << readout.toStdString();

    // Zoom by dragging from 20 Hz to 100 Hz, back by the button.
    const int y = 200;
    QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(static_cast<int>(view.ColumnOf(20)), y));
    QTest::mouseMove(&view, QPoint(static_cast<int>(view.ColumnOf(60)), y));
    QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(static_cast<int>(view.ColumnOf(100)), y));
    EXPECT_NEAR(view.FromHz(), 20.0, 0.5);
    EXPECT_NEAR(view.ToHz(), 100.0, 0.5);
    EXPECT_NEAR(Window().Worker().CurrentRequest().toHz, 100.0, 0.5);
    QTest::mouseClick(Control<QPushButton>(CAnalysisDlg::kFullSpanButton), Qt::LeftButton);
    EXPECT_EQ(view.FromHz(), 0.0);
    EXPECT_EQ(view.ToHz(), 10000.0);

    // Linear averaging over 4; the reset starts it again.
    Control<QComboBox>(CAnalysisDlg::kAveragingList)->setCurrentIndex(1);
    Control<QSpinBox>(CAnalysisDlg::kAverageCount)->setValue(4);
    EXPECT_EQ(Window().Worker().CurrentRequest().spectrum.averaging, tav::analysis::Averaging::Linear);
    EXPECT_EQ(Window().Worker().CurrentRequest().spectrum.averages, 4);
    QTest::mouseClick(Control<QPushButton>(CAnalysisDlg::kResetButton), Qt::LeftButton);
    // Rated speed for the orders.
    Control<QComboBox>(CAnalysisDlg::kSpeedList)->setCurrentIndex(1);
    EXPECT_TRUE(Window().Worker().CurrentRequest().ratedSpeed);
    // Every control is found by its id and named.
    for (int id = CAnalysisDlg::kAxisList; id <= CAnalysisDlg::kStatusLabel; ++id) {
        QWidget *w = Control<QWidget>(id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_FALSE(w->accessibleName().isEmpty()) << id;
        // The ids are the window's own among the station's controls.
        EXPECT_EQ(dlg->findChildren<QWidget *>(QString::number(id)).size(), 1) << id;
    }
}

// "包络谱": the envelope of a 3 kHz carrier modulated at the outer race's
// frequency of the sensor's configured bearing shows that line, drawn and
// named "BPFO×1" in the peak list; the band presets and typed bands reach
// the computation; "瀑布图" has its own page, which can be replaced.
TEST_F(AnalysisWindowFixture, EnvelopeModeNamesTheBearingLinesAndWaterfallHasItsPage)
{
    tav::StationSettings settings = station->Settings();
    tav::MachineSettings machine;
    machine.address = 7;
    machine.bearings.push_back({"驱动端", 9, 7.94, 39.04, 0});
    settings.sensors[7] = machine;
    station->ApplyAlarmSettings(settings);
    station->Table()[0].sensorAddress = 7;

    Window().OpenOn(0);
    auto *mode = Control<QComboBox>(CAnalysisDlg::kModeList);
    ASSERT_NE(mode, nullptr);
    ASSERT_EQ(mode->count(), 3);
    EXPECT_EQ(mode->itemText(0), QStringLiteral("频谱"));
    EXPECT_EQ(mode->itemText(1), QStringLiteral("包络谱"));
    EXPECT_EQ(mode->itemText(2), QStringLiteral("瀑布图"));
    Control<QComboBox>(CAnalysisDlg::kLengthList)->setCurrentIndex(2);  // 2 s
    Control<QComboBox>(CAnalysisDlg::kWindowList)->setCurrentIndex(1);  // Hann
    mode->setCurrentIndex(1);
    auto *band = Control<QComboBox>(CAnalysisDlg::kEnvelopeBandList);
    EXPECT_TRUE(band->isVisible());
    EXPECT_EQ(band->currentText(), QStringLiteral("2–5 kHz"));
    EXPECT_FALSE(Control<QComboBox>(CAnalysisDlg::kQuantityList)->isEnabled());
    EXPECT_EQ(Control<QComboBox>(CAnalysisDlg::kEnvelopeMaxList)->currentText(), QStringLiteral("500 Hz"));
    EXPECT_EQ(Window().View().ToHz(), 500.0);
    tav::analysis::Request asked = Window().Worker().CurrentRequest();
    EXPECT_EQ(asked.mode, tav::analysis::Mode::Envelope);
    EXPECT_EQ(asked.band, (tav::analysis::EnvelopeBand{2000, 5000}));
    EXPECT_EQ(asked.spectrum.spanHz, 500.0);

    // BPFO at 1800 rpm: 3.584785 x 30 = 107.5435 Hz.
    FeedMachine(2.1, "1x=1,3000hz=1,2892.4565hz=0.25,3107.5435hz=0.25,noise=0.02");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto &shown = Window().View().Shown();
            return shown.ready && shown.request.mode == tav::analysis::Mode::Envelope;
        },
        10000));
    auto *table = Control<QTableWidget>(CAnalysisDlg::kPeakTable);
    EXPECT_NEAR(table->item(0, 0)->text().toDouble(), 107.54, Window().View().Shown().layout.df);
    EXPECT_EQ(table->item(0, 2)->text(), QStringLiteral("BPFO×1"));
    const QString readout = Window().View().ReadoutAt(static_cast<int>(Window().View().ColumnOf(107.54)));
    EXPECT_TRUE(readout.endsWith(QStringLiteral("BPFO×1"))) << readout.toStdString();
    const QStringList labels = Window().View().FaultLabels();
    for (const char *name : {"FTF×1", "BSF×1", "BPFO×1", "BPFO×4", "BPFI×1", "BPFI×2"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(name))) << name;
    EXPECT_FALSE(labels.contains(QStringLiteral("BPFO×5")));  // 537.7 Hz, above the maximum
    int sidebands = 0;
    for (const auto &line : Window().FaultLines())
        sidebands += line.side != 0;
    EXPECT_EQ(sidebands, 5);

    // Presets fill the band, a typed edge makes it the operator's own.
    band->setCurrentIndex(2);
    EXPECT_EQ(Control<QDoubleSpinBox>(CAnalysisDlg::kEnvelopeLow)->value(), 5000.0);
    EXPECT_EQ(Window().Worker().CurrentRequest().band, (tav::analysis::EnvelopeBand{5000, 10000}));
    Control<QDoubleSpinBox>(CAnalysisDlg::kEnvelopeHigh)->setValue(8000);
    EXPECT_EQ(band->currentText(), QStringLiteral("自定义"));
    EXPECT_EQ(Window().Worker().CurrentRequest().band, (tav::analysis::EnvelopeBand{5000, 8000}));
    Control<QComboBox>(CAnalysisDlg::kEnvelopeMaxList)->setCurrentIndex(3);
    EXPECT_EQ(Window().View().ToHz(), 1000.0);
    EXPECT_EQ(Window().Worker().CurrentRequest().spectrum.spanHz, 1000.0);

    // The waterfall's page, and the way it is replaced.
    auto *pages = Control<QStackedWidget>(CAnalysisDlg::kModePages);
    mode->setCurrentIndex(2);
    EXPECT_EQ(pages->currentWidget()->objectName(), QStringLiteral("waterfallPage"));
    EXPECT_EQ(pages->currentWidget(), Window().WaterfallPage());
    // Only one set of options shows: the waterfall page's own.
    EXPECT_FALSE(Control<QComboBox>(CAnalysisDlg::kAxisList)->isVisible());
    auto *panel = new QLabel(QStringLiteral("瀑布图"));
    Window().SetWaterfallPage(panel);
    EXPECT_EQ(pages->currentWidget(), panel);
    EXPECT_EQ(pages->count(), 2);

    // Back to the spectrum: the whole span, no defect lines.
    mode->setCurrentIndex(0);
    EXPECT_TRUE(Window().View().isVisible());
    EXPECT_EQ(Window().View().ToHz(), 10000.0);
    EXPECT_TRUE(Window().View().FaultLabels().isEmpty());
    EXPECT_TRUE(Control<QComboBox>(CAnalysisDlg::kQuantityList)->isEnabled());
    EXPECT_EQ(Window().Worker().CurrentRequest().mode, tav::analysis::Mode::Spectrum);
    for (int id = CAnalysisDlg::kModeList; id <= CAnalysisDlg::kEnvelopeMaxList; ++id) {
        QWidget *w = Control<QWidget>(id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_FALSE(w->accessibleName().isEmpty()) << id;
        EXPECT_EQ(dlg->findChildren<QWidget *>(QString::number(id)).size(), 1) << id;
    }
}

TEST_F(AnalysisWindowFixture, MainWindowPlotsShowTheValueUnderTheMouse)
{
    auto &plots = station->Plots();
    {
        std::lock_guard lock(plots.spectrum[0].mutex);
        std::fill(plots.spectrum[0].samples, plots.spectrum[0].samples + 6143, 0.0f);
        plots.spectrum[0].samples[29] = 0.31f;
        plots.spectrum[0].pointCount = 6143;
        plots.spectrum[0].lineSpacing = 26667.0f / 16384;
    }
    tav::CWaveDisp &spectrum = dlg->Plot(3);
    spectrum.xScaleIndex = 3;  // 500 Hz across
    spectrum.Redraw();
    tav::PlotFrame *frame = spectrum.Frame();
    const QRect area = spectrum.AreaRect();
    const int px = area.left() + static_cast<int>(47.2 / 500.0 * area.width()) + 1;
    frame->ShowReadoutAt(QPoint(px, area.center().y()));
    EXPECT_EQ(frame->ReadoutText(), QStringLiteral("47.2 Hz  0.31 g"));
    frame->ShowReadoutAt(QPoint(area.left() - 5, area.center().y()));
    EXPECT_TRUE(frame->ReadoutText().isEmpty());

    tav::CWaveDisp &time = dlg->Plot(1);
    {
        std::lock_guard lock(plots.time[1].mutex);
        for (int i = 0; i < 26667; ++i)
            plots.time[1].velocitySamples[i] = 2.5f;
        plots.time[1].pointCount = 26667;
        plots.time[1].first = 0;
    }
    time.SetQuantity(1);
    time.Redraw();
    const QRect t = time.AreaRect();
    time.Frame()->ShowReadoutAt(QPoint(t.left() + t.width() / 2, t.center().y()));
    EXPECT_TRUE(time.Frame()->ReadoutText().endsWith(QStringLiteral("2.5 mm/s"))) << time.Frame()->ReadoutText().toStdString();
    EXPECT_NEAR(time.Frame()->ReadoutText().section(QLatin1Char(' '), 0, 0).toDouble(), 500.0, 2.0);
}

// The viewer's trend: the clock time of the column and each shown series
// in its own unit.
TEST(TrendReadout, ClockTimeAndEachShownSeries)
{
    tav::CWaveDisp trend(tav::kTrendMode);
    tav::PlotFrame frame(1124);
    trend.Bind(&frame);
    trend.clock = [] { return tav::ClockTime{10, 30, 0}; };
    int selected[tav::kTrendSeries] = {};
    float scale[tav::kTrendSeries];
    std::fill(std::begin(scale), std::end(scale), 1.0f);
    std::string names[tav::kTrendSeries];
    selected[0] = selected[3] = selected[21] = 1;
    names[0] = "X_AR", names[3] = "X_VR", names[21] = "rpm";
    trend.trendSelected = selected;
    trend.trendScale = scale;
    trend.trendName = names;
    trend.pointCount = 7200;
    trend.xScaleIndex = 7;  // the whole hour
    std::fill(trend.trendTraces[0].begin(), trend.trendTraces[0].end(), 0.25f);
    std::fill(trend.trendTraces[3].begin(), trend.trendTraces[3].end(), 3.5f);
    std::fill(trend.trendTraces[21].begin(), trend.trendTraces[21].end(), 1480.0f);
    trend.rightMargin = 120;
    trend.Render(900, 300);
    const QRect area = trend.AreaRect();
    // Half-way across the hour that began at 09:30:00.
    const QString text = trend.ReadoutText(area.left() + area.width() / 2, area.center().y());
    EXPECT_TRUE(text.startsWith(QStringLiteral("10:0"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("X_AR 0.25 g"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("X_VR 3.5 mm/s"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("rpm 1480 rpm"))) << text.toStdString();
    EXPECT_TRUE(trend.ReadoutText(area.left() + 10, area.top() - 3).isEmpty());
}

TEST_F(AnalysisWindowFixture, CrestFactorBesideRmsAndPeak)
{
    auto &table = station->Table();
    table.selectedConnection = 0;
    {
        std::lock_guard lock(table[0].cond.statsMutex);
        table[0].cond.stats.rms[0][1] = 0.5;
        table[0].cond.stats.peak[0][1] = 2.0;
    }
    emit dlg->liveNumbers();
    auto *crest = FindControl<QLineEdit>(dlg.get(), 2121);
    ASSERT_NE(crest, nullptr);
    EXPECT_EQ(crest->text(), QStringLiteral("4.00"));
    EXPECT_EQ(crest->accessibleName(), QStringLiteral("Y轴 峰值因子"));
    EXPECT_TRUE(FindControl<QLineEdit>(dlg.get(), 2120)->text().isEmpty());  // no RMS yet
    // The new fields fit beside the old ones: the window's smallest size stays.
    EXPECT_EQ(dlg->minimumSize(), QSize(CTavenorDlg::kMinimumWidth, CTavenorDlg::kMinimumHeight));
}

}  // namespace
