// The analysis path end to end without a window: a simulated machine's
// blocks go through the conditioning into the live capture, and the worker
// turns the newest seconds into a spectrum whose peaks read the machine's
// orders, in acceleration and in the conditioned velocity.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "core/analysis/AnalysisWorker.h"
#include "dsp/BlockFeeder.h"
#include "sim/SignalGenerator.h"

namespace tav::analysis {
namespace {

struct WorkerFixture : ::testing::Test {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    std::unique_ptr<Conditioner> conditioner = std::make_unique<Conditioner>(*table, *plots, sink, nullptr);
    ConnectionRecord &rec = (*table)[3];
    test::BlockFeeder feeder{*conditioner, rec, 26667.0f};
    std::unique_ptr<sim::SignalGenerator> gen;
    std::vector<float> xyz;

    void SetUp() override
    {
        table->selectedConnection = 3;
        sim::AxisSignal x, z;
        std::string error;
        ASSERT_TRUE(sim::ParseAxisSignal("1x=0.5,2x=0.2@30,3x=0.1@60", &x, &error)) << error;
        ASSERT_TRUE(sim::ParseAxisSignal("159.15hz=1", &z, &error)) << error;
        gen = std::make_unique<sim::SignalGenerator>(std::array<sim::AxisSignal, 3>{x, sim::AxisSignal{}, z}, 1800.0, 5);
        rec.measuredSpeed = 1800.0f;
        rec.ratedSpeed = 1500.0f;
    }
    // Feeds `seconds` of the machine, generated row by row as the blocks ask.
    void Feed(double seconds)
    {
        const int64_t end = feeder.row + static_cast<int64_t>(seconds * feeder.fs);
        while (feeder.row < end) {
            const int64_t first = feeder.row;
            const int rows = 22 * 116;
            xyz.resize(3 * rows);
            gen->Generate(xyz.data(), rows, feeder.fs);
            feeder.FeedBlock([&](int64_t row, int axis) { return xyz[3 * (row - first) + axis]; }, 22);
        }
    }
};

TEST_F(WorkerFixture, OrdersOfASimulatedMachineFromTheConditionedSignals)
{
    plots->capture.Start();
    // A paused time plot still feeds the analysis.
    plots->time[0].running = 0;
    AnalysisWorker worker(*table, *plots);
    Request r;
    r.spectrum.seconds = 2;
    r.spectrum.window = WindowKind::Hann;
    worker.SetRequest(r);
    Feed(1.0);
    worker.Step();
    Result out;
    ASSERT_TRUE(worker.TakeResult(out, 0));
    EXPECT_FALSE(out.ready);  // one second kept of the two asked for
    EXPECT_NEAR(out.collectedSeconds, 1.0, 0.1);
    EXPECT_EQ(out.slot, 3);

    Feed(3.0);  // past the integrators' settling
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    ASSERT_TRUE(out.ready);
    EXPECT_EQ(out.rpm, 1800.0);
    ASSERT_GE(out.peaks.size(), 3u);
    const double amplitude[3] = {0.5, 0.2, 0.1};
    for (int h = 0; h < 3; ++h) {
        EXPECT_NEAR(Order(out.peaks[h].frequency, out.rpm), h + 1.0, 0.005);
        EXPECT_NEAR(out.peaks[h].amplitude, amplitude[h], 0.005);
    }

    // Velocity: 9800 A / (2 pi f) mm/s at each order.
    r.quantity = 1;
    r.ratedSpeed = true;
    worker.SetRequest(r);
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.rpm, 1500.0);
    ASSERT_GE(out.peaks.size(), 1u);
    EXPECT_NEAR(out.peaks[0].frequency, 30.0, 0.05);
    EXPECT_NEAR(out.peaks[0].amplitude, 9800 * 0.5 / (2 * std::numbers::pi * 30), 0.5);
    // Displacement of the Z axis's fixed tone: 9800 / (2 pi 159.15)^2 mm.
    r.axis = 2;
    r.quantity = 2;
    worker.SetRequest(r);
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    ASSERT_GE(out.peaks.size(), 1u);
    EXPECT_NEAR(out.peaks[0].frequency, 159.15, 0.05);
    const double w = 2 * std::numbers::pi * 159.15;
    EXPECT_NEAR(out.peaks[0].amplitude, 9800 / (w * w), 0.0005);
}

TEST_F(WorkerFixture, AverageCountsOnlyNewDataAndRestartsForAnotherSensor)
{
    plots->capture.Start();
    AnalysisWorker worker(*table, *plots);
    Request r;
    r.spectrum.seconds = 0.5;
    r.spectrum.averaging = Averaging::Linear;
    r.spectrum.averages = 4;
    worker.SetRequest(r);
    Result out;
    Feed(0.6);
    worker.Step();
    worker.Step();  // nothing new: the average keeps its one spectrum
    ASSERT_TRUE(worker.TakeResult(out, 0));
    EXPECT_EQ(out.averaged, 1);
    Feed(0.2);
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.averaged, 2);
    // A reset starts again from the newest data at once.
    worker.ResetAverage();
    worker.Step();
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.averaged, 1);

    // Another sensor shown: its data start afresh in the capture, and the
    // average with them, never mixing the two.
    table->selectedConnection = 5;
    test::BlockFeeder other(*conditioner, (*table)[5], 25600.0f);
    other.FeedSeconds(0.2, [](int64_t, int) { return 0.0f; });
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.slot, 5);
    EXPECT_FALSE(out.ready);
    EXPECT_LT(out.collectedSeconds, 0.3);

    table->selectedConnection = -1;
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.slot, -1);
    EXPECT_FALSE(out.ready);
}

