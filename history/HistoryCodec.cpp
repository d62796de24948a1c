#include "history/HistoryCodec.h"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace tav {

namespace {
constexpr uint8_t kBlockFormat = 1;

uint32_t Bits(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}
}  // namespace

void EncodeHistoryBlock(int64_t t0, int count, int columns, const int64_t *times, const float *values,
                        std::string *out)
{
    const size_t stride = size_t(count);
    const size_t planeBytes = size_t(columns + 1) * 4 * stride;
    thread_local std::vector<uint8_t> planes;
    planes.resize(planeBytes);
    // Column 0 holds the time deltas, columns 1.. the XORed values.
    int64_t previousTime = t0;
    for (int i = 0; i < count; ++i) {
        const uint32_t delta = uint32_t(times[i] - previousTime);
        previousTime = times[i];
        for (int b = 0; b < 4; ++b)
            planes[size_t(b) * stride + size_t(i)] = uint8_t(delta >> (8 * b));
    }
    for (int c = 0; c < columns; ++c) {
        uint8_t *column = planes.data() + size_t(c + 1) * 4 * stride;
        uint32_t previous = 0;
        for (int i = 0; i < count; ++i) {
            const uint32_t bits = Bits(values[size_t(i) * size_t(columns) + size_t(c)]);
            const uint32_t x = bits ^ previous;
            previous = bits;
            for (int b = 0; b < 4; ++b)
                column[size_t(b) * stride + size_t(i)] = uint8_t(x >> (8 * b));
        }
    }
    uLongf bound = compressBound(uLong(planeBytes));
    out->resize(1 + size_t(bound));
    (*out)[0] = char(kBlockFormat);
    if (compress2(reinterpret_cast<Bytef *>(out->data() + 1), &bound, planes.data(), uLong(planeBytes), 1) != Z_OK)
        bound = 0;  // cannot happen with a buffer of compressBound's size
    out->resize(1 + size_t(bound));
}

bool DecodeHistoryBlock(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                        float *values)
{
    const auto *in = static_cast<const uint8_t *>(blob);
    if (count <= 0 || size < 2 || in[0] != kBlockFormat)
        return false;
    const size_t stride = size_t(count);
    const size_t planeBytes = size_t(columns + 1) * 4 * stride;
    thread_local std::vector<uint8_t> planes;
    planes.resize(planeBytes);
    uLongf got = uLongf(planeBytes);
    if (uncompress(planes.data(), &got, in + 1, uLong(size - 1)) != Z_OK || got != planeBytes)
        return false;
    int64_t t = t0;
    for (int i = 0; i < count; ++i) {
        uint32_t delta = 0;
        for (int b = 0; b < 4; ++b)
            delta |= uint32_t(planes[size_t(b) * stride + size_t(i)]) << (8 * b);
        t += delta;
        times[i] = t;
    }
    for (int c = 0; c < columns; ++c) {
        const uint8_t *column = planes.data() + size_t(c + 1) * 4 * stride;
        uint32_t bits = 0;
        for (int i = 0; i < count; ++i) {
            uint32_t x = 0;
            for (int b = 0; b < 4; ++b)
                x |= uint32_t(column[size_t(b) * stride + size_t(i)]) << (8 * b);
            bits ^= x;
            std::memcpy(&values[size_t(i) * size_t(columns) + size_t(c)], &bits, 4);
        }
    }
    return true;
}

}  // namespace tav
