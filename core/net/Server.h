#pragma once
// TCP server for the sensors: the listening socket, the accept thread and
// one receive thread per connection. The parser thread's body is supplied
// by a ConnectionHandler so that framing stays out of this file.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/net/AcceptReports.h"
#include "core/net/AccessList.h"
#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"
#include "core/net/PeerPatrol.h"

namespace tav {

class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    // Accept thread, before the slot's threads start: reset per-connection state.
    virtual void OnAccepted(ConnectionRecord &) {}
    // Parser thread body. Must return once the ring is closed.
    virtual void RunParser(ConnectionRecord &rec) = 0;
    // Receive thread, after the parser thread has been joined and before the
    // recording buffer is emptied for the slot's next connection.
    virtual void OnReleased(ConnectionRecord &) {}
};

// Drains the ring without looking at the bytes (used until a parser is set,
// and by benchmarks of the receive path alone).
class DrainHandler : public ConnectionHandler {
public:
    void RunParser(ConnectionRecord &rec) override;
};

// Who is served and how peers that are not sensors lose their slot.
struct ServerPolicy {
    double garbageTimeoutS = 10;  // only non-frames this long: closed
    double idleEvictS = 30;       // no frame this long, table full, one waiting: closed
    bool patrol = true;           // false: neither rule applies (benchmarks compare)
    AccessList allow;             // default: everyone
    uint32_t bindAddress = 0;     // host order; 0 = every local address
    bool listenNowhere = false;   // a bad bind entry: open no listening socket
};

class Server {
public:
    Server(ConnectionTable &table, EventSink &sink, ConnectionHandler &handler);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Before OpenServer and Start.
    void SetPolicy(const ServerPolicy &policy);

    // Creates, binds and (when listen) listens on `port` (0 = ephemeral).
    // Returns 0, or -1 with the operator's message in *error.
    int OpenServer(int port, bool listen, std::string *error);
    // Port actually bound (useful with port 0).
    int Port() const { return port_; }
    // Starts the accept thread. Returns false when it cannot be created.
    bool Start();
    // Stops accepting, closes every connection and joins every thread.
    void Stop();

    // Sends all of `data` on the slot's connection, unless the slot is not in
    // use or is not the connection of `generation` (0 = any). Returns bytes
    // sent, or -1 with errno-style text in *error.
    long Send(int slot, const uint8_t *data, size_t len, std::string *error, uint32_t generation = 0);

    // Connections refused by the allow list, closed as garbage and evicted
    // to make room, since start (any thread).
    uint64_t Refused() const { return refused_.load(); }
    uint64_t GarbageClosed() const { return garbageClosed_.load(); }
    uint64_t Evicted() const { return evicted_.load(); }
    // Accept calls that failed for want of descriptors or memory, or for
    // reasons of the listening socket (not counting peers gone before accept).
    uint64_t AcceptFailures() const { return acceptFailures_.load(); }

private:
    void AcceptLoop();
    // Accepts one connection; -1 when none, or when it was refused by the
    // allow list (*refused, already closed). The peer must be served by
    // Place or closed.
    int AcceptOne(sockaddr_in *peer, double now, bool *refused);
    void Place(int slot, int fd, const sockaddr_in &peer);
    // With every slot taken: holds the first waiting connection that is
    // allowed and still open, and makes room for it when a peer qualifies.
    void WhileFull(double now);
    void Patrol(double now);
    void CloseForPatrol(ConnectionRecord &rec, const char *text);
    // Connections in the listening socket's accept queue (Linux TCP_INFO).
    int ListenBacklog() const;
    void ReceiveLoop(ConnectionRecord &rec);
    void Release(ConnectionRecord &rec);

    ConnectionTable &table_;
    EventSink &sink_;
    ConnectionHandler &handler_;
    int listenSocket_ = -1;
    int port_ = 0;
    ServerPolicy policy_;
    // Accept-thread state.
    PeerPatrol patrol_{10, 30};
    AcceptTrouble trouble_;
    RefusalLog refusals_;
    double lastPatrol_ = 0;
    double listenPausedUntil_ = 0;
    // Waiting connections taken from the backlog while every slot was in
    // use, oldest first: they are the ones room is made for, and taking
    // them lets refused and already closed ones be dropped at once instead
    // of filling the backlog.
    struct Held {
        int fd;
        sockaddr_in peer;
    };
    static constexpr size_t kMaxHeld = 8;
    std::deque<Held> held_;
    std::atomic<uint64_t> refused_{0}, garbageClosed_{0}, evicted_{0}, acceptFailures_{0};
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex slotFreedMutex_;
    std::condition_variable slotFreed_;
};

}  // namespace tav
