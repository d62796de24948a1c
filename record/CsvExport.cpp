#include "record/CsvExport.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include "record/GbkText.h"
#include "record/VdatFormat.h"

namespace tav {

namespace {
// Text is collected in a large buffer and written in few big calls; a full
// recording is about 8 million lines.
constexpr size_t kOutBufferBytes = 4u << 20;
constexpr size_t kMaxLineChars = 4 * kMaxGChars + 3 + 2;
constexpr size_t kMaxPacketChars = kSamplesPerPacket * kMaxLineChars;
constexpr uint32_t kProgressEveryPackets = 1024;

int WriteAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (w == 0)
            return EIO;
        p += w;
        n -= size_t(w);
    }
    return 0;
}
}  // namespace

namespace {
// Powers of ten 1e-40 .. 1e60, each the double nearest the exact power.
constexpr int kPow10Min = -40;
constexpr int kPow10Max = 60;
struct Pow10Table {
    double value[kPow10Max - kPow10Min + 1];
};
const Pow10Table &Pow10()
{
    static const Pow10Table table = [] {
        Pow10Table t{};
        char text[16];
        for (int k = kPow10Min; k <= kPow10Max; ++k) {
            std::snprintf(text, sizeof text, "1e%d", k);
            std::from_chars(text, text + std::strlen(text), t.value[k - kPow10Min]);  // correctly rounded
        }
        return t;
    }();
    return table;
}

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
    int binaryExponent;
    std::frexp(a, &binaryExponent);  // a in [2^(e-1), 2^e)
    // floor(log10(a)) is this or one more.
    int x = int(std::floor((binaryExponent - 1) * 0.30102999566398120));
    const Pow10Table &p10 = Pow10();
    if (x + 1 - kPow10Min < 0 || 5 - x > kPow10Max || x + 1 > kPow10Max || 5 - x - 1 < kPow10Min)
        return SlowG(out, v);
    if (a >= p10.value[x + 1 - kPow10Min])
        ++x;
    const double t = a * p10.value[5 - x - kPow10Min];
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
    char digits[6];
    for (int i = 5; i >= 0; --i) {
        digits[i] = char('0' + n % 10);
        n /= 10;
    }
    int used = 6;  // significant digits left after dropping trailing zeros
    while (used > 1 && digits[used - 1] == '0')
        --used;
    if (negative)
        *out++ = '-';
    if (x < -4 || x >= 6) {
        *out++ = digits[0];
        if (used > 1) {
            *out++ = '.';
            for (int i = 1; i < used; ++i)
                *out++ = digits[i];
        }
        *out++ = 'e';
        *out++ = x < 0 ? '-' : '+';
        int e = x < 0 ? -x : x;
        if (e >= 100)
            *out++ = char('0' + e / 100);
        *out++ = char('0' + e / 10 % 10);
        *out++ = char('0' + e % 10);
        return out;
    }
    if (x >= 0) {
        for (int i = 0; i <= x; ++i)
            *out++ = digits[i];
        if (used > x + 1) {
            *out++ = '.';
            for (int i = x + 1; i < used; ++i)
                *out++ = digits[i];
        }
        return out;
    }
    *out++ = '0';
    *out++ = '.';
    for (int i = -1; i > x; --i)
        *out++ = '0';
    for (int i = 0; i < used; ++i)
        *out++ = digits[i];
    return out;
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
            if (int err = WriteAll(fd, begin, size_t(out - begin)))
                return err;
            out = begin;
        }
        if (progress && (p + 1) % kProgressEveryPackets == 0)
            progress(p + 1, packets);
    }
    if (int err = WriteAll(fd, begin, size_t(out - begin)))
        return err;
    if (progress)
        progress(packets, packets);
    return 0;
}

}  // namespace tav
