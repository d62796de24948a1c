// station.toml: defaults, typed values, and bad entries reported with their
// line while the rest of the file still counts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/settings/SettingsWatcher.h"
#include "core/settings/StationSettings.h"

namespace tav {
namespace {

bool AnyContains(const std::vector<std::string> &messages, const std::string &part)
{
    for (const auto &m : messages)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}

TEST(StationSettings, MissingFileGivesDefaultsQuietlyAnUnreadableOneIsNoEmptyFile)
{
    // There but unreadable (here a folder of that name): said, and marked so
    // that a reload keeps the settings it had.
    const std::string folderNamedLikeTheFile = ::testing::TempDir() + "/unreadable-station.toml";
    std::filesystem::create_directories(folderNamedLikeTheFile);
    std::vector<std::string> unreadable;
    EXPECT_FALSE(LoadStationSettings(folderNamedLikeTheFile, &unreadable).readable);
    ASSERT_EQ(unreadable.size(), 1u);
    EXPECT_NE(unreadable[0].find("unreadable-station.toml"), std::string::npos) << unreadable[0];
    std::filesystem::remove_all(folderNamedLikeTheFile);

    std::vector<std::string> messages;
    StationSettings s = LoadStationSettings(::testing::TempDir() + "/no-such-station.toml", &messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(s.history.enabled);
    EXPECT_EQ(s.history.rawDays, 3);
    EXPECT_EQ(s.history.minuteDays, 90);
    EXPECT_EQ(s.history.hourYears, 10);
    EXPECT_EQ(s.access.garbageTimeoutS, 10);
    EXPECT_EQ(s.access.idleEvictS, 30);
    EXPECT_TRUE(s.access.allow.empty());
}

TEST(StationSettings, ReadsValuesAndReportsBadOnesByLine)
{
    const std::string path = ::testing::TempDir() + "/station-settings-test.toml";
    std::ofstream(path) << "# comment\n"
                           "[history]\n"
                           "raw_days = 5\n"
                           "minute_days = \"ninety\"\n"   // line 4: wrong type
                           "hour_years = 0\n"             // line 5: out of range
                           "enabled = false\n"
                           "[access]\n"
                           "garbage_timeout_s = 2.5\n"
                           "idle_evict_s = nan\n"         // line 9
                           "allow = [\"127.0.0.1\", 5]\n" // line 10: one bad item
                           "bind = \"127.0.0.1\"\n"
                           "[alarm]\n"
                           "sound = false\n";
    std::vector<std::string> messages;
    StationSettings s = LoadStationSettings(path, &messages);
    EXPECT_FALSE(s.notice.sound);
    EXPECT_EQ(s.history.rawDays, 5);
    EXPECT_EQ(s.history.minuteDays, 90);
    EXPECT_EQ(s.history.hourYears, 10);
    EXPECT_FALSE(s.history.enabled);
    EXPECT_DOUBLE_EQ(s.access.garbageTimeoutS, 2.5);
    EXPECT_EQ(s.access.idleEvictS, 30);
    ASSERT_EQ(s.access.allow.size(), 1u);
    EXPECT_EQ(s.access.bind, "127.0.0.1");
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_TRUE(AnyContains(messages, "第4行：[history] minute_days"));
    EXPECT_TRUE(AnyContains(messages, "第5行：[history] hour_years"));
    EXPECT_TRUE(AnyContains(messages, "第9行：[access] idle_evict_s"));
    EXPECT_TRUE(AnyContains(messages, "第10行：[access] allow"));
}

TEST(StationSettings, SyntaxErrorNamesLineAndKeepsDefaults)
{
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings("[history]\nraw_days = 4\n[history\n", "station.toml", &messages);
    EXPECT_EQ(s.history.rawDays, 3);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("station.toml 第3行"), std::string::npos) << messages[0];

    messages.clear();
    s = ParseStationSettings("history = 3\n", "station.toml", &messages);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("第1行"), std::string::npos) << messages[0];
}

// Bearings of a sensor: an array of tables or one table; a bearing that is
// incomplete, mistyped or impossible is reported by line and left out,
// while its neighbours and the sensor's other settings still count.
TEST(StationSettings, BearingsReadAndBadOnesLeftOutByLine)
{
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings("[sensor.3]\n"
                                             "name = \"风机\"\n"
                                             "[[sensor.3.bearing]]\n"
                                             "name = \"驱动端\"\n"
                                             "elements = 9\n"
                                             "ball_diameter_mm = 7.94\n"
                                             "pitch_diameter_mm = 39.04\n"
                                             "[[sensor.3.bearing]]\n"           // line 8: impossible
                                             "elements = 9\n"
                                             "ball_diameter_mm = 40\n"
                                             "pitch_diameter_mm = 39.04\n"
                                             "[[sensor.3.bearing]]\n"
                                             "elements = \"nine\"\n"          // line 13: wrong type
                                             "ball_diameter_mm = 7\n"
                                             "pitch_diameter_mm = 39\n"
                                             "[[sensor.3.bearing]]\n"           // line 16: incomplete
                                             "elements = 12\n"
                                             "[[sensor.3.bearing]]\n"
                                             "elements = 16\n"
                                             "ball_diameter_mm = 10\n"
                                             "pitch_diameter_mm = 60\n"
                                             "contact_angle_deg = 15\n"
                                             "[sensor.4.bearing]\n"
                                             "elements = 8\n"
                                             "ball_diameter_mm = 6\n"
                                             "pitch_diameter_mm = 30.5\n"
                                             "[sensor.5]\n"
                                             "bearing = 7\n",                   // line 28
                                             "station.toml", &messages);
    ASSERT_EQ(s.sensors.count(3), 1u);
    EXPECT_EQ(s.sensors[3].name, "风机");
    const auto &b3 = s.sensors[3].bearings;
    ASSERT_EQ(b3.size(), 2u);
    EXPECT_EQ(b3[0].name, "驱动端");
    EXPECT_EQ(b3[0].elements, 9);
    EXPECT_DOUBLE_EQ(b3[0].ballDiameterMm, 7.94);
    EXPECT_DOUBLE_EQ(b3[0].pitchDiameterMm, 39.04);
    EXPECT_DOUBLE_EQ(b3[0].contactAngleDeg, 0);
    EXPECT_EQ(b3[1].elements, 16);
    EXPECT_DOUBLE_EQ(b3[1].contactAngleDeg, 15);
    ASSERT_EQ(s.sensors[4].bearings.size(), 1u);
    EXPECT_EQ(s.sensors[4].bearings[0].elements, 8);
    EXPECT_DOUBLE_EQ(s.sensors[4].bearings[0].pitchDiameterMm, 30.5);
    EXPECT_TRUE(s.sensors[5].bearings.empty());
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_TRUE(AnyContains(messages, "station.toml 第8行：[sensor.3.bearing] 节圆直径应大于滚动体直径，略去该轴承"));
    EXPECT_TRUE(AnyContains(messages, "第13行：[sensor.3.bearing] elements 应为整数，略去该轴承"));
    EXPECT_TRUE(AnyContains(messages, "第16行：[sensor.3.bearing] 缺少 ball_diameter_mm，略去该轴承"));
    EXPECT_TRUE(AnyContains(messages, "第28行：[sensor.5.bearing] bearing 应为表"));
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// Letters such as "é" or "Ж" outside quotes and comments once sent the
// TOML reader into undefined behaviour (found by fuzzing); in comments and
// strings they are plain text.
TEST(StationSettings, NonAsciiOutsideQuotesIsAnErrorNotACrash)
{
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings("[access]\nidle_evict_s = 5\ncaf\xc3\xa9 = 1\n", "station.toml", &messages);
    EXPECT_EQ(s.access.idleEvictS, 30);  // the file is not read
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("第3行"), std::string::npos) << messages[0];

    // Comments may hold any letter; strings any but the few the reader mishandles.
    messages.clear();
    s = ParseStationSettings("# 注释 café Ж °C ﹏\n[access] # 访问\nidle_evict_s = 5\nbind = \"网口\"\n"
                             "allow = ['''网络''', \"\\\"网\", '，']\n",
                             "station.toml", &messages);
    EXPECT_EQ(s.access.idleEvictS, 5);
    EXPECT_EQ(s.access.bind, "网口");
    EXPECT_EQ(s.access.allow.size(), 3u);
    EXPECT_TRUE(messages.empty()) << messages[0];

    // Found by fuzzing: a malformed value runs on into a string holding U+FD3F.
    messages.clear();
    ParseStationSettings("[access]\nbind = 7LL\x1f\"s\xef\xb4\xbf\n", "station.toml", &messages);
    ASSERT_EQ(messages.size(), 1u);
    // Those few reach the reader escaped and come out as written, in '...'
    // strings too (a byte-order mark before them is no error); only a '...'
    // string that does not end refuses the file.
    messages.clear();
    s = ParseStationSettings("[access]\nbind = \"caf\xc3\xa9\"\n[sensor.5]\nname = \"\"\"弯头 90° ×2\"\"\"\n",
                             "station.toml", &messages);
    EXPECT_TRUE(messages.empty()) << messages[0];
    EXPECT_EQ(s.access.bind, "caf\xc3\xa9");
    EXPECT_EQ(s.sensors[5].name, "弯头 90° ×2");
    s = ParseStationSettings("\xEF\xBB\xBF[access]\nbind = 'caf\xc3\xa9\\\"'\n[sensor.5]\nname = '''80°C'''''\n",
                             "station.toml", &messages);
    EXPECT_TRUE(messages.empty()) << messages[0];
    EXPECT_EQ(s.access.bind, "caf\xc3\xa9\\\"");
    EXPECT_EQ(s.sensors[5].name, "80°C''");
    ParseStationSettings("[access]\nbind = 'caf\xc3\xa9\n", "station.toml", &messages);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("第2行"), std::string::npos) << messages[0];
    messages.clear();  // bytes of another encoding are named as such
    ParseStationSettings("[sensor.5]\nname = \"\xb1\xc3\"\n", "station.toml", &messages);
    EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, "第2行：不是有效的 UTF-8")) << messages.size();
}

void WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::trunc) << text;
}

// The file is looked at and parsed by the watcher; the taker only moves the
// result out. An edit is picked up once, a bad file keeps the settings there
// were and says so, a missing file changes nothing, and a bad file that
// follows a good one not yet taken does not hide the good one.
TEST(SettingsWatcher, EditedFileIsPickedUpOnceAndABadFileKeepsThePrevious)
{
    const std::string path = ::testing::TempDir() + "/settings-watcher-test.toml";
    std::remove(path.c_str());
    SettingsWatcher watcher(path);
    watcher.CheckNow();
    EXPECT_FALSE(watcher.Take()) << "a missing file is no change";

    WriteFile(path, "[sensor.5]\nname = \"1号泵\"\niso_class = \"group2-rigid\"\n");
    watcher.CheckNow();
    watcher.CheckNow();
    std::optional<SettingsReload> r = watcher.Take();
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->usable);
    ASSERT_EQ(r->settings.sensors.count(5), 1u);
    EXPECT_EQ(r->settings.sensors[5].name, "1号泵");
    EXPECT_FALSE(watcher.Take()) << "taken once";
    watcher.CheckNow();
    EXPECT_FALSE(watcher.Take()) << "an unchanged file is not read again";

    WriteFile(path, "[sensor.5\nname = 1\n");
    watcher.CheckNow();
    watcher.CheckNow();
    r = watcher.Take();
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->usable);
    EXPECT_TRUE(AnyContains(r->messages, "第1行")) << (r->messages.empty() ? "" : r->messages[0]);
    EXPECT_TRUE(AnyContains(r->messages, "保持不变"));

    std::remove(path.c_str());
    watcher.CheckNow();
    EXPECT_FALSE(watcher.Take());

    WriteFile(path, "[sensor.7]\nname = \"2号泵\"\n");
    watcher.CheckNow();
    watcher.CheckNow();
    WriteFile(path, "[sensor.7]\nname = \"2号泵\"\n[oops\n");
    watcher.CheckNow();
    watcher.CheckNow();
    r = watcher.Take();
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->usable);
    EXPECT_EQ(r->settings.sensors[7].name, "2号泵");
    EXPECT_TRUE(AnyContains(r->messages, "保持不变"));
    std::remove(path.c_str());
}


