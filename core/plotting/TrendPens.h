#pragma once
// Colours of the trend pens: the n-th shown series, counted in series order,
// is drawn in pen n. Shared by every trend of the station, so that a series
// looks the same in the 60-minute viewer and in the history.
#include <cstdint>

namespace tav {

struct PenRgb {
    uint8_t r, g, b;
};

constexpr int kTrendPenCount = 8;
constexpr PenRgb kTrendPenRgb[kTrendPenCount] = {
    {255, 215, 0}, {65, 105, 225}, {255, 97, 0},  {0, 51, 0},
    {255, 153, 204}, {51, 153, 102}, {128, 0, 128}, {128, 64, 128},
};

}  // namespace tav
