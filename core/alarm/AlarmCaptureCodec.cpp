#include "core/alarm/AlarmCaptureCodec.h"

#include <bit>
#include <cstddef>
#include <cstring>

namespace tav {

namespace {

constexpr uint8_t kTagAsIs = 0;
constexpr uint8_t kTagPacked = 1;
constexpr int kAxes = 3;
constexpr int kSteps = kSamplesPerPacket - 1;  // differences per axis
constexpr uint32_t kExceptionBytes = 5;        // index and the full difference
constexpr uint32_t kAxisHeadBytes = 6;         // first sample, width, exceptions

uint32_t SampleBits(const uint8_t *packet, int i, int axis)
{
    return LoadU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(kAxes * i + axis));
}

// Differences of the raw bits, folded so that small steps either way need
// few bits; wrapping arithmetic keeps every pattern (NaNs too) exact.
uint32_t Fold(uint32_t d) { return (d << 1) ^ uint32_t(int32_t(d) >> 31); }
uint32_t Unfold(uint32_t z) { return (z >> 1) ^ (0u - (z & 1u)); }

uint32_t PackedBytes(int width) { return (uint32_t(kSteps) * uint32_t(width) + 7) / 8; }

struct AxisPlan {
    uint32_t first = 0;
    int width = 0;
    uint32_t exceptions = 0;
    uint32_t folded[kSteps];
};

// The width that packs the axis smallest, the wider differences apart.
void Plan(const uint8_t *packet, int axis, AxisPlan &plan)
{
    uint32_t count[33] = {};
    uint32_t prev = plan.first = SampleBits(packet, 0, axis);
    for (int i = 0; i < kSteps; ++i) {
        const uint32_t v = SampleBits(packet, i + 1, axis);
        const uint32_t z = Fold(v - prev);
        plan.folded[i] = z;
        ++count[std::bit_width(z)];
        prev = v;
    }
    uint32_t wider = 0;  // differences wider than `w`
    uint32_t best = UINT32_MAX;
    for (int w = 32; w >= 0; --w) {
        const uint32_t cost = PackedBytes(w) + kExceptionBytes * wider;
        if (cost <= best) {
            best = cost;
            plan.width = w;
            plan.exceptions = wider;
        }
        wider += count[w];
    }
}

uint32_t PlanBytes(const AxisPlan &plan) { return kAxisHeadBytes + PackedBytes(plan.width) + kExceptionBytes * plan.exceptions; }

}  // namespace

uint32_t PackPacket(const uint8_t *packet, uint8_t *out)
{
    AxisPlan plans[kAxes];
    uint32_t total = 1 + kPacketSamplesOffset + (kPacketSize - kPacketEndOffset);
    for (int a = 0; a < kAxes; ++a) {
        Plan(packet, a, plans[a]);
        total += PlanBytes(plans[a]);
    }
    if (total >= kMaxPackedPacketBytes) {
        out[0] = kTagAsIs;
        std::memcpy(out + 1, packet, kPacketSize);
        return kMaxPackedPacketBytes;
    }
    uint8_t *p = out;
    *p++ = kTagPacked;
    std::memcpy(p, packet, kPacketSamplesOffset);
    p += kPacketSamplesOffset;
    std::memcpy(p, packet + kPacketEndOffset, kPacketSize - kPacketEndOffset);
    p += kPacketSize - kPacketEndOffset;
    for (const AxisPlan &plan : plans) {
        StoreU32LE(p, plan.first);
        p[4] = uint8_t(plan.width);
        p[5] = uint8_t(plan.exceptions);
        p += kAxisHeadBytes;
        const uint64_t mask = (uint64_t(1) << plan.width) - 1;
        uint64_t acc = 0;
        int bits = 0;
        for (int i = 0; i < kSteps; ++i) {
            acc |= (plan.folded[i] & mask) << bits;
            bits += plan.width;
            if (bits >= 32) {
                StoreU32LE(p, uint32_t(acc));
                p += 4;
                acc >>= 32;
                bits -= 32;
            }
        }
        for (; bits > 0; bits -= 8, acc >>= 8)
            *p++ = uint8_t(acc);
        for (int i = 0; i < kSteps; ++i)
            if (int(std::bit_width(plan.folded[i])) > plan.width) {
                p[0] = uint8_t(i);
                StoreU32LE(p + 1, plan.folded[i]);
                p += kExceptionBytes;
            }
    }
    return uint32_t(p - out);
}

bool UnpackPacket(const uint8_t *packed, uint32_t bytes, uint8_t *packet)
{
    if (bytes == kMaxPackedPacketBytes && packed[0] == kTagAsIs) {
        std::memcpy(packet, packed + 1, kPacketSize);
        return true;
    }
    const uint32_t fixed = 1 + kPacketSamplesOffset + (kPacketSize - kPacketEndOffset);
    if (bytes < fixed || packed[0] != kTagPacked)
        return false;
    const uint8_t *p = packed + 1;
    const uint8_t *end = packed + bytes;
    std::memcpy(packet, p, kPacketSamplesOffset);
    p += kPacketSamplesOffset;
    std::memcpy(packet + kPacketEndOffset, p, kPacketSize - kPacketEndOffset);
    p += kPacketSize - kPacketEndOffset;
    for (int a = 0; a < kAxes; ++a) {
        if (end - p < std::ptrdiff_t(kAxisHeadBytes))
            return false;
        const uint32_t first = LoadU32LE(p);
        const int width = p[4];
        const uint32_t exceptions = p[5];
        p += kAxisHeadBytes;
        if (width > 32 || exceptions > uint32_t(kSteps) ||
            end - p < std::ptrdiff_t(PackedBytes(width) + kExceptionBytes * exceptions))
            return false;
        uint32_t folded[kSteps];
        const uint64_t mask = (uint64_t(1) << width) - 1;
        uint64_t acc = 0;
        int bits = 0;
        for (int i = 0; i < kSteps; ++i) {
            for (; bits < width; bits += 8)
                acc |= uint64_t(*p++) << bits;
            folded[i] = uint32_t(acc & mask);
            acc >>= width;
            bits -= width;
        }
        for (uint32_t e = 0; e < exceptions; ++e, p += kExceptionBytes) {
            if (p[0] >= kSteps)
                return false;
            folded[p[0]] = LoadU32LE(p + 1);
        }
        uint32_t v = first;
        StoreU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(a), v);
        for (int i = 0; i < kSteps; ++i) {
            v += Unfold(folded[i]);
            StoreU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(kAxes * (i + 1) + a), v);
        }
    }
    return p == end;
}

}  // namespace tav
