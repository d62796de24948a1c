// The device parameter table: its file image, the record search, the durable
// save and the speed band it sets on a connection.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "core/config/DeviceParameterTable.h"
#include "core/net/ConnectionTable.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"

using namespace tav;
namespace fs = std::filesystem;

namespace {

class NullSink : public EventSink {
public:
    void Post(const StationEvent &) override {}
};

struct TempFolder {
    fs::path path;
    TempFolder()
    {
        static int n = 0;
        path = fs::temp_directory_path() / ("tav_devtable_" + std::to_string(::getpid()) + "_" + std::to_string(n++));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempFolder() { fs::remove_all(path); }
    std::string File() const { return (path / "devicepara.dat").string(); }
};

std::vector<uint8_t> ReadAll(const std::string &p)
{
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteAll(const std::string &p, const std::vector<uint8_t> &bytes)
{
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

TEST(DeviceTable, FirstRunCreatesAnEmptyFileAndTheSaveExampleHolds)
{
    TempFolder dir;
    NullSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = dir.path.string();
    Station station(options, sink);
    std::vector<std::string> errors;
    ASSERT_EQ(station.Start(&errors), 0);
    ASSERT_TRUE(fs::exists(dir.File()));
    EXPECT_EQ(fs::file_size(dir.File()), 0u);
    station.Stop();

    DeviceParameterTable &table = station.DeviceTable();
    ConnectionRecord &c = station.Table()[0];
    c.sensorAddress = 5;
    int index = table.FindDeviceRecord(5);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(table.Record(index).workMode, 0);  // a free record shows "未定义"
    std::string error;
    ASSERT_EQ(table.SaveDeviceRecord(station.DeviceParameterPath(), 5, kWorkModeFixedSpeed, 1500, &error), 0)
        << error;
    std::vector<uint8_t> file = ReadAll(dir.File());
    ASSERT_EQ(file.size(), 1600u);
    std::vector<uint8_t> first = {5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0xDC, 0x05, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 16), first);
    EXPECT_EQ(std::count(file.begin() + 16, file.end(), 0), 1584);
    EXPECT_EQ(std::string(kWorkModeNames[1]), "工频");

    table.ApplyDeviceParameters(c);
    EXPECT_FLOAT_EQ(c.ratedSpeed, 1500.0f);
    EXPECT_FLOAT_EQ(c.ratedFrequency, 25.0f);
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 22.5f);
    EXPECT_FLOAT_EQ(c.upperSearchLimit, 27.5f);
}

TEST(DeviceTable, SavesFindTheSensorsOwnRecordOrTheNextFreeOne)
{
    TempFolder dir;
    DeviceParameterTable table;
    std::string error;
    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 5, 1, 1500, &error), 0);
    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 9, 2, 3000, &error), 1);
    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 5, 2, 1200, &error), 0);
    EXPECT_EQ(table.Record(0).ratedSpeed, 1200);
    EXPECT_EQ(table.Record(1).sensorAddress, 9u);
    EXPECT_EQ(table.Record(2).sensorAddress, 0u);

    // Reloading gives the same table; the reserved field survives a save.
    std::vector<uint8_t> file = ReadAll(dir.File());
    file[16 + 4] = 0xAB;
    WriteAll(dir.File(), file);
    DeviceParameterTable loaded;
    ASSERT_TRUE(loaded.LoadDeviceParameters(dir.File(), true, &error));
    EXPECT_EQ(loaded.Record(1).reserved, 0xABu);
    ASSERT_GE(loaded.SaveDeviceRecord(dir.File(), 9, 1, 3000, &error), 0);
    EXPECT_EQ(ReadAll(dir.File())[16 + 4], 0xAB);

    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 0, 1, 1500, &error), -1);  // sensor not yet identified
}

TEST(DeviceTable, LoadReadsAtMostTheTableAndFillsFromTheStart)
{
    TempFolder dir;
    std::vector<uint8_t> big(2000, 0);
    big[0] = 7;
    big[1599] = 0x12;
    big[1600] = 0xFF;
    WriteAll(dir.File(), big);
    DeviceParameterTable table;
    std::string error;
    ASSERT_TRUE(table.LoadDeviceParameters(dir.File(), true, &error));
    EXPECT_EQ(table.Record(0).sensorAddress, 7u);
    EXPECT_EQ(uint32_t(table.Record(99).ratedSpeed), 0x12000000u);

    // A shorter file replaces only its own bytes on a reload without clearing.
    WriteAll(dir.File(), {9, 0, 0, 0, 0, 0, 0, 0, 2});
    ASSERT_TRUE(table.LoadDeviceParameters(dir.File(), false, &error));
    EXPECT_EQ(table.Record(0).sensorAddress, 9u);
    EXPECT_EQ(table.Record(0).workMode, 2);
    EXPECT_EQ(uint32_t(table.Record(99).ratedSpeed), 0x12000000u);
    ASSERT_TRUE(table.LoadDeviceParameters(dir.File(), true, &error));
    EXPECT_EQ(table.Record(99).ratedSpeed, 0);
}

