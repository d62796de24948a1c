#pragma once
// How the pages' acknowledgement of an alarm reaches its station. Send
// returns as soon as the request is on its way (false when it cannot go);
// the alarm counts as acknowledged only when the station's own event says so.
#include <cstdint>
#include <string>

namespace tav::plant {
struct AckSender {
    virtual ~AckSender() = default;
    virtual bool Send(const std::string &station, uint64_t alarmId, const std::string &user,
                      const std::string &comment, std::string *requestId) = 0;
};
}  // namespace tav::plant
