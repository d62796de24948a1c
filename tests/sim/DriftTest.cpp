// The amplitude drift of the simulator: sines grow at the set rate with the
// signal's own time, and only on the sensors asked for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sim/SensorCore.h"
#include "sim/SimFleet.h"
#include "sim/SimOptions.h"

using namespace tav::sim;

namespace {

// Largest |X| over `packets` packets built in a row.
double PeakOfPackets(SensorCore &core, int packets)
{
    std::vector<uint8_t> p(1420);
    double peak = 0;
    for (int j = 0; j < packets; ++j) {
        core.BuildPacket(p.data());
        for (int r = 0; r < 116; ++r) {
            float x;
            std::memcpy(&x, p.data() + 24 + r * 12, 4);
            peak = std::max(peak, std::fabs(double(x)));
        }
    }
    return peak;
}

TEST(SimDrift, SinesGrowAtTheSetRateOfSignalTime)
{
    SensorConfig c;
    std::string error;
    ASSERT_TRUE(ParseAxisSignal("80hz=0.5,noise=0", &c.axes[0], &error));
    c.driftPerMinute = 0.5;
    SensorStats stats;
    SensorCore core(c, stats, 0.0);
    const int perSecond = int(26667.0 / 116);
    EXPECT_NEAR(PeakOfPackets(core, perSecond / 10), 0.5, 0.01);
    // A minute of signal later the amplitude is half as large again.
    PeakOfPackets(core, 60 * perSecond - 2 * (perSecond / 10));
    EXPECT_NEAR(PeakOfPackets(core, perSecond / 10), 0.75, 0.01);

    SensorConfig steady = c;
    steady.driftPerMinute = 0;
    SensorCore still(steady, stats, 0.0);
    PeakOfPackets(still, 60 * perSecond);
    EXPECT_NEAR(PeakOfPackets(still, perSecond / 10), 0.5, 0.01);
}

TEST(SimDrift, OptionsPickTheDriftingSensors)
{
    FleetConfig f;
    std::string error;
    ASSERT_EQ(ParseSimOptions({"--sensors", "3", "--drift", "40", "--drift-sensors", "1"}, &f, &error),
              ParseResult::Run)
        << error;
    const auto peers = f.Expand();
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_DOUBLE_EQ(peers[0].driftPerMinute, 0.4);
    EXPECT_EQ(peers[1].driftPerMinute, 0.0);
    EXPECT_EQ(peers[2].driftPerMinute, 0.0);

    FleetConfig all;
    ASSERT_EQ(ParseSimOptions({"--sensors", "2", "--drift", "10"}, &all, &error), ParseResult::Run);
    EXPECT_DOUBLE_EQ(all.Expand()[1].driftPerMinute, 0.1);
    EXPECT_EQ(ParseSimOptions({"--drift", "abc"}, &all, &error), ParseResult::Error);
}

}  // namespace
