#include "core/alarm/AlarmCaptureCodec.h"

#include <array>
#include <atomic>
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

// Vectors of `L` lanes: 4 in the x86-64 baseline, 8 where AVX2 runs. The
// vector that would reach past the last sample is taken ending on it
// instead, its overlap computed twice.
template <int L>
struct Lanes;
template <>
struct Lanes<4> {
    using U = uint32_t __attribute__((vector_size(16)));
    using I = int32_t __attribute__((vector_size(16)));
    using F = float __attribute__((vector_size(16)));
    using S = int16_t __attribute__((vector_size(16)));
};
template <>
struct Lanes<8> {
    using U = uint32_t __attribute__((vector_size(32)));
    using I = int32_t __attribute__((vector_size(32)));
    using F = float __attribute__((vector_size(32)));
    using S = int16_t __attribute__((vector_size(32)));
};

uint32_t SampleBits(const uint8_t *packet, int i, int axis)
{
    return LoadU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(kAxes * i + axis));
}

// Differences of the raw bits are folded ((d << 1) ^ (d >> 31), the sign
// shifted in) so that small steps either way need few bits; wrapping
// arithmetic keeps every pattern (NaNs too) exact.
uint32_t Unfold(uint32_t z) { return (z >> 1) ^ (0u - (z & 1u)); }

constexpr uint32_t PackedBytes(int width) { return (uint32_t(kSteps) * uint32_t(width) + 7) / 8; }

struct AxisPlan {
    int width = 0;
    uint32_t exceptions = 0;
};

// The folded differences of a packet and their bit widths (times 16, the
// size of a row of kWindowRows), both in the samples' interleaved order
// (difference j is sample j + 3 minus sample j); per axis the bits of all
// its differences.
struct Differences {
    alignas(32) uint32_t folded[kDifferences];
    alignas(32) int32_t widths[kDifferences];
    uint32_t any[kAxes];
};
constexpr int kWidthScale = 16;
static_assert(kWidthScale == 1 << 4);

// One pass over all axes at once. A width is read off the exponent of the
// difference converted to float, with the low byte cleared from 2^24 on so
// that no rounding carries it into the next power of two. The exponent (0
// for 0, 127 to 157 for 1 to 2^31 - 1, 256 and more with the sign set, from
// 2^31 on) fits the low half of its lane: the 16-bit limits take it to 0 to
// 32, the high half staying 0.
template <int L>
[[gnu::always_inline]] inline void DifferencePass(const uint8_t *packet, Differences &d)
{
    using V = Lanes<L>;
    using U = typename V::U;
    using I = typename V::I;
    using F = typename V::F;
    using S = typename V::S;
    const uint8_t *samples = packet + kPacketSamplesOffset;
    const I exact = I{} + 0xffffff, lowByte = I{} + 0xff;
    const S bias = (S)(I{} + 126), widest = (S)(I{} + kMaxWidth);
    // Inlined, so that it runs on the caller's instruction set.
    const auto pass = [&](int at, U &any) __attribute__((always_inline)) {
        U a, b;
        std::memcpy(&a, samples + 4 * at, sizeof a);
        std::memcpy(&b, samples + 4 * (at + kAxes), sizeof b);
        const U diff = b - a;
        const U z = (diff << 1) ^ (U)((I)diff >> 31);
        std::memcpy(d.folded + at, &z, sizeof z);
        any |= z;
        const I zi = (I)z;
        const F f = __builtin_convertvector(zi ^ (zi & (zi > exact) & lowByte), F);
        S e = (S)((U)f >> 23);
        e = e > bias ? e : bias;
        e -= bias;
        e = e < widest ? e : widest;
        e <<= 4;  // kWidthScale
        std::memcpy(d.widths + at, &e, sizeof e);
    };
    // Lane l of vector n is axis (L n + l) % 3: three sums of the bits,
    // by n % 3.
    constexpr int kVectors = kDifferences / L;
    U any[kAxes] = {}, last = {};
    int n = 0;
    for (; n + kAxes <= kVectors; n += kAxes) {
        pass(L * n, any[0]);
        pass(L * (n + 1), any[1]);
        pass(L * (n + 2), any[2]);
    }
    for (; n < kVectors; ++n)
        pass(L * n, any[n % kAxes]);
    if constexpr (kDifferences % L != 0)
        pass(kDifferences - L, last);
    // From memory, lane by lane: cheaper than taking each out of a register.
    uint32_t lanes[kAxes + 1][L];
    std::memcpy(lanes, any, sizeof any);
    std::memcpy(lanes[kAxes], &last, sizeof last);
    d.any[0] = d.any[1] = d.any[2] = 0;
    for (int l = 0; l < L; ++l) {
        for (int r = 0; r < kAxes; ++r)
            d.any[(L * r + l) % kAxes] |= lanes[r][l];
        d.any[(kDifferences - L + l) % kAxes] |= lanes[kAxes][l];
    }
}

