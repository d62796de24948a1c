#pragma once
// plant.toml: where the service finds the broker and the database, which
// stations it follows and how long it keeps what they sent. Read once at
// start; every bad entry is reported with its line and its default kept.
#include <string>
#include <vector>

#include "plant/config/MailConfig.h"

namespace tav::plant {

struct BrokerConfig {
    std::string url = "mqtt://127.0.0.1:1883";
    std::string clientId = "tavenor-plant";
    std::string username;
    std::string passwordFile;  // read at start; the password is never logged
    std::string caFile, certFile, keyFile;
    bool insecure = false;
    // Station prefixes to follow, each may end in "+"; the station's id is
    // the prefix's last level as it arrives.
    std::vector<std::string> prefixes = {"tavenor/+"};
    // Resolved from url.
    std::string host = "127.0.0.1";
    int port = 1883;
    bool tls = false;
};

struct DatabaseConfig {
    std::string conninfo = "host=/var/run/postgresql dbname=tavenor_plant";
    int bufferRows = 2000000;  // held while PostgreSQL is away; beyond, the oldest go
    int batchIntervalMs = 1000;
};

struct RetentionConfig {
    int fullDays = 3;
    int minuteDays = 90;
    int hourDays = 3650;
};

struct WebUser {
    std::string name;
    std::string role;          // "viewer" or "operator"
    std::string passwordHash;  // Argon2id, as `tavenor-plant hash-password` prints it
};

struct WebConfig {
    // "host:port"; empty when the web server is off ([web] absent or listen = "0").
    std::string listen;
    std::string host;
    int port = 0;
    // Behind a TLS proxy the session cookie is marked Secure.
    bool secureCookies = false;
    int sessionMinutes = 480;
    // Logged-in sessions kept here survive a restart; empty: memory only.
    std::string sessionFile;
    int threads = 48;  // live pages each hold one
    std::vector<WebUser> users;
};

struct PlantConfig {
    BrokerConfig broker;
    DatabaseConfig database;
    RetentionConfig retention;
    WebConfig web;
    MailConfig mail;
    std::string password;  // from broker.passwordFile
};

// Reads `path` into *config. Messages (Chinese, with file and line) go to
// *messages; false when the service cannot run with what is there (no file,
// unreadable TOML, a broker it cannot reach as written).
bool ReadPlantConfig(const std::string &path, PlantConfig *config, std::vector<std::string> *messages);

// The same from text, for a file already read; `name` labels the messages.
bool ParsePlantConfig(const std::string &text, const std::string &name, PlantConfig *config,
                      std::vector<std::string> *messages);

}  // namespace tav::plant