// The envelope mode through the conditioning: a 3 kHz carrier modulated at
// 107.5 Hz on X reads that line in the envelope of the acceleration,
// whatever quantity the window shows, on lines up to the chosen maximum;
// back in the spectrum mode the average starts again on 10 kHz of lines.
TEST_F(WorkerFixture, EnvelopeModeDemodulatesTheAccelerationUpToItsMaximum)
{
    sim::AxisSignal x;
    std::string error;
    ASSERT_TRUE(sim::ParseAxisSignal("1x=1,3000hz=1,2892.5hz=0.25,3107.5hz=0.25,noise=0.02", &x, &error)) << error;
    gen = std::make_unique<sim::SignalGenerator>(std::array<sim::AxisSignal, 3>{x, sim::AxisSignal{}, sim::AxisSignal{}},
                                                 1800.0, 5);
    plots->capture.Start();
    AnalysisWorker worker(*table, *plots);
    Request r;
    r.mode = Mode::Envelope;
    r.quantity = 1;  // shown as velocity in the spectrum mode
    r.spectrum.seconds = 2;
    r.spectrum.window = WindowKind::Hann;
    r.spectrum.spanHz = 500;
    r.toHz = 500;
    worker.SetRequest(r);
    Feed(2.5);
    worker.Step();
    Result out;
    ASSERT_TRUE(worker.TakeResult(out, 0));
    ASSERT_TRUE(out.ready);
    EXPECT_EQ(out.request.quantity, 0);
    EXPECT_EQ(out.layout.lines, static_cast<int>(500 / out.layout.df));
    ASSERT_FALSE(out.peaks.empty());
    EXPECT_NEAR(out.peaks[0].frequency, 107.5, out.layout.df);
    EXPECT_NEAR(out.peaks[0].amplitude, 0.5, 0.05);

    r.mode = Mode::Spectrum;
    r.toHz = kSpanHz;
    worker.SetRequest(r);
    worker.Step();
    ASSERT_TRUE(worker.TakeResult(out, out.sequence));
    EXPECT_EQ(out.averaged, 1);
    EXPECT_EQ(out.request.quantity, 1);
    EXPECT_EQ(out.layout.lines, static_cast<int>(kSpanHz / out.layout.df));
}

