#include "core/alarm/AlarmCaptureCodec.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <utility>

namespace tav {

static_assert(std::endian::native == std::endian::little, "samples are read and bits written in place as little-endian values");

namespace {

constexpr uint8_t kTagAsIs = 0;
constexpr uint8_t kTagPacked = 1;
constexpr int kAxes = 3;
constexpr int kSteps = kSamplesPerPacket - 1;  // differences per axis
constexpr int kDifferences = kAxes * kSteps;   // all axes, interleaved as the samples are
constexpr uint32_t kExceptionBytes = 5;        // index and the full difference
constexpr uint32_t kAxisHeadBytes = 6;         // first sample, width, exceptions
constexpr int kMaxWidth = 32;

using U4 = uint32_t __attribute__((vector_size(16)));
using I4 = int32_t __attribute__((vector_size(16)));
using F4 = float __attribute__((vector_size(16)));
using S8 = int16_t __attribute__((vector_size(16)));

// Whole vectors of differences whose samples (k and k + 3) lie inside the
// packet; the one difference left over is taken alone.
constexpr int kVectorDifferences = (kDifferences / 4) * 4;
constexpr int kPaddedDifferences = kVectorDifferences + 4;

uint32_t SampleBits(const uint8_t *packet, int i, int axis)
{
    return LoadU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(kAxes * i + axis));
}

// Differences of the raw bits, folded so that small steps either way need
// few bits; wrapping arithmetic keeps every pattern (NaNs too) exact.
uint32_t Fold(uint32_t d) { return (d << 1) ^ uint32_t(int32_t(d) >> 31); }
uint32_t Unfold(uint32_t z) { return (z >> 1) ^ (0u - (z & 1u)); }

constexpr uint32_t PackedBytes(int width) { return (uint32_t(kSteps) * uint32_t(width) + 7) / 8; }

struct AxisPlan {
    int width = 0;
    uint32_t exceptions = 0;
};

// The folded differences of a packet and their bit widths, both in the
// samples' interleaved order (difference j is sample j + 3 minus sample j).
struct Differences {
    alignas(16) uint32_t folded[kPaddedDifferences];
    alignas(16) int32_t widths[kPaddedDifferences];
};

// One pass of four lanes over all axes at once. A width is read off the
// exponent of the difference converted to float, with the low byte cleared
// from 2^24 on so that no rounding carries it into the next power of two.
// The exponent (0 for 0, 127 to 157 for 1 to 2^31 - 1, 256 and more with the
// sign set, from 2^31 on) fits the low half of its lane: the 16-bit limits
// take it to 0 to 32, the high half staying 0.
void Difference(const uint8_t *packet, Differences &d)
{
    const uint8_t *samples = packet + kPacketSamplesOffset;
    const I4 exact = {0xffffff, 0xffffff, 0xffffff, 0xffffff}, lowByte = {0xff, 0xff, 0xff, 0xff};
    const S8 bias = {126, 0, 126, 0, 126, 0, 126, 0}, widest = {kMaxWidth, 0, kMaxWidth, 0, kMaxWidth, 0, kMaxWidth, 0};
    for (int j = 0; j < kPaddedDifferences; j += 4) {
        U4 z;
        if (j < kVectorDifferences) {
            U4 a, b;
            std::memcpy(&a, samples + 4 * j, sizeof a);
            std::memcpy(&b, samples + 4 * (j + kAxes), sizeof b);
            const U4 diff = b - a;
            z = (diff << 1) ^ (U4)((I4)diff >> 31);
        } else {
            z = U4{0, 0, 0, 0};
            for (int k = 0; j + k < kDifferences; ++k)
                z[k] = Fold(LoadU32LE(samples + 4 * (j + k + kAxes)) - LoadU32LE(samples + 4 * (j + k)));
        }
        std::memcpy(d.folded + j, &z, sizeof z);
        const I4 zi = (I4)z;
        const F4 f = __builtin_convertvector(zi ^ (zi & (zi > exact) & lowByte), F4);
        S8 e = (S8)((U4)f >> 23);
        e = e > bias ? e : bias;
        e -= bias;
        e = e < widest ? e : widest;
        std::memcpy(d.widths + j, &e, sizeof e);
    }
}

// The width that packs each axis smallest, the wider differences apart:
// the smallest of the cheapest, as the unpacker takes any.
void Plan(const Differences &d, AxisPlan (&plans)[kAxes])
{
    // Neighbours mostly share a width: counting alternate differences apart
    // keeps the increments of one count from waiting on each other.
    uint8_t count[kAxes][kMaxWidth + 1] = {}, odd[kAxes][kMaxWidth + 1] = {};
    for (int j = 0; j < kDifferences - kAxes; j += 2 * kAxes) {
        ++count[0][d.widths[j]];
        ++count[1][d.widths[j + 1]];
        ++count[2][d.widths[j + 2]];
        ++odd[0][d.widths[j + 3]];
        ++odd[1][d.widths[j + 4]];
        ++odd[2][d.widths[j + 5]];
    }
    static_assert(kSteps % 2 == 1);
    ++count[0][d.widths[kDifferences - 3]];
    ++count[1][d.widths[kDifferences - 2]];
    ++count[2][d.widths[kDifferences - 1]];
    for (int a = 0; a < kAxes; ++a)
        for (int w = 0; w <= kMaxWidth; ++w)
            count[a][w] += odd[a][w];
    for (int a = 0; a < kAxes; ++a) {
        uint32_t wider = 0;  // differences wider than `w`
        uint32_t best = UINT32_MAX;
        // Once the exceptions alone cost more than the best so far, no
        // narrower width can win.
        for (int w = kMaxWidth; w >= 0 && kExceptionBytes * wider <= best; --w) {
            const uint32_t cost = PackedBytes(w) + kExceptionBytes * wider;
            if (cost <= best) {
                best = cost;
                plans[a].width = w;
                plans[a].exceptions = wider;
            }
            wider += count[a][w];
        }
    }
}

uint32_t PlanBytes(const AxisPlan &plan) { return kAxisHeadBytes + PackedBytes(plan.width) + kExceptionBytes * plan.exceptions; }

// Packs `N` differences of one axis (every third of `z`, none wider than
// `Width`) at `Width` bits each into (N * Width + 7) / 8 bytes. The bit
// positions are constants, so eight differences become a few shifts into
// four words and Width bytes.
template <int Width, int N>
[[gnu::always_inline]] inline void PackGroup(const uint32_t *z, uint8_t *out)
{
    uint64_t words[(N * Width + 63) / 64] = {};
    [&]<int... K>(std::integer_sequence<int, K...>) {
        (
            [&] {
                constexpr int at = K * Width;
                const uint64_t v = z[kAxes * K];
                words[at / 64] |= v << (at % 64);
                if constexpr (at % 64 + Width > 64)
                    words[at / 64 + 1] |= v >> (64 - at % 64);
            }(),
            ...);
    }(std::make_integer_sequence<int, N>());
    // Word by word straight from the registers: a copy of the array would
    // read back what was just stored, at offsets the store buffer cannot
    // forward.
    constexpr int bytes = (N * Width + 7) / 8;
    [&]<int... K>(std::integer_sequence<int, K...>) {
        (std::memcpy(out + 8 * K, &words[K], 8), ...);
    }(std::make_integer_sequence<int, bytes / 8>());
    if constexpr (bytes % 8 != 0) {
        uint64_t rest = words[bytes / 8];
        uint8_t *at = out + bytes / 8 * 8;
        if constexpr (bytes % 8 >= 4) {
            StoreU32LE(at, uint32_t(rest));
            rest >>= 32;
            at += 4;
        }
        if constexpr (bytes % 4 >= 2) {
            StoreU16LE(at, uint16_t(rest));
            rest >>= 16;
            at += 2;
        }
        if constexpr (bytes % 2 == 1)
            *at = uint8_t(rest);
    }
}

template <int Width>
void PackAxis(const uint32_t *z, uint8_t *out)
{
    if constexpr (Width > 0) {
        for (int g = 0; g < kSteps / 8; ++g, z += 8 * kAxes, out += Width)
            PackGroup<Width, 8>(z, out);
        PackGroup<Width, kSteps % 8>(z, out);
    }
}

using AxisPacker = void (*)(const uint32_t *, uint8_t *);

constexpr auto kPackers = []<int... W>(std::integer_sequence<int, W...>) {
    return std::array<AxisPacker, sizeof...(W)>{&PackAxis<W>...};
}(std::make_integer_sequence<int, kMaxWidth + 1>());

}  // namespace

