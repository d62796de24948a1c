// A simulated sensor that corrupts its stream, against the station's real
// server and parser: only the damaged packets are lost, every junk byte and
// every damaged packet's bytes are counted as dropped, and the parser stays
// in step with the sensor to the end.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/station/Station.h"
#include "sim/SimSensor.h"
#include "support/TestPeers.h"

using namespace tav;

TEST(FrameParserWithSimulator, CorruptSensorLosesOnlyTheDamagedPackets)
{
    test::RecordingEventSink events;
    Station station(StationOptions{.port = 0, .startFolder = ::testing::TempDir(), .settings = tav::test::SharedFolderSettings()}, events);
    ASSERT_EQ(station.Start(nullptr), 0);

    sim::SensorConfig c;
    c.port = uint16_t(station.Port());
    c.address = 321;
    c.fs = 27000.0;
    c.corruptRate = 0.3;
    c.quiet = true;
    c.seed = 11;
    sim::SimSensor sensor(c);
    sensor.Start();
    ASSERT_TRUE(sensor.WaitConnected(5));
    ConnectionRecord &rec = station.Table()[0];
    ASSERT_TRUE(test::WaitFor([&] { return rec.packetsParsed.load() >= 150; }));
    sensor.Stop();
    ASSERT_TRUE(test::WaitFor([&] { return !rec.InUse() && !rec.threadsRunning.load(); }));

    sim::SensorCounts sent = sensor.Stats().Snapshot();
    ASSERT_GT(sent.damagedPackets, 0u);
    ASSERT_GT(sent.junkBytesInserted, 0u);
    EXPECT_EQ(rec.packetsParsed.load(), sent.packetsSent - sent.damagedPackets);
    // Every byte is either in a parsed packet or counted as dropped (a packet
    // cut short when the sensor stopped would be dropped too).
    EXPECT_EQ(rec.droppedBytes.load(), sent.bytesSent - rec.packetsParsed.load() * 1420u);
    EXPECT_GE(rec.droppedBytes.load(), sent.junkBytesInserted + sent.damagedPackets * 1420u);
    EXPECT_LT(rec.droppedBytes.load(), sent.junkBytesInserted + sent.damagedPackets * 1420u + 1420u);
    EXPECT_EQ(rec.blocksCompleted.load(), rec.packetsParsed.load() / 23);
    station.Stop();
}
