#pragma once
// TCP server for the sensors: the listening socket, the accept thread and
// one receive thread per connection. The parser thread's body is supplied
// by a ConnectionHandler so that framing stays out of this file.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "net/ConnectionTable.h"
#include "net/EventSink.h"

namespace tav {

class ConnectionHandler {
public:
    virtual ~ConnectionHandler() = default;
    // Accept thread, before the slot's threads start: reset per-connection state.
    virtual void OnAccepted(ConnectionRecord &) {}
    // Parser thread body. Must return once the ring is closed.
    virtual void RunParser(ConnectionRecord &rec) = 0;
    // Receive thread, after the parser thread has been joined and before the
    // recording buffer is released.
    virtual void OnReleased(ConnectionRecord &) {}
};

// Drains the ring without looking at the bytes (used until a parser is set,
// and by benchmarks of the receive path alone).
class DrainHandler : public ConnectionHandler {
public:
    void RunParser(ConnectionRecord &rec) override;
};

class Server {
public:
    Server(ConnectionTable &table, EventSink &sink, ConnectionHandler &handler);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

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

private:
    void AcceptLoop();
    void Accept(int slot);
    void ReceiveLoop(ConnectionRecord &rec);
    void Release(ConnectionRecord &rec);

    ConnectionTable &table_;
    EventSink &sink_;
    ConnectionHandler &handler_;
    int listenSocket_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    std::mutex slotFreedMutex_;
    std::condition_variable slotFreed_;
};

}  // namespace tav