void DifferenceBaseline(const uint8_t *packet, Differences &d) { DifferencePass<4>(packet, d); }
__attribute__((target("avx2"))) void DifferenceAvx2(const uint8_t *packet, Differences &d)
{
    DifferencePass<8>(packet, d);
}

using DifferenceFn = void (*)(const uint8_t *, Differences &);

DifferenceFn FastestDifference()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? DifferenceAvx2 : DifferenceBaseline;
}

std::atomic<DifferenceFn> gDifference{FastestDifference()};

// Counts of the widths an axis's widest difference and the 15 below it, as
// sixteen bytes a difference adds to: row 32 - k counts width top - k when
// read from row 32 - top on.
constexpr int kWindow = 16;
using U16B = uint8_t __attribute__((vector_size(16)));
static_assert(kWidthScale == kWindow);
alignas(16) constexpr auto kWindowRows = [] {
    std::array<uint8_t, kWindow *(kMaxWidth + 1)> rows{};
    for (int k = 0; k < kWindow; ++k)
        rows[kWindow * (kMaxWidth - k) + k] = 1;
    return rows;
}();

// The width that packs an axis smallest, the wider differences apart: the
// smallest of the cheapest, as the unpacker takes any. `count(w)` is how
// many differences have width w; it knows only widths from `floor` on:
// false when the choice would need narrower ones.
template <class Count>
bool Choose(const Count &count, int top, int floor, AxisPlan &plan)
{
    uint32_t wider = 0;  // differences wider than `w`
    uint32_t best = UINT32_MAX;
    // Once the exceptions alone cost more than the best so far, no narrower
    // width can win.
    for (int w = top; w >= 0 && kExceptionBytes * wider <= best; --w) {
        if (w < floor)
            return false;
        const uint32_t cost = PackedBytes(w) + kExceptionBytes * wider;
        if (cost <= best) {
            best = cost;
            plan.width = w;
            plan.exceptions = wider;
        }
        wider += count(w);
    }
    return true;
}

void Plan(const Differences &d, AxisPlan (&plans)[kAxes])
{
    // Only the widths near an axis's widest decide its width, and the sums
    // of rows, unlike increments of counts, do not wait on each other.
    const uint8_t *base[kAxes];
    int top[kAxes];
    for (int a = 0; a < kAxes; ++a) {
        top[a] = std::bit_width(d.any[a]);
        base[a] = kWindowRows.data() + kWindow * (kMaxWidth - top[a]);
    }
    // Three sums by name: kept in registers, not in an array in memory.
    U16B x = {}, y = {}, z = {};
    const auto row = [&d](const uint8_t *from, int j) {
        U16B r;
        std::memcpy(&r, from + d.widths[j], sizeof r);
        return r;
    };
    for (int j = 0; j < kDifferences; j += kAxes) {
        x += row(base[0], j);
        y += row(base[1], j + 1);
        z += row(base[2], j + 2);
    }
    const U16B sums[kAxes] = {x, y, z};
    uint8_t window[kAxes][kWindow];
    std::memcpy(window, sums, sizeof window);
    for (int a = 0; a < kAxes; ++a) {
        const int t = top[a];
        // Width w is byte t - w; the one below the window is never added in.
        if (Choose([&](int w) { return w > t - kWindow ? window[a][t - w] : 0; }, t, t - kWindow, plans[a]))
            continue;
        // Widths spread wider than the window: all of them counted.
        uint8_t count[kMaxWidth + 1] = {};
        for (int j = a; j < kDifferences; j += kAxes)
            ++count[d.widths[j] / kWidthScale];
        Choose([&](int w) { return count[w]; }, t, 0, plans[a]);
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
    gDifference.load(std::memory_order_relaxed)(packet, d);
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
            if (d.widths[kAxes * i + a] > kWidthScale * plan.width) {
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

void UseBaselinePacking(bool baseline)
{
    gDifference.store(baseline ? DifferenceBaseline : FastestDifference(), std::memory_order_relaxed);
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
