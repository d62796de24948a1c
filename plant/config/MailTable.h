#pragma once
// The [mail] reader, for the settings module's own files only (it brings
// toml++ along).
#include "core/settings/TableReader.h"
#include "plant/config/MailConfig.h"

namespace tav::plant {

// Reads [mail] and its rules from `root`; messages as the other tables.
// False when mail is configured but cannot work as written.
bool ParseMailConfig(const toml::table &root, const std::string &name, MailConfig *config,
                     std::vector<std::string> *messages);

}  // namespace tav::plant
