#pragma once
// Helpers shared by the simulator's tests: command frames built byte by byte
// (independently of the simulator's own code) and a drain of a sensor's output.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "sim/OutputQueue.h"
#include "sim/SensorStats.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes &b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void PutText(Bytes &b, const char *s) { b.insert(b.end(), s, s + std::strlen(s)); }

inline uint16_t Get16(const Bytes &b, size_t at) { return uint16_t(b[at] | (b[at + 1] << 8)); }
inline uint32_t Get32(const Bytes &b, size_t at) { return Get16(b, at) | (uint32_t(Get16(b, at + 2)) << 16); }
inline float GetFloat(const Bytes &b, size_t at)
{
    uint32_t v = Get32(b, at);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

inline Bytes ReadRequest(uint16_t seq, uint16_t address, uint16_t first, uint16_t count)
{
    Bytes b;
    PutText(b, "PDRT");
    for (uint16_t v : {uint16_t(24), seq, uint16_t(0), uint16_t(4), address, uint16_t(3), first, count})
        Put16(b, v);
    PutText(b, "PEND");
    return b;
}

inline Bytes WriteSingle(uint16_t seq, uint16_t address, uint16_t reg, uint16_t value)
{
    Bytes b;
    PutText(b, "PDWT");
    for (uint16_t v : {uint16_t(24), seq, uint16_t(0), uint16_t(4), address, uint16_t(6), reg, value})
        Put16(b, v);
    PutText(b, "PEND");
    return b;
}

inline Bytes WriteBlock(uint16_t seq, uint16_t address, uint16_t first, const std::vector<uint16_t> &values)
{
    const uint16_t n = uint16_t(values.size());
    Bytes b;
    PutText(b, "PDWT");
    for (uint16_t v : {uint16_t(26 + 2 * n), seq, uint16_t(0), uint16_t(5 + n), address, uint16_t(16), first, n,
                       uint16_t(2 * n)})
        Put16(b, v);
    for (uint16_t v : values)
        Put16(b, v);
    PutText(b, "PEND");
    return b;
}

// Everything queued, as the station would receive it.
inline Bytes Drain(tav::sim::OutputQueue &q, tav::sim::SensorStats &stats)
{
    Bytes out;
    q.Flush(
        [&](const iovec *iov, int count) {
            long n = 0;
            for (int i = 0; i < count; ++i) {
                auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
                out.insert(out.end(), p, p + iov[i].iov_len);
                n += long(iov[i].iov_len);
            }
            return n;
        },
        &stats);
    return out;
}

// Frames of a well-formed stream (packets and replies back to back).
struct Frame {
    std::string marker;
    Bytes bytes;
};

inline std::vector<Frame> SplitFrames(const Bytes &s)
{
    std::vector<Frame> frames;
    size_t at = 0;
    while (at + 6 <= s.size()) {
        std::string m(s.begin() + long(at), s.begin() + long(at) + 4);
        size_t len = m == "PUDT" ? 1420 : Get16(s, at + 4);
        if (len < 6 || at + len > s.size())
            break;
        frames.push_back({m, Bytes(s.begin() + long(at), s.begin() + long(at + len))});
        at += len;
    }
    return frames;
}

}  // namespace simtest
