#pragma once
// The JSON documents the station publishes. Kept apart from the client so
// that tests compare them with the tick's values without a broker.
#include <cmath>
#include <cstdint>
#include <string>

#include "core/alarm/Zones.h"
#include "core/model/SteadySnapshot.h"

namespace tav {

// What the broker link knows about a sensor beyond the snapshot's values: the
// machine's name and per-axis ISO velocity and zone, where a sensor has them.
struct SensorExtras {
    char name[64] = {};          // UTF-8; empty = null
    float isoVelocity[3] = {NAN, NAN, NAN};  // mm/s; NaN = null
    char zone[3] = {};           // 'A'..'D', 0 = null
    // A slow machine's displacement RMS over 2 Hz - 1 kHz (µm) and what
    // decided its zone; NaN and kNone (null) for a fast machine.
    float isoDisplacement[3] = {NAN, NAN, NAN};
    ZoneBy zoneBy[3] = {ZoneBy::kNone, ZoneBy::kNone, ZoneBy::kNone};
    // The watched bands, in the order of the snapshot's band values.
    int bandCount = 0;
    char bandName[kMaxBands][64] = {};  // UTF-8
    bool bandEnvelope[kMaxBands] = {};  // g on the envelope, else mm/s on the velocity spectrum
};

struct StatusInfo {
    bool online = true;
    std::string version;
    int64_t startedUtcMs = 0;
    int port = 0;
    int onlineCount = 0;
};

std::string StatusJson(const StatusInfo &status);
// `utcMs` is the tick's time, which the message keeps however late it is sent.
std::string SteadyJson(int64_t utcMs, const SteadySensorValues &v, const SensorExtras &extras);
std::string StateJson(bool connected, uint32_t peerIp, uint16_t peerPort, int64_t sinceUtcMs);
std::string PeerText(uint32_t peerIp, uint16_t peerPort);

}  // namespace tav
