// [sensor.N] and [capture] tables of station.toml: reading with bad entries
// reported by line, and the table writer keeping everything it does not own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const char *const kHandWritten =
    "# station settings, edited by hand\n"
    "[history]\n"
    "raw_days = 4\n"
    "\n"
    "[sensor.5]   # pump 1\n"
    "name = \"1号泵 电机端\"\n"
    "iso_class = \"group2-rigid\"   # 15-300 kW\n"
    "velocity_alert = 2.8          # mm/s RMS, 10-1000 Hz\n"
    "temperature_danger = 85.0\n"
    "owner = \"maintenance\"        # not ours: must survive\n"
    "# a note inside the table\n"
    "\n"
    "[sensor.7]\n"
    "name = \"fan\"\n"
    "velocity_danger = 9\n";

TEST(MachineSettingsFile, ReadsSensorTablesAndCapture)
{
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings(std::string(kHandWritten) + "[capture]\npre_s = 3\npost_s = 7.5\n",
                                             "station.toml", &messages);
    EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, "[sensor.5] 未知的键 owner，略去")) << messages.size();
    ASSERT_EQ(s.sensors.size(), 2u);
    const MachineSettings &m = s.sensors.at(5);
    EXPECT_EQ(m.name, "1号泵 电机端");
    EXPECT_EQ(m.isoClass, IsoClass::kGroup2Rigid);
    EXPECT_EQ(m.alert[kQuantityVelocity], 2.8);
    EXPECT_TRUE(std::isnan(m.danger[kQuantityVelocity]));
    EXPECT_EQ(m.danger[kQuantityTemperature], 85.0);
    EXPECT_EQ(m.onDelayS, kDefaultOnDelayS);
    EXPECT_EQ(s.sensors.at(7).danger[kQuantityVelocity], 9.0);  // an integer is a number too
    EXPECT_EQ(s.capture.preS, 3.0);
    EXPECT_EQ(s.capture.postS, 7.5);
}

TEST(MachineSettingsFile, WriterKeepsCommentsUnknownKeysAndOtherTables)
{
    const std::string path = ::testing::TempDir() + "/machine-roundtrip.toml";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << kHandWritten;
    std::vector<std::string> messages;
    MachineSettings m = LoadStationSettings(path, &messages).sensors.at(5);
    m.alert[kQuantityVelocity] = 3.1;                // changed: its comment stays
    m.danger[kQuantityTemperature] = NAN;            // unset: its line goes
    m.alert[kQuantityKurtosis] = 6;                  // new: after the last key
    m.name = "泵 \"A\" # 2";                         // quotes and a hash in a string
    ASSERT_EQ(SaveMachineSettings(path, m), "");

    const std::string text = ReadAll(path);
    EXPECT_NE(text.find("# station settings, edited by hand\n"), std::string::npos);
    EXPECT_NE(text.find("[sensor.5]   # pump 1\n"), std::string::npos);
    EXPECT_NE(text.find("velocity_alert = 3.1          # mm/s RMS, 10-1000 Hz\n"), std::string::npos);
    EXPECT_NE(text.find("iso_class = \"group2-rigid\"   # 15-300 kW\n"), std::string::npos);
    EXPECT_NE(text.find("owner = \"maintenance\"        # not ours: must survive\n"), std::string::npos);
    EXPECT_NE(text.find("# a note inside the table\n"), std::string::npos);
    EXPECT_EQ(text.find("temperature_danger"), std::string::npos);
    EXPECT_NE(text.find("[sensor.7]\nname = \"fan\"\nvelocity_danger = 9\n"), std::string::npos);
    // The new key belongs to sensor 5's table, before sensor 7's header.
    EXPECT_LT(text.find("kurtosis_alert = 6"), text.find("[sensor.7]"));
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());

    messages.clear();
    StationSettings again = LoadStationSettings(path, &messages);
    EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, "未知的键 owner")) << messages.size();
    EXPECT_EQ(again.history.rawDays, 4);
    const MachineSettings &r = again.sensors.at(5);
    EXPECT_EQ(r.name, m.name);
    EXPECT_EQ(r.alert[kQuantityVelocity], 3.1);
    EXPECT_EQ(r.alert[kQuantityKurtosis], 6.0);
    EXPECT_TRUE(std::isnan(r.danger[kQuantityTemperature]));
    EXPECT_EQ(again.sensors.at(7).name, "fan");

    // Writing the same settings again changes nothing.
    ASSERT_EQ(SaveMachineSettings(path, r), "");
    EXPECT_EQ(ReadAll(path), text);
}

