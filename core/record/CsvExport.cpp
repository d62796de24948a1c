#include "core/record/CsvExport.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/base/TextInput.h"
#include "core/record/OutputFile.h"
#include "core/record/VdatFormat.h"

namespace tav {

namespace {
// Text is collected in a large buffer and written in few big calls; a full
// recording is about 8 million lines.
constexpr size_t kOutBufferBytes = 4u << 20;
constexpr size_t kMaxLineChars = 4 * kMaxGChars + 3 + 2;
constexpr size_t kMaxPacketChars = kSamplesPerPacket * kMaxLineChars;
constexpr uint32_t kProgressEveryPackets = 1024;

}  // namespace

namespace {
// Powers of ten 1e-40 .. 1e60, each the double nearest the exact power.
constexpr int kPow10Min = -40;
constexpr int kPow10Max = 60;
constexpr double kPow10[kPow10Max - kPow10Min + 1] = {
    1e-40, 1e-39, 1e-38, 1e-37, 1e-36, 1e-35, 1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26,
    1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11,
    1e-10, 1e-9, 1e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27,
    1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45,
    1e46, 1e47, 1e48, 1e49, 1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60};

char *SlowG(char *out, double v)
{
    // General format with precision 6 is defined to match %g, including
    // "inf", "-inf", "nan", "-nan" and two-digit exponents.
    return std::to_chars(out, out + kMaxGChars, v, std::chars_format::general, 6).ptr;
}
}  // namespace

char *FormatG(char *out, double v)
{
    // to_chars costs about 60 ns a number, most of a full export. The six
    // significant digits are found here in double arithmetic instead: the
    // scaled value t has a relative error below 3e-16, so its rounding is
    // certain unless t lies within 1e-7 of a half. Those rare cases (exact
    // ties among them) and anything unusual take the exact path.
    if (!std::isfinite(v))
        return SlowG(out, v);
    const bool negative = std::signbit(v);
    double a = negative ? -v : v;
    if (a == 0) {
        if (negative)
            *out++ = '-';
        *out++ = '0';
        return out;
    }
    uint64_t bits;
    std::memcpy(&bits, &a, 8);
    const int biased = int(bits >> 52);
    if (biased == 0)
        return SlowG(out, v);  // subnormal double (never a widened float)
    // a in [2^e, 2^(e+1)); floor(log10(a)) is floor(e log10 2) or one more
    // (78913 / 2^18 is log10 2 closely enough for |e| < 1700).
    const int e = biased - 1023;
    int x = (e * 78913) >> 18;
    if (x + 1 - kPow10Min < 0 || 5 - x > kPow10Max || x + 1 > kPow10Max || 5 - x - 1 < kPow10Min)
        return SlowG(out, v);
    if (a >= kPow10[x + 1 - kPow10Min])
        ++x;
    const double t = a * kPow10[5 - x - kPow10Min];
    const double fl = std::floor(t);
    const double frac = t - fl;
    if (std::fabs(frac - 0.5) < 1e-7)
        return SlowG(out, v);
    uint32_t n = uint32_t(fl) + (frac > 0.5 ? 1 : 0);
    if (n >= 1000000) {
        n /= 10;
        ++x;
    }
    if (n < 100000)
        return SlowG(out, v);  // cannot happen with x right; stay exact regardless
    // Six digits at once from a table of pairs; copies below write whole
    // 8-byte words and then advance by what is valid (the caller's room of
    // kMaxGChars covers the overhang).
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    char digits[8] = {};
    std::memcpy(digits, kPairs + 2 * (n / 10000), 2);
    std::memcpy(digits + 2, kPairs + 2 * (n / 100 % 100), 2);
    std::memcpy(digits + 4, kPairs + 2 * (n % 100), 2);
    int used = 6;  // significant digits left after dropping trailing zeros
    while (used > 1 && n % 10 == 0) {
        n /= 10;
        --used;
    }
    if (negative)
        *out++ = '-';
    if (x < -4 || x >= 6) {
        *out++ = digits[0];
        if (used > 1) {
            *out = '.';
            std::memcpy(out + 1, digits + 1, 8 - 1);
            out += used;
        }
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        int e = x < 0 ? -x : x;
        if (e >= 100) {
            *out++ = char('0' + e / 100);
            e %= 100;
        }
        std::memcpy(out, kPairs + 2 * e, 2);
        return out + 2;
    }
    if (x >= 0) {
        std::memcpy(out, digits, 8);
        out += x + 1;
        if (used > x + 1) {
            *out = '.';
            std::memcpy(out + 1, digits + x + 1, 8 - (x + 1));
            out += 1 + used - (x + 1);
        }
        return out;
    }
    // x in -4..-1: "0." and -x-1 zeros before the digits.
    std::memcpy(out, "0.000", 5);
    out += 2 + (-x - 1);
    std::memcpy(out, digits, 8);
    return out + used;
}

const std::string &TransientCsvHeader()
{
    static const std::string header = Utf8ToGbk("X轴加速度(g),Y轴加速度(g),Z轴加速度(g),采样频率(Hz)") + "\r\n";
    return header;
}

int WriteTransientCsv(int fd, const uint8_t *data, uint32_t length, const CsvProgressFn &progress)
{
    const uint32_t packets = length / kPacketBytes;
    auto buffer = std::make_unique<char[]>(kOutBufferBytes);
    char *const begin = buffer.get();
    char *const limit = begin + kOutBufferBytes - kMaxPacketChars;
    const std::string &header = TransientCsvHeader();
    std::memcpy(begin, header.data(), header.size());
    char *out = begin + header.size();

    // The frequency column repeats on every line; it is formatted once per
    // packet (and only again when it changes).
    char fsText[kMaxGChars + 2];
    size_t fsLength = 0;
    uint32_t fsBits = 0;
    bool fsValid = false;

    for (uint32_t p = 0; p < packets; ++p) {
        const uint8_t *packet = data + size_t(p) * kPacketBytes;
        uint32_t bits = PacketU32(packet, kPacketFsOffset);
        if (!fsValid || bits != fsBits) {
            char *e = FormatG(fsText, PacketFs(packet));
            *e++ = '\r';
            *e++ = '\n';
            fsLength = size_t(e - fsText);
            fsBits = bits;
            fsValid = true;
        }
        const uint8_t *s = packet + kPacketSamplesOffset;
        for (int i = 0; i < kSamplesPerPacket; ++i, s += 12) {
            out = FormatG(out, PacketFloat(s, 0));
            *out++ = ',';
            out = FormatG(out, PacketFloat(s, 4));
            *out++ = ',';
            out = FormatG(out, PacketFloat(s, 8));
            *out++ = ',';
            std::memcpy(out, fsText, fsLength);
            out += fsLength;
        }
        if (out >= limit) {
            if (int err = WriteAllBytes(fd, begin, size_t(out - begin)))
                return err;
            out = begin;
        }
        if (progress && (p + 1) % kProgressEveryPackets == 0)
            progress(p + 1, packets);
    }
    if (int err = WriteAllBytes(fd, begin, size_t(out - begin)))
        return err;
    if (progress)
        progress(packets, packets);
    return 0;
}

}  // namespace tav
