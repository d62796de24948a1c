#pragma once
// Byte layout of the waveform packets that recordings and .vdat files hold:
// whole 1420-byte packets back to back, little-endian, no file header.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/net/SensorFrame.h"

namespace tav {

constexpr uint32_t kPacketBytes = kPacketSize;
constexpr uint32_t kPacketFsOffset = kPacketFrequencyOffset;

inline uint32_t PacketU32(const uint8_t *p, uint32_t offset)
{
    uint32_t v;
    std::memcpy(&v, p + offset, 4);  // the station runs on little-endian hosts only
    return v;
}

inline float PacketFloat(const uint8_t *p, uint32_t offset)
{
    float v;
    std::memcpy(&v, p + offset, 4);
    return v;
}

inline uint32_t PacketAddress(const uint8_t *p) { return PacketU32(p, kPacketAddressOffset); }
inline float PacketFs(const uint8_t *p) { return PacketFloat(p, kPacketFsOffset); }

// Framed by "PUDT" ... "PEND".
inline bool IsWaveformPacket(const uint8_t *p)
{
    return std::memcmp(p, "PUDT", 4) == 0 && std::memcmp(p + kPacketEndOffset, "PEND", 4) == 0;
}

// A sampling frequency that durations and replay pace can be derived from.
inline bool UsableFs(float fs) { return std::isfinite(fs) && fs > 0.0f; }

// Seconds covered by `bytes` of packets at `fs`: whole packets only.
inline double RecordingSeconds(uint32_t bytes, float fs)
{
    return double(bytes / kPacketBytes) * kSamplesPerPacket / double(fs);
}

}  // namespace tav
