// Edits of station.toml while a sensor is in alarm: a limit taken away ends its alarm as a change
// of settings, never as a recovery, and is told; a file emptied for a moment changes nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "AlarmTestFleet.h"
#include "core/settings/SettingsWatcher.h"

namespace tav {
namespace {

const std::string kGood = "[sensor.3]\nname = \"3号风机\"\nvelocity_alert = 10\non_delay_s = 0\n";

bool AnyContains(const std::vector<std::string> &messages, const std::string &part)
{
    return std::any_of(messages.begin(), messages.end(), [&](auto &m) { return m.find(part) != m.npos; });
}

struct Rig {
    AlarmEngine engine;
    test::AlarmFleet fleet;
    test::EventLog log;
    Rig()
    {
        engine.SetSettings(ParseStationSettings(kGood, "station.toml", nullptr).sensors);
        engine.AddListener(&log);
        fleet.SetVelocity(3, 22.0);
        fleet.TickFor(engine, 2);
    }
};

// What replaces "velocity_alert = 10", and what reading the file says of it.
class LimitEdit : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(LimitEdit, EndsTheAlarmAsASettingsChangeNamingTheKeyAndTellsTheOperator)
{
    Rig rig;
    std::string edited = kGood;
    edited.replace(edited.find("velocity_alert = 10"), 19, GetParam().first);
    std::vector<std::string> messages, told;
    rig.engine.SetSettings(ParseStationSettings(edited, "station.toml", &messages).sensors, &told);
    EXPECT_EQ(AnyContains(messages, GetParam().second), !messages.empty()) << messages.size();
    rig.fleet.TickFor(rig.engine, 10);
    EXPECT_EQ(rig.log.Count(AlarmEventKind::kClear), 0) << "an edit is no recovery";
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kSettingsChanged), 1);
    EXPECT_NE(rig.log.events.back().comment.find("[sensor.3] velocity_alert 由 10 改为 未设"), std::string::npos);
    EXPECT_TRUE(told.size() == 1 && AnyContains(told, "velocity_alert")) << told.size();
}
INSTANTIATE_TEST_SUITE_P(TypoBadValueOrRemoved, LimitEdit,
                         ::testing::Values(std::pair{"velocity_alrt = 10", "第3行：[sensor.3] 未知的键 velocity_alrt"},
                                           std::pair{"velocity_alert = \"10\"", "第3行：[sensor.3] velocity_alert"},
                                           std::pair{"velocity_alert = nan", "第3行：[sensor.3] velocity_alert"},
                                           std::pair{"", ""}));

// An editor truncating before it writes: the empty file is told, the same settings back raise nothing.
TEST(SettingsWatcherEmptyFile, KeepsThePreviousSettingsAndEveryAlarm)
{
    const std::string path = ::testing::TempDir() + "/emptied-station.toml";
    SettingsWatcher watcher(path);
    Rig rig;
    const size_t before = rig.log.events.size();
    for (const std::string &text : {std::string(), kGood + "# 同样的设置\n"}) {
        std::ofstream(path, std::ios::trunc) << text;
        watcher.CheckNow();
        EXPECT_FALSE(watcher.Take()) << "a change is read only once it held still";
        watcher.CheckNow();
        std::optional<SettingsReload> r = watcher.Take();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->usable, !text.empty());
        EXPECT_EQ(AnyContains(r->messages, "emptied-station.toml 为空，设置保持不变"), text.empty());
        if (r->usable)
            rig.engine.SetSettings(r->settings.sensors);
        rig.fleet.TickFor(rig.engine, 2);
    }
    EXPECT_EQ(rig.log.events.size(), before) << "no alarm ended or raised anew";
    EXPECT_EQ(rig.engine.ActiveCount(), 1);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tav
