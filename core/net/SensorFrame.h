#pragma once
// Byte layout of what sensors send: the fixed 1420-byte waveform packet and
// the variable-length reply frame. All fields little-endian, floats IEEE 754
// single precision.
#include <cmath>
#include <cstdint>
#include <cstring>

namespace tav {

// Waveform packet: "PUDT", address, sampling frequency, temperature, 8 bytes
// not interpreted, 116 samples of X, Y, Z in g, "PEND".
constexpr uint32_t kPacketSize = 1420;
constexpr int kSamplesPerPacket = 116;
constexpr uint32_t kPacketAddressOffset = 4;
constexpr uint32_t kPacketFrequencyOffset = 8;
constexpr uint32_t kPacketTemperatureOffset = 12;
constexpr uint32_t kPacketSamplesOffset = 24;
constexpr uint32_t kPacketEndOffset = 1416;
constexpr uint8_t kPacketStartMarker[4] = {'P', 'U', 'D', 'T'};
constexpr uint8_t kPacketEndMarker[4] = {'P', 'E', 'N', 'D'};

// Reply frame: "PRAS" (read answer) or "PWAS" (write answer), then the total
// length including this 6-byte header, then the body.
constexpr uint8_t kReadReplyMarker[4] = {'P', 'R', 'A', 'S'};
constexpr uint8_t kWriteReplyMarker[4] = {'P', 'W', 'A', 'S'};
constexpr uint32_t kReplyLengthOffset = 4;
constexpr uint32_t kMinReplyLength = 6;
constexpr uint32_t kMaxReplyLength = 200;  // the reply buffer's size

// A block buffer of 200000 bytes holds 140 whole packets.
constexpr int kMaxPacketsPerBlock = 140;
// The most a receive call gathers before it hands the bytes over.
constexpr uint32_t kMaxGatherBytes = 131072;

// Blocks a connection's parser waits for at a time. One for the displayed
// connection, whose plots must not lag. For the others, whose results are
// read every half second, four blocks of at most 0.1 s (a block of two or
// more packets is cut at 0.1 s) as long as they fit in one gathering, so
// that their threads wake once per 0.4 s; two blocks of one packet
// each, which may be longer. Each wake-up costs some 40 us of the
// receive thread on a virtual machine, more than the bytes it takes.
inline int BlocksPerWake(int packetsPerBlock, bool displayed)
{
    if (displayed)
        return 1;
    const uint32_t block = uint32_t(packetsPerBlock < 1 ? 1 : packetsPerBlock) * kPacketSize;
    const uint32_t fit = kMaxGatherBytes / block;
    const uint32_t most = packetsPerBlock >= 2 ? 4 : 2;
    return int(fit < 1 ? 1 : fit > most ? most : fit);
}

// Above this a sensor cannot sample; such values are corrupt.
constexpr float kMaxSamplingFrequency = 100000.0f;

inline uint16_t LoadU16LE(const uint8_t *p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t LoadU32LE(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline float LoadF32LE(const uint8_t *p)
{
    uint32_t bits = LoadU32LE(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
inline void StoreU16LE(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void StoreU32LE(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline void StoreF32LE(uint8_t *p, float f)
{
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    StoreU32LE(p, bits);
}

// Whether a reported sampling frequency can be believed; otherwise the
// connection keeps its last good one.
inline bool UsableSamplingFrequency(float fs)
{
    return std::isfinite(fs) && fs > 0.0f && fs <= kMaxSamplingFrequency;
}

// Packets in a block of about 0.1 s: the integer part of fs * 0.1 / 116,
// kept within what the block buffer holds.
inline int PacketsPerBlockFor(float fs)
{
    double n = std::trunc(double(fs) * 0.1 / kSamplesPerPacket);
    if (!(n >= 1.0))
        return 1;
    if (n > kMaxPacketsPerBlock)
        return kMaxPacketsPerBlock;
    return int(n);
}

}  // namespace tav
