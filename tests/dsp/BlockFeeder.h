#pragma once
// Test double for the frame parser: builds blocks of waveform packets from a
// sample generator and hands them to the conditioning the way the parser
// does (packet fields stored first, conditionMutex held).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "core/net/EventSink.h"
#include "core/processing/Conditioner.h"

namespace tav::test {

class CountingSink : public EventSink {
public:
    void Post(const StationEvent &e) override
    {
        if (e.type == kLiveBlockEvent)
            liveBlocks.fetch_add(1);
    }
    std::atomic<int> liveBlocks{0};
};

// gen(row, axis) gives the acceleration in g of the connection's row-th sample.
using SampleGen = std::function<float(int64_t row, int axis)>;

class BlockFeeder {
public:
    BlockFeeder(BlockConsumer &consumer, ConnectionRecord &rec, float fs = 26667.0f)
        : fs(fs), consumer_(consumer), rec_(rec) {}

    // One block of `packets` packets (default: the parser's count for fs).
    void FeedBlock(const SampleGen &gen, int packets = 0)
    {
        if (packets <= 0)
            packets = std::max(1, static_cast<int>(static_cast<double>(fs) * 0.1 / 116));
        block_.assign(static_cast<size_t>(packets) * 1420, 0);
        for (int j = 0; j < packets; ++j) {
            uint8_t *p = block_.data() + j * 1420;
            std::memcpy(p, "PUDT", 4);
            std::memcpy(p + 4, &address, 4);
            std::memcpy(p + 8, &fs, 4);
            std::memcpy(p + 12, &temperature, 4);
            for (int r = 0; r < 116; ++r, ++row)
                for (int a = 0; a < 3; ++a) {
                    float x = gen(row, a);
                    std::memcpy(p + 24 + r * 12 + a * 4, &x, 4);
                }
            std::memcpy(p + 1416, "PEND", 4);
        }
        std::lock_guard lock(rec_.conditionMutex);
        rec_.samplingFrequency = fs;  // the parser stores each packet's rate first
        consumer_.ConditionBlock(rec_, block_.data(), packets);
    }

    // Whole blocks until at least `seconds` of samples have gone in.
    void FeedSeconds(double seconds, const SampleGen &gen)
    {
        const int64_t end = row + static_cast<int64_t>(seconds * fs);
        while (row < end)
            FeedBlock(gen);
    }

    double Time(int64_t r) const { return static_cast<double>(r) / fs; }

    int64_t row = 0;  // rows fed so far
    float fs;
    uint32_t address = 7;
    float temperature = 24.5f;

private:
    BlockConsumer &consumer_;
    ConnectionRecord &rec_;
    std::vector<uint8_t> block_;
};

}  // namespace tav::test
