// Recording step, pause and stop, fed with blocks on a synthetic clock.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <mutex>

#include "core/record/Recorder.h"
#include "tests/record/RecordTestSupport.h"

namespace tav {
namespace {

using test::MakePackets;

class RecorderTest : public ::testing::Test {
protected:
    void Connect(int slot, uint32_t address, float fs = 26667.0f)
    {
        ConnectionRecord &rec = (*table)[slot];
        rec.recording = AllocateRecordingBuffer(kRecordingCapacity);
        rec.sensorAddress = address;
        rec.samplingFrequency = fs;
        rec.inUse = 1;
    }
    // What the conditioning does with every block: the recording step,
    // holding the slot's condition lock.
    void Feed(int slot, const std::vector<uint8_t> &block)
    {
        ConnectionRecord &rec = (*table)[slot];
        std::lock_guard lock(rec.conditionMutex);
        recorder.RecordBlock(rec, block.data(), uint32_t(block.size()));
    }
    // A 26667 Hz sensor streaming over [0, seconds) of simulated time; each
    // block of 22 packets is handed over when its last packet has arrived.
    // `at(t)` runs the operator's actions due before time t.
    template <class Actions>
    void Stream(int slot, double seconds, Actions at)
    {
        const double packetSeconds = kSamplesPerPacket / 26667.0;
        auto block = MakePackets(7, 26667.0f, 22);
        for (int b = 0;; ++b) {
            double t = (b + 1) * 22 * packetSeconds + phase;
            if (t >= seconds)
                break;
            at(t);
            Feed(slot, block);
        }
    }

    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    test::CollectingSink sink;
    std::string folder = "/nonexistent";
    Recorder recorder{*table, sink, folder};
    double phase = 0;
};

constexpr uint32_t kBlockBytes = 22 * kPacketBytes;

TEST_F(RecorderTest, TenSecondsAt26667HzAreWholeBlocksOf22Packets)
{
    for (double p : {0.0, 0.013, 0.047, 0.081}) {
        phase = p;
        Connect(0, 7);
        table->selectedConnection = 0;
        bool started = false, stopped = false;
        Stream(0, 12.0, [&](double t) {
            if (!started && t >= 1.0)
                started = recorder.StartRecording(nullptr);
            if (!stopped && t >= 11.0) {
                recorder.StopAcquisition();
                stopped = true;
            }
        });
        ASSERT_TRUE(started && stopped);
        uint32_t len = (*table)[0].recordingLength;
        EXPECT_EQ(len % kBlockBytes, 0u);
        EXPECT_GE(len / kBlockBytes, 104u);
        EXPECT_LE(len / kBlockBytes, 105u);
        // The selected connection's data also went to the global buffer.
        EXPECT_EQ(recorder.RecordedLength(), len);
        EXPECT_EQ((*table)[0].recordingPosition, 0u);
        EXPECT_EQ(recorder.AcquisitionState(), 0);
    }
}

TEST_F(RecorderTest, PausingTwoSecondsShortensByAboutTwoSeconds)
{
    Connect(0, 7);
    table->selectedConnection = 0;
    int phaseStep = 0;
    bool pausedText = false;
    Stream(0, 12.0, [&](double t) {
        if (phaseStep == 0 && t >= 1.0 && recorder.StartRecording(nullptr))
            phaseStep = 1;
        if (phaseStep == 1 && t >= 4.0) {
            pausedText = recorder.TogglePause();
            phaseStep = 2;
        }
        if (phaseStep == 2 && t >= 6.0) {
            EXPECT_FALSE(recorder.TogglePause());
            phaseStep = 3;
        }
        if (phaseStep == 3 && t >= 11.0) {
            recorder.StopAcquisition();
            phaseStep = 4;
        }
    });
    EXPECT_TRUE(pausedText);
    ASSERT_EQ(phaseStep, 4);
    double seconds = RecordingSeconds((*table)[0].recordingLength, 26667.0f);
    EXPECT_NEAR(seconds, 8.0, 0.2);
    EXPECT_FALSE(recorder.Paused());  // stop clears the pause
}

TEST_F(RecorderTest, OnlyRecordsWhileRecordingAndNeverFillsABufferExactly)
{
    Connect(0, 7);
    Connect(1, 8);
    auto block = MakePackets(7, 26667.0f, 22);
    Feed(0, block);  // idle
    EXPECT_EQ((*table)[0].recordingPosition, 0u);

    // A buffer of exactly three blocks takes two: the third would fill it.
    auto small = std::make_shared<RecordingBuffer>();
    small->capacity = 3 * kBlockBytes;
    small->data = static_cast<uint8_t *>(std::malloc(small->capacity));
    (*table)[1].recording = small;
    // A slot whose buffer could not be allocated records nothing.
    Connect(2, 9);
    (*table)[2].recording.reset();

    ASSERT_TRUE(recorder.StartRecording(nullptr));
    EXPECT_FALSE(recorder.StartRecording(nullptr));  // already running
    for (int i = 0; i < 4; ++i) {
        Feed(1, block);
        Feed(2, block);
    }
    EXPECT_EQ((*table)[1].recordingPosition, 2 * kBlockBytes);
    EXPECT_EQ((*table)[2].recordingPosition, 0u);
    EXPECT_EQ(0, std::memcmp(small->data + kBlockBytes, block.data(), kBlockBytes));

    // With nothing selected the global buffer stays empty.
    EXPECT_EQ(recorder.GlobalPosition().load(), 0u);
    RecordingProgress p = recorder.Progress();
    EXPECT_EQ(p.percent, 0);
    EXPECT_EQ(p.seconds, "");

    recorder.StopAcquisition();
    EXPECT_EQ((*table)[1].recordingLength, 2 * kBlockBytes);
    EXPECT_EQ((*table)[2].recordingLength, 0u);
    Feed(1, block);  // after the stop
    EXPECT_EQ((*table)[1].recordingPosition, 0u);
}

TEST_F(RecorderTest, GlobalBufferFollowsTheSelectedConnectionAndShowsItsSeconds)
{
    Connect(0, 7);
    Connect(1, 8);
    auto a = MakePackets(7, 26667.0f, 22, 100);
    auto b = MakePackets(8, 26667.0f, 22, 200);
    table->selectedConnection = 0;
    ASSERT_TRUE(recorder.StartRecording(nullptr));
    Feed(0, a);
    Feed(1, b);
    table->selectedConnection = 1;
    Feed(0, a);
    Feed(1, b);
    EXPECT_EQ(recorder.GlobalPosition().load(), 2 * kBlockBytes);
    RecordingProgress p = recorder.Progress();
    EXPECT_EQ(p.seconds, "0.19");  // 44 packets x 116 / 26667
    EXPECT_EQ(p.percent, 0);
    recorder.StopAcquisition();
    const uint8_t *g = recorder.GlobalData();
    EXPECT_EQ(test::PacketSequence(g), 100u);
    EXPECT_EQ(test::PacketSequence(g + kBlockBytes), 200u);
    EXPECT_EQ(recorder.RecordedLength(), 2 * kBlockBytes);
}

}  // namespace
}  // namespace tav
