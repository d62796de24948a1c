#include "core/station/CommandLine.h"

#include <cstring>

#include "core/net/AccessList.h"

namespace tav {

namespace {

bool PortNumber(const std::string &text, int *port)
{
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535)
        return false;
    *port = value;
    return true;
}

bool Set(const char *name, const std::function<const char *(const char *)> &env)
{
    const char *value = env(name);
    return value && *value;
}

}  // namespace

CommandLineAction ParseCommandLine(int argc, const char *const *argv, int *port, std::string *error)
{
    StationOptions options;
    options.port = *port;
    const CommandLineAction action = ParseCommandLine(argc, argv, &options, error);
    *port = options.port;
    return action;
}

CommandLineAction ParseCommandLine(int argc, const char *const *argv, int *port, std::string *mqttUrl,
                                   std::string *error)
{
    StationOptions options;
    options.port = *port;
    options.settings.mqtt.url = *mqttUrl;
    const CommandLineAction action = ParseCommandLine(argc, argv, &options, error);
    *port = options.port;
    *mqttUrl = options.settings.mqtt.url;
    return action;
}

CommandLineAction ParseCommandLine(int argc, const char *const *argv, StationOptions *options, std::string *error)
{
    int *port = &options->port;
    std::string *mqttUrl = &options->settings.mqtt.url;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return CommandLineAction::Help;
        // Access options win over station.toml's [access].
        if (arg == "--allow" || arg == "--bind" || arg.rfind("--allow=", 0) == 0 || arg.rfind("--bind=", 0) == 0) {
            const bool allow = arg.rfind("--allow", 0) == 0;
            const size_t eq = arg.find('=');
            std::string text;
            if (eq != std::string::npos) {
                text = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                text = argv[++i];
            } else {
                *error = allow ? "--allow needs one or more IPv4 addresses or networks, e.g. 192.168.1.0/24,10.0.5.17"
                               : "--bind needs a local IPv4 address";
                return CommandLineAction::Error;
            }
            AccessSettings &access = options->settings.access;
            if (allow) {
                access.allow = SplitCommaList(text);
                access.allowGiven = true;
                access.allowFrom = "--allow";
            } else {
                access.bind = text;
                access.bindFrom = "--bind";
            }
            continue;
        }
        if (arg == "--mqtt" || arg.rfind("--mqtt=", 0) == 0) {
            std::string url;
            if (arg == "--mqtt") {
                if (i + 1 >= argc) {
                    *error = "--mqtt needs a broker URL such as mqtt://broker:1883";
                    return CommandLineAction::Error;
                }
                url = argv[++i];
            } else {
                url = arg.substr(7);
            }
            if (url.empty()) {
                *error = "--mqtt needs a broker URL such as mqtt://broker:1883";
                return CommandLineAction::Error;
            }
            *mqttUrl = url;
            continue;
        }
        std::string value;
        if (arg == "--port") {
            if (i + 1 >= argc) {
                *error = "--port needs a port number from 0 to 65535 (0 picks a free port)";
                return CommandLineAction::Error;
            }
            value = argv[++i];
        } else if (arg.rfind("--port=", 0) == 0) {
            value = arg.substr(7);
            if (value.empty()) {
                *error = "--port= needs a port number from 0 to 65535 (0 picks a free port)";
                return CommandLineAction::Error;
            }
        } else {
            *error = "unknown option " + arg + " (try --help)";
            return CommandLineAction::Error;
        }
        if (!PortNumber(value, port)) {
            *error = "--port needs a number from 0 to 65535, not \"" + value + "\"";
            return CommandLineAction::Error;
        }
    }
    return CommandLineAction::Run;
}

const char *CommandLineHelp()
{
    return "Usage: tavenor [--port N] [--allow CIDR[,CIDR...]] [--bind ADDR] [--mqtt URL] [-h | --help]\n"
           "Monitoring station for networked tri-axial vibration sensors.\n"
           "Sensors connect as TCP clients to this machine on the given port.\n\n"
           "  --port N, --port=N  TCP port to listen on (default 22009). Use another port to\n"
           "                      run a second station beside a first one; 0 picks a free\n"
           "                      port, which the station prints (\"listening on port N\").\n"
           "  --allow CIDR[,CIDR...]\n"
           "                      Serve only connections from these IPv4 addresses or\n"
           "                      networks (e.g. 192.168.1.0/24,10.0.5.17); others are closed\n"
           "                      at once. Overrides [access] allow of station.toml. A bad\n"
           "                      entry admits nobody.\n"
           "  --bind ADDR         Listen on this local IPv4 address only (default: all).\n"
           "                      Overrides [access] bind of station.toml.\n"
           "  --mqtt URL          Publish to an MQTT broker (mqtt://host[:port] or\n"
           "                      mqtts://host[:port]); overrides url in station.toml's\n"
           "                      [mqtt] table, whose other settings still apply.\n"
           "  -h, --help          Show this text.\n\n"
           "Files: devicepara.dat and sensorcodes.conf are read from the folder the station\n"
           "is started in; recordings and logs are written to its data/ folder.\n"
           "Without a display that answers (no DISPLAY or WAYLAND_DISPLAY, or one that cannot\n"
           "be opened) the station runs on Qt's offscreen platform, says so, and keeps\n"
           "serving sensors. QT_QPA_PLATFORM, when set, chooses the platform instead.\n";
}

std::string ChoosePlatforms(const std::function<const char *(const char *)> &env)
{
    if (Set("QT_QPA_PLATFORM", env))
        return {};
    const bool x11 = Set("DISPLAY", env), wayland = Set("WAYLAND_DISPLAY", env);
    const char *session = env("XDG_SESSION_TYPE");
    const bool waylandFirst = wayland && session && std::strcmp(session, "wayland") == 0;
    std::string list;
    if (waylandFirst)
        list += "wayland;";
    if (x11)
        list += "xcb;";
    if (wayland && !waylandFirst)
        list += "wayland;";
    return list + "offscreen";
}

}  // namespace tav
