// The window "报警" on the offscreen platform: its list follows the engine,
// and its buttons acknowledge the chosen alarms or all, with the comment.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <chrono>
#include <thread>

#include "AlarmTestFleet.h"
#include "core/base/TextInput.h"
#include "tests/history/HistoryTestSupport.h"
#include "ui/alarm/AlarmDlg.h"
#include "ui/alarm/AlarmLogTab.h"
#include "ui/common/Controls.h"
#include "ui/common/Messages.h"
#include "ui/common/MyListCtr.h"

using namespace tav;

namespace {

QString Cell(CMyListCtr *list, int row, int column) { return list->item(row, column)->text(); }

// Lets the log tab's query thread answer; the answers arrive as events.
bool Settle(CAlarmLogTab &tab)
{
    for (int i = 0; i < 3000; ++i) {
        QCoreApplication::processEvents();
        if (tab.Pending() == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct FixedCapture : CaptureRequester {
    std::string RequestCapture(int32_t, int, uint32_t, int64_t, int64_t) override { return "/tmp/0005_capture.vdat"; }
};

TEST(AlarmWindow, AcknowledgesThroughItsControls)
{
    MachineSettings m = test::OneMachine(5).at(5);
    m.alert[kQuantityTemperature] = 70;
    AlarmEngine engine;
    engine.SetSettings({{5, m}});
    test::AlarmFleet fleet;
    fleet.SetVelocity(5, 3.0, 2);
    fleet.TickFor(engine, 6);
    fleet.Sensor(5).temperature = 75;
    fleet.TickFor(engine, 6);
    ASSERT_EQ(engine.Alarms().size(), 2u);

    CAlarmDlg dlg(engine, [] { return int64_t(1'800'000'000'000); });
    dlg.OpenDialog();
    auto *list = ui::FindControl<CMyListCtr>(&dlg, CAlarmDlg::kIdList);
    auto *comment = ui::FindControl<QLineEdit>(&dlg, CAlarmDlg::kIdComment);
    auto *ackSelected = ui::FindControl<QPushButton>(&dlg, CAlarmDlg::kIdAckSelected);
    auto *ackAll = ui::FindControl<QPushButton>(&dlg, CAlarmDlg::kIdAckAll);
    ASSERT_TRUE(list && comment && ackSelected && ackAll);
    ASSERT_EQ(list->rowCount(), 2);
    // Newest first: the temperature alarm, then the velocity one.
    EXPECT_EQ(Cell(list, 0, 4), QStringLiteral("温度"));
    EXPECT_EQ(Cell(list, 0, 3), QString());
    EXPECT_EQ(Cell(list, 1, 1), QStringLiteral("5"));
    EXPECT_EQ(Cell(list, 1, 2), QStringLiteral("1号泵"));
    EXPECT_EQ(Cell(list, 1, 3), QStringLiteral("Z轴"));
    EXPECT_EQ(Cell(list, 1, 5), QStringLiteral("3.00"));
    EXPECT_EQ(Cell(list, 1, 6), QStringLiteral("2.80"));
    EXPECT_EQ(Cell(list, 1, 7), QStringLiteral("预警"));
    EXPECT_EQ(Cell(list, 1, 8), QStringLiteral("未确认"));

    // Nothing chosen: "确认所选" acknowledges nothing.
    QTest::mouseClick(ackSelected, Qt::LeftButton);
    EXPECT_EQ(engine.UnacknowledgedCount(), 2);

    list->selectRow(1);
    comment->insert(QStringLiteral("已安排检修"));  // QTest types ASCII only
    QTest::mouseClick(ackSelected, Qt::LeftButton);
    EXPECT_EQ(engine.UnacknowledgedCount(), 1);
    const uint64_t velocityId = engine.Alarms()[1].id;
    for (const Alarm &a : engine.Alarms())
        if (a.id == velocityId) {
            EXPECT_TRUE(a.acknowledged);
            EXPECT_EQ(a.comment, "已安排检修");
            EXPECT_EQ(a.acknowledgedMs, 1'800'000'000'000);
        }
    EXPECT_EQ(Cell(list, 1, 8), QStringLiteral("已确认"));
    EXPECT_TRUE(comment->text().isEmpty());

    // The temperature clears unseen: it stays, as cleared; "全部确认" ends it.
    fleet.Sensor(5).temperature = 20;
    fleet.TickFor(engine, 6);
    dlg.Refresh();
    ASSERT_EQ(list->rowCount(), 2);
    EXPECT_EQ(Cell(list, 0, 8), QStringLiteral("已恢复未确认"));
    EXPECT_EQ(Cell(list, 0, 5), QStringLiteral("75.00（最新 20.00）"));
    QTest::mouseClick(ackAll, Qt::LeftButton);
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(Cell(list, 0, 4), QStringLiteral("速度有效值(10-1000Hz)"));
    EXPECT_EQ(engine.UnacknowledgedCount(), 0);
}

// The second tab reads the log off the window thread, filters it by sensor
// and severity, shows it newest first and exports it whole.
TEST(AlarmWindow, LogTabFiltersAndExports)
{
    test::ScratchFolder folder;
    test::CollectingSink sink;
    const int64_t now = test::kBaseUtcMs + 30LL * 86'400'000;
    auto event = [&](int64_t agoMin, AlarmEventKind kind, int32_t address, AlarmSeverity severity) {
        AlarmEvent e;
        e.utcMs = now - agoMin * 60'000;
        e.kind = kind;
        e.address = address;
        e.severity = severity;
        e.name = address == 5 ? "1号泵" : "";
        return e;
    };
    {
        HistoryWriter w(test::TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        w.OnAlarmEvent(event(25 * 60, AlarmEventKind::kRaise, 5, AlarmSeverity::kDanger));  // before the 24 h
        AlarmEvent raise = event(120, AlarmEventKind::kRaise, 5, AlarmSeverity::kAlert);
        raise.capture = "/tmp/0005_20260131.vdat";
        w.OnAlarmEvent(raise);
        AlarmEvent ack = event(60, AlarmEventKind::kAcknowledge, 5, AlarmSeverity::kAlert);
        ack.comment = "已安排检修";
        w.OnAlarmEvent(ack);
        w.OnAlarmEvent(event(30, AlarmEventKind::kOffline, 6, AlarmSeverity::kOffline));
    }
    AlarmEngine engine;
    engine.SetSettings(test::OneMachine(5));
    int64_t clock = now;
    CAlarmDlg dlg(engine, [&clock] { return clock; });
    dlg.SetHistory(folder.Database(), folder.path);
    QStringList messages;
    ui::SetMessageHook([&](const QString &text) { messages << text; });
    dlg.OpenDialog();
    dlg.Tabs().setCurrentWidget(&dlg.LogTab());  // the first look reads the last 24 h
    CAlarmLogTab &tab = dlg.LogTab();
    ASSERT_TRUE(Settle(tab));
    auto *table = ui::FindControl<CMyListCtr>(&dlg, CAlarmLogTab::kIdTable);
    auto *sensor = ui::FindControl<QComboBox>(&dlg, CAlarmLogTab::kIdSensor);
    auto *severity = ui::FindControl<QComboBox>(&dlg, CAlarmLogTab::kIdSeverity);
    ASSERT_TRUE(table && sensor && severity);
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(Cell(table, 0, 1), QStringLiteral("6"));
    EXPECT_EQ(Cell(table, 0, 7), QStringLiteral("离线"));
    EXPECT_EQ(Cell(table, 1, 8), QStringLiteral("确认"));
    EXPECT_EQ(Cell(table, 1, 9), QStringLiteral("已安排检修"));
    EXPECT_EQ(Cell(table, 2, 2), QStringLiteral("1号泵"));
    // Every sensor of the log, named by its machine settings.
    ASSERT_EQ(sensor->count(), 3);
    EXPECT_EQ(sensor->itemText(0), QStringLiteral("全部"));
    EXPECT_EQ(sensor->itemText(1), QStringLiteral("5 1号泵"));

    severity->setCurrentIndex(severity->findText(QStringLiteral("离线")));
    emit severity->activated(severity->currentIndex());
    ASSERT_TRUE(Settle(tab));
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_EQ(Cell(table, 0, 1), QStringLiteral("6"));

    severity->setCurrentIndex(0);
    sensor->setCurrentIndex(1);
    emit sensor->activated(1);
    ASSERT_TRUE(Settle(tab));
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(Cell(table, 0, 8), QStringLiteral("确认"));
    EXPECT_EQ(Cell(table, 1, 8), QStringLiteral("报警"));
    // The raise names its capture: a double click asks for its replay.
    QSignalSpy opened(&dlg, &CAlarmDlg::openCapture);
    emit table->cellDoubleClicked(0, 0);
    EXPECT_EQ(opened.count(), 0);
    emit table->cellDoubleClicked(1, 3);
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.at(0).at(0).toString(), QStringLiteral("/tmp/0005_20260131.vdat"));

    // The export: what is shown, in the tool's columns, under the chosen name only.
    const QString path = QString::fromStdString(folder.path + "/log.csv");
    CAlarmLogTab::SetExportChooser([&](QWidget *, const QString &suggested) {
        EXPECT_TRUE(suggested.startsWith(QString::fromStdString(folder.path + "/alarms_")));
        return path;
    });
    QTest::mouseClick(ui::FindControl<QPushButton>(&dlg, CAlarmLogTab::kIdExport), Qt::LeftButton);
    ASSERT_TRUE(Settle(tab));
    CAlarmLogTab::SetExportChooser({});
    EXPECT_TRUE(tab.LastExportOk()) << messages.join(QStringLiteral("; ")).toStdString();
    std::FILE *f = std::fopen(path.toLocal8Bit().constData(), "rb");
    ASSERT_TRUE(f);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), f));
    std::fclose(f);
    EXPECT_EQ(text.rfind(Utf8ToGbk("时间,地址,设备名称,轴,参数,数值,限值,级别,事件,备注\r\n"), 0), 0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.find(Utf8ToGbk("已安排检修")), std::string::npos);
    for (const std::string &name : folder.DataFiles())
        EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".part")));

    // A range the operator left alone follows the clock.
    {
        HistoryWriter w(test::TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        w.OnAlarmEvent(event(-10, AlarmEventKind::kClear, 5, AlarmSeverity::kAlert));
    }
    clock = now + 15 * 60'000;
    QTest::mouseClick(ui::FindControl<QPushButton>(&dlg, CAlarmLogTab::kIdQuery), Qt::LeftButton);
    ASSERT_TRUE(Settle(tab));
    ASSERT_EQ(table->rowCount(), 3);
    EXPECT_EQ(Cell(table, 0, 8), QStringLiteral("恢复"));

    // A range that ends before it starts is refused.
    ui::FindControl<QDateTimeEdit>(&dlg, CAlarmLogTab::kIdTo)->setDateTime(QDateTime::fromMSecsSinceEpoch(now - 86'400'000LL * 2));
    QTest::mouseClick(ui::FindControl<QPushButton>(&dlg, CAlarmLogTab::kIdQuery), Qt::LeftButton);
    EXPECT_EQ(messages.size(), 1);
    ui::SetMessageHook({});
}

