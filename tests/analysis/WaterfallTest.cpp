// The waterfall's core: every row is the spectrum of its own second of the
// capture (checked against a transform computed here, independently), the
// span and freezing decide which rows stay, the picture colours linear and
// decibel scales and reads back the value under a pixel, and the CSV file
// holds what the store holds.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/analysis/FrequencyLines.h"
#include "core/analysis/WaterfallCsv.h"
#include "core/analysis/WaterfallPicture.h"
#include "core/analysis/WaterfallWorker.h"
#include "core/dsp/Fft.h"
#include "support/TestPeers.h"

namespace tav::analysis {
namespace {

constexpr float kFs = 25600.0f;  // 1 s is 25600 values, padded to 32768: lines 0.78125 Hz apart
constexpr int kCount = 25600;
constexpr int kN = 32768;
constexpr double kDf = kFs / kN;

// Second k of the Y axis: a sine of (100 + 100 k) Hz and amplitude 0.1 (k + 1).
double Tone(int second) { return 100.0 + 100.0 * second; }
double Level(int second) { return 0.1 * (second + 1); }

struct CaptureFixture : ::testing::Test {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    double now = 1000.0;
    int written = 0;  // seconds
    std::vector<float> y, other;

    void SetUp() override
    {
        table->selectedConnection = 2;
        (*table)[2].sensorAddress = 17;
        plots->capture.Start();
    }
    std::vector<float> Second(int k) const
    {
        std::vector<float> v(kCount);
        for (int i = 0; i < kCount; ++i)
            v[i] = static_cast<float>(Level(k) * std::sin(2 * std::numbers::pi * Tone(k) * i / kFs + 0.3 * k));
        return v;
    }
    // Writes the next `seconds` in blocks of 2552 rows, as the conditioning does.
    void Write(int seconds, int slot = 2)
    {
        for (int s = 0; s < seconds; ++s, ++written) {
            y = Second(written);
            other.assign(kCount, 5.0f);
            for (int at = 0; at < kCount; at += 2552) {
                const int rows = std::min(2552, kCount - at);
                const float *src[3][3];
                for (int a = 0; a < 3; ++a)
                    for (int q = 0; q < 3; ++q)
                        src[a][q] = (a == 1 && q == 0 ? y.data() : other.data()) + at;
                plots->capture.Write(slot, kFs, src, rows);
            }
        }
    }
    WaterfallWorker MakeWorker() { return WaterfallWorker(*table, *plots, [this] { return now; }); }
};

// The spectrum of one second computed here: a Hann window, zeros to 32768
// points, the complex reference transform, 2 |X| / sum of the window.
std::vector<double> Reference(const std::vector<float> &x, int lines)
{
    std::vector<float> re(kN, 0.0f), im(kN, 0.0f), outRe(kN), outIm(kN);
    double sum = 0;
    for (int i = 0; i < kCount; ++i) {
        const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / kCount);
        re[i] = static_cast<float>(x[i] * w);
        sum += w;
    }
    ForwardFft(re.data(), im.data(), kN, outRe.data(), outIm.data());
    std::vector<double> a(lines);
    for (int k = 0; k < lines; ++k)
        a[k] = (k == 0 ? 1.0 : 2.0) * std::hypot(outRe[k], outIm[k]) / sum;
    return a;
}

std::vector<float> RowOf(const WaterfallStore &store, uint64_t row)
{
    auto lock = store.Lock();
    std::vector<float> v(store.Signal().lines);
    for (size_t k = 0; k < v.size(); ++k)
        v[k] = WaterfallStore::Decode(store.Codes(row)[k]);
    return v;
}

TEST_F(CaptureFixture, EachRowIsTheSpectrumOfItsOwnSecond)
{
    WaterfallWorker worker = MakeWorker();
    WaterfallRequest r;
    r.axis = 1;
    r.maxHz = 1000;
    worker.SetRequest(r);
    Write(3);
    worker.Step();
    const WaterfallStore &store = worker.Store();
    {
        auto lock = store.Lock();
        ASSERT_EQ(store.Next() - store.First(), 3u);
        EXPECT_EQ(store.Signal().address, 17u);
        EXPECT_DOUBLE_EQ(store.Signal().df, kDf);
        EXPECT_EQ(store.Signal().lines, static_cast<int>(1000 / kDf) + 1);
        // Each second ended as long before now as the seconds after it last.
        for (int k = 0; k < 3; ++k)
            EXPECT_DOUBLE_EQ(store.Time(store.First() + k), now - (2 - k));
    }
    Write(1);
    now += 1;
    worker.Step();
    worker.Step();  // nothing new: no row
    ASSERT_EQ(store.Rows(), 4u);
    uint64_t first;
    {
        auto lock = store.Lock();
        first = store.First();
        EXPECT_DOUBLE_EQ(store.Time(first + 3), now);
    }
    for (int k = 0; k < 4; ++k) {
        const std::vector<float> row = RowOf(store, first + k);
        const std::vector<double> ref = Reference(Second(k), static_cast<int>(row.size()));
        for (size_t j = 0; j < row.size(); ++j)
            ASSERT_NEAR(row[j], ref[j], 1.5e-3 * ref[j] + 1e-6) << "second " << k << " line " << j;
        // And the tone of that second, not of a neighbour, on its line.
        const int line = static_cast<int>(std::lround(Tone(k) / kDf));
        EXPECT_NEAR(row[line], Level(k), 1e-3 * Level(k)) << k;
    }
}

TEST_F(CaptureFixture, SecondsLostToALateWorkerAreSkippedAndAnotherSignalStartsAfresh)
{
    WaterfallWorker worker = MakeWorker();
    WaterfallRequest r;
    r.axis = 1;
    worker.SetRequest(r);
    // More than the capture keeps: only the whole seconds still there.
    const int kept = LiveCapture::kCapacity / kCount;
    Write(kept + 3);
    worker.Step();
    ASSERT_EQ(worker.Store().Rows(), static_cast<uint64_t>(kept));
    const uint64_t first = [&] { auto l = worker.Store().Lock(); return worker.Store().First(); }();
    const std::vector<float> row = RowOf(worker.Store(), first);
    EXPECT_NEAR(row[std::lround(Tone(3) / kDf)], Level(3), 1e-3);

    r.quantity = 1;  // velocity: other rows
    worker.SetRequest(r);
    worker.Step();
    // Integrated from the acceleration's spectrum (the conditioned velocity
    // here is a constant): 9800 A / ω at the tone.
    const double velocity = Level(3) * 9800 / (2 * std::numbers::pi * Tone(3));
    EXPECT_NEAR(RowOf(worker.Store(), 0)[std::lround(Tone(3) / kDf)], velocity, 1e-3 * velocity);
    auto lock = worker.Store().Lock();
    EXPECT_EQ(worker.Store().Signal().quantity, 1);
    EXPECT_EQ(worker.Store().First(), 0u);
    EXPECT_EQ(worker.Store().Next(), static_cast<uint64_t>(kept));
}

TEST_F(CaptureFixture, FreezingKeepsEveryRowUntilCleared)
{
    WaterfallWorker worker = MakeWorker();
    WaterfallRequest r;
    r.axis = 1;
    r.minutes = 1;
    worker.SetRequest(r);
    Write(2);
    worker.Step();
    const std::vector<float> before = RowOf(worker.Store(), 1);
    r.frozen = true;
    r.minutes = 2;  // waits for the freeze to end
    worker.SetRequest(r);
    Write(2);
    now += 200;
    worker.Step();
    {
        auto lock = worker.Store().Lock();
        EXPECT_EQ(worker.Store().First(), 0u);
        EXPECT_EQ(worker.Store().Next(), 2u);
        EXPECT_EQ(worker.Store().Minutes(), 1);
    }
    EXPECT_EQ(RowOf(worker.Store(), 1), before);
    r.frozen = false;
    worker.SetRequest(r);
    worker.Step();
    auto lock = worker.Store().Lock();
    EXPECT_EQ(worker.Store().Minutes(), 2);
    EXPECT_EQ(worker.Store().Next(), 4u);
    // The new rows come 200 s after the first two: those are older than the span.
    EXPECT_EQ(worker.Store().First(), 2u);
}

TEST_F(CaptureFixture, TheThreadKeepsTheCaptureWhileTheSpectrumWindowStopsIt)
{
    plots->capture.Stop();  // as if the analysis window's spectrum had closed
    ASSERT_FALSE(plots->capture.Active());
    WaterfallWorker worker(*table, *plots);
    WaterfallRequest r;
    r.axis = 1;
    worker.SetRequest(r);
    worker.Start();
    ASSERT_TRUE(test::WaitFor([&] { return plots->capture.Active(); }));
    // The spectrum opening and closing again must neither restart the data
    // under the waterfall nor stop them.
    plots->capture.Start();
    plots->capture.Stop();
    EXPECT_TRUE(plots->capture.Active());
    Write(3);
    EXPECT_EQ(plots->capture.Read().written, 3u * kCount);
    ASSERT_TRUE(test::WaitFor([&] { return worker.Store().Rows() >= 3; }));
    worker.Stop();
    EXPECT_FALSE(plots->capture.Active());
    worker.Stop();  // twice: lets go once
    plots->capture.Start();
    EXPECT_TRUE(plots->capture.Active());
    EXPECT_EQ(plots->capture.Read().written, 0u);  // nobody kept it: afresh
}

WaterfallSignal SmallSignal(int lines)
{
    WaterfallSignal s;
    s.slot = 0;
    s.fs = 1000;
    s.df = 0.5;
    s.lines = lines;
    return s;
}

TEST(WaterfallStore, SpanDropsOlderRowsAndCodesKeepAmplitudes)
{
    for (float a : {1e-6f, 0.0123f, 0.5f, 3.0f, 9876.5f})
        EXPECT_NEAR(WaterfallStore::Decode(WaterfallStore::Encode(a)), a, 6e-4 * a) << a;
    EXPECT_EQ(WaterfallStore::Decode(WaterfallStore::Encode(0.0f)), 0.0f);
    EXPECT_EQ(WaterfallStore::Decode(WaterfallStore::Encode(std::nanf(""))), 0.0f);
    EXPECT_EQ(WaterfallStore::Decode(WaterfallStore::Encode(-1.0f)), 0.0f);

    WaterfallStore store;
    store.Reset(SmallSignal(3), 1);
    float row[3];
    for (int t = 0; t < 100; ++t) {
        row[0] = row[1] = row[2] = static_cast<float>(t + 1);
        store.Append(t, row);
    }
    {
        auto lock = store.Lock();
        ASSERT_EQ(store.Next() - store.First(), 60u);  // the last minute: seconds 40 .. 99
        EXPECT_EQ(store.Time(store.First()), 40.0);
        EXPECT_NEAR(WaterfallStore::Decode(store.Codes(store.Next() - 1)[2]), 100.0f, 0.06f);
    }
    store.SetSpan(2);  // a longer span keeps the rows and their numbers
    {
        auto lock = store.Lock();
        EXPECT_EQ(store.First(), 40u);
        EXPECT_EQ(store.Time(45), 45.0);
        EXPECT_NEAR(WaterfallStore::Decode(store.Codes(45)[1]), 46.0f, 0.03f);
    }
    store.Append(150, row);  // a gap: rows at or before 30 s are older than two minutes
    {
        auto lock = store.Lock();
        EXPECT_EQ(store.Time(store.First()), 40.0);
        EXPECT_EQ(store.Next() - store.First(), 61u);
    }
    store.Append(200, row);  // now 80 s and older leave
    {
        auto lock = store.Lock();
        EXPECT_EQ(store.Time(store.First()), 81.0);
        EXPECT_EQ(store.Next() - store.First(), 21u);
    }
    store.SetSpan(1);  // and a shorter span keeps only its last minute
    auto lock = store.Lock();
    EXPECT_EQ(store.Time(store.First()), 150.0);
    EXPECT_EQ(store.Time(store.Next() - 1), 200.0);
    EXPECT_EQ(store.Next() - store.First(), 2u);
}

TEST(WaterfallPicture, ColoursOnLinearAndDecibelScalesAndTheValueUnderAPixel)
{
    WaterfallStore store;
    store.Reset(SmallSignal(1000), 1);
    std::vector<float> row(1000, 0.001f);
    row[537] = 0.4f;  // one narrow line: its column must show it
    store.Append(10, row.data());
    row[537] = 0.001f;
    row[100] = 0.2f;
    store.Append(11, row.data());
    WaterfallPicture pic;
    auto lock = store.Lock();
    ASSERT_TRUE(pic.Update(store, 100, false));
    EXPECT_EQ(pic.Top(), 0.5);
    auto pixel = [&](uint64_t r, int c) { return pic.Pixels()[static_cast<size_t>(pic.PixelRow(r)) * 100 + c]; };
    EXPECT_EQ(pixel(0, 53), WaterfallPicture::Colour(pic.IndexOf(0.4)));
    EXPECT_EQ(pic.IndexOf(0.4), 204);  // 0.4 / 0.5 of the scale
    EXPECT_EQ(pixel(1, 10), WaterfallPicture::Colour(pic.IndexOf(0.2)));
    EXPECT_EQ(pixel(1, 53), WaterfallPicture::Colour(pic.IndexOf(0.001)));
    EXPECT_FALSE(pic.Update(store, 100, false));  // nothing new

    // Decibels: the top is the next 10 dB above -8 dB, 80 dB shown below it.
    ASSERT_TRUE(pic.Update(store, 100, true));
    EXPECT_EQ(pic.TopDb(), 0.0);
    EXPECT_EQ(pic.IndexOf(0.01), 128);  // -40 dB: half way down
    EXPECT_EQ(pixel(1, 53), WaterfallPicture::Colour(pic.IndexOf(0.001)));
    EXPECT_EQ(pic.IndexOf(1e-5), 0);

    // A larger row raises the linear top and recolours the older rows.
    ASSERT_TRUE(pic.Update(store, 100, false));
    lock.unlock();
    row[100] = 1.5f;
    store.Append(12, row.data());
    lock.lock();
    ASSERT_TRUE(pic.Update(store, 100, false));
    EXPECT_EQ(pic.Top(), 2.0);
    EXPECT_EQ(pixel(0, 53), WaterfallPicture::Colour(pic.IndexOf(0.4)));
    EXPECT_EQ(pic.IndexOf(0.4), 51);

    // The area's 60 rows of pixels hold the minute's 60 rows: the newest on top.
    const WaterfallArea area{10, 5, 110, 65};
    WaterfallPoint p = pic.PointAt(store, area, 10 + 53, 5 + 2);
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.row, 0u);
    EXPECT_EQ(p.line, 537);
    EXPECT_DOUBLE_EQ(p.frequency, 537 * 0.5);
    EXPECT_NEAR(p.amplitude, 0.4, 3e-4);
    EXPECT_EQ(p.time, 10.0);
    p = pic.PointAt(store, area, 10 + 10, 5);
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.row, 2u);
    EXPECT_NEAR(p.amplitude, 1.5, 1e-3);
    const std::string text = WaterfallReadoutText(p, 1, false);
    EXPECT_NE(text.find("50.00 Hz"), std::string::npos) << text;
    EXPECT_NE(text.find("1.5 mm/s"), std::string::npos) << text;
    EXPECT_NE(WaterfallReadoutText(p, 0, true).find("3.5 dB"), std::string::npos);
    EXPECT_FALSE(pic.PointAt(store, area, 50, 5 + 3).valid);  // no fourth row yet
    EXPECT_FALSE(pic.PointAt(store, area, 9, 6).valid);
}

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(WaterfallCsv, HeaderNamesTheFrequenciesAndEachRowItsTimeAndValues)
{
    WaterfallStore store;
    store.Reset(SmallSignal(4), 1);
    const float rows[3][4] = {{0.1f, 0.2f, 0.3f, 0.4f}, {0, 1.5f, 2.5f, 1e-5f}, {7, 8, 9, 10}};
    for (int r = 0; r < 3; ++r)
        store.Append(1765000000.0 + r, rows[r]);
    const std::string path = ::testing::TempDir() + "/waterfall-" + std::to_string(getpid()) + ".csv";
    ASSERT_EQ(WriteWaterfallCsv(store, path), "");
    EXPECT_NE(access((path + ".part").c_str(), F_OK), 0);
    const std::string text = ReadAll(path);
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "every line ends in CR LF";
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "\xca\xb1\xbc\xe4,0.0000 Hz,0.5000 Hz,1.0000 Hz,1.5000 Hz");  // "时间" in GBK
    for (int r = 0; r < 3; ++r) {
        std::stringstream line(lines[r + 1]);
        std::string cell;
        std::getline(line, cell, ',');
        EXPECT_EQ(cell.size(), 23u);
        EXPECT_EQ(cell.substr(17), std::string(r == 0 ? "40.000" : r == 1 ? "41.000" : "42.000")) << cell;
        for (int k = 0; k < 4; ++k) {
            ASSERT_TRUE(std::getline(line, cell, ',')) << r << " " << k;
            EXPECT_NEAR(std::stod(cell), rows[r][k], 6e-4 * rows[r][k]) << cell;
        }
        EXPECT_FALSE(std::getline(line, cell, ','));
    }
    std::remove(path.c_str());
    // A folder that is not there: the failure is said, and nothing is left.
    const std::string bad = ::testing::TempDir() + "/no-such-folder/w.csv";
    EXPECT_NE(WriteWaterfallCsv(store, bad), "");
    EXPECT_NE(access(bad.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tav::analysis
