#include <gtest/gtest.h>

#include <algorithm>

#include "core/config/DeviceParameterTable.h"
#include "sim/DeviceRecords.h"
#include "sim/SimOptions.h"

using namespace tav::sim;

namespace {

ParseResult Parse(std::vector<std::string> args, FleetConfig *f, std::string *error = nullptr)
{
    std::string unused;
    return ParseSimOptions(args, f, error ? error : &unused);
}

}  // namespace

TEST(SimOptions, DefaultsAreOneLoopbackSensorAtTheStationPort)
{
    FleetConfig f;
    ASSERT_EQ(Parse({}, &f), ParseResult::Run);
    EXPECT_EQ(f.base.host, "127.0.0.1");
    EXPECT_EQ(f.base.port, 22009);
    EXPECT_EQ(f.sensors, 1);
    EXPECT_DOUBLE_EQ(f.base.fs, 26667.0);
    EXPECT_FALSE(f.base.axes[0].sines.empty());
    EXPECT_FALSE(f.base.timeStamps);
    EXPECT_EQ(Parse({"--help"}, &f), ParseResult::Help);
    EXPECT_NE(SimUsage().find("--corrupt-rate"), std::string::npos);
}

TEST(SimOptions, FleetGetsConsecutiveAddressesAndItsSpeedsFromTheList)
{
    FleetConfig f;
    ASSERT_EQ(Parse({"--sensors", "5", "--first-address=10", "--rpm", "1500,2970,1800,3000", "--port", "4000",
                     "--garbage", "--silent-peers", "2"},
                    &f),
              ParseResult::Run);
    auto peers = f.Expand();
    ASSERT_EQ(peers.size(), 8u);
    EXPECT_EQ(peers[0].address, 10u);
    EXPECT_EQ(peers[4].address, 14u);
    EXPECT_DOUBLE_EQ(peers[1].rpm, 2970);
    EXPECT_DOUBLE_EQ(peers[4].rpm, 1500);  // the list cycles
    EXPECT_EQ(peers[4].port, 4000);
    EXPECT_EQ(peers[5].kind, PeerKind::Garbage);
    EXPECT_EQ(peers[6].kind, PeerKind::Silent);
    EXPECT_EQ(peers[7].kind, PeerKind::Silent);
    EXPECT_NE(peers[0].seed, peers[1].seed);

    ASSERT_EQ(Parse({"--sensors", "3", "--duplicate-address", "--first-address", "7", "--rpm-step", "100"}, &f),
              ParseResult::Run);
    peers = f.Expand();
    EXPECT_EQ(peers[2].address, 7u);
    EXPECT_DOUBLE_EQ(peers[2].rpm, 1700);
}

TEST(SimOptions, SineShortcutAndFaultsAndReplyModes)
{
    FleetConfig f;
    ASSERT_EQ(Parse({"--sine", "159.15:1", "--fs-change-after", "3", "--fs2", "27000", "--corrupt-rate", "0.05",
                     "--truncate", "--churn", "--reply-delay-ms", "250", "--no-replies", "--wrong-register-count",
                     "--reply-length", "201", "--temperature", "31.5", "--burst-ms", "10"},
                    &f),
              ParseResult::Run);
    ASSERT_EQ(f.base.axes[0].sines.size(), 1u);
    EXPECT_DOUBLE_EQ(f.base.axes[0].sines[0].hz, 159.15);
    EXPECT_TRUE(f.base.axes[1].sines.empty());
    EXPECT_TRUE(f.base.axes[2].sines.empty());
    EXPECT_DOUBLE_EQ(f.base.fs2, 27000);
    EXPECT_DOUBLE_EQ(f.base.fsChangeAfter, 3);
    EXPECT_DOUBLE_EQ(f.base.corruptRate, 0.05);
    EXPECT_TRUE(f.base.truncate && f.base.churn && f.base.noReplies && f.base.wrongRegisterCount);
    EXPECT_EQ(f.base.replyDelayMs, 250);
    EXPECT_EQ(f.base.replyLength, 201);
    EXPECT_FLOAT_EQ(f.base.temperature, 31.5f);
    EXPECT_DOUBLE_EQ(f.base.burstInterval, 0.010);
}

