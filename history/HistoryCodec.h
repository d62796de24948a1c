#pragma once
// Packing of history entries into one blob per stored row: a run of entries
// of one sensor (a minute of ticks, an hour of minute aggregates, a day of
// hour aggregates), lossless.
//
// Each entry is a time and `columns` floats. Times become deltas to the
// previous entry, every float the XOR of its bits with the same column of the
// previous entry; the four bytes of every column are then laid out in planes
// and deflated. Slowly changing values keep their sign, exponent and top
// mantissa bits, so those planes shrink to almost nothing.
//
// Any thread; no state.
#include <cstdint>
#include <string>

namespace tav {

constexpr int kHistoryRawColumns = 22;        // one value per series
constexpr int kHistoryAggregateColumns = 66;  // minimum, mean, maximum per series, in that order of blocks

// Packs `count` entries: times[i] (UTC ms, non-decreasing, times[0] >= t0)
// and values[i * columns + c]. Appends to *out (cleared first).
void EncodeHistoryBlock(int64_t t0, int count, int columns, const int64_t *times, const float *values,
                        std::string *out);

// Unpacks a blob written by EncodeHistoryBlock into caller-sized arrays of
// `count` entries. False when the blob is damaged or of another shape.
bool DecodeHistoryBlock(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                        float *values);

}  // namespace tav
