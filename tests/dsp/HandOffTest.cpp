// The displayed connection's thread writes the time plots while the window
// thread copies them, reads statistics and flips the view's switches.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "BlockFeeder.h"

using namespace tav;

TEST(ConditioningHandOff, WindowCopiesWholeBlocksWhileTheParserWrites)
{
    auto table = std::make_unique<ConnectionTable>();
    auto plots = std::make_unique<LivePlots>();
    test::CountingSink sink;
    Conditioner conditioner(*table, *plots, sink, nullptr);
    table->selectedConnection = 0;
    std::atomic<bool> done{false};

    std::thread parser([&] {
        test::BlockFeeder feed(conditioner, (*table)[0]);
        for (int b = 0; b < 100; ++b)
            feed.FeedBlock([](int64_t r, int a) { return a == 0 ? static_cast<float>(r + 1) : 0.5f; });
        done = true;
    });

    std::vector<float> copy(kPlotPoints);
    int snapshots = 0, torn = 0;
    while (!done) {
        int count;
        {
            std::lock_guard lock(plots->time[0].mutex);
            count = plots->time[0].pointCount;
            std::copy(plots->time[0].Shown(0), plots->time[0].Shown(0) + count, copy.begin());
        }
        // Rows arrive in order, so a copy of whole blocks counts up by one.
        int first = 0;
        while (first < count && copy[first] == 0.0f)
            ++first;
        for (int i = first + 1; i < count; ++i)
            torn += copy[i] != copy[i - 1] + 1.0f;
        ++snapshots;
        const WindowStats s = ReadStats((*table)[0].cond);
        EXPECT_GE(s.rms[kAcceleration][1], 0.0);
        ToggleHighPass(*plots);
        plots->time[1].running = snapshots % 2;
        plots->liveBlockPending = false;
        std::this_thread::yield();
    }
    parser.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(snapshots, 0);
    EXPECT_GE(sink.liveBlocks.load(), 1);
    EXPECT_NEAR(ReadStats((*table)[0].cond).rms[kAcceleration][1], 0.5, 1e-9);
}