TEST(MachineSettingsFile, BaselineTableIsWrittenReadBackAndKeepsItsComments)
{
    const std::string text = std::string(kHandWritten) +
                             "\n[sensor.5.baseline]  # set after the overhaul\n"
                             "velocity = [1.0, 1.2, 0.9]\nset_at = \"2026-01-05 08:00\"\n";
    std::vector<std::string> messages;
    MachineSettings m = ParseStationSettings(text, "station.toml", &messages).sensors.at(5);
    EXPECT_EQ(m.baseline.velocity[1], 1.2);
    EXPECT_EQ(m.baseline.setAt, "2026-01-05 08:00");
    m.baseline.velocity[1] = NAN;  // an axis without one
    m.baseline.from = "2026-12-01 00:00";
    const std::string edited = EditMachineTable(text, m);
    EXPECT_NE(edited.find("[sensor.5.baseline]  # set after the overhaul\nvelocity = [1, nan, 0.9]\n"), std::string::npos)
        << edited;
    // Right after sensor 5's keys, before sensor 7.
    EXPECT_LT(edited.find("[sensor.5.baseline]"), edited.find("[sensor.7]"));
    messages.clear();
    const MachineSettings r = ParseStationSettings(edited, "station.toml", &messages).sensors.at(5);
    EXPECT_EQ(r.baseline.velocity[0], 1.0);
    EXPECT_TRUE(std::isnan(r.baseline.velocity[1]));
    EXPECT_EQ(r.baseline.from, "2026-12-01 00:00");
    EXPECT_EQ(EditMachineTable(edited, r), edited);
    // Cleared: the table goes; one that cannot be read sets nothing and says so.
    m.baseline = SeverityBaseline{};
    EXPECT_EQ(EditMachineTable(edited, m).find("baseline"), std::string::npos);
    messages.clear();
    const StationSettings bad =
        ParseStationSettings("[sensor.5.baseline]\nvelocity = [1.0, -2]\n", "station.toml", &messages);
    EXPECT_FALSE(bad.sensors.at(5).baseline.Any());
    EXPECT_TRUE(AnyContains(messages, "不设基线"));
}

TEST(MachineSettingsFile, WriterAppendsANewTableAndCreatesAMissingFile)
{
    MachineSettings m;
    m.address = 12;
    m.isoClass = IsoClass::kGroup1Flexible;
    m.danger[kQuantitySpeedDeviation] = 10;
    m.onDelayS = 2.5;
    const std::string edited = EditMachineTable(kHandWritten, m);
    EXPECT_EQ(edited.compare(0, std::strlen(kHandWritten), kHandWritten), 0);
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings(edited, "station.toml", &messages);
    EXPECT_TRUE(messages.size() == 1 && AnyContains(messages, "未知的键 owner")) << messages.size();
    ASSERT_EQ(s.sensors.count(12), 1u);
    EXPECT_EQ(s.sensors.at(12).isoClass, IsoClass::kGroup1Flexible);
    EXPECT_EQ(s.sensors.at(12).danger[kQuantitySpeedDeviation], 10.0);
    EXPECT_EQ(s.sensors.at(12).onDelayS, 2.5);
    EXPECT_EQ(s.sensors.size(), 3u);

    const std::string path = ::testing::TempDir() + "/machine-new.toml";
    std::remove(path.c_str());
    ASSERT_EQ(SaveMachineSettings(path, m), "");
    EXPECT_EQ(LoadStationSettings(path, &messages).sensors.at(12).onDelayS, 2.5);
    // A folder that does not exist: reported, nothing half written.
    EXPECT_NE(SaveMachineSettings(::testing::TempDir() + "/no/such/folder/station.toml", m), "");
}