// Whatever the station does not know is told with its line; the rest of the file still counts.
class UnknownEntry : public ::testing::TestWithParam<std::pair<const char *, const char *>> {};

TEST_P(UnknownEntry, IsToldWithItsLine)
{
    std::vector<std::string> messages;
    const StationSettings s = ParseStationSettings(std::string("# 设置\n[sensor.3]\nvelocity_alert = 3\n") +
                                                       GetParam().first, "station.toml", &messages);
    EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, GetParam().second)) << messages.size();
    EXPECT_EQ(s.sensors.at(3).alert[kQuantityVelocity], 3.0);
}
INSTANTIATE_TEST_SUITE_P(
    KeysAndTables, UnknownEntry,
    ::testing::Values(std::pair{"[histroy]\nraw_days = 4\n", "station.toml 第4行：未知的表 [histroy]，略去"},
                      std::pair{"velocity_alrt = 3\n", "第4行：[sensor.3] 未知的键 velocity_alrt，略去"},
                      std::pair{"[sensr.2]\nname = \"a\"\n", "第4行：未知的表 [sensr]"},
                      std::pair{"[sensor.abc]\n", "第4行：[sensor.abc] 的地址应为 1 到 65535 之间的整数"},
                      std::pair{"[sensor.0]\n", "第4行：[sensor.0] 的地址应为"},
                      std::pair{"[sensor.70000]\n", "第4行：[sensor.70000] 的地址应为"},
                      std::pair{"bearing = [{elements = 9, ball_diameter_mm = 7, pitch_diameter_mm = 39, ball_d = 7}]\n",
                                "第4行：[sensor.3.bearing] 未知的键 ball_d"}));

// Only a regular file of a settings file's size is read: a FIFO would hang
// the start, a link to /dev/zero would take every byte of memory.
TEST(StationSettings, OnlyABoundedRegularFileIsRead)
{
    const std::string fifo = ::testing::TempDir() + "/fifo-station.toml", zero = fifo + ".zero", big = fifo + ".big";
    std::remove(fifo.c_str()), std::remove(zero.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    std::ofstream(big, std::ios::trunc) << "# " << std::string(kMaxSettingsFileBytes, 'x') << "\n";
    for (const auto &[path, why] : {std::pair{fifo, "不是普通文件"}, {zero, "不是普通文件"}, {big, "文件过大"}}) {
        std::vector<std::string> messages;
        EXPECT_FALSE(LoadStationSettings(path, &messages).readable) << path;
        EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, why)) << path;
        std::remove(path.c_str());
    }
}

}  // namespace
}  // namespace tav
