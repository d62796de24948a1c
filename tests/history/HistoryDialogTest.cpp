// Drives the real "历史趋势" dialog, opened from the main window's menu, by
// its controls on the offscreen platform, over a history that the station's
// writer filled with a simulated clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <fstream>
#include <qcustomplot.h>
#include <sstream>

#include "core/history/HistoryCsv.h"
#include "history/ViewerTestSupport.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/QtEventSink.h"
#include "ui/history/HistoryDialog.h"
#include "ui/main/TavenorDlg.h"
#include "ui/steady/SteadyDataDisp.h"

using tav::ui::FindControl;

namespace {

constexpr int64_t kMinute = 60'000;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct HistoryDialogTest : ::testing::Test {
    // One history for every case: sensor 5 with 31 days of a tick every
    // other minute (close enough to join as a line), then sensors 5 and 7
    // with the last two hours at every tick.
    static std::string startFolder;
    static int64_t end;
    static void SetUpTestSuite()
    {
        // Per process: ctest runs each case in a process of its own, side by side.
        startFolder = ::testing::TempDir() + "history-dialog-" + std::to_string(::getpid());
        std::system(("rm -rf '" + startFolder + "'").c_str());
        ::mkdir(startFolder.c_str(), 0777);
        end = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::system_clock::now().time_since_epoch())
                  .count() /
              1000 * 1000;
        ASSERT_TRUE(tav::test::FillHistory(startFolder + "/data", {5}, {{end - 31 * kDay, end - 2 * kHour, 2 * kMinute}}));
        ASSERT_TRUE(tav::test::FillHistory(startFolder + "/data", {5, 7}, {{end - 2 * kHour, end, 500}}));
    }

    tav::ui::QtEventSink sink;
    std::unique_ptr<tav::Station> station;
    std::unique_ptr<CTavenorDlg> dlg;
    QStringList messages;
    CHistoryDialog *history = nullptr;

    void SetUp() override
    {
        tav::ui::SetMessageHook([this](const QString &m) { messages << m; });
        tav::StationOptions options;
        options.port = 0;
        options.startFolder = startFolder;
        station = std::make_unique<tav::Station>(options, sink);
        dlg = std::make_unique<CTavenorDlg>(*station);
        sink.SetTarget(dlg.get());
        dlg->show();
    }
    static void TearDownTestSuite() { std::system(("rm -rf '" + startFolder + "'").c_str()); }
    void TearDown() override
    {
        CHistoryDialog::SetExportChooser(nullptr);
        if (dlg) dlg->Shutdown();
        sink.Detach();
        tav::ui::SetMessageHook(nullptr);
    }
    bool Spin(const std::function<bool()> &cond, int ms = 30000)
    {
        QElapsedTimer t;
        t.start();
        while (!cond() && t.elapsed() < ms) QTest::qWait(10);
        return cond();
    }
    // Opens the dialog from the menu with the clock at the history's end
    // and waits for its first trend.
    void Open()
    {
        QAction *item = dlg->findChild<QAction *>(QStringLiteral("32780"));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->text(), QStringLiteral("历史趋势"));
        item->trigger();
        history = dlg->HistoryViewer();
        ASSERT_NE(history, nullptr);
        ASSERT_TRUE(history->isVisible());
        EXPECT_EQ(history->windowTitle(), QStringLiteral("历史趋势"));
        history->SetClock([] { return end; });
        ASSERT_TRUE(Settled()) << Status().toStdString();
    }
    // Nothing outstanding and something shown.
    bool Settled()
    {
        return Spin([&] { return history->Pending() == 0 && history->Shown() != nullptr; });
    }
    template <class W>
    W *Control(int id)
    {
        W *w = FindControl<W>(history, id);
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
    QString Status() { return Control<QLabel>(CHistoryDialog::kIdStatus)->text(); }
    void ChooseRange(int index)
    {
        auto *combo = Control<QComboBox>(CHistoryDialog::kIdRangeCombo);
        combo->setCurrentIndex(index);
        emit combo->activated(index);
    }
    void Mouse(QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons buttons)
    {
        QWidget *plot = history->Plot();
        QMouseEvent e(type, QPointF(at), QPointF(plot->mapToGlobal(at)), button, buttons, Qt::NoModifier);
        QApplication::sendEvent(plot, &e);
    }
    int64_t PixelToUtcMs(int x) { return int64_t(history->Plot()->xAxis->pixelToCoord(x) * 1000.0); }
};

