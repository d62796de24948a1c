// Loading .vdat files and replaying the global buffer through the conditioning.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "core/record/Recorder.h"
#include "core/record/Replayer.h"
#include "tests/record/RecordTestSupport.h"

namespace tav {
namespace {

using test::MakePackets;

// Remembers the first packet of every block it is given.
class BlockLog : public BlockConsumer {
public:
    void ConditionBlock(ConnectionRecord &rec, const uint8_t *block, int packets) override
    {
        slots.push_back(rec.slotIndex);
        firsts.push_back(test::PacketSequence(block));
        sizes.push_back(packets);
        // The replay's own copy, never the parser's block buffer.
        EXPECT_NE(block, rec.blockBuffer);
    }
    std::vector<int> slots;
    std::vector<uint64_t> firsts;
    std::vector<int> sizes;
};

class ReplayTest : public ::testing::Test {
protected:
    std::string Write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::string path = scratch.Path() + "/" + name;
        test::WriteFile(path, bytes);
        return path;
    }
    // Ticks until the replay stops; returns the steps replayed.
    int RunToEnd()
    {
        int steps = 0;
        for (int i = 0; i < 100000 && recorder.AcquisitionState() == 2; ++i)
            steps += replayer.Tick().stepped;
        return steps;
    }

    test::ScratchFolder scratch;
    std::string folder = scratch.Path();
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    test::CollectingSink sink;
    Recorder recorder{*table, sink, folder};
    BlockLog log;
    Replayer replayer{recorder, &log};
};

TEST_F(ReplayTest, LoadShowsTheFileLengthAndAFreshReplayTime)
{
    LoadResult r = recorder.Load(Write("a.vdat", MakePackets(7, 26667.0f, 100)));
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.totalText, "0.43");
    EXPECT_EQ(r.replayedText, "0.0");
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(recorder.RecordedLength(), 100 * kPacketBytes);

    // A trailing partial packet is left out.
    auto bytes = MakePackets(7, 26667.0f, 10);
    bytes.resize(bytes.size() + 700, 0xAB);
    ASSERT_TRUE(recorder.Load(Write("b.vdat", bytes)).ok);
    EXPECT_EQ(recorder.RecordedLength(), 10 * kPacketBytes);
}

TEST_F(ReplayTest, BadFilesAreRefusedAndLeaveTheLoadedDataAlone)
{
    ASSERT_TRUE(recorder.Load(Write("good.vdat", MakePackets(7, 26667.0f, 50, 500))).ok);

    auto shortFile = MakePackets(7, 26667.0f, 1);
    shortFile.resize(1419);
    auto noMarker = MakePackets(7, 26667.0f, 3);
    noMarker[1417] = 'X';
    auto badFs = MakePackets(7, std::nanf(""), 3);
    auto zeroFs = MakePackets(7, 0.0f, 3);
    auto infFs = MakePackets(7, INFINITY, 3);
    for (auto [name, bytes] : {std::pair{"short", shortFile}, {"nomarker", noMarker}, {"nanfs", badFs},
                               {"zerofs", zeroFs}, {"inffs", infFs}, {"empty", std::vector<uint8_t>{}}}) {
        std::string path = Write(std::string(name) + ".vdat", bytes);
        LoadResult r = recorder.Load(path);
        EXPECT_FALSE(r.ok) << name;
        EXPECT_NE(r.message.find(path), std::string::npos) << name << ": " << r.message;
    }
    EXPECT_FALSE(recorder.Load(scratch.Path() + "/missing.vdat").ok);
    EXPECT_FALSE(recorder.Load(scratch.Path()).ok);  // a folder

    EXPECT_EQ(recorder.RecordedLength(), 50 * kPacketBytes);
    EXPECT_EQ(test::PacketSequence(recorder.GlobalData()), 500u);
}

TEST_F(ReplayTest, FileLongerThanTheBufferLoadsItsFirstWholePackets)
{
    std::string path = Write("long.vdat", MakePackets(7, 26667.0f, 1));
    ASSERT_EQ(::truncate(path.c_str(), off_t(kRecordingCapacity) + 5000), 0);  // sparse tail
    LoadResult r = recorder.Load(path);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(recorder.RecordedLength(), kRecordingCapacity / kPacketBytes * kPacketBytes);
    EXPECT_NE(r.message.find("只读取了前70889个完整数据包"), std::string::npos) << r.message;
}

