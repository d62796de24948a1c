#pragma once
// Commands the plant's service sends a station over the broker: for now the
// acknowledgement of an alarm on <prefix>/command/ack, answered on
// <prefix>/command/ack/result. The payload comes from the network: it is
// checked for size, nesting, types and ranges before anything of it is
// kept, and a command with one bad field is refused whole.
#include <cstdint>
#include <string>
#include <string_view>

namespace tav {

// "<prefix>/command/ack" and its answer.
std::string AckCommandTopic(const std::string &prefix);
std::string AckResultTopic(const std::string &prefix);

// Far above a real command (an id, a name, a remark of a few lines).
constexpr size_t kMaxCommandBytes = 4096;
constexpr size_t kMaxCommandUserBytes = 64;
constexpr size_t kMaxCommandCommentBytes = 1024;
constexpr size_t kMaxRequestIdBytes = 64;

struct AckCommand {
    uint64_t alarmId = 0;
    std::string user;       // who acknowledged, at the plant's pages
    std::string comment;    // may be empty
    std::string requestId;  // echoed in the answer; may be empty
};

// False with the refusal's reason (Chinese) in *why; *out->requestId is
// filled whenever the payload had a usable one, so the answer can name it.
bool ParseAckCommand(std::string_view payload, AckCommand *out, std::string *why);

// {"request_id":…,"ok":…,"reason":…,"time":…}; reason "" when ok.
std::string AckResultJson(const std::string &requestId, bool ok, const std::string &reason, int64_t utcMs);

}  // namespace tav
