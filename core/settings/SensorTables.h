#pragma once
// The [sensor.N] tables of station.toml: machine names, classes, limits,
// bearings, baselines and bands, each bad entry reported with its line.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/model/MachineSettings.h"
#include "core/settings/TableReader.h"

namespace tav {

// Every [sensor.N] table of `root` into `sensors`; `preS` bounds the on-delay
// (see MaxOnDelayFor).
void ReadSensors(const toml::table &root, const std::string &fileName, std::vector<std::string> *messages,
                 double preS, std::map<int32_t, MachineSettings> *sensors);

}  // namespace tav
