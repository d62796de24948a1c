#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>

#include "core/processing/ProcessingThread.h"
#include "core/processing/SpeedEstimator.h"
#include "core/station/Station.h"

namespace tav {
namespace {

constexpr double kTwoPi = 6.283185307179586;

struct ProcessingThreadTest : ::testing::Test {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
};

TEST_F(ProcessingThreadTest, IncompleteCaptureKeepsTheLastSpeed)
{
    ProcessingThread proc(*table, *plots);
    ConnectionRecord &rec = (*table)[3];
    rec.inUse = 1;
    rec.measuredSpeed = 1234.0f;
    rec.cond.captureLimit = 80001;
    rec.cond.captureCount = 40000;
    proc.RunPass(false);
    EXPECT_EQ(rec.measuredSpeed.load(), 1234.0f);
    EXPECT_EQ(rec.cond.captureCount.load(), 40000);

    // A slot no longer in use keeps its speed, even with a completed capture.
    rec.inUse = 0;
    rec.cond.captureCount = 80001;
    proc.RunPass(false);
    EXPECT_EQ(rec.measuredSpeed.load(), 1234.0f);

    rec.inUse = 1;
    proc.RunPass(false);
    EXPECT_EQ(rec.measuredSpeed.load(), 0.0f);  // a silent capture: no speed
    EXPECT_EQ(rec.cond.captureCount.load(), 0);
}

TEST_F(ProcessingThreadTest, LiveSpectraOnlyForASelectedConnectionAfterFiveBlocks)
{
    ProcessingThread proc(*table, *plots);
    PlotData &x = plots->spectrum[0];
    x.pointCount = 123;
    x.samples[0] = 7.0f;
    plots->spectrumTicks = 5;
    table->selectedConnection = -1;
    proc.RunPass(false);
    EXPECT_EQ(x.pointCount, 123);
    EXPECT_EQ(x.samples[0], 7.0f);

    table->selectedConnection = 2;
    (*table)[2].samplingFrequency = 26667.0f;
    plots->spectrumTicks = 4;
    proc.RunPass(false);
    EXPECT_EQ(x.pointCount, 123);

    plots->spectrumTicks = 5;
    proc.RunPass(false);
    EXPECT_EQ(x.pointCount, 6143);
    EXPECT_EQ(x.samples[0], 0.0f);
    EXPECT_EQ(plots->spectrumTicks.load(), 0);
}

// Below 20 kHz one block since the last pass is enough, and the transform
// covers the whole second that the window copies.
TEST_F(ProcessingThreadTest, SlowSensorsGetTheirSpectraAfterEveryPassWithABlock)
{
    ProcessingThread proc(*table, *plots);
    table->selectedConnection = 1;
    (*table)[1].samplingFrequency = 10000.0f;
    PlotData &x = plots->spectrum[0];
    x.pointCount = 123;
    plots->spectrumTicks = 0;
    proc.RunPass(false);
    EXPECT_EQ(x.pointCount, 123) << "no new block, nothing to do";
    plots->spectrumTicks = 1;
    proc.RunPass(false);
    EXPECT_EQ(x.pointCount, 16384);
    EXPECT_EQ(plots->spectrumTicks.load(), 0);
}

// The thread runs paced while one thread plays the parser (captures for two
// slots) and the window (spectrum input and ticks), and another draws the
// spectrum plots. Run under the thread sanitizer.
TEST_F(ProcessingThreadTest, RunsAlongsideParserAndWindow)
{
    const float fs = 26667.0f;
    const double speedHz[2] = {25.0, 20.0};
    for (int s = 0; s < 2; ++s) {
        (*table)[s].inUse = 1;
        (*table)[s].samplingFrequency = fs;
    }
    table->selectedConnection = 0;

    ProcessingThread proc(*table, *plots);
    proc.Start();
    EXPECT_TRUE(proc.Running());

    std::atomic<bool> done{false};
    std::atomic<int> estimates{0};
    std::thread parser([&] {
        long n[2] = {};
        while (!done.load()) {
            for (int s = 0; s < 2; ++s) {
                ConditionState &c = (*table)[s].cond;
                // As the conditioning does it: write only below the limit.
                for (int row = 0; row < 2000; ++row) {
                    const int count = c.captureCount.load();
                    if (count >= c.captureLimit.load())
                        break;
                    if (count == 0 && n[s] > 0)
                        estimates.fetch_add(1);
                    if (count % kCaptureDecimation == 0)
                        c.speedCapture[kAxisZ][count / kCaptureDecimation] =
                            float(std::sin(kTwoPi * speedHz[s] * n[s]++ / (fs / kCaptureDecimation)));
                    c.captureCount.store(count + 1);
                }
            }
            {
                std::lock_guard<std::mutex> lock(plots->spectrumInputMutex);
                for (int i = 0; i < 13333; ++i)
                    plots->spectrumInput[2][i] = float(std::sin(kTwoPi * 1000.0 * i / fs));
            }
            plots->spectrumTicks.fetch_add(1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::thread window([&] {
        float sum = 0;
        while (!done.load()) {
            for (PlotData &p : plots->spectrum) {
                std::lock_guard<std::mutex> lock(p.mutex);
                for (int i = 0; i < p.pointCount; ++i)
                    sum += p.samples[i];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(std::isfinite(sum));
    });

    // Wait for a few estimates of each slot (each pass takes 400 ms).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (estimates.load() < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    proc.Stop();
    done = true;
    parser.join();
    window.join();
    EXPECT_FALSE(proc.Running());
    EXPECT_GE(estimates.load(), 4);
    for (int s = 0; s < 2; ++s)
        EXPECT_NEAR((*table)[s].measuredSpeed.load(), speedHz[s] * 60, 4.0) << s;
    std::lock_guard<std::mutex> lock(plots->spectrum[2].mutex);
    EXPECT_EQ(plots->spectrum[2].pointCount, 6143);
}

TEST_F(ProcessingThreadTest, StopWithoutStartAndTwice)
{
    ProcessingThread proc(*table, *plots);
    proc.Stop();
    proc.Start();
    proc.Stop();
    proc.Stop();
    EXPECT_FALSE(proc.Running());
}

struct NullSink : EventSink {
    void Post(const StationEvent &) override {}
};

// The station starts the thread with its server and joins it on Stop.
TEST(StationProcessing, StartedAndJoinedWithTheStation)
{
    NullSink sink;
    StationOptions options;
    options.port = 0;
    std::string folder = ::testing::TempDir() + "stationXXXXXX";
    ASSERT_NE(::mkdtemp(folder.data()), nullptr);
    options.startFolder = folder;
    Station station(options, sink);
    ASSERT_EQ(station.Start(nullptr), 0);
    station.Table().selectedConnection = 0;  // 27000 Hz until a sensor says otherwise
    station.Plots().spectrumTicks = 5;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (station.Plots().spectrumTicks.load() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    station.Stop();
    EXPECT_EQ(station.Plots().spectrumTicks.load(), 0);
    EXPECT_EQ(station.Plots().spectrum[0].pointCount, LiveLayout(27000, 5).lines);
    ::rmdir((folder + "/data").c_str());
    ::rmdir(folder.c_str());
}

}  // namespace
}  // namespace tav