TEST(DeviceTable, BandFollowsWorkModeAndLaterRecords)
{
    DeviceParameterTable table;
    auto owner = std::make_unique<ConnectionRecord>();  // holds its ring: too big for the stack
    ConnectionRecord &c = *owner;
    c.sensorAddress = 5;
    table.SetRecord(0, {5, 0, -1, 3000});  // nothing chosen
    table.ApplyDeviceParameters(c);
    EXPECT_FLOAT_EQ(c.ratedSpeed, 1500.0f);
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 13.0f);
    EXPECT_FLOAT_EQ(c.upperSearchLimit, 25.5f);

    table.SetRecord(3, {5, 0, kWorkModeVariableSpeed, 3000});
    table.ApplyDeviceParameters(c);
    EXPECT_FLOAT_EQ(c.ratedFrequency, 50.0f);
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 30.0f);
    EXPECT_FLOAT_EQ(c.upperSearchLimit, 55.0f);
    // Float frequency, double factors, float result.
    EXPECT_EQ(c.upperSearchLimit.load(), float(50.0f * 1.1));

    table.SetRecord(7, {5, 0, kWorkModeFixedSpeed, 3000});  // a later record wins
    table.ApplyDeviceParameters(c);
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 45.0f);

    auto unknownOwner = std::make_unique<ConnectionRecord>();  // sensor address 0 matches no free record
    ConnectionRecord &unknown = *unknownOwner;
    table.SetRecord(10, {0, 0, kWorkModeFixedSpeed, 600});
    table.ApplyDeviceParameters(unknown);
    EXPECT_FLOAT_EQ(unknown.ratedSpeed, 1500.0f);
}

TEST(DeviceTable, FullTableRefusesAndNeverOverwrites)
{
    TempFolder dir;
    DeviceParameterTable table;
    for (int i = 0; i < DeviceParameterTable::kRecordCount; ++i)
        table.SetRecord(i, {uint32_t(100 + i), 0, 1, 1000});
    EXPECT_EQ(table.FindDeviceRecord(5), -1);
    std::string error;
    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 5, 1, 1500, &error), -1);
    EXPECT_NE(error.find("已满"), std::string::npos);
    EXPECT_EQ(table.Record(0).sensorAddress, 100u);
    EXPECT_FALSE(fs::exists(dir.File()));
    // A sensor already in the full table can still be saved.
    EXPECT_EQ(table.SaveDeviceRecord(dir.File(), 150, 2, 900, &error), 50);
}

TEST(DeviceTable, FailedSaveIsReportedAndNotApplied)
{
    TempFolder dir;
    // A folder that is a regular file stops even root.
    std::string blocker = (dir.path / "plain").string();
    WriteAll(blocker, {1});
    std::string path = blocker + "/devicepara.dat";
    DeviceParameterTable table;
    std::string error;
    EXPECT_FALSE(table.LoadDeviceParameters(path, true, &error));
    EXPECT_FALSE(error.empty());
    error.clear();
    EXPECT_EQ(table.SaveDeviceRecord(path, 5, 1, 1500, &error), -1);
    EXPECT_NE(error.find("保存失败"), std::string::npos) << error;
    EXPECT_EQ(table.Record(0).sensorAddress, 0u);  // not claimed as saved

    // No temporary files are left beside a good file either.
    ASSERT_GE(table.SaveDeviceRecord(dir.File(), 5, 1, 1500, &error), 0);
    int entries = 0;
    for (auto &e : fs::directory_iterator(dir.path))
        entries += e.path().filename().string().rfind("devicepara.dat", 0) == 0;
    EXPECT_EQ(entries, 1);
}

TEST(DeviceTable, NewSensorInAReusedSlotStartsFromTheStartUpBand)
{
    TempFolder dir;
    tav::test::RecordingEventSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = dir.path.string();
    Station station(options, sink);
    ASSERT_EQ(station.Start(nullptr), 0);
    ConnectionRecord &c = station.Table()[0];
    int fd = tav::test::ConnectLoopback(station.Port());
    ASSERT_TRUE(tav::test::WaitFor([&] { return c.InUse(); }));
    c.sensorAddress = 5;
    std::string error;
    ASSERT_GE(station.DeviceTable().SaveDeviceRecord(station.DeviceParameterPath(), 5, 1, 3000, &error), 0);
    station.DeviceTable().ApplyDeviceParameters(c);
    ASSERT_FLOAT_EQ(c.lowerSearchLimit, 45.0f);
    ::close(fd);
    ASSERT_TRUE(tav::test::WaitFor([&] { return !c.InUse() && !c.threadsRunning; }));

    // The accept loop may have chosen its next slot before slot 0 was free;
    // a connection that lands elsewhere is closed and tried again.
    auto &table = station.Table();
    for (int attempt = 0; attempt < 10 && !c.InUse(); ++attempt) {
        fd = tav::test::ConnectLoopback(station.Port());
        ASSERT_TRUE(tav::test::WaitFor([&] { return table.CountInUse() == 1; }));
        if (c.InUse())
            break;
        ::close(fd);
        ASSERT_TRUE(tav::test::WaitFor([&] { return table.CountInUse() == 0; }));
    }
    ASSERT_TRUE(c.InUse());
    EXPECT_FLOAT_EQ(c.ratedSpeed, 1500.0f);
    EXPECT_FLOAT_EQ(c.ratedFrequency, 25.0f);
    EXPECT_FLOAT_EQ(c.lowerSearchLimit, 13.0f);
    EXPECT_FLOAT_EQ(c.upperSearchLimit, 25.5f);
    ::close(fd);
    station.Stop();
}