TEST_F(ReplayTest, ReplaysWholeStepsOnSlotZeroWhenNothingIsSelected)
{
    constexpr int k = 5;
    ASSERT_TRUE(recorder.Load(Write("k.vdat", MakePackets(9, 26667.0f, 22 * k))).ok);
    ASSERT_TRUE(replayer.Start());
    EXPECT_EQ(replayer.StepPackets(), 22);
    EXPECT_FALSE(replayer.Start());  // already replaying

    ReplayTick first = replayer.Tick();
    EXPECT_EQ(first.listLine, "  0 : 地址:9");
    EXPECT_EQ(table->selectedConnection, 0);
    EXPECT_EQ((*table)[0].sensorAddress, 9u);
    EXPECT_TRUE(first.stepped);
    EXPECT_EQ(first.percent, 20);
    EXPECT_EQ(first.replayedText, "0.10");
    EXPECT_EQ(first.totalText, "0.48");

    // A step is replayed only while it ends before the data do: k steps give k - 1.
    int steps = 1 + RunToEnd();
    EXPECT_EQ(steps, k - 1);
    EXPECT_EQ(recorder.AcquisitionState(), 0);
    EXPECT_EQ(recorder.GlobalPosition().load(), 0u);
    EXPECT_EQ(log.firsts, (std::vector<uint64_t>{0, 22, 44, 66}));
    EXPECT_EQ(log.sizes, (std::vector<int>(k - 1, 22)));
    EXPECT_EQ(log.slots, (std::vector<int>(k - 1, 0)));

    // A second replay uses the selected slot and adds no list line.
    ASSERT_TRUE(replayer.Start());
    EXPECT_EQ(replayer.Tick().listLine, "");
}

// A replay over a live sensor's slot showed that sensor's identity and
// estimated the speed in its band; after the replay the slot must be the
// live sensor's again, unless another connection has taken it meanwhile.
TEST_F(ReplayTest, ReplayRunsInTheReplayedSensorsBandAndGivesTheSlotBack)
{
    replayer.SetSpeedBandFn([](ConnectionRecord &rec) {
        if (rec.sensorAddress == 1)  // the replayed sensor's device record: 1500 rpm fixed
            rec.lowerSearchLimit = 22.5f;
    });
    ConnectionRecord &live = (*table)[3];
    for (uint32_t takenOver : {0u, 1u}) {
        live.sensorAddress = 6;
        live.ratedSpeed = 1800.0f;
        live.lowerSearchLimit = 27.0f;
        table->selectedConnection = 3;
        ASSERT_TRUE(recorder.Load(Write("s1.vdat", MakePackets(1, 26667.0f, 22 * 3))).ok);
        ASSERT_TRUE(replayer.Start());
        EXPECT_TRUE(replayer.Tick().stepped);
        EXPECT_EQ(replayer.FileAddress(), 1u);
        EXPECT_EQ(live.sensorAddress, 1u);
        EXPECT_EQ(live.ratedSpeed, 1500.0f);
        EXPECT_EQ(live.lowerSearchLimit, 22.5f);
        live.generation += takenOver;
        RunToEnd();
        EXPECT_EQ(live.sensorAddress, takenOver ? 1u : 6u);
        EXPECT_EQ(live.lowerSearchLimit, takenOver ? 22.5f : 27.0f);
        replayer.Finish();  // a second end changes nothing
        EXPECT_EQ(live.lowerSearchLimit, takenOver ? 22.5f : 27.0f);
    }
}

TEST_F(ReplayTest, RepositionWhilePausedContinuesAtAPacketBoundary)
{
    table->selectedConnection = 3;
    ASSERT_TRUE(recorder.Load(Write("p.vdat", MakePackets(7, 26667.0f, 1001))).ok);
    ASSERT_TRUE(replayer.Start());
    while (replayer.Tick().percent < 50) {
    }
    recorder.TogglePause();
    uint32_t pausedAt = recorder.GlobalPosition();
    EXPECT_FALSE(replayer.Tick().stepped);  // paused: nothing moves
    EXPECT_EQ(recorder.GlobalPosition().load(), pausedAt);

    replayer.Reposition(25);
    EXPECT_EQ(recorder.GlobalPosition().load(), 250 * kPacketBytes);
    recorder.TogglePause();
    replayer.Reposition(80);  // no effect while running
    ReplayTick t = replayer.Tick();
    EXPECT_TRUE(t.stepped);
    EXPECT_EQ(log.firsts.back(), 250u);
    EXPECT_EQ(log.slots.back(), 3);
}

TEST_F(ReplayTest, StepFollowsTheSamplingFrequency)
{
    EXPECT_EQ(ReplayStepPackets(26667.0f), 22);
    EXPECT_EQ(ReplayStepPackets(27000.0f), 22);
    EXPECT_EQ(ReplayStepPackets(10000.0f), 8);  // 8.10 packets per tick
    EXPECT_EQ(ReplayStepPackets(100.0f), 1);
    EXPECT_EQ(ReplayStepPackets(1e7f), 140);  // what one block can hold
    EXPECT_EQ(ReplayStepPackets(std::nanf("")), 22);

    // An empty or tiny recording stops at the first tick.
    ASSERT_TRUE(replayer.Start());
    EXPECT_TRUE(replayer.Tick().stopped);
    EXPECT_EQ(recorder.AcquisitionState(), 0);
}

}  // namespace
}  // namespace tav