uint32_t PackPacket(const uint8_t *packet, uint8_t *out)
{
    Differences d;
    Difference(packet, d);
    AxisPlan plans[kAxes];
    Plan(d, plans);
    uint32_t total = 1 + kPacketSamplesOffset + (kPacketSize - kPacketEndOffset);
    for (const AxisPlan &plan : plans)
        total += PlanBytes(plan);
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
    for (int a = 0; a < kAxes; ++a) {
        const AxisPlan &plan = plans[a];
        StoreU32LE(p, SampleBits(packet, 0, a));
        p[4] = uint8_t(plan.width);
        p[5] = uint8_t(plan.exceptions);
        p += kAxisHeadBytes;
        // The wider differences first, in index order and no further than
        // the last of them; what the bits keep of them is their low bits.
        uint8_t *exception = p + PackedBytes(plan.width);
        const uint32_t mask = uint32_t((uint64_t(1) << plan.width) - 1);
        uint32_t left = plan.exceptions;
        for (int i = 0; left > 0; ++i) {
            uint32_t &z = d.folded[kAxes * i + a];
            if (d.widths[kAxes * i + a] > plan.width) {
                exception[0] = uint8_t(i);
                StoreU32LE(exception + 1, z);
                exception += kExceptionBytes;
                z &= mask;
                --left;
            }
        }
        kPackers[plan.width](d.folded + a, p);
        p = exception;
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