// The worker's own thread beside a parser thread that conditions blocks:
// results arrive, the capture is switched on by the thread and off by Stop.
TEST_F(WorkerFixture, ThreadComputesBesideTheConditioning)
{
    AnalysisWorker worker(*table, *plots);
    Request r;
    r.spectrum.seconds = 1;
    r.spectrum.window = WindowKind::FlatTop;
    worker.SetRequest(r);
    worker.Start();
    for (int i = 0; i < 200 && !plots->capture.Active(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(plots->capture.Active());
    std::thread parser([&] { Feed(1.5); });
    parser.join();
    Result out;
    bool ready = false;
    for (int i = 0; i < 300 && !ready; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ready = worker.TakeResult(out, out.sequence) && out.ready;
    }
    ASSERT_TRUE(ready);
    ASSERT_FALSE(out.peaks.empty());
    EXPECT_NEAR(out.peaks[0].frequency, 30.0, 0.1);
    EXPECT_NEAR(out.peaks[0].amplitude, 0.5, 0.005);
    worker.Stop();
    EXPECT_FALSE(plots->capture.Active());
    EXPECT_FALSE(worker.Running());
}

// Velocity and displacement peaks against the closed form 9800 A / ω^n (times
// the 10 Hz high-pass while it is on) at 2 kHz, where the conditioning's
// integrators read 7.8 dB (velocity) and 15.6 dB (displacement) low at 5 kHz
// sampling and 0.16 / 0.32 dB low at 26667 Hz, and at 23.3 Hz between lines,
// with a vertical axis's 1 g of gravity that must not leak into either.
class IntegratedSpectrum : public ::testing::TestWithParam<float> {};

TEST_P(IntegratedSpectrum, PeaksReadTheClosedForm)
{
    const float fs = GetParam();
    auto table = std::make_unique<ConnectionTable>();
    auto plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    Conditioner conditioner(*table, *plots, sink, nullptr);
    table->selectedConnection = 1;
    test::BlockFeeder feeder(conditioner, (*table)[1], fs);
    plots->capture.Start();
    constexpr double kTwoPi = 2 * std::numbers::pi;
    const double tone[2] = {2000, 23.3}, level[2] = {0.5, 1.0};
    feeder.FeedSeconds(2.5, [&](int64_t row, int axis) {
        const double t = feeder.Time(row);
        return axis != 2 ? 0.0f
                         : static_cast<float>(1 + level[0] * std::sin(kTwoPi * tone[0] * t) +
                                              level[1] * std::sin(kTwoPi * tone[1] * t + 1));
    });
    AnalysisWorker worker(*table, *plots);
    Request r;
    r.axis = 2;
    r.spectrum.seconds = 2;
    r.spectrum.window = WindowKind::Hann;
    Result out;
    for (const auto &[quantity, highPass] : {std::pair{1, 1}, {1, 0}, {2, 1}}) {
        plots->highPassOn = highPass;
        r.quantity = quantity;
        worker.SetRequest(r);
        worker.Step();
        ASSERT_TRUE(worker.TakeResult(out, out.sequence));
        ASSERT_TRUE(out.ready);
        for (int i = 0; i < 2; ++i) {
            const double w = kTwoPi * tone[i], f = tone[i] / 10;
            double expected = 9800 * level[i] / std::pow(w, quantity);
            if (highPass)
                expected *= f * f / std::sqrt((1 - f * f) * (1 - f * f) + 2 * f * f);
            const auto at = std::find_if(out.peaks.begin(), out.peaks.end(),
                                         [&](const Peak &p) { return std::fabs(p.frequency - tone[i]) < 0.05; });
            ASSERT_NE(at, out.peaks.end()) << quantity << " " << tone[i];
            EXPECT_NEAR(at->amplitude, expected, 0.003 * expected) << quantity << " " << highPass << " " << tone[i];
        }
        EXPECT_EQ(out.amplitude[0], 0.0f);  // gravity and the lowest lines
    }
}

INSTANTIATE_TEST_SUITE_P(SamplingFrequencies, IntegratedSpectrum, ::testing::Values(5000.0f, 26667.0f));

TEST(LiveCaptureTest, NewestValuesAcrossTheRingsEndAndNothingWhileStopped)
{
    auto capture = std::make_unique<LiveCapture>();
    std::vector<float> block(1000);
    const float *src[3][3];
    for (auto &axis : src)
        for (auto &q : axis)
            q = block.data();
    capture->Write(0, 1000.0f, src, 1000);  // not started: nothing kept
    EXPECT_EQ(capture->Read().written, 0u);
    capture->Start();
    float next = 0;
    // Past the end of the rings twice over, in blocks that straddle it.
    while (capture->Read().written < 2 * static_cast<uint64_t>(LiveCapture::kCapacity) + 500) {
        for (float &v : block)
            v = next++;
        capture->Write(0, 1000.0f, src, 1000);
    }
    std::vector<float> out(3000);
    LiveCapture::Info info;
    ASSERT_TRUE(capture->ReadNewest(1, 2, 3000, out.data(), info));
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(out[i], next - 3000 + i) << i;
    EXPECT_FALSE(capture->ReadNewest(0, 0, LiveCapture::kCapacity + 1, out.data(), info));
    // Another rate starts afresh.
    capture->Write(0, 2000.0f, src, 1000);
    EXPECT_EQ(capture->Read().written, 1000u);
    EXPECT_FALSE(capture->ReadNewest(0, 0, 3000, out.data(), info));
}

}  // namespace
}  // namespace tav::analysis
