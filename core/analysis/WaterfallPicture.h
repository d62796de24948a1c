#pragma once
// The waterfall's colour map as pixels, kept up to date row by row: one
// pixel row per stored spectrum, one column per screen column, each
// column's colour from the largest line it covers, so a narrow line stays
// visible however many lines a column holds. The pixel rows live in a ring
// laid out like the store's, in reverse (ring slot s is pixel row
// Rows() - 1 - s), so that the newest row on top and the older ones below
// are at most two straight runs of the picture.
//
// New rows cost one reduction each; a scale that must grow recolours the
// kept reductions without touching the store; only a new width or another
// layout of the store reduces every row again.
//
// Qt-free; window thread. Update and PointAt read the store and are called
// with its lock held.
#include <cstdint>
#include <string>
#include <vector>

#include "core/analysis/WaterfallStore.h"

namespace tav::analysis {

struct WaterfallArea {
    int left = 0, top = 0, right = 0, bottom = 0;  // columns left..right-1, rows top..bottom-1
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    bool Valid() const { return right > left && bottom > top; }
};

// What lies under a pixel of the plot.
struct WaterfallPoint {
    bool valid = false;
    uint64_t row = 0;      // store's row number
    double time = 0;       // seconds since 1970
    int line = 0;
    double frequency = 0;  // Hz
    double amplitude = 0;  // the signal's unit
};

class WaterfallPicture {
public:
    static constexpr double kRangeDb = 80.0;        // colours span this far below the top in dB
    static constexpr uint32_t kEmpty = 0xfff0f0f0;  // where no row is yet

    // Colour of index 0 (nothing) .. 255 (the top), as 0xffRRGGBB.
    static uint32_t Colour(int index);
    // Lines [from, to) that column `column` of `width` covers of `lines`.
    static void ColumnLines(int column, int width, int lines, int &from, int &to);

    // Store's lock held. Returns true when any pixel changed.
    bool Update(const WaterfallStore &store, int width, bool decibels);

    const uint32_t *Pixels() const { return pixels_.data(); }
    int Width() const { return width_; }
    int Rows() const { return rows_; }
    // Rows drawn: First() .. Next() - 1, the newest on top.
    uint64_t First() const { return first_; }
    uint64_t Next() const { return next_; }
    int PixelRow(uint64_t row) const { return rows_ - 1 - static_cast<int>(row % static_cast<uint64_t>(rows_)); }
    bool Decibels() const { return decibels_; }
    // The amplitude of the top colour: linear 1, 2 or 5 x 10^k at or above
    // the largest line drawn; in dB the next multiple of 10 dB above it.
    double Top() const { return top_; }
    double TopDb() const { return topDb_; }
    // Colour index of an amplitude on the current scale.
    int IndexOf(double amplitude) const;
    // Frequency of the left edge of a column offset (0 .. Width()), Hz.
    double FrequencyAt(double columns, double df, int lines) const;

    // Store's lock held. The row under `py` (the area's height spans the
    // store's capacity of rows, newest at the top) and the largest line of
    // that row in the column under `px`.
    WaterfallPoint PointAt(const WaterfallStore &store, const WaterfallArea &area, int px, int py) const;

private:
    void Reduce(const WaterfallStore &store, uint64_t row);
    void Paint(uint64_t row);
    bool Rescale();
    void MakeColourTable();

    uint64_t generation_ = UINT64_MAX;
    int width_ = 0, rows_ = 0, lines_ = 0;
    bool decibels_ = false;
    uint64_t first_ = 0, next_ = 0;
    uint16_t maxCode_ = 0;          // the largest line drawn since the layout
    double top_ = 0, topDb_ = 0;
    std::vector<uint16_t> columns_; // rows_ x width_: largest code per column
    std::vector<uint32_t> pixels_;  // rows_ x width_
    std::vector<uint32_t> colourOf_; // colour per code at the current scale
};

// "14:03:27  49.61 Hz  0.312 g" (or "-10.1 dB"); empty for an invalid point.
std::string WaterfallReadoutText(const WaterfallPoint &point, int quantity, bool decibels);

}  // namespace tav::analysis
