#pragma once
// The service's broker client: one persistent session (clean_session false)
// at QoS 1 on every followed station's topics, so the broker keeps what the
// stations send while the service is away, and resubscribed at every
// connect in case the broker lost the session. Runs libmosquitto's own
// network thread; `sink` is called on it for every message.
//
// libmosquitto 2.0 acknowledges a QoS 1 message before the sink sees it, so
// a message is the service's from then on: what the sink hands to the store
// and the store has not committed is lost with the process (SIGKILL).
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "plant/config/PlantConfig.h"

struct mosquitto;

namespace tav::plant {

class Subscriber {
public:
    using Sink = std::function<void(std::string_view topic, std::string_view payload, bool retained)>;
    Subscriber(const PlantConfig &config, Sink sink);
    ~Subscriber();
    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    // False (with *error) when the client cannot be set up; an unreachable
    // broker is not an error: the client keeps trying.
    bool Start(std::string *error);
    void Stop();
    bool Connected() const { return connected_.load(); }
    // Any thread: one message on the same connection (a command to a
    // station); false when there is no connection to take it now.
    bool Publish(const std::string &topic, const std::string &payload, int qos);

    // The topics of one followed prefix.
    static std::vector<std::string> Filters(const std::string &prefix);

private:
    static void OnConnect(mosquitto *, void *self, int rc);
    static void OnDisconnect(mosquitto *, void *self, int rc);

    const PlantConfig &config_;
    Sink sink_;
    mosquitto *mosq_ = nullptr;
    std::atomic<bool> connected_{false};
    bool started_ = false;
};

}  // namespace tav::plant
