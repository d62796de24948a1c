#pragma once
// Builds the frames sensors send, for tests, benchmarks and the fuzz target.
#include <cstdint>
#include <vector>

#include "core/net/SensorFrame.h"

namespace tav::testing {

// A waveform packet whose samples are a pattern of `seed`, so that packets
// can be told apart after they have been through the parser.
inline std::vector<uint8_t> MakePacket(uint32_t address, float fs, float temperature = 25.5f, uint32_t seed = 0)
{
    std::vector<uint8_t> p(kPacketSize, 0);
    std::copy(kPacketStartMarker, kPacketStartMarker + 4, p.begin());
    StoreU32LE(&p[kPacketAddressOffset], address);
    StoreF32LE(&p[kPacketFrequencyOffset], fs);
    StoreF32LE(&p[kPacketTemperatureOffset], temperature);
    StoreU32LE(&p[16], seed);
    for (int i = 0; i < kSamplesPerPacket * 3; ++i)
        StoreF32LE(&p[kPacketSamplesOffset + 4 * i], float((seed * 7919u + uint32_t(i)) % 1000) / 1000.0f);
    std::copy(kPacketEndMarker, kPacketEndMarker + 4, p.begin() + kPacketEndOffset);
    return p;
}

// A reply frame of `length` bytes (the length field says `length` too,
// unless `lengthField` is given) with a body pattern of `seed`.
inline std::vector<uint8_t> MakeReply(bool write, uint32_t length, uint32_t seed = 0, int lengthField = -1)
{
    std::vector<uint8_t> r(length < kMinReplyLength ? kMinReplyLength : length, 0);
    const uint8_t *marker = write ? kWriteReplyMarker : kReadReplyMarker;
    std::copy(marker, marker + 4, r.begin());
    StoreU16LE(&r[kReplyLengthOffset], uint16_t(lengthField >= 0 ? lengthField : int(length)));
    for (size_t i = kMinReplyLength; i < r.size(); ++i)
        r[i] = uint8_t(0x30 + (seed + i) % 10);  // digits: never a marker
    return r;
}

inline void Append(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes)
{
    to.insert(to.end(), bytes.begin(), bytes.end());
}

}  // namespace tav::testing
