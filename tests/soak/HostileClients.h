#pragma once
// Peers of the soak that tavenor-sim does not play: a peer from an address
// outside the allow list (a second loopback address) that keeps trying, and
// a peer that opens and closes connections as fast as it can for a while.
// Each runs on a thread of its own between Start and Stop.
#include <atomic>
#include <cstdint>
#include <thread>

#include "core/settings/StationSettings.h"

namespace tav::soak {

// The soak's [access] settings: short periods so that a CI minute sees the
// rules work, and an allow list of 127.0.0.1 only.
constexpr double kSoakGarbageTimeoutS = 2;
constexpr double kSoakIdleEvictS = 3;
constexpr const char *kSoakAllowed = "127.0.0.1";
constexpr const char *kSoakRefusedFrom = "127.0.0.2";

inline AccessSettings SoakAccessSettings()
{
    AccessSettings a;
    a.garbageTimeoutS = kSoakGarbageTimeoutS;
    a.idleEvictS = kSoakIdleEvictS;
    a.allow = {kSoakAllowed};
    a.allowGiven = true;
    return a;
}

class HostileClients {
public:
    explicit HostileClients(int port) : port_(port) {}
    ~HostileClients() { Stop(); }

    // The refused peer from now to Stop; the hammer for `hammerSeconds`.
    void Start(double hammerSeconds);
    void Stop();

    uint64_t RefusedAttempts() const { return refusedAttempts_.load(); }
    uint64_t RefusedClosed() const { return refusedClosed_.load(); }  // closed by the station
    uint64_t HammerConnects() const { return hammerConnects_.load(); }

private:
    void Refused();
    void Hammer(double seconds);

    int port_;
    std::atomic<bool> stop_{false};
    std::thread refused_, hammer_;
    std::atomic<uint64_t> refusedAttempts_{0}, refusedClosed_{0}, hammerConnects_{0};
};

}  // namespace tav::soak
