#include "core/alarm/AlarmCaptureCodec.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstring>
#include <emmintrin.h>
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

// An axis's differences in whole vectors: 115 of them and the lanes past
// the last kept 0, so that they neither count nor pack.
constexpr int kRoom = 128;
constexpr int kPairs = (kSteps + 1) / 2;
// Two 64-bit masks an axis; whole groups of eight and three more.
static_assert(kRoom == 128 && kRoom >= 2 * kPairs + 4 && kSteps % 8 == 3);

// Calls f(0) to f(N - 1), unrolled: the short fixed loops below otherwise
// spend as much on counting as on their work.
template <int N, class F>
[[gnu::always_inline]] inline void Repeat(F &&f)
{
    [&]<int... K>(std::integer_sequence<int, K...>) __attribute__((always_inline)) { (f(K), ...); }
    (std::make_integer_sequence<int, N>());
}

// Vectors of `L` lanes: 4 in the x86-64 baseline, 8 where AVX2 runs.
template <int L>
struct Lanes;
template <>
struct Lanes<4> {
    using U = uint32_t __attribute__((vector_size(16)));
    using I = int32_t __attribute__((vector_size(16)));
    using F = float __attribute__((vector_size(16)));
    using S = int16_t __attribute__((vector_size(16)));
    using Q = uint64_t __attribute__((vector_size(16)));
    using C = int8_t __attribute__((vector_size(16)));  // widths, 4 L at a time
};
template <>
struct Lanes<8> {
    using U = uint32_t __attribute__((vector_size(32)));
    using I = int32_t __attribute__((vector_size(32)));
    using F = float __attribute__((vector_size(32)));
    using S = int16_t __attribute__((vector_size(32)));
    using Q = uint64_t __attribute__((vector_size(32)));
    using C = int8_t __attribute__((vector_size(32)));
};
using C16 = int8_t __attribute__((vector_size(16)));

// Differences of the raw bits are folded ((d << 1) ^ (d >> 31), the sign
// shifted in) so that small steps either way need few bits; wrapping
// arithmetic keeps every pattern (NaNs too) exact.
uint32_t Unfold(uint32_t z) { return (z >> 1) ^ (0u - (z & 1u)); }

constexpr uint32_t PackedBytes(int width) { return (uint32_t(kSteps) * uint32_t(width) + 7) / 8; }

struct AxisPlan {
    int width = 0;
    uint32_t exceptions = 0;
};

// A packet's folded differences and their bit widths, axis by axis
// (difference i of an axis is its sample i + 1 minus sample i), and per
// axis the bits of all its differences.
struct Differences {
    alignas(32) uint32_t folded[kAxes][kRoom];
    alignas(32) int8_t widths[kAxes][kRoom];
    uint32_t any[kAxes];
};

// The samples come interleaved; the differences are taken in blocks of
// three vectors, 3 L of them from a multiple of 3 on. Lane l of vector v is
// difference L v + l of the block, of axis (L v + l) % 3; L being no
// multiple of 3, each lane has exactly one vector holding a given axis
// there. So two blends and one permutation gather an axis's L differences.
template <int L>
constexpr int Source(int axis, int lane)
{
    int v = 0;
    while ((L * v + lane) % kAxes != axis)
        ++v;
    return v;
}
// The lane of the blended vector holding the axis's difference `at`.
template <int L>
constexpr int Lane(int axis, int at)
{
    int lane = 0;
    while ((L * Source<L>(axis, lane) + lane) / kAxes != at)
        ++lane;
    return lane;
}
template <int L, int Axis, class U, int... J>
[[gnu::always_inline]] inline void Gather(const U (&z)[kAxes], U &out, std::integer_sequence<int, J...>)
{
    const U ab = __builtin_shufflevector(z[0], z[1], (Source<L>(Axis, J) == 1 ? L + J : J)...);
    const U abc = __builtin_shufflevector(ab, z[2], (Source<L>(Axis, J) == 2 ? L + J : J)...);
    out = __builtin_shufflevector(abc, abc, Lane<L>(Axis, J)...);
}

