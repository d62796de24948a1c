#pragma once
// Packing of history entries into one blob per stored row: a run of entries
// of one sensor (a minute of ticks, an hour of minute aggregates, a day of
// hour aggregates), lossless.
//
// Each entry is a time and `columns` floats. Times become deltas to the
// previous entry, every float the difference of its bits (as an integer,
// zigzagged) to the same column of the previous entry: positive floats order
// like their bit patterns, so a slowly changing value gives a small number
// even where it crosses a power of two. The four bytes of every column are
// then laid out in planes, grouped by byte; each group is deflated unless
// that does not make it smaller (the low bytes of noisy values), so the high
// groups shrink to almost nothing and the noise is read back at memory speed.
//
// Any thread; no state.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tav {

constexpr int kHistoryRawColumns = 22;        // one value per series
constexpr int kHistoryAggregateColumns = 66;  // minimum, mean, maximum per series, in that order of blocks

// Packs `count` entries: times[i] (UTC ms, non-decreasing, times[0] >= t0)
// and values[i * columns + c]. Appends to *out (cleared first).
// `level`: zlib's 1 to 9, or 0 to store the planes unpacked (short-lived rows).
void EncodeHistoryBlock(int64_t t0, int count, int columns, const int64_t *times, const float *values,
                        std::string *out, int level = 6);

// Unpacks a blob written by EncodeHistoryBlock into caller-sized arrays of
// `count` entries. False when the blob is damaged or of another shape.
bool DecodeHistoryBlock(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                        float *values);
// The same into one array per column: columnOut[c][i].
bool DecodeHistoryColumns(const void *blob, size_t size, int64_t t0, int count, int columns, int64_t *times,
                          float *const *columnOut);

// Adds an entry to the open run of a sensor's aggregates (the minutes of an
// hour, the hours of a day), the run that is stored as one growing row. A new
// run starts at a new `key` (hour or day), when the run is full, and when the
// time goes back (a clock step), so every stored run is in order and within
// its span; its `rowid` 0 then says that its row is still to be inserted.
template <class Run>
void JoinAggregateRun(Run &run, int64_t key, int capacity, int64_t utcMs, const float *values, int columns)
{
    if (run.count > 0 && (run.key != key || run.count == capacity || utcMs < run.times[run.count - 1])) {
        run.count = 0;
        run.rowid = 0;
    }
    if (run.count == 0)
        run.key = key;
    run.times[run.count] = utcMs;
    std::copy(values, values + columns, run.values + size_t(run.count) * columns);
    ++run.count;
}

}  // namespace tav
