#include "record/CsvExport.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
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

char *FormatG(char *out, double v)
{
    // General format with precision 6 is defined to match %g, including
    // "inf", "-inf", "nan", "-nan" and two-digit exponents.
    return std::to_chars(out, out + kMaxGChars, v, std::chars_format::general, 6).ptr;
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