// One axis's L differences of a block, from difference `at` of the axis
// on. A width is read off the exponent of the difference converted to
// float, its bits first thinned so that no two set bits are neighbours
// (the highest stays): no rounding can then carry into the next power of
// two. The exponent (0 for 0, 127 to 157 for 1 to 2^31 - 1, 256 and more
// with the sign set, from 2^31 on) fits the low half of its lane: the
// 16-bit limits take it to 0 to 32, the high half staying 0.
template <int L, int Axis>
[[gnu::always_inline]] inline void TakeAxis(const typename Lanes<L>::U (&z)[kAxes], int at, Differences &d,
                                            typename Lanes<L>::U &any)
{
    using V = Lanes<L>;
    using U = typename V::U;
    using I = typename V::I;
    using S = typename V::S;
    U x;
    Gather<L, Axis>(z, x, std::make_integer_sequence<int, L>());
    std::memcpy(d.folded[Axis] + at, &x, sizeof x);
    any |= x;
    const U thin = x & ~(x >> 1);
    const typename V::F f = __builtin_convertvector((I)thin, typename V::F);
    const S bias = (S)(I{} + 126), widest = (S)(I{} + kMaxWidth);
    S e = (S)((U)f >> 23);
    e = e > bias ? e : bias;
    e -= bias;
    e = e < widest ? e : widest;
    // The low byte of each lane, by packing lanes narrower, 128 bits at a
    // time: fewer instructions than a byte shuffle, and in the baseline too.
    using W = int32_t __attribute__((vector_size(16)));
    __m128i words;
    if constexpr (L == 4) {
        words = _mm_packs_epi32(__m128i(e), __m128i(e));
    } else {
        const W low = __builtin_shufflevector((I)e, (I)e, 0, 1, 2, 3), high = __builtin_shufflevector((I)e, (I)e, 4, 5, 6, 7);
        words = _mm_packs_epi32(__m128i(low), __m128i(high));
    }
    const __m128i bytes = _mm_packs_epi16(words, words);
    if constexpr (L == 4) {
        const int32_t w = _mm_cvtsi128_si32(bytes);
        std::memcpy(d.widths[Axis] + at, &w, sizeof w);
    } else {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d.widths[Axis] + at), bytes);
    }
}

template <int L>
[[gnu::always_inline]] inline void DifferencePass(const uint8_t *packet, Differences &d)
{
    using V = Lanes<L>;
    using U = typename V::U;
    using I = typename V::I;
    const uint8_t *samples = packet + kPacketSamplesOffset;
    U any[kAxes] = {};
    // Inlined, so that it runs on the caller's instruction set.
    const auto block = [&](int at) __attribute__((always_inline)) {
        U z[kAxes];
        Repeat<kAxes>([&](int v) __attribute__((always_inline)) {
            U a, b;
            std::memcpy(&a, samples + 4 * (at + L * v), sizeof a);
            std::memcpy(&b, samples + 4 * (at + L * v + kAxes), sizeof b);
            const U diff = b - a;
            z[v] = (diff << 1) ^ (U)((I)diff >> 31);
        });
        TakeAxis<L, 0>(z, at / kAxes, d, any[0]);
        TakeAxis<L, 1>(z, at / kAxes, d, any[1]);
        TakeAxis<L, 2>(z, at / kAxes, d, any[2]);
    };
    constexpr int kBlock = kAxes * L;
    for (int at = 0; at + kBlock <= kDifferences; at += kBlock)
        block(at);
    // The block that would reach past the last difference is taken ending
    // on it instead, its overlap computed twice.
    if constexpr (kDifferences % kBlock != 0)
        block(kDifferences - kBlock);
    for (int a = 0; a < kAxes; ++a) {
        std::memset(d.folded[a] + kSteps, 0, sizeof d.folded[a] - sizeof(uint32_t) * kSteps);
        std::memset(d.widths[a] + kSteps, 0, sizeof d.widths[a] - kSteps);
        uint32_t lanes[L];
        std::memcpy(lanes, &any[a], sizeof lanes);
        d.any[a] = 0;
        for (uint32_t lane : lanes)
            d.any[a] |= lane;
    }
}

