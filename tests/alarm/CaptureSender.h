#pragma once
// A simulated sensor for the capture tests: numbered packets in blocks of
// 0.1 s, each remembered with the clock time it was handed over.
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/alarm/AlarmCapture.h"
#include "core/record/VdatFormat.h"

namespace tav::test {

constexpr float kFs = 26667.0f;
constexpr int kPacketsPerBlock = 23;  // 0.1 s at 26667 Hz

inline std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A sensor that sends numbered packets, a block every 100 ms of the
// simulated clock, and remembers what it sent when.
struct Sender {
    int64_t now = 1'700'000'000'000;
    uint32_t serial = 0;
    std::vector<std::pair<int64_t, std::string>> sent;  // stamp, packet
    // The bits of sample r, axis a of a packet, when set; else slow ramps.
    std::function<uint32_t(uint32_t serial, int r, int a)> bits;
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    ConnectionRecord &rec = (*table)[3];

    Sender() { rec.generation = 7; }

    void Block(AlarmCapture &capture, uint32_t address = 5)
    {
        std::string block(kPacketsPerBlock * kPacketBytes, '\0');
        for (int j = 0; j < kPacketsPerBlock; ++j) {
            char *p = block.data() + j * kPacketBytes;
            std::memcpy(p, "PUDT", 4);
            std::memcpy(p + kPacketAddressOffset, &address, 4);
            std::memcpy(p + kPacketFsOffset, &kFs, 4);
            for (int r = 0; r < 116; ++r)
                for (int a = 0; a < 3; ++a) {
                    const float x = float(serial) + 0.001f * float(r * 3 + a);
                    if (bits)
                        StoreU32LE(reinterpret_cast<uint8_t *>(p) + 24 + r * 12 + a * 4, bits(serial, r, a));
                    else
                        std::memcpy(p + 24 + r * 12 + a * 4, &x, 4);
                }
            std::memcpy(p + kPacketEndOffset, "PEND", 4);
            ++serial;
            sent.emplace_back(now, std::string(p, kPacketBytes));
        }
        std::lock_guard lock(rec.conditionMutex);
        capture.RecordBlock(rec, reinterpret_cast<const uint8_t *>(block.data()), uint32_t(block.size()));
    }

    std::string SentBetween(int64_t from, int64_t until) const
    {
        std::string out;
        for (const auto &[stamp, packet] : sent)
            if (stamp >= from && stamp <= until)
                out += packet;
        return out;
    }
};

inline SteadySnapshot SnapshotOf(int64_t now, int32_t address, int slot, uint32_t generation)
{
    SteadySnapshot s;
    s.utcMs = now;
    s.count = 1;
    s.sensors[0].address = address;
    s.sensors[0].slot = slot;
    s.sensors[0].generation = generation;
    s.sensors[0].samplingFrequency = kFs;
    return s;
}

}  // namespace tav::test
