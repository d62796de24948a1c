#include "sim/SimSensor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace tav::sim {

namespace {

std::mutex g_printMutex;

int ToMillis(double seconds)
{
    if (seconds <= 0)
        return 0;
    return int(std::ceil(seconds * 1000.0));
}

std::string FormatSeconds(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g s", s);
    return buf;
}

}  // namespace

double MonotonicSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

SimSensor::SimSensor(const SensorConfig &config)
    : config_(config), core_(config, stats_, MonotonicSeconds())
{
    if (!config_.quiet)
        core_.SetLog([this](const std::string &line) { Print(line); });
}

SimSensor::~SimSensor() { Stop(); }

void SimSensor::Print(const std::string &line) const
{
    // Called with coreMutex_ held (from the core's log) or not; reads only
    // the immutable configuration.
    std::lock_guard<std::mutex> lock(g_printMutex);
    const char *kind = config_.kind == PeerKind::Garbage ? "garbage peer"
                       : config_.kind == PeerKind::Silent ? "silent peer"
                                                          : "sensor";
    std::printf("tavenor-sim: %s %d (address %u): %s\n", kind, config_.index, config_.address, line.c_str());
    std::fflush(stdout);
}

void SimSensor::Start()
{
    if (thread_.joinable())
        return;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void SimSensor::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void SimSensor::Stop()
{
    RequestStop();
    if (thread_.joinable())
        thread_.join();
}

bool SimSensor::SleepOrStop(double seconds)
{
    std::unique_lock<std::mutex> lock(wakeMutex_);
    return wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stop_.load(); });
}

bool SimSensor::WaitConnected(double seconds) const
{
    const double until = MonotonicSeconds() + seconds;
    while (!connected_.load() && MonotonicSeconds() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return connected_.load();
}

SensorRegisterMap SimSensor::Registers() const
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    return core_.Registers();
}

void SimSensor::SetGain(double gain)
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    core_.SetGain(gain);
}

uint32_t SimSensor::Address() const
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    return core_.Address();
}

bool SimSensor::Streaming() const
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    return core_.Streaming();
}

bool SimSensor::InUpgradeMode() const
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    return core_.InUpgradeMode();
}

uint32_t SimSensor::LastLockCode() const
{
    std::lock_guard<std::mutex> lock(coreMutex_);
    return core_.LastLockCode();
}

int SimSensor::Connect()
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(config_.port);
    const char *host = config_.host == "localhost" ? "127.0.0.1" : config_.host.c_str();
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1)
        return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0)
        return fd;
    if (errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    // Wait for the handshake in short steps so that Stop() is not held up.
    const double until = MonotonicSeconds() + 2.0;
    while (!stop_.load() && MonotonicSeconds() < until) {
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, 50);
        if (r > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err == 0)
                return fd;
            break;
        }
        if (r < 0 && errno != EINTR)
            break;
    }
    ::close(fd);
    return -1;
}

void SimSensor::Run()
{
    std::mt19937 rng(config_.seed ^ 0x5bd1e995u);
    bool failedBefore = false;
    while (!stop_.load()) {
        int fd = Connect();
        if (fd < 0) {
            Bump(stats_.connectFailures);
            if (!failedBefore && !config_.quiet)
                Print("station not reachable at " + config_.host + ":" + std::to_string(config_.port) +
                      ", retrying every " + FormatSeconds(config_.reconnectDelay));
            failedBefore = true;
            if (SleepOrStop(config_.reconnectDelay))
                break;
            continue;
        }
        failedBefore = false;
        Bump(stats_.connects);
        connected_ = true;
        Serve(fd);
        connected_ = false;
        if (stop_.load())
            break;
        // Churned sensors come back after a varying pause; everyone else
        // retries at the usual interval.
        double pause = config_.reconnectDelay;
        if (config_.churn)
            pause = std::uniform_real_distribution<double>(0.2, 1.0)(rng);
        if (SleepOrStop(pause))
            break;
    }
}

void SimSensor::Serve(int fd)
{
    {
        std::lock_guard<std::mutex> lock(coreMutex_);
        core_.OnConnected(MonotonicSeconds());
    }
    if (!config_.quiet)
        Print("connected to " + config_.host + ":" + std::to_string(config_.port));

    auto write = [fd](const iovec *iov, int count) -> long {
        msghdr msg{};
        msg.msg_iov = const_cast<iovec *>(iov);
        msg.msg_iovlen = size_t(count);
        ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0)
            return long(r);
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    };

    std::string why;
    uint8_t buf[4096];
    double nextBurst = MonotonicSeconds();
    bool wantWrite = false;
    while (!stop_.load()) {
        double now = MonotonicSeconds();
        pollfd p{fd, short(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
        int r = ::poll(&p, 1, ToMillis(nextBurst - now));
        if (r < 0 && errno != EINTR) {
            why = std::string("poll failed: ") + std::strerror(errno);
            break;
        }
        now = MonotonicSeconds();

        std::lock_guard<std::mutex> lock(coreMutex_);
        if (r > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0) {
                Bump(stats_.closedByStation);
                why = "closed by the station";
                break;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Bump(stats_.closedByStation);
                why = std::string("connection lost: ") + std::strerror(errno);
                break;
            }
            if (n > 0)
                core_.OnReceived(buf, size_t(n), now);
        }
        if (now >= nextBurst) {
            core_.Advance(now);
            nextBurst += config_.burstInterval;
            if (nextBurst < now)
                nextBurst = now + config_.burstInterval;
        }
        if (!core_.Output().Flush(write, &stats_)) {
            Bump(stats_.closedByStation);
            why = std::string("send failed: ") + std::strerror(errno);
            break;
        }
        wantWrite = !core_.Output().Empty();
        if (core_.CloseAfterFlush() && !wantWrite) {
            why = config_.truncate ? "closed mid-packet" : "disconnected (churn)";
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(coreMutex_);
        core_.OnDisconnected();
    }
    // Half-close first so that what was written is delivered before the end.
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
    if (!config_.quiet && !why.empty())
        Print(why);
}

}  // namespace tav::sim
