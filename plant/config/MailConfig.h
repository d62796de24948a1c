#pragma once
// plant.toml's [mail] and [[mail.rule]]: where the service sends its alarm
// mails, to whom, and how hard it tries.
#include <cstdint>
#include <string>
#include <vector>

namespace tav::plant {

// One rule: alarms of these stations, machines and severities go to `to`.
// An empty list matches every station (address, severity).
struct MailRule {
    std::vector<std::string> stations;
    std::vector<int32_t> addresses;
    std::vector<std::string> severities;
    std::vector<std::string> to;
};

struct MailConfig {
    std::string url;  // smtps://host[:465] or smtp://host[:587]; empty: no mail
    std::string from = "tavenor-plant@localhost";
    std::string username;
    std::string passwordFile;  // read at start; the password is never logged
    std::string caFile;
    bool insecure = false;  // smtp:// without STARTTLS, smtps:// without verification
    std::string baseUrl;    // the web pages' address, for the link to a machine
    // More than digest_after mails to one address within digest_window_s:
    // the rest wait and go together in one digest.
    int digestAfter = 5;
    int digestWindowS = 300;
    // A failed delivery is tried again after retry_first_s, doubling up to
    // retry_max_s, at most retry_attempts tries in all.
    int retryAttempts = 6;
    int retryFirstS = 10;
    int retryMaxS = 600;
    int queueBound = 1000;  // alarms waiting to be mailed; beyond, the oldest go
    std::vector<MailRule> rules;
    std::string password;  // from passwordFile

    bool Enabled() const { return !url.empty() && !rules.empty(); }
};

// The severities a rule may name.
inline constexpr const char *kMailSeverities[] = {"alert", "danger", "offline", "change", "sensor_fault"};

}  // namespace tav::plant
