#pragma once
// Helpers for tests that talk to a station over loopback: an event sink that
// records what the core posts, plain client sockets, and polling with a
// deadline instead of fixed sleeps.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/net/EventSink.h"
#include "core/settings/StationSettings.h"

namespace tav::test {

// Settings for a station started in the folder every test process shares:
// the history's lock would make all but one report a second station, and
// these tests are not about the history.
inline StationSettings SharedFolderSettings()
{
    StationSettings settings;
    settings.history.enabled = false;
    return settings;
}

class RecordingEventSink : public EventSink {
public:
    void Post(const StationEvent &e) override
    {
        std::lock_guard lock(mutex_);
        events_.push_back(e);
    }
    std::vector<StationEvent> Events() const
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    int Count(int type, int64_t lParam = -1) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto &e : events_)
            n += e.type == type && (lParam < 0 || e.lParam == lParam);
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<StationEvent> events_;
};

// Connects a blocking TCP client to 127.0.0.1:port; -1 on failure.
inline int ConnectLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline void SendAll(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        p += n;
        len -= size_t(n);
    }
}

// Polls `cond` every 5 ms until it holds or `timeout` passes.
inline bool WaitFor(const std::function<bool()> &cond, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace tav::test
