#pragma once
// What the broker link needs, resolved from station.toml's [mqtt] (or the
// command line's --mqtt) when the station starts: placeholders replaced, the
// password read from its file, TLS checked. Resolution fails with operator's
// messages instead of starting a link that would be refused or insecure.
#include <cstdint>
#include <string>
#include <vector>

#include "core/settings/StationSettings.h"

namespace tav {

struct MqttConfig {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile;
    bool insecure = false;
    std::string username;
    std::string password;  // never printed or logged
    std::string clientId;
    std::string prefix;  // without a trailing '/'
    int qos = 1;
    double intervalS = 1;
    // Messages held while the broker is away; 0 = derived from buffer minutes
    // at the full load of every slot.
    size_t maxQueued = 0;
    int bufferMinutes = 10;
    double statusPeriodS = 10;
    double reconnectMinS = 1;
    double reconnectMaxS = 30;
    // Subscribe to <prefix>/command/ack and take acknowledgements from it.
    bool remoteAck = false;
    // For the status topic.
    std::string version;
    int stationPort = 0;
    int64_t startedUtcMs = 0;

    std::string BrokerAddress() const;  // "mqtts://host:port"
    size_t QueueBound() const;
};

// mqtt://host[:port] or mqtts://host[:port] (1883 and 8883 by default);
// IPv6 hosts in brackets. On failure *error says what is wrong (Chinese).
bool ParseBrokerUrl(const std::string &url, std::string *host, int *port, bool *tls, std::string *error);

// A prefix is one or more topic levels: not empty, no wildcards, no empty level.
bool ValidTopicPrefix(const std::string &prefix);

// Replaces <hostname> and <port>.
std::string ExpandPlaceholders(const std::string &text, const std::string &hostname, int port);

// Fills *out from the settings; false with the operator's messages appended
// to *messages when the link cannot start. Notes that do not stop it (an
// insecure link) are appended too.
bool ResolveMqttConfig(const MqttSettings &settings, const std::string &hostname, int stationPort,
                       MqttConfig *out, std::vector<std::string> *messages);

}  // namespace tav
