#pragma once
// Sends an acknowledgement to its station on <prefix>/command/ack (QoS 1)
// through the service's own broker connection. The station applies it with
// its alarm engine, answers on <prefix>/command/ack/result and publishes the
// acknowledgement event, which the ingest stores with who acknowledged:
// that event, not this request, is what the pages show.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#include "plant/web/AckSender.h"

namespace tav::plant {

// Bounds the station applies too; a request beyond them would only be refused there.
constexpr size_t kMaxAckUserBytes = 64;
constexpr size_t kMaxAckCommentBytes = 1024;

class MqttAckSender : public AckSender {
public:
    // Hands one message to the broker connection (QoS 1, not retained);
    // false when it cannot go now (no connection).
    using PublishFn = std::function<bool(const std::string &topic, const std::string &payload)>;
    explicit MqttAckSender(PublishFn publish);

    // The full prefix a station's messages arrive on, learned from them: a
    // station is addressed where it publishes. Any thread.
    void NoteStation(std::string_view station, std::string_view prefix);

    // Any thread. False for a station not heard from, an id of 0, an empty
    // or oversized user or comment, or no broker connection.
    bool Send(const std::string &station, uint64_t alarmId, const std::string &user, const std::string &comment,
              std::string *requestId) override;

    uint64_t Sent() const { return sent_.load(); }

private:
    PublishFn publish_;
    std::mutex mutex_;  // guards prefixes_ and counter_
    std::map<std::string, std::string, std::less<>> prefixes_;
    uint64_t counter_ = 0;
    uint64_t seed_ = 0;
    std::atomic<uint64_t> sent_{0};
};

}  // namespace tav::plant
