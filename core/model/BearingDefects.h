#pragma once
// Defect frequencies of a rolling-element bearing from its geometry and the
// running speed: where an impact on a damaged race, element or cage repeats.
#include <string>

#include "core/model/MachineSettings.h"

namespace tav::analysis {

struct DefectFrequencies {
    double ftf = 0;   // cage (fundamental train)
    double bsf = 0;   // rolling element spin
    double bpfo = 0;  // outer race
    double bpfi = 0;  // inner race
};

// At the running frequency fr = rpm / 60 with g = (d / D) cos(phi):
// FTF = fr/2 (1 - g), BSF = fr/2 (D/d) (1 - g^2), BPFO = Z fr/2 (1 - g),
// BPFI = Z fr/2 (1 + g). All zero for a geometry that is not usable.
DefectFrequencies BearingDefectFrequencies(const BearingGeometry &b, double rpm);

// Empty when the geometry is usable, else what is wrong with it, naming the
// field in the operator's words.
std::string BearingGeometryProblem(const BearingGeometry &b);

}  // namespace tav::analysis
