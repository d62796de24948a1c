#include "core/model/BearingDefects.h"

#include <cmath>

namespace tav::analysis {

std::string BearingGeometryProblem(const BearingGeometry &b)
{
    if (b.elements < 3 || b.elements > 200)
        return "滚动体数应为 3 到 200 的整数";
    if (!(b.ballDiameterMm > 0) || !std::isfinite(b.ballDiameterMm))
        return "滚动体直径应为正数";
    if (!(b.pitchDiameterMm > b.ballDiameterMm) || !std::isfinite(b.pitchDiameterMm))
        return "节圆直径应大于滚动体直径";
    if (!(b.contactAngleDeg >= 0 && b.contactAngleDeg < 90))
        return "接触角应在 0 到 90 度之间（不含 90）";
    return {};
}

DefectFrequencies BearingDefectFrequencies(const BearingGeometry &b, double rpm)
{
    DefectFrequencies f;
    if (!BearingGeometryProblem(b).empty() || !(rpm > 0) || !std::isfinite(rpm))
        return f;
    const double fr = rpm / 60.0;
    const double ratio = b.ballDiameterMm / b.pitchDiameterMm;
    const double g = ratio * std::cos(b.contactAngleDeg * M_PI / 180.0);
    f.ftf = fr / 2 * (1 - g);
    f.bsf = fr / 2 / ratio * (1 - g * g);
    f.bpfo = b.elements * fr / 2 * (1 - g);
    f.bpfi = b.elements * fr / 2 * (1 + g);
    return f;
}

}  // namespace tav::analysis
