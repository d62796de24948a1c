// Speed estimates end to end: simulated sensors stream over loopback, the
// steady-state tick binds them and applies their device records, and the
// processing thread finds each running speed inside its own band.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/station/Station.h"
#include "sim/SimFleet.h"
#include "sim/SimOptions.h"
#include "tests/support/TestPeers.h"

namespace tav {
namespace {

namespace fs = std::filesystem;

TEST(SpeedSim, EachSensorsSpeedIsFoundInItsDeviceBand)
{
    const fs::path folder = fs::temp_directory_path() / ("tav_speed_sim_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    {
        // Address 1 has no record and keeps the default band around 1500 rpm;
        // 2 runs at 2970 rpm on a fixed-speed machine rated 3000 (45..55 Hz);
        // 3 at 2100 rpm on a variable-speed machine rated 3000 (30..55 Hz),
        // below where a fixed-speed band would look.
        DeviceParameterTable seed;
        std::string error;
        const std::string path = (folder / kDeviceParameterFileName).string();
        ASSERT_GE(seed.SaveDeviceRecord(path, 2, kWorkModeFixedSpeed, 3000, &error), 0) << error;
        ASSERT_GE(seed.SaveDeviceRecord(path, 3, kWorkModeVariableSpeed, 3000, &error), 0) << error;
    }

    test::RecordingEventSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = folder.string();
    auto station = std::make_unique<Station>(options, sink);
    std::vector<std::string> messages;
    ASSERT_EQ(station->Start(&messages), 0);

    sim::FleetConfig fleetConfig = sim::DefaultFleetConfig();
    fleetConfig.base.port = uint16_t(station->Port());
    fleetConfig.base.quiet = true;
    fleetConfig.base.reconnectDelay = 0.05;
    fleetConfig.sensors = 3;
    fleetConfig.rpms = {1500, 2970, 2100};
    sim::SimFleet fleet(fleetConfig);
    fleet.Start();

    const double expected[] = {1500, 2970, 2100};
    auto &table = station->Table();
    auto slotOf = [&](uint32_t address) {
        for (int s = 0; s < kSlotCount; ++s)
            if (table[s].InUse() && table[s].sensorAddress.load() == address)
                return s;
        return -1;
    };
    auto allFound = [&] {
        for (uint32_t a = 1; a <= 3; ++a) {
            int s = slotOf(a);
            if (s < 0 || table[s].measuredSpeed.load() == 0.0f)
                return false;
        }
        return true;
    };
    // The test thread plays the window: the 500 ms tick binds the records.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!allFound() && std::chrono::steady_clock::now() < deadline) {
        station->SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // One more full capture after the binding, so every estimate used its record's band.
    for (int i = 0; i < 80; ++i) {
        station->SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(allFound());
    for (uint32_t a = 1; a <= 3; ++a) {
        const ConnectionRecord &rec = table[slotOf(a)];
        const double rpm = rec.measuredSpeed.load();
        // One spectral line of the capture is a fraction of a hertz: 1 % is generous.
        EXPECT_NEAR(rpm, expected[a - 1], expected[a - 1] * 0.01) << "address " << a;
        const double hz = rpm / 60.0;
        EXPECT_GE(hz, rec.lowerSearchLimit.load()) << "address " << a;
        EXPECT_LE(hz, rec.upperSearchLimit.load()) << "address " << a;
    }
    EXPECT_FLOAT_EQ(table[slotOf(2)].lowerSearchLimit.load(), 45.0f);
    EXPECT_FLOAT_EQ(table[slotOf(3)].lowerSearchLimit.load(), 30.0f);

    fleet.Stop();
    station->Stop();
    station.reset();
    fs::remove_all(folder);
}

}  // namespace
}  // namespace tav
