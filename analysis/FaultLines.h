#pragma once
// The defect lines of a machine's bearings at a running speed, as the
// envelope spectrum shows them: each defect frequency with its harmonics,
// and the inner race's sidebands at the running frequency (an inner race
// turns with the shaft, so its impacts are modulated once per turn).
// Qt-free, pure.
#include <string>
#include <vector>

#include "settings/MachineSettings.h"

namespace tav::analysis {

enum class FaultKind { Ftf = 0, Bsf, Bpfo, Bpfi };
constexpr int kFaultHarmonics = 5;
constexpr double kFaultTolerance = 0.02;  // a peak this close (relative) is named after the line

struct FaultLine {
    double hz = 0;
    FaultKind kind = FaultKind::Bpfo;
    int harmonic = 1;  // 1 .. kFaultHarmonics
    int side = 0;      // -1 or +1: a sideband at -/+ the running frequency
    int bearing = 0;   // index in the machine's bearings
};

// "FTF", "BSF", "BPFO", "BPFI".
const char *FaultKindName(FaultKind kind);
// "BPFO×1", "BPFI×2-fr", "BPFI×2+fr".
std::string FaultLineName(const FaultLine &line);

// The lines of every usable bearing in `bearings` at `rpm`, up to `maxHz`,
// into `out` (cleared first; its capacity is kept, so a caller that reuses
// it does not allocate once it has held as many).
void FaultLinesFor(const std::vector<BearingGeometry> &bearings, double rpm, double maxHz,
                   std::vector<FaultLine> &out);

// The line nearest to `hz` relative to its own frequency, when within
// `tolerance` of it; null otherwise.
const FaultLine *NearestFaultLine(const std::vector<FaultLine> &lines, double hz,
                                  double tolerance = kFaultTolerance);

}  // namespace tav::analysis
