#pragma once
// What an alarm mail says and to whom it goes: the rules' choice of
// recipients, the subject and body of one alarm's mail and of a digest,
// and the message as a mail server takes it (UTF-8, base64, CRLF).
#include <cstdint>
#include <string>
#include <vector>

#include "plant/config/MailConfig.h"
#include "plant/store/Store.h"

namespace tav::plant {

// Whether an event is one people are told of: an alarm raised (also a
// danger stepping down to alert, a sensor fault changing) or a sensor gone
// offline, or a whole station (its last will). Clears, acknowledgements and
// reconnections are not mailed.
bool MailWorthy(const StoredAlarm &alarm);

// The addresses every matching rule names, each once, in the rules' order.
// A station gone offline matches a rule whatever its addresses.
std::vector<std::string> Recipients(const std::vector<MailRule> &rules, const StoredAlarm &alarm);

// "[危险/Danger] st3 5号泵 速度有效值 X轴 7.9 mm/s"
std::string AlarmSubject(const StoredAlarm &alarm);
// "<base_url>/machine/<station>/<address>", the station percent-encoded;
// empty without a base_url and for a station.
std::string MachineLink(const std::string &baseUrl, const StoredAlarm &alarm);

// A whole message to `to`: one alarm, or a digest of `alarms` (of which
// `total` came; those beyond the list are counted).
std::string AlarmMail(const MailConfig &config, const std::string &to, const StoredAlarm &alarm, int64_t nowMs);
std::string DigestMail(const MailConfig &config, const std::string &to, const std::vector<StoredAlarm> &alarms,
                       int64_t total, int64_t nowMs);

// The subject of a digest, for the log as for the mail.
std::string DigestSubject(const std::vector<StoredAlarm> &alarms, int64_t total);

}  // namespace tav::plant
