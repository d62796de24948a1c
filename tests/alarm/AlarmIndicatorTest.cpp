// The alarm indicator as painted on the offscreen platform, and the rules
// that decide its state and which alarms are announced.
#include <gtest/gtest.h>

#include <QImage>

#include "ui/alarm/AlarmIndicator.h"
#include "ui/alarm/AlarmNotice.h"

using namespace tav;

namespace {

Alarm Make(uint64_t id, AlarmSeverity severity, bool active, bool acknowledged, int64_t raisedMs = 1000)
{
    Alarm a;
    a.id = id;
    a.address = 7;
    a.severity = severity;
    a.active = active;
    a.acknowledged = acknowledged;
    a.raisedMs = raisedMs;
    return a;
}

// The colour in the middle of the indicator's left margin, as on screen.
QRgb Painted(ui::AlarmIndicator &indicator)
{
    const QImage image = indicator.grab().toImage();
    return image.pixel(3, image.height() / 2) & 0xffffff;
}

}  // namespace

// Each state in its colour, painted whatever the style; an unacknowledged
// danger or offline alarm blinks, an acknowledged one does not.
TEST(AlarmIndicator, PaintsEachStateAndBlinksWhileUrgentIsUnacknowledged)
{
    struct Case {
        std::vector<Alarm> alarms;
        QRgb lit, dark;  // dark: after one blink step
        const char *text;
    } cases[] = {
        {{}, 0x209030, 0x209030, "报警 0 / 未确认 0"},
        {{Make(1, AlarmSeverity::kAlert, true, false)}, 0xff9000, 0xff9000, "报警 1 / 未确认 1"},
        {{Make(1, AlarmSeverity::kAlert, true, true), Make(2, AlarmSeverity::kDanger, true, false)},
         0xd01010, 0xffe000, "报警 2 / 未确认 1"},
        {{Make(1, AlarmSeverity::kDanger, false, true)}, 0xd01010, 0xd01010, "报警 0 / 未确认 0"},
        {{Make(3, AlarmSeverity::kOffline, true, false), Make(4, AlarmSeverity::kAlert, true, false)},
         0x2040c0, 0xffe000, "报警 2 / 未确认 2"},
        {{Make(3, AlarmSeverity::kOffline, true, true)}, 0x2040c0, 0x2040c0, "报警 1 / 未确认 0"},
    };
    for (const Case &c : cases) {
        ui::AlarmIndicator indicator;
        indicator.Show(IndicatorOf(c.alarms));
        indicator.resize(indicator.sizeHint());
        SCOPED_TRACE(c.text);
        EXPECT_EQ(indicator.text(), QString::fromUtf8(c.text));
        EXPECT_TRUE(indicator.accessibleName().contains(QString::fromUtf8(c.text)));
        EXPECT_EQ(Painted(indicator), c.lit);
        indicator.Blink();
        EXPECT_EQ(Painted(indicator), c.dark);
        indicator.Blink();
        EXPECT_EQ(Painted(indicator), c.lit);
    }
    // Acknowledging ends the blink in the lit phase.
    ui::AlarmIndicator indicator;
    indicator.resize(indicator.sizeHint());
    indicator.Show(IndicatorOf({Make(2, AlarmSeverity::kDanger, true, false)}));
    indicator.Blink();
    indicator.Show(IndicatorOf({Make(2, AlarmSeverity::kDanger, true, true)}));
    EXPECT_EQ(Painted(indicator), 0xd01010u);
}

// Every raise of a danger or offline alarm is announced once: a new one, an
// alert that became danger, one raised again after clearing; an alert, a
// repeat and an acknowledged alarm are not.
TEST(AlarmIndicator, NewDangerAndOfflineAlarmsAreAnnouncedOnce)
{
    NewAlarmWatch watch;
    EXPECT_TRUE(watch.Take({Make(1, AlarmSeverity::kAlert, true, false)}).empty());
    auto fresh = watch.Take({Make(1, AlarmSeverity::kDanger, true, false), Make(2, AlarmSeverity::kOffline, true, false, 500)});
    ASSERT_EQ(fresh.size(), 2u);
    EXPECT_EQ(fresh[0].id, 2u);  // oldest first
    EXPECT_TRUE(watch.Take({Make(1, AlarmSeverity::kDanger, true, false), Make(2, AlarmSeverity::kOffline, true, true)}).empty());
    EXPECT_TRUE(watch.Take({Make(1, AlarmSeverity::kDanger, false, false)}).empty());
    EXPECT_EQ(watch.Take({Make(1, AlarmSeverity::kDanger, true, false, 9000)}).size(), 1u);

    Alarm a = Make(1, AlarmSeverity::kDanger, true, false);
    a.name = "1号风机";
    a.quantity = 0;
    a.axis = 0;
    a.value = 6.0;
    a.limit = 4.5;
    const QString line = ui::AlarmNotice::Describe(a);
    EXPECT_TRUE(line.startsWith(QStringLiteral("危险报警：地址 7 1号风机 X轴"))) << line.toStdString();
    EXPECT_TRUE(line.endsWith(QStringLiteral("6.00（限值 4.50）"))) << line.toStdString();
}
