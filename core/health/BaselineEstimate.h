#pragma once
// A machine's baseline from a stretch of the durable history: per axis, the
// median of the minute means of the velocity RMS over the minutes the
// machine ran. A median, not a mean: start-ups, a rough hour or a stretch
// of maintenance do not move it.
#include <cmath>
#include <string>

#include "core/history/HistoryReader.h"

namespace tav {

// Fewer running minutes than this say too little about the machine.
constexpr int kMinBaselineMinutes = 60;
constexpr int64_t kDefaultBaselineSpanMs = 7LL * 24 * 3600 * 1000;

struct BaselineEstimate {
    bool ok = false;
    double velocity[3] = {NAN, NAN, NAN};  // mm/s; NaN for an axis without values
    int runningMinutes = 0;
    int stoppedMinutes = 0;                // minutes left out as standing still
    std::string message;                   // for the operator when !ok
};

// From minute aggregates (HistoryResolution::kMinute). A minute counts as
// running when its mean speed is above a tenth of `ratedRpm` (where that is
// known, > 0, and the minute has a speed, 0 included), otherwise when the
// mean velocity of its loudest axis is above 0.2 mm/s.
BaselineEstimate EstimateBaseline(const HistorySeries &minutes, double ratedRpm);

}  // namespace tav
