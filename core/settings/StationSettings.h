#pragma once
// The station's settings beyond its fixed constants: station.toml in the
// start folder. A missing file gives the defaults; a bad entry gives a message
// naming its line and the default for that entry, so the station always starts.
// Later tables ([sensor.N], [mqtt], ...) are read here too, into their own
// structs, so that one module knows the file.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "core/model/MachineSettings.h"

namespace tav {

constexpr const char *kStationSettingsFileName = "station.toml";
// A settings file is a few kilobytes; anything past this is not one.
constexpr size_t kMaxSettingsFileBytes = 1024 * 1024;

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

// [mqtt]: the link to the plant's broker; off while url is empty. The
// <hostname> and <port> placeholders are replaced when the link starts.
struct MqttSettings {
    std::string url;  // mqtt://host[:port] or mqtts://host[:port]
    std::string topicPrefix = "tavenor/<hostname>";
    std::string clientId = "tavenor-<hostname>-<port>";
    std::string username;
    std::string passwordFile;  // the password itself is read at start, never kept here
    std::string caFile;
    bool insecure = false;  // mqtts without verifying the broker's certificate
    int qos = 1;
    double intervalS = 1;
    int bufferMinutes = 10;
    // Acknowledgements sent by the plant's service on <prefix>/command/ack;
    // off unless asked for, as the broker's ACL must guard that topic.
    bool remoteAck = false;
};

// [alarm]: how a new danger or offline alarm makes itself known.
struct AlarmNoticeSettings {
    bool sound = true;  // a beep with the banner; off where a control room wants quiet
};

// [window]: what the windows remember between runs.
struct WindowSettings {
    bool overview = true;  // the overview opens at start; false once the operator closed it
};

struct StationSettings {
    HistorySettings history;
    AccessSettings access;
    MqttSettings mqtt;
    CaptureSettings capture;
    AlarmNoticeSettings notice;
    WindowSettings window;
    std::map<int32_t, MachineSettings> sensors;  // by sensor address
    // False when the file existed but could not be read as TOML at all: a
    // reload then keeps the settings it had.
    bool readable = true;
};

// Reads `path`: a regular file of at most kMaxSettingsFileBytes, UTF-8 (a
// byte-order mark is allowed). Messages for the operator (Chinese, naming
// the line) are appended to *messages, unknown keys and tables among them; a
// missing file is not a message. A file that cannot be read at all says so
// once, ending with `ifUnreadable` (what the caller does instead; nullptr
// for "使用默认设置"). Any thread.
StationSettings LoadStationSettings(const std::string &path, std::vector<std::string> *messages,
                                    const char *ifUnreadable = nullptr);
// Parses TOML text as if it were the file `name` (tests, fuzzing, the watcher).
StationSettings ParseStationSettings(const std::string &text, const std::string &name,
                                     std::vector<std::string> *messages, const char *ifUnreadable = nullptr);

// Writes `machine` as the table [sensor.<address>] of the file at `path`:
// lines of keys it sets are replaced in place (their trailing comments
// kept), keys it no longer sets are removed, every other line stays as it
// was; a missing table is appended, a missing file created. The file is
// replaced through a temporary file and a rename, so a reader sees the old or
// the new file whole. Returns an empty string or the reason it failed. Any
// thread, but one writer at a time.
std::string SaveMachineSettings(const std::string &path, const MachineSettings &machine);
// The same edit on text, for tests and for the writer above. The machine's
// bearings become [[sensor.<address>.bearing]] tables right after its table,
// in place of the ones the file had for that sensor.
std::string EditMachineTable(const std::string &text, const MachineSettings &machine);
// Sets `key = value` (value as TOML text) in the table [table] of the
// settings text: the key's line is replaced in place (its comment kept), or
// the key added to the table, or the table appended; every other line stays.
std::string EditSettingsKey(const std::string &text, const std::string &table, const std::string &key,
                            const std::string &value);
// The same on the file at `path`, replaced whole like SaveMachineSettings.
// Returns an empty string or the reason it failed.
std::string SaveSettingsKey(const std::string &path, const std::string &table, const std::string &key,
                            const std::string &value);
// [window] overview: whether the overview opens at the next start.
inline std::string SaveOverviewOpen(const std::string &path, bool open)
{
    return SaveSettingsKey(path, "window", "overview", open ? "true" : "false");
}
// The whole settings file into *text; a missing file is empty text with
// *existed false. False with the reason in *error when it exists but cannot
// be read (a writer must then not replace it).
bool ReadSettingsText(const std::string &path, std::string *text, bool *existed, std::string *error);

}  // namespace tav