TEST(SimOptions, BadInputNamesTheOption)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "0"},         {"--port", "70000"},    {"--sensors", "-1"},  {"--fs", "abc"},
        {"--corrupt-rate", "2"}, {"--x", "1x=oops"},     {"--bogus"},          {"--sensors"},
        {"--rpm", "1500,,3000"}, {"--host", "station.example"}, {"--fs2", "27000"},     {"--sine", "159.15"}, {"--fs-change-after", "2"},
    };
    for (const auto &args : bad) {
        FleetConfig f;
        std::string error;
        EXPECT_EQ(Parse(args, &f, &error), ParseResult::Error) << args[0];
        EXPECT_NE(error.find(args[0]), std::string::npos) << error;
    }
}

TEST(SimOptions, ReportFileGetsOneJsonLinePerPeerWithEveryCount)
{
    FleetConfig f;
    ASSERT_EQ(Parse({"--sensors", "2", "--first-address", "7", "--silent", "--report-file", "/tmp/r.json"}, &f),
              ParseResult::Run);
    EXPECT_EQ(f.reportFile, "/tmp/r.json");
    std::string error;
    EXPECT_EQ(Parse({"--report-file="}, &f, &error), ParseResult::Error);

    SimFleet fleet(f);  // never started: all counts are zero
    const std::string json = fleet.ReportJson();
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 3);
    EXPECT_NE(json.find("{\"kind\":\"sensor\",\"index\":1,\"address\":8,\"bytes\":0,\"packets\":0,"), std::string::npos);
    EXPECT_NE(json.find("{\"kind\":\"silent\",\"index\":2,"), std::string::npos);
    for (const char *key : {"\"replyBytes\":0", "\"junkBytes\":0", "\"damagedPackets\":0", "\"truncations\":0"})
        EXPECT_NE(json.find(key), std::string::npos) << key;
}

TEST(SimOptions, TimeStampsReachEverySensor)
{
    FleetConfig f;
    ASSERT_EQ(Parse({"--sensors", "3", "--time-stamps"}, &f), ParseResult::Run);
    for (const auto &peer : f.Expand())
        EXPECT_TRUE(peer.timeStamps);
}

TEST(SimOptions, DemoFleetAndItsDeviceRecords)
{
    FleetConfig f;
    ASSERT_EQ(Parse({"--demo", "--port", "23000"}, &f), ParseResult::Run);
    EXPECT_EQ(f.sensors, 4);
    EXPECT_EQ(f.firstAddress, 1u);
    EXPECT_EQ(f.rpms, (std::vector<double>{1500, 2970, 1800, 3000}));
    EXPECT_EQ(f.base.port, 23000);
    EXPECT_TRUE(f.deviceRecordsFile.empty());
    ASSERT_EQ(Parse({"--demo", "--rpm", "1000"}, &f), ParseResult::Run);  // later options change it
    EXPECT_EQ(f.rpms, (std::vector<double>{1000}));
    EXPECT_EQ(f.sensors, 4);
    std::string error;
    EXPECT_EQ(Parse({"--write-device-records"}, &f, &error), ParseResult::Error);

    // The records go into the file the way the parameter dialog saves them,
    // next to what the file already held.
    const std::string path = ::testing::TempDir() + "tav_sim_devicepara_" + std::to_string(::getpid()) + ".dat";
    std::remove(path.c_str());
    tav::DeviceParameterTable before;
    ASSERT_TRUE(before.LoadDeviceParameters(path, true, &error)) << error;
    ASSERT_EQ(before.SaveDeviceRecord(path, 9, tav::kWorkModeVariableSpeed, 990, &error), 0) << error;
    ASSERT_EQ(Parse({"--demo", "--rpm-step", "0.4", "--write-device-records", path}, &f), ParseResult::Run);
    EXPECT_EQ(f.deviceRecordsFile, path);
    ASSERT_TRUE(WriteDeviceRecords(f, path, &error)) << error;
    ASSERT_TRUE(WriteDeviceRecords(f, path, &error)) << error;  // again: the same records updated
    tav::DeviceParameterTable table;
    ASSERT_TRUE(table.LoadDeviceParameters(path, true, &error)) << error;
    EXPECT_EQ(table.Record(0).sensorAddress, 9u);
    EXPECT_EQ(table.Record(0).ratedSpeed, 990);
    const int32_t rated[4] = {1500, 2970, 1801, 3001};  // plus 0.4 x i, rounded
    for (int i = 0; i < 4; ++i) {
        const tav::DeviceParameterRecord r = table.Record(1 + i);
        EXPECT_EQ(r.sensorAddress, uint32_t(1 + i));
        EXPECT_EQ(r.workMode, tav::kWorkModeFixedSpeed);
        EXPECT_EQ(r.ratedSpeed, rated[i]);
    }
    EXPECT_EQ(table.Record(5).sensorAddress, 0u);
    std::remove(path.c_str());
}
