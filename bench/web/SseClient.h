#pragma once
// A live page without a browser: logged in as a browser would be, holding
// /api/events open and timing every machine's update as it arrives.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Client;
}

namespace tav::bench {

// Logs in through /api/session and /api/login; the session's Cookie header
// value, "" on failure (*error says why).
std::string WebLogin(int port, const std::string &user, const std::string &password, std::string *error);

// The machines of an overview event's data, as (station/address, newest
// tick in ms) in the order sent, without building the whole document.
std::vector<std::pair<std::string, int64_t>> ScanMachines(const std::string &data);

class SseClient {
public:
    SseClient(int port, std::string cookie);
    ~SseClient();
    void Start();
    void Stop();
    // Overview events and bytes received since Start (or the last Reset).
    int Events() const { return events_; }
    double Bytes() const { return bytes_; }
    // The newest overview's machine count.
    size_t Machines() const { return machines_; }
    // Drops what was counted so far: the measured span starts now.
    void Reset();
    // Seconds from each machine's new tick (its own time) to the arrival
    // of the event that carried it.
    std::vector<double> Delays();

private:
    void Run();
    void OnEvent(const std::string &data, double arrival);

    int port_;
    std::string cookie_;
    std::unique_ptr<httplib::Client> client_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> events_{0};
    std::atomic<double> bytes_{0};
    std::atomic<size_t> machines_{0};
    std::mutex mutex_;  // guards delays_
    std::vector<double> delays_;
    std::map<std::string, int64_t> seen_;  // the receiving thread's own
};

}  // namespace tav::bench
