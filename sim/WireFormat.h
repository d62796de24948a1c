#pragma once
// Byte layouts shared by everything a simulated sensor sends and receives.
// Every multi-byte field on the wire is little-endian; floats are IEEE 754
// single precision. The helpers work on raw byte pointers so that frames can
// be built in place without depending on the host's byte order.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tav::sim {

inline constexpr size_t kPacketSize = 1420;
inline constexpr int kSamplesPerPacket = 116;
inline constexpr size_t kSamplesOffset = 24;
inline constexpr size_t kEndMarkerOffset = 1416;

// Largest reply the station accepts; reads are clamped so that a "PRAS"
// never exceeds it.
inline constexpr size_t kMaxReplySize = 200;
inline constexpr size_t kReadReplyHeader = 18;
inline constexpr int kMaxReadCount = int(kMaxReplySize - kReadReplyHeader) / 2;
inline constexpr size_t kWriteReplySize = 16;

// Function codes carried at offset 14 of a command.
inline constexpr uint16_t kFunctionRead = 3;
inline constexpr uint16_t kFunctionWriteSingle = 6;
inline constexpr uint16_t kFunctionWriteBlock = 16;

inline void PutU16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void PutU32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

inline void PutF32(uint8_t *p, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, 4);
    PutU32(p, v);
}

inline uint16_t GetU16(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }

inline uint32_t GetU32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline float GetF32(const uint8_t *p)
{
    uint32_t v = GetU32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

inline bool HasMarker(const uint8_t *p, const char *marker) { return std::memcmp(p, marker, 4) == 0; }

}  // namespace tav::sim
