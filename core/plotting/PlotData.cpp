#include "core/plotting/PlotData.h"

#include <cstring>

namespace tav {

int PlotData::Snapshot(int q, float *out)
{
    std::lock_guard<std::mutex> lock(mutex);
    int n = pointCount;
    if (n < 0) n = 0;
    if (n > kPlotPoints) n = kPlotPoints;
    std::memcpy(out, Shown(q), sizeof(float) * static_cast<size_t>(n));
    return n;
}

}  // namespace tav
