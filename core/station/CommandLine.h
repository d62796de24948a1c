#pragma once
// The station's command line and its choice of display platform, kept apart
// from main() so that both can be tested without starting a window.
#include <functional>
#include <string>

#include "core/station/Station.h"

namespace tav {

enum class CommandLineAction { Run, Help, Error };

// Reads `--port N`, `--port=N` (0..65535; 0 picks a free port), `-h` and
// `--help`. On Run, *port holds the port (left as it was without --port); on
// Error, *error says what is wrong or missing.
CommandLineAction ParseCommandLine(int argc, const char *const *argv, int *port, std::string *error);
// The same, and `--allow CIDR[,CIDR...]` and `--bind ADDR` (also with "="),
// written over the access settings already read from station.toml.
CommandLineAction ParseCommandLine(int argc, const char *const *argv, StationOptions *options, std::string *error);
// As above, and `--mqtt URL` / `--mqtt=URL` into *mqttUrl (left as it was
// without the option): the broker link, over station.toml's [mqtt] url.
CommandLineAction ParseCommandLine(int argc, const char *const *argv, int *port, std::string *mqttUrl,
                                   std::string *error);

// The text of --help.
const char *CommandLineHelp();

// The platform list to put into QT_QPA_PLATFORM before Qt starts, from the
// environment (`env` returns a variable's value or null): empty when the
// operator chose a platform; "offscreen" without any display variable;
// otherwise the display platforms the variables name, then "offscreen", so
// that a display that does not answer (DISPLAY left over in an SSH session,
// a closed desktop) falls back to serving without a window instead of
// aborting. Qt tries the entries in order.
std::string ChoosePlatforms(const std::function<const char *(const char *)> &env);

// Printed when the station ends up on the offscreen platform by itself.
constexpr const char *kNoDisplayNotice = "tavenor: no display found, running on Qt's offscreen platform";

}  // namespace tav
