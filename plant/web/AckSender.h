#pragma once
// Where an operator's acknowledgement from a page goes: the station owns
// its alarms, so the page only asks; what the station then confirms comes
// back through the broker like any other alarm event.
#include <cstdint>
#include <string>

namespace tav::plant {

class AckSender {
public:
    virtual ~AckSender() = default;
    // Any thread; must not wait on the network. False when the request
    // could not even be queued (no broker connection).
    virtual bool Send(const std::string &station, int64_t alarmId, const std::string &user,
                      const std::string &comment) = 0;
};

}  // namespace tav::plant