// The capture column follows the capture from its request to its file, and
// the link asks for the replay of that file.
TEST(AlarmWindow, CaptureLinkOpensTheWrittenCapture)
{
    AlarmEngine engine;
    FixedCapture capture;
    engine.SetCaptureRequester(&capture);
    engine.SetSettings(test::OneMachine(5));
    test::AlarmFleet fleet;
    fleet.SetVelocity(5, 3.0, 0);
    fleet.TickFor(engine, 6);
    ASSERT_EQ(engine.Alarms().size(), 1u);
    ASSERT_EQ(engine.Alarms()[0].capture, "/tmp/0005_capture.vdat");

    QStringList messages;
    ui::SetMessageHook([&](const QString &text) { messages << text; });
    CAlarmDlg dlg(engine, [] { return int64_t(1'800'000'000'000); });
    QSignalSpy opened(&dlg, &CAlarmDlg::openCapture);
    dlg.OpenDialog();
    auto *list = ui::FindControl<CMyListCtr>(&dlg, CAlarmDlg::kIdList);
    auto *open = ui::FindControl<QPushButton>(&dlg, CAlarmDlg::kIdOpenCapture);
    ASSERT_TRUE(list && open);
    EXPECT_EQ(Cell(list, 0, CAlarmDlg::kCaptureColumn), QStringLiteral("录制中"));
    list->selectRow(0);
    QTest::mouseClick(open, Qt::LeftButton);  // not written yet: said, nothing opened
    EXPECT_EQ(opened.count(), 0);
    EXPECT_EQ(messages.size(), 1);

    dlg.NoteCapture("/tmp/other.vdat", true);  // another alarm's: no effect
    EXPECT_EQ(Cell(list, 0, CAlarmDlg::kCaptureColumn), QStringLiteral("录制中"));
    dlg.NoteCapture("/tmp/0005_capture.vdat", true);
    EXPECT_EQ(Cell(list, 0, CAlarmDlg::kCaptureColumn), QStringLiteral("回放"));
    dlg.NoteCapture("/tmp/0005_capture.vdat", true, false);  // lacking part of its window: marked, still opens
    EXPECT_EQ(Cell(list, 0, CAlarmDlg::kCaptureColumn), QStringLiteral("回放（不完整）"));
    list->selectRow(0);
    QTest::mouseClick(open, Qt::LeftButton);
    ASSERT_EQ(opened.count(), 1);
    EXPECT_EQ(opened.at(0).at(0).toString(), QStringLiteral("/tmp/0005_capture.vdat"));
    ui::SetMessageHook({});
}

}  // namespace