std::string HistoryDialogTest::startFolder;
int64_t HistoryDialogTest::end = 0;

TEST_F(HistoryDialogTest, RangeZoomBackAndExportOfWhatIsShown)
{
    Open();
    // The sensors with history; the first is shown.
    auto *sensors = Control<QComboBox>(CHistoryDialog::kIdSensorCombo);
    ASSERT_EQ(sensors->count(), 2);
    EXPECT_EQ(sensors->itemText(0), QStringLiteral("5"));
    EXPECT_EQ(sensors->itemText(1), QStringLiteral("7"));
    EXPECT_EQ(history->View().address, 5);

    // "1 小时": every tick of the last hour.
    ChooseRange(0);
    ASSERT_TRUE(Settled());
    const tav::HistorySeries *hour = history->Shown();
    ASSERT_EQ(hour->resolution, tav::HistoryResolution::kRaw);
    EXPECT_EQ(hour->Size(), 7200u);
    EXPECT_EQ(hour->utcMs.front(), end - kHour);
    EXPECT_FLOAT_EQ(hour->mean[17].back(), tav::test::FillValue(5, 17, end - 500));
    EXPECT_TRUE(Status().contains(QStringLiteral("分辨率 原始"))) << Status().toStdString();

    // The other sensor.
    sensors->setCurrentIndex(1);
    emit sensors->activated(1);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(history->View().address, 7);
    EXPECT_FLOAT_EQ(history->Shown()->mean[17].back(), tav::test::FillValue(7, 17, end - 500));

    // A drag across the middle of the plot zooms into the dragged time.
    QCPAxisRect *rect = history->Plot()->axisRect();
    const int y = rect->center().y();
    const int x1 = rect->left() + rect->width() / 4, x2 = rect->left() + rect->width() / 2;
    const int64_t from = PixelToUtcMs(x1), to = PixelToUtcMs(x2);
    auto *back = Control<QPushButton>(CHistoryDialog::kIdZoomBack);
    EXPECT_FALSE(back->isEnabled());
    Mouse(QEvent::MouseButtonPress, QPoint(x1, y), Qt::LeftButton, Qt::LeftButton);
    Mouse(QEvent::MouseMove, QPoint((x1 + x2) / 2, y), Qt::NoButton, Qt::LeftButton);
    Mouse(QEvent::MouseMove, QPoint(x2, y), Qt::NoButton, Qt::LeftButton);
    Mouse(QEvent::MouseButtonRelease, QPoint(x2, y), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(history->View().ZoomDepth(), 1);
    ASSERT_TRUE(Settled());
    const tav::HistorySeries *zoomed = history->Shown();
    ASSERT_GT(zoomed->Size(), 100u);
    EXPECT_LT(zoomed->Size(), 7200u / 3);
    EXPECT_GE(zoomed->utcMs.front(), from);
    EXPECT_LT(zoomed->utcMs.back(), to);
    EXPECT_LE(zoomed->utcMs.front() - from, 500);
    EXPECT_LE(to - zoomed->utcMs.back(), 500);
    EXPECT_NEAR(history->Plot()->xAxis->range().lower * 1000.0, double(from), 1.0) << "the plot spans the drag";
    EXPECT_TRUE(back->isEnabled());

    // The value and time under the mouse.
    Mouse(QEvent::MouseMove, QPoint(rect->center().x(), y), Qt::NoButton, Qt::NoButton);
    const QString readout = Control<QLabel>(CHistoryDialog::kIdReadout)->text();
    const int entry = tav::NearestEntry(*zoomed, PixelToUtcMs(rect->center().x()));
    EXPECT_TRUE(readout.startsWith(QString::fromStdString(tav::LocalTimeText(zoomed->utcMs[entry]))))
        << readout.toStdString();
    EXPECT_TRUE(readout.contains(QStringLiteral("Z_VR %1 mm/s").arg(double(zoomed->mean[17][entry]), 0, 'f', 3)))
        << readout.toStdString();

    // Export: the file holds exactly the entries on show, in the tool's format.
    const std::string path = startFolder + "/zoomed.csv";
    CHistoryDialog::SetExportChooser([&](QWidget *, const QString &suggested) {
        EXPECT_TRUE(suggested.endsWith(QStringLiteral(".csv")));
        return QString::fromStdString(path);
    });
    Control<QPushButton>(CHistoryDialog::kIdExport)->click();
    ASSERT_TRUE(Spin([&] { return history->ExportsDone() == 1; }));
    ASSERT_TRUE(history->LastExportOk()) << messages.join('\n').toStdString();
    const std::string reference = startFolder + "/zoomed-reference.csv";
    const int fd = ::open(reference.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tav::WriteHistoryCsv(fd, *zoomed, false), 0);
    ::close(fd);
    const std::string written = ReadFile(path);
    EXPECT_EQ(written, ReadFile(reference));
    EXPECT_EQ(size_t(std::count(written.begin(), written.end(), '\n')), zoomed->Size() + 1);
    char first[24];
    tav::FormatHistoryTime(zoomed->utcMs.front(), first);
    EXPECT_NE(written.find("\r\n" + std::string(first, 23) + ","), std::string::npos);

    // "返回": the hour again.
    back->click();
    EXPECT_EQ(history->View().ZoomDepth(), 0);
    ASSERT_TRUE(Settled());
    EXPECT_EQ(history->Shown()->Size(), 7200u);
    EXPECT_FALSE(back->isEnabled());
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(HistoryDialogTest, AggregatedRangesDrawBandAndMeanFullResolutionOnlyLines)
{
    Open();
    QCustomPlot *plot = history->Plot();
    const int shown = 8;  // Z axis and rpm, the start-up choice
    for (int range : {4, 5}) {  // "30 天", "1 年"
        ChooseRange(range);
        ASSERT_TRUE(Settled());
        ASSERT_EQ(history->Shown()->resolution,
                  range == 4 ? tav::HistoryResolution::kMinute : tav::HistoryResolution::kHour);
        ASSERT_EQ(plot->graphCount(), 3 * shown) << range;
        int bands = 0, means = 0;
        for (int g = 0; g < plot->graphCount(); ++g) {
            QCPGraph *graph = plot->graph(g);
            if (graph->channelFillGraph()) {
                ++bands;
                EXPECT_NE(graph->brush().style(), Qt::NoBrush);
                // The band lies around the mean: max above min everywhere.
                auto hi = graph->data()->constBegin(), lo = graph->channelFillGraph()->data()->constBegin();
                for (; hi != graph->data()->constEnd(); ++hi, ++lo) {
                    if (!std::isnan(hi->value)) {
                        ASSERT_GE(hi->value, lo->value);
                    }
                }
            } else if (plot->legend->hasItemWithPlottable(graph)) {
                ++means;
                EXPECT_GT(graph->dataCount(), 100);
            }
        }
        EXPECT_EQ(bands, shown);
        EXPECT_EQ(means, shown);
        EXPECT_EQ(plot->legend->itemCount(), shown) << "one legend entry per series, none per band edge";
    }
    // The year's hours: 31 days of them.
    EXPECT_NEAR(double(history->Shown()->Size()), 31 * 24, 2);

    ChooseRange(2);  // "1 天": full resolution, plain lines
    ASSERT_TRUE(Settled());
    ASSERT_EQ(history->Shown()->resolution, tav::HistoryResolution::kRaw);
    ASSERT_EQ(plot->graphCount(), shown);
    for (int g = 0; g < plot->graphCount(); ++g) EXPECT_EQ(plot->graph(g)->channelFillGraph(), nullptr);
    EXPECT_EQ(plot->graph(0)->name(), QStringLiteral("Z_AR"));
    EXPECT_EQ(plot->graph(0)->pen().color(), QColor(255, 215, 0)) << "the first trend pen";

    // The series boxes are the 60-minute viewer's, and so is the choice.
    auto *xAxis = Control<QCheckBox>(1103);
    xAxis->click();
    EXPECT_EQ(plot->graphCount(), 8) << "the seven X series and rpm";
    EXPECT_EQ(plot->graph(0)->name(), QStringLiteral("X_AR"));
    EXPECT_EQ(dlg->SteadyViewer().State().axisChoice[0], 1);
    // A ninth series is refused as in the 60-minute viewer.
    auto *yAr = Control<QCheckBox>(1104);
    yAr->click();
    EXPECT_FALSE(yAr->isChecked());
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QStringLiteral("已经选中8个参数，请删除后再添加"));
    // A display factor scales what is drawn.
    const double before = plot->graph(0)->data()->at(10)->value;
    Control<QComboBox>(CHistoryDialog::kIdParameterCombo)->setCurrentIndex(0);
    emit Control<QComboBox>(CHistoryDialog::kIdParameterCombo)->activated(0);
    Control<QLineEdit>(CHistoryDialog::kIdFactorEdit)->setText(QStringLiteral("4"));
    Control<QPushButton>(CHistoryDialog::kIdSetFactor)->click();
    EXPECT_NEAR(plot->graph(0)->data()->at(10)->value, 4 * before, 1e-6);
    EXPECT_FLOAT_EQ(dlg->SteadyViewer().State().trendScale[0], 4.0f);
}

TEST_F(HistoryDialogTest, QueriesRunOffTheWindowThreadAndOnlyTheNewestIsShown)
{
    Open();
    tav::test::ReadGate gate;
    ChooseRange(3);  // "7 天": its read is held on the query thread
    ASSERT_TRUE(gate.WaitUntilHeld());
    // The window goes on: timers fire, boxes answer, the status says it reads.
    bool fired = false;
    QTimer::singleShot(0, history, [&] { fired = true; });
    ASSERT_TRUE(Spin([&] { return fired; }));
    Control<QCheckBox>(1165)->click();  // rpm off
    EXPECT_EQ(history->ShownPlot().shown.size(), 7u) << "redrawn from what is in hand";
    EXPECT_TRUE(Status().contains(QStringLiteral("读取中"))) << Status().toStdString();
    EXPECT_GT(history->Pending(), 0);
    // Two more choices while the first is held: the last one wins.
    ChooseRange(1);  // "8 小时"
    ChooseRange(4);  // "30 天"
    EXPECT_EQ(history->Shown()->resolution, tav::HistoryResolution::kRaw) << "still the day shown before";
    gate.Open();
    ASSERT_TRUE(Spin([&] {
        return history->Pending() == 0 && history->Shown()->resolution == tav::HistoryResolution::kMinute;
    }));
    QTest::qWait(50);
    EXPECT_EQ(history->View().range, 4);
    EXPECT_EQ(history->Shown()->resolution, tav::HistoryResolution::kMinute);
    EXPECT_GE(history->Shown()->utcMs.front(), end - 30 * kDay);
    EXPECT_LT(history->Shown()->utcMs.front(), end - 29 * kDay);
    EXPECT_EQ(gate.Held(), 2) << "the held week, then the month; the 8 hours were never read";
    // Regression: the dates kept a one-day span whatever the range.
    const qint64 from = Control<QDateTimeEdit>(CHistoryDialog::kIdFromEdit)->dateTime().toMSecsSinceEpoch();
    const qint64 to = Control<QDateTimeEdit>(CHistoryDialog::kIdToEdit)->dateTime().toMSecsSinceEpoch();
    EXPECT_NEAR(double(to - from), double(30 * kDay), 120'000.0);
    EXPECT_FALSE(Status().contains(QStringLiteral("读取中")));
}

TEST_F(HistoryDialogTest, DatesRangeAndItsRefusal)
{
    Open();
    auto *fromEdit = Control<QDateTimeEdit>(CHistoryDialog::kIdFromEdit);
    auto *toEdit = Control<QDateTimeEdit>(CHistoryDialog::kIdToEdit);
    fromEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(end - 20 * kDay));
    toEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(end - 21 * kDay));
    Control<QPushButton>(CHistoryDialog::kIdApplyDates)->click();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_EQ(messages[0], QStringLiteral("开始时间必须早于结束时间"));
    EXPECT_EQ(history->View().range, 2) << "the range stays";

    toEdit->setDateTime(QDateTime::fromMSecsSinceEpoch(end - 10 * kDay));
    Control<QPushButton>(CHistoryDialog::kIdApplyDates)->click();
    ASSERT_TRUE(Settled());
    EXPECT_EQ(history->View().range, tav::kHistoryDatesRange);
    EXPECT_EQ(Control<QComboBox>(CHistoryDialog::kIdRangeCombo)->currentIndex(), tav::kHistoryDatesRange);
    EXPECT_EQ(history->Shown()->resolution, tav::HistoryResolution::kMinute);
    // Whole minutes of the edits (which show no seconds), entries every other minute.
    EXPECT_NEAR(double(history->Shown()->utcMs.front()), double(end - 20 * kDay), 3 * 60'000.0);
    EXPECT_NEAR(double(history->Shown()->utcMs.back()), double(end - 10 * kDay), 3 * 60'000.0);
}

}  // namespace
