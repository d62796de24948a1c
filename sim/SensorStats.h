#pragma once
// What a simulated sensor has done, counted as it happens. Written by the
// sensor's own thread and read by anyone (the fleet's summary, tests), hence
// relaxed atomics; SensorCounts is a plain copy for printing and summing.
#include <atomic>
#include <cstdint>
#include <string>

namespace tav::sim {

struct SensorCounts {
    uint64_t bytesSent = 0;        // accepted by the socket
    uint64_t packetsSent = 0;      // complete waveform packets written
    uint64_t repliesSent = 0;      // complete "PRAS"/"PWAS" frames written
    uint64_t replyBytesSent = 0;   // bytes of those frames
    uint64_t packetsSkipped = 0;   // due while the station was not reading
    uint64_t commandsReceived = 0; // well-formed commands for this sensor
    uint64_t badCommands = 0;      // malformed, unknown or for another address
    uint64_t commandBytesDropped = 0;
    uint64_t connects = 0;
    uint64_t connectFailures = 0;
    uint64_t closedByStation = 0;
    uint64_t junkBytesInserted = 0;  // --corrupt-rate, between packets
    uint64_t damagedPackets = 0;     // --corrupt-rate, marker byte flipped
    uint64_t truncations = 0;        // --truncate, closed mid-packet
    uint64_t churnCloses = 0;        // --churn, closed between packets

    SensorCounts &operator+=(const SensorCounts &o);
    // One line "bytes=... packets=..." with the non-zero fault counts.
    std::string Summary() const;
};

struct SensorStats {
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> packetsSent{0};
    std::atomic<uint64_t> repliesSent{0};
    std::atomic<uint64_t> replyBytesSent{0};
    std::atomic<uint64_t> packetsSkipped{0};
    std::atomic<uint64_t> commandsReceived{0};
    std::atomic<uint64_t> badCommands{0};
    std::atomic<uint64_t> commandBytesDropped{0};
    std::atomic<uint64_t> connects{0};
    std::atomic<uint64_t> connectFailures{0};
    std::atomic<uint64_t> closedByStation{0};
    std::atomic<uint64_t> junkBytesInserted{0};
    std::atomic<uint64_t> damagedPackets{0};
    std::atomic<uint64_t> truncations{0};
    std::atomic<uint64_t> churnCloses{0};

    SensorCounts Snapshot() const;
};

inline void Bump(std::atomic<uint64_t> &c, uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }

}  // namespace tav::sim
