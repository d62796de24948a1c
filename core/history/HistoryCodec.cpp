#include "core/history/HistoryCodec.h"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace tav {

namespace {
constexpr uint8_t kBlockFormat = 1;
constexpr uint8_t kGroupStored = 0;
constexpr uint8_t kGroupDeflated = 1;

uint32_t Bits(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

uint32_t ZigZag(uint32_t d) { return (d << 1) ^ uint32_t(int32_t(d) >> 31); }
uint32_t UnZigZag(uint32_t z) { return (z >> 1) ^ (0u - (z & 1u)); }

void PutU32(std::string *out, uint32_t v)
{
    for (int b = 0; b < 4; ++b)
        out->push_back(char(uint8_t(v >> (8 * b))));
}

uint32_t GetU32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One raw-deflate stream per thread and level, and one inflate stream per
// thread: setting a stream up costs more than packing a minute.
struct Deflaters {
    z_stream streams[10] = {};
    bool ready[10] = {};
    ~Deflaters()
    {
        for (int i = 0; i < 10; ++i)
            if (ready[i])
                deflateEnd(&streams[i]);
    }
    z_stream *Get(int level)
    {
        if (level < 1 || level > 9)
            return nullptr;
        if (ready[level])
            return deflateReset(&streams[level]) == Z_OK ? &streams[level] : nullptr;
        if (deflateInit2(&streams[level], level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return nullptr;
        ready[level] = true;
        return &streams[level];
    }
};

struct Inflater {
    z_stream stream = {};
    bool ready = false;
    ~Inflater()
    {
        if (ready)
            inflateEnd(&stream);
    }
    z_stream *Get()
    {
        if (ready)
            return inflateReset(&stream) == Z_OK ? &stream : nullptr;
        if (inflateInit2(&stream, -15) != Z_OK)
            return nullptr;
        ready = true;
        return &stream;
    }
};

// Raw deflate of one group of planes, appended to *out; false when it would
// not be clearly smaller than the group itself, or `level` is 0.
bool DeflateGroup(const uint8_t *data, size_t size, int level, std::string *out)
{
    thread_local Deflaters deflaters;
    z_stream *z = deflaters.Get(level);
    if (!z)
        return false;
    const size_t at = out->size();
    const size_t bound = deflateBound(z, uLong(size));
    out->resize(at + bound);
    z->next_in = const_cast<Bytef *>(data);
    z->avail_in = uInt(size);
    z->next_out = reinterpret_cast<Bytef *>(out->data() + at);
    z->avail_out = uInt(bound);
    const bool done = deflate(z, Z_FINISH) == Z_STREAM_END;
    const size_t produced = bound - z->avail_out;
    // A group that barely shrinks is not worth inflating at every read.
    if (!done || produced > size - size / 16) {
        out->resize(at);
        return false;
    }
    out->resize(at + produced);
    return true;
}

bool InflateGroup(const uint8_t *in, size_t size, uint8_t *out, size_t outSize)
{
    thread_local Inflater inflater;
    z_stream *z = inflater.Get();
    if (!z)
        return false;
    z->next_in = const_cast<Bytef *>(in);
    z->avail_in = uInt(size);
    z->next_out = out;
    z->avail_out = uInt(outSize);
    return inflate(z, Z_FINISH) == Z_STREAM_END && z->avail_out == 0;
}

// Planes are grouped by byte: all lowest bytes first. The low groups of
// noisy values do not compress and are stored as they are (read back at
// memory speed); the high groups shrink to almost nothing.
// Blob: format, adler32 of all planes, then per group: mode, length, bytes.
bool Inflate(const void *blob, size_t size, int count, int columns, std::vector<uint8_t> &planes)
{
    const auto *in = static_cast<const uint8_t *>(blob);
    if (count <= 0 || columns <= 0 || size < 5 || in[0] != kBlockFormat)
        return false;
    const size_t groupBytes = size_t(columns + 1) * size_t(count);
    planes.resize(4 * groupBytes);
    size_t at = 5;
    for (int g = 0; g < 4; ++g) {
        if (at + 5 > size)
            return false;
        const uint8_t mode = in[at];
        const size_t length = GetU32(in + at + 1);
        at += 5;
        if (length > size - at)
            return false;
        uint8_t *dst = planes.data() + size_t(g) * groupBytes;
        if (mode == kGroupStored) {
            if (length != groupBytes)
                return false;
            std::memcpy(dst, in + at, length);
        } else if (mode != kGroupDeflated || !InflateGroup(in + at, length, dst, groupBytes)) {
            return false;
        }
        at += length;
    }
    return at == size && adler32(adler32(0, nullptr, 0), planes.data(), uInt(planes.size())) == GetU32(in + 1);
}

// Byte b of entry i of a column lies at column[b * group + i].
inline uint32_t Gather(const uint8_t *column, size_t group, size_t i)
{
    return uint32_t(column[i]) | uint32_t(column[group + i]) << 8 | uint32_t(column[2 * group + i]) << 16 |
           uint32_t(column[3 * group + i]) << 24;
}

void DecodeTimes(const uint8_t *planes, size_t group, int64_t t0, int count, int64_t *times)
{
    int64_t t = t0;
    for (int i = 0; i < count; ++i) {
        t += Gather(planes, group, size_t(i));
        times[i] = t;
    }
}

// Undoes the differences of one column into out[i * step].
void DecodeColumn(const uint8_t *column, size_t group, int count, float *out, size_t step)
{
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i) {
        bits += UnZigZag(Gather(column, group, size_t(i)));
        std::memcpy(out + size_t(i) * step, &bits, 4);
    }
}
}  // namespace

void EncodeHistoryBlock(int64_t t0, int count, int columns, const int64_t *times, const float *values,
                        std::string *out, int level)
{
    const size_t stride = size_t(count);
    const size_t group = size_t(columns + 1) * stride;
    thread_local std::vector<uint8_t> planes;
    planes.resize(4 * group);
    // Column 0 holds the time deltas, columns 1.. the value differences.
    int64_t previousTime = t0;
    for (int i = 0; i < count; ++i) {
        const uint32_t delta = uint32_t(times[i] - previousTime);
        previousTime = times[i];
        for (int b = 0; b < 4; ++b)
            planes[size_t(b) * group + size_t(i)] = uint8_t(delta >> (8 * b));
    }
    for (int c = 0; c < columns; ++c) {
        uint8_t *column = planes.data() + size_t(c + 1) * stride;
        uint32_t previous = 0;
        for (int i = 0; i < count; ++i) {
            const uint32_t bits = Bits(values[size_t(i) * size_t(columns) + size_t(c)]);
            const uint32_t z = ZigZag(bits - previous);
            previous = bits;
            for (int b = 0; b < 4; ++b)
                column[size_t(b) * group + size_t(i)] = uint8_t(z >> (8 * b));
        }
    }
    out->clear();
    out->push_back(char(kBlockFormat));
    PutU32(out, uint32_t(adler32(adler32(0, nullptr, 0), planes.data(), uInt(planes.size()))));
    for (int g = 0; g < 4; ++g) {
        const uint8_t *data = planes.data() + size_t(g) * group;
        const size_t header = out->size();
        out->push_back(char(kGroupDeflated));
        PutU32(out, 0);
        if (!DeflateGroup(data, group, level, out)) {
            (*out)[header] = char(kGroupStored);
            out->append(reinterpret_cast<const char *>(data), group);
        }
        const uint32_t length = uint32_t(out->size() - header - 5);
        for (int b = 0; b < 4; ++b)
            (*out)[header + 1 + size_t(b)] = char(uint8_t(length >> (8 * b)));
    }
}

bool DecodeHistoryBlock(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                        float *values)
{
    thread_local std::vector<uint8_t> planes;
    if (!Inflate(blob, size, count, columns, planes))
        return false;
    const size_t group = size_t(columns + 1) * size_t(count);
    DecodeTimes(planes.data(), group, t0, count, times);
    for (int c = 0; c < columns; ++c)
        DecodeColumn(planes.data() + size_t(c + 1) * size_t(count), group, count, values + c, size_t(columns));
    return true;
}

bool DecodeHistoryColumns(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                          float *const *columnOut)
{
    thread_local std::vector<uint8_t> planes;
    if (!Inflate(blob, size, count, columns, planes))
        return false;
    const size_t group = size_t(columns + 1) * size_t(count);
    DecodeTimes(planes.data(), group, t0, count, times);
    for (int c = 0; c < columns; ++c)
        DecodeColumn(planes.data() + size_t(c + 1) * size_t(count), group, count, columnOut[c], 1);
    return true;
}

}  // namespace tav
