#pragma once
// The service's log: one line per event on stderr, which journald keeps
// with its own time stamps. Safe from any thread.
#include <string>

namespace tav::plant {

void Log(const std::string &line);

}  // namespace tav::plant
