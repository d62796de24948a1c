#include "core/analysis/FaultLines.h"

#include <cmath>

#include "core/model/BearingDefects.h"

namespace tav::analysis {

const char *FaultKindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Ftf: return "FTF";
    case FaultKind::Bsf: return "BSF";
    case FaultKind::Bpfo: return "BPFO";
    case FaultKind::Bpfi: return "BPFI";
    }
    return "";
}

std::string FaultLineName(const FaultLine &line)
{
    std::string name = FaultKindName(line.kind);
    name += "×";
    name += std::to_string(line.harmonic);
    if (line.side < 0)
        name += "-fr";
    else if (line.side > 0)
        name += "+fr";
    return name;
}

void FaultLinesFor(const std::vector<BearingGeometry> &bearings, double rpm, double maxHz,
                   std::vector<FaultLine> &out)
{
    out.clear();
    if (!(rpm > 0) || !std::isfinite(rpm))
        return;
    const double fr = rpm / 60.0;
    for (size_t b = 0; b < bearings.size(); ++b) {
        const DefectFrequencies f = BearingDefectFrequencies(bearings[b], rpm);
        if (!(f.bpfo > 0))
            continue;  // not a usable geometry
        const std::pair<FaultKind, double> kinds[] = {
            {FaultKind::Ftf, f.ftf}, {FaultKind::Bsf, f.bsf}, {FaultKind::Bpfo, f.bpfo}, {FaultKind::Bpfi, f.bpfi}};
        for (const auto &[kind, base] : kinds) {
            const bool race = kind == FaultKind::Bpfo || kind == FaultKind::Bpfi;
            for (int h = 1; h <= (race ? kCheckedRaceHarmonics : kFaultHarmonics); ++h) {
                const double hz = h * base;
                for (int side = -1; side <= 1; ++side) {
                    if (side != 0 && (kind != FaultKind::Bpfi || h > kFaultHarmonics))
                        continue;
                    const double at = hz + side * fr;
                    if (at > 0 && at <= maxHz)
                        out.push_back({at, kind, h, side, static_cast<int>(b)});
                }
            }
        }
    }
}

FaultNames FaultNamesAt(const std::vector<FaultLine> &lines, double hz, double tolerance)
{
    FaultNames names;
    double off[2] = {INFINITY, INFINITY};
    int near = 0;
    for (const FaultLine &line : lines) {
        const double d = std::fabs(hz - line.hz) / line.hz;
        if (!(d <= tolerance))
            continue;
        if (++near > 2 || !Drawn(line))
            return FaultNames{};
        // Nearest first.
        const int at = d < off[0] ? 0 : 1;
        if (at == 0) {
            names.line[1] = names.line[0];
            off[1] = off[0];
        }
        names.line[at] = &line;
        off[at] = d;
    }
    names.count = near;
    return names;
}

const FaultLine *NearestFaultLine(const std::vector<FaultLine> &lines, double hz, double tolerance)
{
    const FaultLine *best = nullptr;
    double nearest = INFINITY;
    for (const FaultLine &line : lines) {
        const double off = std::fabs(hz - line.hz) / line.hz;
        if (off <= tolerance && off < nearest) {
            nearest = off;
            best = &line;
        }
    }
    return best;
}

}  // namespace tav::analysis
