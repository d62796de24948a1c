// Edits of station.toml while a sensor is in alarm: a limit the edit takes
// away ends its alarm as a change of settings, never as a recovery, and is
// told; a file emptied for a moment changes nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "AlarmTestFleet.h"
#include "settings/SettingsWatcher.h"

namespace tav {
namespace {

const std::string kGood = "[sensor.3]\nname = \"3号风机\"\nvelocity_alert = 10\non_delay_s = 0\n";

bool AnyContains(const std::vector<std::string> &messages, const std::string &part)
{
    for (const auto &m : messages)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
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

// What replaces "velocity_alert = 10", and what the file's reading says of it.
struct Edit {
    const char *line;
    const char *reported;
};
class LimitEdit : public ::testing::TestWithParam<Edit> {};

TEST_P(LimitEdit, EndsTheAlarmAsASettingsChangeNamingTheKeyAndTellsTheOperator)
{
    Rig rig;
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kRaise), 1);
    std::string edited = kGood;
    edited.replace(edited.find("velocity_alert = 10"), 19, GetParam().line);
    std::vector<std::string> messages, told;
    const StationSettings s = ParseStationSettings(edited, "station.toml", &messages);
    EXPECT_EQ(AnyContains(messages, GetParam().reported), !messages.empty()) << messages.size();
    rig.engine.SetSettings(s.sensors, &told);
    rig.fleet.TickFor(rig.engine, 10);

    EXPECT_EQ(rig.log.Count(AlarmEventKind::kClear), 0) << "an edit is no recovery";
    ASSERT_EQ(rig.log.Count(AlarmEventKind::kSettingsChanged), 1);
    for (const AlarmEvent &e : rig.log.events) {
        if (e.kind != AlarmEventKind::kSettingsChanged)
            continue;
        EXPECT_NE(e.comment.find("[sensor.3] velocity_alert 由 10 改为 未设"), std::string::npos) << e.comment;
    }
    EXPECT_TRUE(told.size() == 1 && AnyContains(told, "velocity_alert")) << told.size();
    EXPECT_EQ(rig.engine.ActiveCount(), 0);
}
INSTANTIATE_TEST_SUITE_P(TypoBadValueOrRemoved, LimitEdit,
                         ::testing::Values(Edit{"velocity_alrt = 10", "第3行：[sensor.3] 未知的键 velocity_alrt，略去"},
                                           Edit{"velocity_alert = \"10\"", "第3行：[sensor.3] velocity_alert 应为正数"},
                                           Edit{"velocity_alert = nan", "第3行：[sensor.3] velocity_alert 应为正数"},
                                           Edit{"", ""}));

// An editor that truncates before it writes: the empty file is said and
// changes nothing, and the same settings back raise nothing anew.
TEST(SettingsWatcherEmptyFile, KeepsThePreviousSettingsAndEveryAlarm)
{
    const std::string path = ::testing::TempDir() + "/emptied-station.toml";
    std::ofstream(path, std::ios::trunc) << kGood;
    SettingsWatcher watcher(path);
    watcher.Start();
    watcher.Stop();  // the file as it is counts as read; CheckNow looks from here
    Rig rig;
    const size_t before = rig.log.events.size();
    auto look = [&](const std::string &text) {
        std::ofstream(path, std::ios::trunc) << text;
        watcher.CheckNow();
        EXPECT_FALSE(watcher.Take()) << "a change is read only once it held still";
        watcher.CheckNow();
        std::optional<SettingsReload> r = watcher.Take();
        if (r && r->usable)
            rig.engine.SetSettings(r->settings.sensors);
        rig.fleet.TickFor(rig.engine, 2);
        return r;
    };
    std::optional<SettingsReload> r = look("");
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->usable);
    EXPECT_TRUE(AnyContains(r->messages, "emptied-station.toml 为空，设置保持不变")) << r->messages.size();
    r = look(kGood + "# 同样的设置\n");
    ASSERT_TRUE(r && r->usable);
    EXPECT_EQ(rig.log.events.size(), before) << "no alarm ended or raised anew";
    EXPECT_EQ(rig.engine.ActiveCount(), 1);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace tav
