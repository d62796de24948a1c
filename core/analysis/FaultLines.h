#pragma once
// The defect lines of a machine's bearings at a running speed, as the
// envelope spectrum shows them: each defect frequency with its harmonics,
// and the inner race's sidebands at the running frequency (an inner race
// turns with the shaft, so its impacts are modulated once per turn).
// Qt-free, pure.
#include <string>
#include <vector>

#include "core/model/MachineSettings.h"

namespace tav::analysis {

enum class FaultKind { Ftf = 0, Bsf, Bpfo, Bpfi };
constexpr int kFaultHarmonics = 5;        // lines drawn and named: 1x .. 5x
constexpr double kFaultTolerance = 0.02;  // a peak this close (relative) is named after the line
// A race defect's impacts are sharp, so its harmonic series runs on well
// past the fifth line drawn: the outer and inner race's next harmonics are
// kept too, never drawn or named, so that a peak they explain as well as a
// drawn line is not given that line's name (6 x BPFO lies 0.7 % from
// 4 x BPFI on a common nine-ball bearing). The cage's and the elements'
// higher harmonics are not: Z x FTF is BPFO itself.
constexpr int kCheckedRaceHarmonics = 10;

struct FaultLine {
    double hz = 0;
    FaultKind kind = FaultKind::Bpfo;
    int harmonic = 1;  // 1 .. kFaultHarmonics, for BPFO and BPFI .. kCheckedRaceHarmonics
    int side = 0;      // -1 or +1: a sideband at -/+ the running frequency
    int bearing = 0;   // index in the machine's bearings
};

// "FTF", "BSF", "BPFO", "BPFI".
const char *FaultKindName(FaultKind kind);
// "BPFO×1", "BPFI×2-fr", "BPFI×2+fr".
std::string FaultLineName(const FaultLine &line);

// Lines drawn and named (harmonics up to kFaultHarmonics); the others only
// keep a peak from being named.
inline bool Drawn(const FaultLine &line) { return line.harmonic <= kFaultHarmonics; }

// The lines of every usable bearing in `bearings` at `rpm`, up to `maxHz`,
// into `out` (cleared first; its capacity is kept, so a caller that reuses
// it does not allocate once it has held as many).
void FaultLinesFor(const std::vector<BearingGeometry> &bearings, double rpm, double maxHz,
                   std::vector<FaultLine> &out);

// The names a peak at `hz` may honestly carry: every line within
// `tolerance` of it (relative to the line's frequency), nearest first, when
// they are at most two and all drawn; none when more lines, or a line not
// drawn, lie that close, since the peak could then be any of them.
struct FaultNames {
    const FaultLine *line[2] = {nullptr, nullptr};
    int count = 0;
};
FaultNames FaultNamesAt(const std::vector<FaultLine> &lines, double hz, double tolerance = kFaultTolerance);

// The line nearest to `hz` relative to its own frequency, when within
// `tolerance` of it; null otherwise. Labels use FaultNamesAt, which does not
// pick one of two lines that lie that close.
const FaultLine *NearestFaultLine(const std::vector<FaultLine> &lines, double hz,
                                  double tolerance = kFaultTolerance);

}  // namespace tav::analysis
