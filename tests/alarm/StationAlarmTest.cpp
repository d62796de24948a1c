// The station's wiring of the alarms: a simulated sensor over the real
// server and conditioning raises an alarm on the tick, its capture lands in
// data/alarms, and its leaving raises the offline alarm.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryReader.h"
#include "core/record/VdatFormat.h"
#include "core/station/Station.h"
#include "sim/SimSensor.h"
#include "support/TestPeers.h"

using namespace tav;

namespace {

std::vector<std::string> FilesIn(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *d = ::opendir(folder.c_str())) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

}  // namespace

TEST(StationAlarms, SensorOverItsLimitRaisesCapturesAndGoesOffline)
{
    const std::string folder = ::testing::TempDir() + "/station-alarms";
    std::system(("rm -rf '" + folder + "'").c_str());
    ::mkdir(folder.c_str(), 0777);
    StationOptions options{.port = 0, .startFolder = folder};
    MachineSettings m;
    m.address = 9;
    m.name = "试验台";
    m.onDelayS = 0;
    m.alert[kQuantityTemperature] = 20;  // the simulator reports 25
    options.settings.sensors[9] = m;
    options.settings.capture = {0.5, 0.5};
    test::RecordingEventSink events;
    Station station(options, events);
    ASSERT_EQ(station.Start(nullptr), 0);

    sim::SensorConfig c;
    c.port = uint16_t(station.Port());
    c.address = 9;
    c.quiet = true;
    std::string error;
    ASSERT_TRUE(sim::ParseAxisSignal("80hz=1", &c.axes[0], &error));  // 13.8 mm/s RMS
    sim::SimSensor sensor(c);
    sensor.Start();
    ASSERT_TRUE(sensor.WaitConnected(5));
    // The window thread's tick, driven here.
    ASSERT_TRUE(test::WaitFor([&] {
        station.SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return station.Alarms().ActiveCount() == 1;
    }));
    const Alarm a = station.Alarms().Alarms().at(0);
    EXPECT_EQ(a.quantity, kQuantityTemperature);
    EXPECT_EQ(a.name, "试验台");
    ASSERT_FALSE(a.capture.empty());
    // The snapshot carries the severity band of the sensor's default signal
    // once its first window has closed.
    EXPECT_TRUE(test::WaitFor([&] {
        station.SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const float v = station.LastSnapshot().sensors[0].isoVelocity[0];
        return v > 13.0f && v < 14.5f;
    }));

    // The outcome is told once both files have their final names.
    std::vector<CaptureOutcome> outcomes;
    ASSERT_TRUE(test::WaitFor([&] {
        for (auto &o : station.Captures().TakeOutcomes())
            outcomes.push_back(o);
        return !outcomes.empty();
    }));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].ok) << outcomes[0].message;
    EXPECT_EQ(FilesIn(folder + "/data/alarms").size(), 3u);  // the .vdat, its CSV and side file, no leftovers
    std::ifstream in(a.capture, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), size_t(kPacketBytes));
    EXPECT_EQ(bytes.size() % kPacketBytes, 0u);
    EXPECT_EQ(PacketAddress(reinterpret_cast<const uint8_t *>(bytes.data())), 9u);

    sensor.Stop();
    ASSERT_TRUE(test::WaitFor([&] {
        station.SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const Alarm &x : station.Alarms().Alarms())
            if (x.severity == AlarmSeverity::kOffline && x.active)
                return true;
        return false;
    }));
    station.Stop();

    // The station's history keeps the log of both, the capture's path with the raise.
    HistoryReader reader;
    ASSERT_TRUE(reader.Open(folder + "/data/" + kHistoryFileName, &error)) << error;
    std::vector<AlarmEvent> log;
    ASSERT_TRUE(reader.AlarmEvents({}, &log));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log.front().kind, AlarmEventKind::kRaise);
    EXPECT_EQ(log.front().name, "试验台");
    EXPECT_EQ(log.front().capture, a.capture);
    EXPECT_EQ(log.back().kind, AlarmEventKind::kOffline);
}

// station.toml edited by hand while the station runs: the watcher's thread
// reads it, the window thread's call only applies what was read. A bad file
// is told and the machines keep their settings.
TEST(StationAlarms, EditedSettingsFileReachesTheAlarmsAndABadOneKeepsThem)
{
    const std::string folder = ::testing::TempDir() + "/station-reload";
    std::system(("rm -rf '" + folder + "'").c_str());
    ::mkdir(folder.c_str(), 0777);
    const std::string path = folder + "/station.toml";
    std::ofstream(path) << "[history]\nenabled = false\n[sensor.9]\nname = \"旧名\"\n";
    StationOptions options{.port = 0, .startFolder = folder};
    std::vector<std::string> startMessages;
    options.settings = LoadStationSettings(path, &startMessages);
    test::RecordingEventSink events;
    Station station(options, events);
    ASSERT_EQ(station.Start(nullptr), 0);
    ASSERT_NE(station.Alarms().Machine(9), nullptr);
    EXPECT_TRUE(station.ApplyReloadedSettings().empty()) << "the file main read is not read again";

    std::ofstream(path, std::ios::trunc) << "[history]\nenabled = false\n[sensor.9]\nname = \"3号泵 电机端\"\n"
                                            "iso_class = \"group1-rigid\"\n";
    ASSERT_TRUE(test::WaitFor([&] {
        station.ApplyReloadedSettings();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const MachineSettings *m = station.Alarms().Machine(9);
        return m && m->name == "3号泵 电机端";
    }));
    EXPECT_EQ(station.Alarms().Machine(9)->isoClass, IsoClass::kGroup1Rigid);

    std::ofstream(path, std::ios::trunc) << "[sensor.9\nname = \"坏\"\n";
    std::vector<std::string> messages;
    ASSERT_TRUE(test::WaitFor([&] {
        for (std::string &m : station.ApplyReloadedSettings())
            messages.push_back(m);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return !messages.empty();
    }));
    EXPECT_NE(messages.back().find("保持不变"), std::string::npos) << messages.back();
    ASSERT_NE(station.Alarms().Machine(9), nullptr);
    EXPECT_EQ(station.Alarms().Machine(9)->name, "3号泵 电机端");
    station.Stop();
}