// How many of an axis's differences are wider than `w`: 4 L widths
// compared at a time, the counts added up by the baseline's sum of
// absolute differences.
template <int L>
[[gnu::always_inline]] inline uint32_t Wider(const int8_t *widths, int w)
{
    using C = typename Lanes<L>::C;
    const C limit = (C)(typename Lanes<L>::I{} + int32_t(0x01010101u * uint32_t(w)));  // bytes broadcast as words: far fewer instructions
    C count = {};
    Repeat<kRoom / int(sizeof(C))>([&](int k) __attribute__((always_inline)) {
        C v;
        std::memcpy(&v, widths + k * sizeof v, sizeof v);
        count -= (C)(v > limit);
    });
    C16 sum;
    if constexpr (sizeof(C) == 32)
        sum = __builtin_shufflevector(count, count, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15) +
              __builtin_shufflevector(count, count, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    else
        sum = count;
    const __m128i s = _mm_sad_epu8(__m128i(sum), _mm_setzero_si128());
    return uint32_t(_mm_cvtsi128_si32(s) + _mm_extract_epi16(s, 4));
}

// The differences of an axis wider than `w`, a bit each.
void WiderBits(const int8_t *widths, int w, uint64_t (&bits)[2])
{
    const C16 limit = (C16)(Lanes<4>::I{} + int32_t(0x01010101u * uint32_t(w)));
    bits[0] = bits[1] = 0;
    Repeat<kRoom / 16>([&](int k) __attribute__((always_inline)) {
        C16 v;
        std::memcpy(&v, widths + 16 * k, sizeof v);
        bits[k / 4] |= uint64_t(uint16_t(_mm_movemask_epi8(__m128i(v > limit)))) << (16 * (k % 4));
    });
}

// The width that packs an axis smallest, the wider differences apart: the
// smallest of the cheapest, as the unpacker takes any. Once the
// exceptions alone cost more than the best so far, no narrower width can
// win; counts are taken only down to there.
template <int L>
[[gnu::always_inline]] inline AxisPlan Choose(const int8_t *widths, int top)
{
    AxisPlan plan;
    uint32_t wider = 0;  // differences wider than `w`
    uint32_t best = UINT32_MAX;
    for (int w = top; w >= 0 && kExceptionBytes * wider <= best;) {
        const uint32_t cost = PackedBytes(w) + kExceptionBytes * wider;
        if (cost <= best) {
            best = cost;
            plan.width = w;
            plan.exceptions = wider;
        }
        if (--w >= 0)
            wider = Wider<L>(widths, w);
    }
    return plan;
}

uint32_t PlanBytes(const AxisPlan &plan) { return kAxisHeadBytes + PackedBytes(plan.width) + kExceptionBytes * plan.exceptions; }

// Neighbouring differences of an axis, cut to their low `width` bits,
// joined into one of twice the width, so that the packer places half as
// many; from difference `From` on. Each 64-bit lane holds two: the upper
// one shifted down to bit `width`, the two cut by masks. Cut here rather
// than where the wider ones are found: a store into the middle of a vector
// just stored would hold up its load here.
template <class Q>
[[gnu::always_inline]] inline void JoinPairs(Q &v, int width)
{
    const uint64_t low = (uint64_t(1) << width) - 1;
    v = (v & low) | ((v >> (32 - width)) & (low << width));
}

template <int L, int From = 0>
[[gnu::always_inline]] inline void Pair(const uint32_t *z, int width, uint64_t *pairs)
{
    using Q = typename Lanes<L>::Q;
    Repeat<(2 * kPairs - From + L - 1) / L>([&](int k) __attribute__((always_inline)) {
        Q v;
        std::memcpy(&v, z + From + L * k, sizeof v);
        JoinPairs(v, width);
        std::memcpy(pairs + (From + L * k) / 2, &v, sizeof v);
    });
}

// The groups of eight differences before the last (kWideGroups of them),
// each into Width bytes, all in vector registers: neighbours joined as
// above, then in each 128-bit half the two pairs into 4 Width bits (a
// shift across the half's two words), then the upper half's bits placed
// after the lower's. For widths 17 to 31, where every shift count lies
// within a word (1 to 63 bits). A group's 32-byte store reaches past its Width bytes,
// where the next group's store puts its own; the last one still ends
// within the axis's bytes.
constexpr int kWideGroups = kSteps / 8 - 1;
static_assert((kWideGroups - 1) * 17 + 32 <= int(PackedBytes(17)));

template <int L>
[[gnu::always_inline]] inline void PackWide(const uint32_t *z, int width, uint8_t *out)
{
    static_assert(L == 8);
    using Q = typename Lanes<L>::Q;
    const Q zero = {};
    const int spill = 4 * width - 64;  // bits of the upper half's pairs in the lower half's second word
    Repeat<kWideGroups>([&](int g) __attribute__((always_inline)) {
        Q v;
        std::memcpy(&v, z + 8 * g, sizeof v);
        JoinPairs(v, width);
        const Q pairs = v;
        const Q up = pairs << (2 * width), down = pairs >> (64 - 2 * width);
        // Words: p0 | p1 << 2w, p1 >> (64 - 2w), and the same in the upper half.
        const Q quads = __builtin_shufflevector(pairs | __builtin_shufflevector(up, zero, 1, 4, 3, 4), down, 0, 5, 2, 7);
        const Q left = quads << spill, right = quads >> (64 - spill);
        const Q group = __builtin_shufflevector(quads, right, 0, 1, 6, 7) | __builtin_shufflevector(left, zero, 4, 2, 3, 4);
        std::memcpy(out + g * width, &group, sizeof group);
    });
}

// Packs `N` values (none wider than `Width`) at `Width` bits each into
// `Bytes` bytes. The bit positions are constants, so the values become a
// few shifts into words.
template <int Width, int N, int Bytes = (N * Width + 7) / 8>
[[gnu::always_inline]] inline void PackGroup(const uint64_t *values, uint8_t *out)
{
    uint64_t words[(N * Width + 63) / 64] = {};
    [&]<int... K>(std::integer_sequence<int, K...>) {
        (
            [&] {
                constexpr int at = K * Width;
                const uint64_t v = values[K];
                words[at / 64] |= v << (at % 64);
                if constexpr (at % 64 + Width > 64)
                    words[at / 64 + 1] |= v >> (64 - at % 64);
            }(),
            ...);
    }(std::make_integer_sequence<int, N>());
    // Word by word straight from the registers: a copy of the array would
    // read back what was just stored, at offsets the store buffer cannot
    // forward.
    [&]<int... K>(std::integer_sequence<int, K...>) {
        (std::memcpy(out + 8 * K, &words[K], 8), ...);
    }(std::make_integer_sequence<int, Bytes / 8>());
    if constexpr (Bytes % 8 != 0) {
        uint64_t rest = words[Bytes / 8];
        uint8_t *at = out + Bytes / 8 * 8;
        if constexpr (Bytes % 8 >= 4) {
            StoreU32LE(at, uint32_t(rest));
            rest >>= 32;
            at += 4;
        }
        if constexpr (Bytes % 4 >= 2) {
            StoreU16LE(at, uint16_t(rest));
            rest >>= 16;
            at += 2;
        }
        if constexpr (Bytes % 2 == 1)
            *at = uint8_t(rest);
    }
}

// Packs an axis's differences from the last whole group of eight on (the
// group and the three after it), paired, at `Width` bits each.
template <int Width>
void PackEnd(const uint64_t *pairs, uint8_t *out)
{
    if constexpr (Width > 0) {
        PackGroup<2 * Width, 4>(pairs, out);
        PackGroup<2 * Width, 2, (3 * Width + 7) / 8>(pairs + 4, out + Width);
    }
}

// Packs an axis's 115 differences, paired, at `Width` bits each into
// (115 Width + 7) / 8 bytes: eight in Width bytes at a time, two such
// groups a round.
template <int Width>
void PackAxis(const uint64_t *pairs, uint8_t *out)
{
    if constexpr (Width > 0) {
        static_assert(kWideGroups % 2 == 1);
        for (int g = 0; g < kWideGroups / 2; ++g, pairs += 8, out += 2 * Width) {
            PackGroup<2 * Width, 4>(pairs, out);
            PackGroup<2 * Width, 4>(pairs + 4, out + Width);
        }
        PackGroup<2 * Width, 4>(pairs, out);
        PackEnd<Width>(pairs + 4, out + Width);
    }
}

using AxisPacker = void (*)(const uint64_t *, uint8_t *);

constexpr auto kPackers = []<int... W>(std::integer_sequence<int, W...>) {
    return std::array<AxisPacker, sizeof...(W)>{&PackAxis<W>...};
}(std::make_integer_sequence<int, kMaxWidth + 1>());
constexpr auto kEnds = []<int... W>(std::integer_sequence<int, W...>) {
    return std::array<AxisPacker, sizeof...(W)>{&PackEnd<W>...};
}(std::make_integer_sequence<int, kMaxWidth + 1>());

template <int L>
[[gnu::always_inline]] inline uint32_t Pack(const uint8_t *packet, uint8_t *out)
{
    Differences d;
    DifferencePass<L>(packet, d);
    AxisPlan plans[kAxes];
    uint32_t total = 1 + kPacketSamplesOffset + (kPacketSize - kPacketEndOffset);
    for (int a = 0; a < kAxes; ++a) {
        plans[a] = Choose<L>(d.widths[a], std::bit_width(d.any[a]));
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
    for (int a = 0; a < kAxes; ++a) {
        const AxisPlan &plan = plans[a];
        StoreU32LE(p, LoadU32LE(packet + kPacketSamplesOffset + 4u * uint32_t(a)));
        p[4] = uint8_t(plan.width);
        p[5] = uint8_t(plan.exceptions);
        p += kAxisHeadBytes;
        // The wider differences after the bits, in index order; what the
        // bits keep of them is their low bits.
        uint8_t *exception = p + PackedBytes(plan.width);
        if (plan.exceptions > 0) {
            uint64_t bits[2];
            WiderBits(d.widths[a], plan.width, bits);
            for (int h = 0; h < 2; ++h) {
                for (uint64_t m = bits[h]; m != 0; m &= m - 1) {
                    const int i = 64 * h + std::countr_zero(m);
                    exception[0] = uint8_t(i);
                    StoreU32LE(exception + 1, d.folded[a][i]);
                    exception += kExceptionBytes;
                }
            }
        }
        alignas(32) uint64_t pairs[kRoom / 2];
        if constexpr (L == 8) {
            if (plan.width > 16 && plan.width < 32) {
                PackWide<L>(d.folded[a], plan.width, p);
                constexpr int kEnd = 8 * kWideGroups;
                Pair<L, kEnd>(d.folded[a], plan.width, pairs);
                kEnds[plan.width](pairs + kEnd / 2, p + kWideGroups * plan.width);
                p = exception;
                continue;
            }
        }
        if (plan.width > 0) {
            Pair<L>(d.folded[a], plan.width, pairs);
            kPackers[plan.width](pairs, p);
        }
        p = exception;
    }
    return uint32_t(p - out);
}

uint32_t PackBaseline(const uint8_t *packet, uint8_t *out) { return Pack<4>(packet, out); }
__attribute__((target("avx2"))) uint32_t PackAvx2(const uint8_t *packet, uint8_t *out) { return Pack<8>(packet, out); }

using PackFn = uint32_t (*)(const uint8_t *, uint8_t *);

PackFn FastestPack()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? PackAvx2 : PackBaseline;
}

std::atomic<PackFn> gPack{FastestPack()};

}  // namespace

uint32_t PackPacket(const uint8_t *packet, uint8_t *out) { return gPack.load(std::memory_order_relaxed)(packet, out); }

void UseBaselinePacking(bool baseline)
{
    gPack.store(baseline ? PackBaseline : FastestPack(), std::memory_order_relaxed);
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
