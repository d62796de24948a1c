#include "core/model/MachineSettings.h"

#include <algorithm>
#include <cstdio>

#include "core/model/BearingDefects.h"

namespace tav {

namespace {
const char *const kClassKeys[kIsoClassCount] = {"none", "group1-rigid", "group1-flexible", "group2-rigid",
                                                "group2-flexible"};
const char *const kQuantityKeys[kAlarmQuantityCount] = {
    "velocity",     "acceleration_rms", "acceleration_peak", "crest_factor",
    "kurtosis",     "displacement_peak", "temperature",      "speed_deviation",
};
}  // namespace

const char *IsoClassKey(IsoClass c)
{
    const int i = int(c);
    return i >= 0 && i < kIsoClassCount ? kClassKeys[i] : "none";
}

bool ParseIsoClass(const std::string &text, IsoClass *out)
{
    for (int i = 0; i < kIsoClassCount; ++i)
        if (text == kClassKeys[i]) {
            *out = IsoClass(i);
            return true;
        }
    return false;
}

const char *AlarmQuantityKey(int quantity)
{
    static const char *const kBandKeys[kMaxBands] = {"band1", "band2", "band3", "band4",
                                                     "band5", "band6", "band7", "band8"};
    if (IsBandQuantity(quantity))
        return kBandKeys[quantity - kBandQuantity];
    if (quantity == kIsoDisplacementQuantity)
        return "displacement_rms";
    return quantity >= 0 && quantity < kAlarmQuantityCount ? kQuantityKeys[quantity] : "";
}

bool PerAxis(int quantity) { return quantity != kQuantityTemperature && quantity != kQuantitySpeedDeviation; }

namespace {
void SetLimits(WatchedBand &w, double alert, double danger, const double *baseline)
{
    for (int axis = 0; axis < 3; ++axis) {
        const double base = baseline ? baseline[axis] : NAN;
        const bool haveBase = std::isfinite(base) && base > 0;
        w.alert[axis] = std::isfinite(alert) ? alert : haveBase ? base * kBandAlertOverBaseline : NAN;
        w.danger[axis] = std::isfinite(danger) ? danger : haveBase ? base * kBandDangerOverBaseline : NAN;
        // A baseline's danger at or below an explicit alert is not used.
        if (w.danger[axis] <= w.alert[axis])
            w.danger[axis] = NAN;
    }
}
}  // namespace

int WatchedBands(const MachineSettings &m, WatchedBand (&out)[kMaxBands])
{
    int n = 0;
    for (const BandSettings &b : m.bands) {
        if (n == kMaxBands)
            return n;
        WatchedBand &w = out[n++];
        w = WatchedBand{};
        w.name = b.name;
        w.spectrum = b.spectrum;
        w.kind = b.kind;
        w.low = b.low;
        w.high = b.high;
        SetLimits(w, b.alert, b.danger, b.baseline);
    }
    // Defect frequencies are proportional to the speed: at 60 rpm they are
    // the orders of the running speed.
    static const char *const kDefects[4] = {"BPFO", "BPFI", "BSF", "FTF"};
    for (size_t i = 0; i < m.bearings.size(); ++i) {
        const analysis::DefectFrequencies f = analysis::BearingDefectFrequencies(m.bearings[i], 60.0);
        const double orders[4] = {f.bpfo, f.bpfi, f.bsf, f.ftf};
        for (int d = 0; d < 4; ++d) {
            if (n == kMaxBands)
                return n;
            if (!(orders[d] > 0))
                continue;
            WatchedBand &w = out[n++];
            w = WatchedBand{};
            const std::string &name = m.bearings[i].name;
            w.name = (name.empty() ? "轴承" + std::to_string(i + 1) : name) + " " + kDefects[d];
            w.spectrum = BandSpectrum::kEnvelope;
            w.kind = BandKind::kOrder;
            w.low = w.high = orders[d];
            w.bearing = true;
            SetLimits(w, m.bearingAlert, m.bearingDanger, nullptr);
        }
    }
    return n;
}

bool BandEdgesHz(const WatchedBand &b, double rpm, double df, double *lowHz, double *highHz)
{
    double scale = 1;
    if (b.kind == BandKind::kOrder) {
        if (!(rpm > 0) || !std::isfinite(rpm))
            return false;
        scale = rpm / 60.0;
    }
    double low = b.low * scale, high = b.high * scale;
    if (b.bearing) {
        const double half = std::max(low * kBearingBandShare, kBearingBandLines * df);
        low -= half;
        high += half;
    }
    *lowHz = std::max(low, 0.0);
    *highHz = high;
    return high > *lowHz || (high == *lowHz && high > 0);
}

}  // namespace tav