TEST(MachineSettingsFile, BadEntriesAreReportedByLineAndLeftUnset)
{
    const std::string text = "[sensor.3]\n"
                             "name = 42\n"                       // 2: wrong type
                             "iso_class = \"group3-soft\"\n"     // 3: unknown class
                             "velocity_alert = 4.5\n"
                             "velocity_danger = 2.8\n"           // 5: not above alert
                             "acceleration_rms_alert = nan\n"    // 6: NaN
                             "acceleration_peak_alert = -1\n"    // 7: not positive
                             "crest_factor_alert = \"5\"\n"      // 8: a string
                             "on_delay_s = 600\n"                // 9: out of range
                             "temperature_alert = 70\n"
                             "[sensor.x]\n"                      // 11: not an address
                             "name = \"?\"\n"
                             "[capture]\n"
                             "pre_s = 61\n"                      // 14: above the limit
                             "post_s = inf\n";                   // 15
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings(text, "station.toml", &messages);
    ASSERT_EQ(s.sensors.size(), 1u);
    const MachineSettings &m = s.sensors.at(3);
    EXPECT_EQ(m.name, "");
    EXPECT_EQ(m.isoClass, IsoClass::kNone);
    EXPECT_EQ(m.alert[kQuantityVelocity], 4.5);
    EXPECT_TRUE(std::isnan(m.danger[kQuantityVelocity]));
    EXPECT_TRUE(std::isnan(m.alert[kQuantityAccelerationRms]));
    EXPECT_TRUE(std::isnan(m.alert[kQuantityAccelerationPeak]));
    EXPECT_TRUE(std::isnan(m.alert[kQuantityCrestFactor]));
    EXPECT_EQ(m.onDelayS, kDefaultOnDelayS);
    EXPECT_EQ(m.alert[kQuantityTemperature], 70.0);  // the good entries still count
    EXPECT_EQ(s.capture.preS, 5.0);
    EXPECT_EQ(s.capture.postS, 5.0);
    for (const char *line : {"第2行", "第3行", "第5行", "第6行", "第7行", "第8行", "第9行", "第11行", "第14行",
                             "第15行"})
        EXPECT_TRUE(AnyContains(messages, line)) << line;
    EXPECT_TRUE(AnyContains(messages, "velocity_danger 应大于 velocity_alert"));
    EXPECT_TRUE(AnyContains(messages, "group2-rigid"));
    EXPECT_EQ(messages.size(), 10u);

    // Text that is not TOML at all: flagged, so that a reload keeps what it had.
    messages.clear();
    StationSettings broken = ParseStationSettings("[sensor.3\nname = ", "station.toml", &messages);
    EXPECT_FALSE(broken.readable);
    EXPECT_TRUE(AnyContains(messages, "第1行") || AnyContains(messages, "第2行"));
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

// Bands as written, the bearings' defect bands after them, limits from a
// baseline where none is given, and a band that cannot be placed left out
// with its line.
TEST(MachineSettingsFile, BandsAndBearingBandsWithTheirLimits)
{
    std::vector<std::string> messages;
    const StationSettings s = ParseStationSettings("[sensor.3]\n"
                                                   "bearing_alert = 0.05\n"
                                                   "[[sensor.3.bearing]]\n"
                                                   "elements = 8\nball_diameter_mm = 15\npitch_diameter_mm = 65\n"
                                                   "[[sensor.3.band]]\n"
                                                   "name = \"1X\"\ncenter = 1\nwidth = 0.4\nbaseline = [1, 0.5, 2]\n"
                                                   "[[sensor.3.band]]\n"
                                                   "kind = \"frequency\"\nlow = 100\nhigh = 50\n"
                                                   "[[sensor.3.band]]\n"
                                                   "kind = \"frequency\"\nlow = 10\nhigh = 1000\nspectrum = \"envlope\"\n"
                                                   "[[sensor.3.band]]\n"
                                                   "name = \"G\"\nkind = \"frequency\"\nlow = 500\nhigh = 700\n"
                                                   "alert = 3\nbaseline = 1\nspectrum = \"envelope\"\n",
                                                   "station.toml", &messages);
    const MachineSettings &m = s.sensors.at(3);
    ASSERT_EQ(m.bands.size(), 2u);
    EXPECT_TRUE(AnyContains(messages, "第12行：[sensor.3.band] 应给出 low 和 high"));
    EXPECT_TRUE(AnyContains(messages, "第20行：[sensor.3.band] spectrum 应为"));
    WatchedBand w[kMaxBands];
    ASSERT_EQ(WatchedBands(m, w), 6);
    EXPECT_DOUBLE_EQ(w[0].low, 0.8);
    EXPECT_DOUBLE_EQ(w[0].high, 1.2);
    EXPECT_DOUBLE_EQ(w[0].alert[1], 1.0);   // 2 x baseline 0.5
    EXPECT_DOUBLE_EQ(w[0].danger[2], 8.0);  // 4 x baseline 2
    EXPECT_DOUBLE_EQ(w[1].alert[0], 3.0);   // explicit alert wins
    EXPECT_DOUBLE_EQ(w[1].danger[0], 4.0);  // the baseline's danger
    EXPECT_EQ(w[1].spectrum, BandSpectrum::kEnvelope);
    EXPECT_EQ(w[2].name, "轴承1 BPFO");
    EXPECT_DOUBLE_EQ(w[2].alert[0], 0.05);
    EXPECT_TRUE(std::isnan(w[2].danger[0]));
    double low, high;
    ASSERT_TRUE(BandEdgesHz(w[2], 1480, 3.26, &low, &high));  // BPFO 75.9 Hz, +-3 % below two lines
    EXPECT_NEAR(high - low, 4 * 3.26, 1e-9);
    EXPECT_FALSE(BandEdgesHz(w[0], 0, 3.26, &low, &high));  // an order band without a speed
    EXPECT_EQ(messages.size(), 2u);
}

}  // namespace
}  // namespace tav
