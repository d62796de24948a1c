#include "tests/soak/HostileClients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tav::soak {

namespace {
int ConnectFrom(const char *from, int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (from)
        ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(uint16_t(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if ((from && ::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

void HostileClients::Start(double hammerSeconds)
{
    stop_ = false;
    refused_ = std::thread(&HostileClients::Refused, this);
    hammer_ = std::thread(&HostileClients::Hammer, this, hammerSeconds);
}

void HostileClients::Stop()
{
    stop_ = true;
    if (refused_.joinable())
        refused_.join();
    if (hammer_.joinable())
        hammer_.join();
}

void HostileClients::Refused()
{
    while (!stop_) {
        int fd = ConnectFrom(kSoakRefusedFrom, port_);
        if (fd >= 0) {
            ++refusedAttempts_;
            // The station closes it as soon as it takes it from the backlog
            // (which, with every slot in use, may take a while); whether it
            // ever held a slot is checked on the station's side.
            pollfd p{fd, POLLIN, 0};
            for (int waited = 0; waited < 100 && !stop_ && ::poll(&p, 1, 100) == 0; ++waited) {
            }
            char b;
            if (::recv(fd, &b, 1, MSG_DONTWAIT) == 0)
                ++refusedClosed_;
            ::close(fd);
        }
        for (int i = 0; i < 5 && !stop_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void HostileClients::Hammer(double seconds)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stop_ && std::chrono::steady_clock::now() < until) {
        int fd = ConnectFrom(nullptr, port_);
        if (fd >= 0) {
            ++hammerConnects_;
            // Closed with a reset: no TIME_WAIT left behind, so that the
            // hammer does not use up the ports the sensors reconnect from.
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // out of ports: let them drain
        }
    }
}

}  // namespace tav::soak
