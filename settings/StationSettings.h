#pragma once
// The station's settings beyond its fixed constants: station.toml in the
// start folder. A missing file gives the defaults; a bad entry gives a message
// naming its line and the default for that entry, so the station always starts.
// Later tables ([sensor.N], [mqtt], ...) are read here too, into their own
// structs, so that one module knows the file.
#include <string>
#include <vector>

namespace tav {

constexpr const char *kStationSettingsFileName = "station.toml";

struct HistorySettings {
    bool enabled = true;
    int rawDays = 3;       // one entry per tick
    int minuteDays = 90;   // one-minute minimum, mean and maximum
    int hourYears = 10;    // one-hour minimum, mean and maximum
};

struct AccessSettings {
    double garbageTimeoutS = 10;  // a peer that sent only non-frames is closed after this
    double idleEvictS = 30;       // with every slot taken, a peer silent this long makes room
    std::vector<std::string> allow;  // IPv4 addresses or CIDR networks
    bool allowGiven = false;         // false = everyone; true and no usable entry = nobody
    std::string bind;                // local address to listen on; empty = all
    // Where allow and bind came from, for messages; empty = station.toml.
    std::string allowFrom, bindFrom;
};

struct StationSettings {
    HistorySettings history;
    AccessSettings access;
};

// Reads `path`. Messages for the operator (Chinese, naming the line) are
// appended to *messages; a missing file is not a message. Any thread.
StationSettings LoadStationSettings(const std::string &path, std::vector<std::string> *messages);
// Parses TOML text as if it were the file `name` (tests, fuzzing).
StationSettings ParseStationSettings(const std::string &text, const std::string &name,
                                     std::vector<std::string> *messages);

}  // namespace tav
