// Parser threads recording while the window starts, stops and re-selects.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "core/record/Recorder.h"
#include "core/record/Replayer.h"
#include "tests/record/RecordTestSupport.h"

namespace tav {
namespace {

constexpr uint32_t kBlockBytes = 22 * kPacketBytes;

// Every recorded block must be one whole block of one connection, in order.
void ExpectWholeBlocks(const uint8_t *data, uint32_t length, bool singleSource)
{
    ASSERT_EQ(length % kBlockBytes, 0u);
    uint64_t previous[2] = {0, 0};
    for (uint32_t at = 0; at < length; at += kBlockBytes) {
        uint64_t first = test::PacketSequence(data + at);
        int source = int(first >> 32);
        ASSERT_LT(source, 2);
        for (uint32_t p = 1; p < 22; ++p)
            ASSERT_EQ(test::PacketSequence(data + at + p * kPacketBytes), first + p);
        if (singleSource || previous[source] != 0) {
            ASSERT_GT(first, previous[source]);
        }
        previous[source] = first;
    }
}

TEST(RecordingThreads, StartStopAndSelectionWhileParsersAppend)
{
    auto table = std::make_unique<ConnectionTable>();
    test::CollectingSink sink;
    std::string folder = "/nonexistent";
    Recorder recorder(*table, sink, folder);
    for (int slot = 0; slot < 2; ++slot) {
        (*table)[slot].recording = AllocateRecordingBuffer(kRecordingCapacity);
        (*table)[slot].inUse = 1;
    }
    std::atomic<bool> done{false};
    auto parser = [&](int slot) {
        ConnectionRecord &rec = (*table)[slot];
        uint64_t sequence = (uint64_t(slot) << 32) + 1;
        auto block = test::MakePackets(7, 26667.0f, 22, sequence);
        while (!done) {
            for (uint32_t p = 0; p < 22; ++p) {
                uint64_t s = sequence + p;
                std::memcpy(block.data() + p * kPacketBytes + 16, &s, 8);
            }
            sequence += 22;
            std::lock_guard lock(rec.conditionMutex);
            recorder.RecordBlock(rec, block.data(), kBlockBytes);
        }
    };
    std::thread a(parser, 0), b(parser, 1);
    for (int round = 0; round < 200; ++round) {
        table->selectedConnection = round % 3 == 2 ? -1 : round % 2;
        ASSERT_TRUE(recorder.StartRecording(nullptr));
        std::this_thread::yield();
        if (round % 5 == 0)
            recorder.TogglePause();
        recorder.StopAcquisition();
        for (int slot = 0; slot < 2; ++slot) {
            const ConnectionRecord &rec = (*table)[slot];
            ExpectWholeBlocks(rec.recording->data, rec.recordingLength, true);
        }
        ExpectWholeBlocks(recorder.GlobalData(), recorder.RecordedLength(), false);
    }
    done = true;
    a.join();
    b.join();
}

// Conditioning state that is not atomic: a replay and the slot's parser
// conditioning at once would race on it.
class CountingConsumer : public BlockConsumer {
public:
    void ConditionBlock(ConnectionRecord &rec, const uint8_t *, int packets) override
    {
        rec.cond.windowCount += uint32_t(packets);
        rec.cond.nonFiniteSamples += 1;
    }
};

TEST(RecordingThreads, ReplayAndTheSlotsParserNeverConditionAtOnce)
{
    auto table = std::make_unique<ConnectionTable>();
    test::CollectingSink sink;
    test::ScratchFolder scratch;
    std::string folder = scratch.Path();
    Recorder recorder(*table, sink, folder);
    CountingConsumer consumer;
    Replayer replayer(recorder, &consumer);
    std::string path = folder + "/r.vdat";
    test::WriteFile(path, test::MakePackets(7, 26667.0f, 22 * 200));
    ASSERT_TRUE(recorder.Load(path).ok);
    ConnectionRecord &rec = (*table)[2];
    rec.inUse = 1;
    table->selectedConnection = 2;

    std::atomic<bool> done{false};
    uint64_t parserBlocks = 0;
    std::thread parser([&] {
        // A block that was already in the ring when the replay started.
        auto block = test::MakePackets(7, 26667.0f, 22);
        while (!done) {
            std::lock_guard lock(rec.conditionMutex);
            consumer.ConditionBlock(rec, block.data(), 22);
            ++parserBlocks;
        }
    });
    ASSERT_TRUE(replayer.Start());
    int steps = 0;
    while (recorder.AcquisitionState() == 2)
        steps += replayer.Tick().stepped;
    done = true;
    parser.join();
    EXPECT_EQ(steps, 199);
    std::lock_guard lock(rec.conditionMutex);
    EXPECT_EQ(rec.cond.nonFiniteSamples, parserBlocks + 199);
}

}  // namespace
}  // namespace tav
