#pragma once
// The plant's web pages and their JSON API, inside the service: HTTP on
// the configured address (loopback unless told otherwise; TLS is a proxy's
// job), logins with roles, and live updates pushed as server-sent events
// whenever the writer commits a batch.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plant/config/PlantConfig.h"
#include "plant/web/AckSender.h"
#include "plant/web/Queries.h"
#include "plant/web/Sessions.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace tav::plant {

class WebServer {
public:
    // `ack` may be null: acknowledging then answers 503.
    WebServer(const PlantConfig &config, AckSender *ack);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    bool Start(std::string *error);
    void Stop();
    // The writer committed a batch: live pages get the new state. Any thread, never waits.
    void Committed();

private:
    struct Caller;
    // The caller's session; answers 401/403 itself and returns false when
    // the request may not go on. POSTs must carry the session's form token.
    bool Admit(const httplib::Request &req, httplib::Response &res, bool needOperator, Caller *caller);
    void Routes();
    void Login(const httplib::Request &req, httplib::Response &res);
    void Acknowledge(const httplib::Request &req, httplib::Response &res);
    void Events(const httplib::Request &req, httplib::Response &res);
    // The overview of the newest committed batch, read once for all pages:
    // `all` is the machines' JSON array whole, for /api/overview; `event`
    // the whole plant's live event, short forms only, which most pages take.
    struct Snapshot {
        std::vector<MachineItem> items;
        std::string stations;  // the JSON array the short forms' station index refers to
        std::string event;
        int64_t timeMs = 0;  // when it was read
        // Made by the first page that asks, then shared.
        const std::string &All() const;
        mutable std::once_flag allOnce;
        mutable std::string all;
    };
    std::shared_ptr<const Snapshot> Latest(uint64_t *generation);
    std::string ClientAddress(const httplib::Request &req) const;
    std::string Cookie(const std::string &id, int64_t maxAgeS) const;

    const PlantConfig &config_;
    AckSender *ack_;
    PgPool pool_;
    SessionTable sessions_;
    LoginLimiter limiter_;
    std::string dummyHash_;  // verified for unknown names, so they take as long as known ones
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;

    std::mutex feedMutex_;  // guards generation_ and stopping_
    std::condition_variable feedChanged_;
    uint64_t generation_ = 1;
    bool stopping_ = false;
    std::atomic<int> streams_{0};
    std::atomic<int> verifying_{0};  // password checks under way (each takes 19 MiB)

    std::mutex cacheMutex_;  // guards cache_ and cacheGeneration_
    std::shared_ptr<const Snapshot> cache_;
    uint64_t cacheGeneration_ = 0;
};

}  // namespace tav::plant
