#pragma once
// The command line of tavenor-sim, turned into a FleetConfig.
#include <string>
#include <vector>

#include "sim/SimFleet.h"

namespace tav::sim {

enum class ParseResult { Run, Help, Error };

// Signals used when no --x/--y/--z is given.
FleetConfig DefaultFleetConfig();
// The demo fleet (--demo): four sensors, addresses 1 to 4, at 1500, 2970,
// 1800 and 3000 rpm, with the default signals.
FleetConfig DemoFleetConfig();

// `args` excludes the program name. On Error, *error says which option and why.
ParseResult ParseSimOptions(const std::vector<std::string> &args, FleetConfig *out, std::string *error);

std::string SimUsage();

}  // namespace tav::sim
