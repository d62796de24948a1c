#include "core/analysis/WaterfallPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "core/analysis/AnalysisScale.h"
#include "core/analysis/FrequencyLines.h"
#include "core/plotting/PlotReadout.h"

namespace tav::analysis {

namespace {

constexpr int kCodes = 65536;

double DbOfCode(uint16_t code) { return WaterfallStore::kMinDb + (code - 1) * WaterfallStore::kStepDb; }

}  // namespace

uint32_t WaterfallPicture::Colour(int index)
{
    // Dark blue through blue, cyan, yellow and red to dark red: the quiet
    // floor recedes and the strongest lines stand out.
    struct Stop {
        double at;
        int r, g, b;
    };
    static constexpr Stop kStops[] = {{0.0, 0, 0, 96},      {0.15, 0, 0, 255},  {0.4, 0, 255, 255},
                                      {0.65, 255, 255, 0},  {0.9, 255, 0, 0},   {1.0, 128, 0, 0}};
    const double x = std::clamp(index, 0, 255) / 255.0;
    int i = 0;
    while (i + 2 < static_cast<int>(std::size(kStops)) && x > kStops[i + 1].at)
        ++i;
    const Stop &a = kStops[i], &b = kStops[i + 1];
    const double t = std::clamp((x - a.at) / (b.at - a.at), 0.0, 1.0);
    auto mix = [t](int u, int v) { return static_cast<uint32_t>(std::lround(u + (v - u) * t)); };
    return 0xff000000u | mix(a.r, b.r) << 16 | mix(a.g, b.g) << 8 | mix(a.b, b.b);
}

void WaterfallPicture::ColumnLines(int column, int width, int lines, int &from, int &to)
{
    from = static_cast<int>(static_cast<int64_t>(column) * lines / width);
    to = std::max(from + 1, static_cast<int>(static_cast<int64_t>(column + 1) * lines / width));
    to = std::min(to, lines);
}

int WaterfallPicture::IndexOf(double amplitude) const
{
    if (decibels_) {
        const double db = ToDecibels(amplitude);
        return static_cast<int>(std::clamp((db - (topDb_ - kRangeDb)) / kRangeDb * 255.0, 0.0, 255.0) + 0.5);
    }
    return top_ > 0 ? static_cast<int>(std::clamp(amplitude / top_ * 255.0, 0.0, 255.0) + 0.5) : 0;
}

double WaterfallPicture::FrequencyAt(double columns, double df, int lines) const
{
    return width_ > 0 ? columns / width_ * lines * df : 0.0;
}

void WaterfallPicture::MakeColourTable()
{
    uint32_t palette[256];
    for (int i = 0; i < 256; ++i)
        palette[i] = Colour(i);
    colourOf_.resize(kCodes);
    colourOf_[0] = palette[0];
    for (int c = 1; c < kCodes; ++c) {
        const auto code = static_cast<uint16_t>(c);
        const int index = decibels_ ? static_cast<int>(std::clamp((DbOfCode(code) - (topDb_ - kRangeDb)) / kRangeDb * 255.0 + 0.5, 0.0, 255.0))
                                    : IndexOf(WaterfallStore::Decode(code));
        colourOf_[c] = palette[index];
    }
}

bool WaterfallPicture::Rescale()
{
    const double largest = WaterfallStore::Decode(maxCode_);
    const double top = std::max(NiceAbove(largest), 1e-9);
    const double topDb = std::ceil(ToDecibels(std::max(largest, 1e-9)) / 10.0) * 10.0;
    if (top <= top_ && topDb <= topDb_ && !colourOf_.empty())
        return false;
    top_ = std::max(top, top_);
    topDb_ = std::max(topDb, topDb_);
    MakeColourTable();
    return true;
}

void WaterfallPicture::Reduce(const WaterfallStore &store, uint64_t row)
{
    const uint16_t *codes = store.Codes(row);
    uint16_t *out = columns_.data() + static_cast<size_t>(store.Slot(row)) * width_;
    for (int c = 0; c < width_; ++c) {
        int from, to;
        ColumnLines(c, width_, lines_, from, to);
        uint16_t m = 0;
        for (int k = from; k < to; ++k)
            m = std::max(m, codes[k]);
        out[c] = m;
        maxCode_ = std::max(maxCode_, m);
    }
}

void WaterfallPicture::Paint(uint64_t row)
{
    const int slot = static_cast<int>(row % static_cast<uint64_t>(rows_));
    const uint16_t *in = columns_.data() + static_cast<size_t>(slot) * width_;
    uint32_t *out = pixels_.data() + static_cast<size_t>(PixelRow(row)) * width_;
    for (int c = 0; c < width_; ++c)
        out[c] = colourOf_[in[c]];
}

bool WaterfallPicture::Update(const WaterfallStore &store, int width, bool decibels)
{
    const WaterfallSignal &signal = store.Signal();
    width = std::max(width, 1);
    bool all = false;
    if (store.Generation() != generation_ || width != width_ || store.Capacity() != rows_ ||
        signal.lines != lines_) {
        generation_ = store.Generation();
        width_ = width;
        rows_ = store.Capacity();
        lines_ = signal.lines;
        const size_t size = static_cast<size_t>(std::max(rows_, 0)) * width_;
        columns_.assign(size, 0);
        pixels_.assign(size, kEmpty);
        maxCode_ = 0;
        top_ = topDb_ = -1e300;
        colourOf_.clear();
        next_ = store.First();
        all = true;
    }
    if (decibels != decibels_) {
        decibels_ = decibels;
        colourOf_.clear();
        top_ = topDb_ = -1e300;
        all = true;
    }
    if (rows_ <= 0 || lines_ <= 0) {
        first_ = next_ = store.Next();
        return all;
    }
    const uint64_t from = std::max(next_, store.First());
    for (uint64_t row = from; row < store.Next(); ++row)
        Reduce(store, row);
    const bool changed = all || from < store.Next() || first_ != store.First();
    all = Rescale() || all;
    first_ = store.First();
    for (uint64_t row = all ? first_ : from; row < store.Next(); ++row)
        Paint(row);
    next_ = store.Next();
    return changed || all;
}

WaterfallPoint WaterfallPicture::PointAt(const WaterfallStore &store, const WaterfallArea &area, int px, int py) const
{
    WaterfallPoint p;
    const WaterfallSignal &signal = store.Signal();
    if (!area.Valid() || width_ <= 0 || rows_ <= 0 || px < area.left || px >= area.right || py < area.top ||
        py >= area.bottom || store.Generation() != generation_ || signal.lines <= 0)
        return p;
    const auto back = static_cast<uint64_t>(static_cast<int64_t>(py - area.top) * rows_ / area.Height());
    if (back >= next_ - first_)
        return p;
    p.row = next_ - 1 - back;
    if (p.row < store.First() || p.row >= store.Next())
        return p;
    const int column = static_cast<int>(static_cast<int64_t>(px - area.left) * width_ / area.Width());
    int from, to;
    ColumnLines(column, width_, signal.lines, from, to);
    const uint16_t *codes = store.Codes(p.row);
    int best = from;
    for (int k = from; k < to; ++k)
        if (codes[k] > codes[best])
            best = k;
    p.valid = true;
    p.time = store.Time(p.row);
    p.line = best;
    p.frequency = best * signal.df;
    p.amplitude = WaterfallStore::Decode(codes[best]);
    return p;
}

std::string WaterfallReadoutText(const WaterfallPoint &point, int quantity, bool decibels)
{
    if (!point.valid)
        return {};
    const auto seconds = static_cast<time_t>(std::floor(point.time));
    tm local{};
    localtime_r(&seconds, &local);
    char when[16];
    std::strftime(when, sizeof when, "%H:%M:%S", &local);
    char text[96];
    if (decibels)
        std::snprintf(text, sizeof text, "%s  %.2f Hz  %.1f dB", when, point.frequency, ToDecibels(point.amplitude));
    else
        std::snprintf(text, sizeof text, "%s  %.2f Hz  %s", when, point.frequency,
                      FormatValue(point.amplitude, QuantityUnit(quantity)).c_str());
    return text;
}

}  // namespace tav::analysis
