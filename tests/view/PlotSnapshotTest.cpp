// A writer thread refills a plot while the drawing thread copies it: every
// copy must be one whole generation, never a mix, and never longer than an
// array. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/plotting/PlotData.h"

using namespace tav;

namespace {

int CountOf(int generation)
{
    // Now and then a count past the arrays, which a copy must not follow.
    return generation % 17 == 0 ? kPlotPoints + 5000 : 1000 + static_cast<int>(generation * 7919LL % (kPlotPoints - 1000));
}

}  // namespace

TEST(PlotSnapshot, CopiesAreWholeGenerationsWhileAWriterRuns)
{
    auto plot = std::make_unique<PlotData>();
    plot->pointCount = 0;  // no generation yet; the writer never writes 0
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int g = 1; !stop.load(); ++g) {
            // A real writer pauses between blocks; without a pause an unfair
            // mutex can starve the reader under a sanitizer.
            if (g > 1)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::lock_guard<std::mutex> lock(plot->mutex);
            const int n = CountOf(g) > kPlotPoints ? kPlotPoints : CountOf(g);
            for (int i = 0; i < n; ++i) {
                plot->samples[i] = static_cast<float>(g);
                plot->velocitySamples[i] = static_cast<float>(g) + 0.5f;
                plot->displacementSamples[i] = static_cast<float>(-g);
            }
            plot->pointCount = CountOf(g);
            written.store(g);
        }
    });

    std::vector<float> copy(kPlotPoints);
    int copies = 0, torn = 0, wrongCount = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until || written.load() < 10 || copies <= 10) {
        const int q = copies % 3;
        const int n = plot->Snapshot(q, copy.data());
        ++copies;
        if (n == 0) continue;
        ASSERT_LE(n, kPlotPoints);
        const float first = copy[0];
        const int g = static_cast<int>(q == 2 ? -first : first);
        const int expected = CountOf(g) > kPlotPoints ? kPlotPoints : CountOf(g);
        if (n != expected) ++wrongCount;
        for (int i = 1; i < n; ++i)
            if (copy[i] != first) {
                ++torn;
                break;
            }
    }
    stop.store(true);
    writer.join();
    EXPECT_GT(copies, 10);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(wrongCount, 0);
}
