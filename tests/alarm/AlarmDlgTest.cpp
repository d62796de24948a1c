// The window "报警" on the offscreen platform: its list follows the engine,
// and its buttons acknowledge the chosen alarms or all, with the comment.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "AlarmTestFleet.h"
#include "alarm/AlarmDlg.h"
#include "app/Controls.h"
#include "steady/MyListCtr.h"

using namespace tav;

namespace {

QString Cell(CMyListCtr *list, int row, int column) { return list->item(row, column)->text(); }

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
    QTest::mouseClick(ackAll, Qt::LeftButton);
    ASSERT_EQ(list->rowCount(), 1);
    EXPECT_EQ(Cell(list, 0, 4), QStringLiteral("速度有效值(10-1000Hz)"));
    EXPECT_EQ(engine.UnacknowledgedCount(), 0);
}

}  // namespace
