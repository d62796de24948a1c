#pragma once
// Device records for a simulated fleet, written with the station's own
// device parameter table code so that the file is the one the parameter
// dialog would write: each sensor's address with work mode "工频" and its
// simulated speed as rated speed. A station started on that file searches
// each sensor's speed around its true value instead of in the start-up band.
#include <string>

#include "sim/SimFleet.h"

namespace tav::sim {

// Adds or updates one record per sensor of `fleet` in the devicepara.dat at
// `path` (created when missing); records of other addresses stay. Returns
// false with the reason in *error.
bool WriteDeviceRecords(const FleetConfig &fleet, const std::string &path, std::string *error);

}  // namespace tav::sim
