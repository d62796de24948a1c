#pragma once
// Everything one simulated peer needs to know: where to connect, what to
// measure and which faults to commit. The fleet fills one per connection.
#include <array>
#include <cstdint>
#include <string>

#include "sim/AxisSignal.h"

namespace tav::sim {

constexpr double kMaxDriftGain = 100.0;

enum class PeerKind {
    Sensor,   // streams packets and answers commands
    Garbage,  // sends random bytes at a sensor's byte rate
    Silent,   // connects and sends nothing
};

struct SensorConfig {
    PeerKind kind = PeerKind::Sensor;
    int index = 0;           // position in the fleet (picks IP, MAC, random seed)
    uint32_t address = 1;    // sensor address in the packets
    std::string host = "127.0.0.1";
    uint16_t port = 22009;

    double fs = 26667.0;        // Hz, before down-sampling
    double fs2 = 0.0;           // Hz taken over after fsChangeAfter seconds (0: none)
    double fsChangeAfter = -1;  // seconds since start, < 0: never
    float temperature = 25.0f;  // degrees C, reported as is
    double rpm = 1500.0;
    std::array<AxisSignal, 3> axes;
    // Every sine's amplitude grows by this share of its starting value per
    // minute of signal sent (0.5 = +50 % a minute), up to kMaxDriftGain.
    double driftPerMinute = 0.0;

    // Faults.
    double corruptRate = 0.0;  // per packet: junk inserted before it or a marker byte flipped
    bool truncate = false;     // close mid-packet truncateAfter s after each connect
    double truncateAfter = 2.0;
    bool churn = false;        // close between packets, after about churnPeriod s
    double churnPeriod = 5.0;
    int replyDelayMs = 0;
    bool noReplies = false;
    bool wrongRegisterCount = false;  // "PRAS" reports (and carries) one register more
    int replyLength = -1;             // >= 0: every reply claims and has this length

    double reconnectDelay = 1.0;  // s between connection attempts
    double burstInterval = 0.020; // s between bursts of what is due
    uint32_t seed = 1;
    bool quiet = false;
    bool timeStamps = false;  // packet bytes 20..23: steady-clock microseconds at build time
};

}  // namespace tav::sim
