// The capture thread on the real clock against a parser thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "CaptureSender.h"

namespace tav {
namespace {

using namespace tav::test;

TEST(AlarmCaptureThread, WritesWhileAParserAppends)
{
    const std::string folder = ::testing::TempDir() + "/capture-thread";
    std::system(("rm -rf '" + folder + "'").c_str());
    AlarmCapture capture(folder);
    MachineSettings m;
    m.address = 5;
    m.onDelayS = 0;
    capture.SetSettings({0.3, 0.3}, {{5, m}});
    Sender sensor;
    capture.OnSteadySnapshot(SnapshotOf(0, 5, 3, 7));
    capture.Start();
    std::atomic<bool> done{false};
    std::thread parser([&] {
        while (!done.load()) {
            sensor.Block(capture);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the sensor's pace
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    const std::string path = capture.RequestCapture(5, 3, 7, now, now);
    ASSERT_FALSE(path.empty());
    std::vector<CaptureOutcome> outcomes;
    for (int i = 0; i < 500 && outcomes.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        outcomes = capture.TakeOutcomes();
    }
    done = true;
    parser.join();
    capture.Stop();
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].ok) << outcomes[0].message;
    EXPECT_EQ(outcomes[0].message, "");
    const std::string got = ReadAll(path);
    ASSERT_GT(got.size(), 0u);
    EXPECT_EQ(got.size() % kPacketBytes, 0u);
    // Whole packets in the order sent: consecutive serial numbers.
    float previous = -1;
    for (size_t off = 0; off < got.size(); off += kPacketBytes) {
        float x;
        std::memcpy(&x, got.data() + off + 24, 4);
        if (previous >= 0) {
            EXPECT_EQ(x, previous + 1);
        }
        previous = x;
    }
}

}  // namespace
}  // namespace tav
