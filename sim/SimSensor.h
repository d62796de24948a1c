#pragma once
// One simulated peer on a real TCP connection: it connects to the station,
// streams what its SensorCore produces in bursts every few milliseconds,
// reads commands while it streams, and reconnects (about once a second) when
// the station is not there yet or closes the connection, like a real sensor.
//
// Threads: Start() runs the peer on its own thread; Stop() and the destructor
// end and join it. The accessors may be called from any thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "sim/SensorConfig.h"
#include "sim/SensorCore.h"
#include "sim/SensorRegisterMap.h"
#include "sim/SensorStats.h"

namespace tav::sim {

// Seconds on the monotonic clock.
double MonotonicSeconds();

class SimSensor {
public:
    explicit SimSensor(const SensorConfig &config);
    ~SimSensor();
    SimSensor(const SimSensor &) = delete;
    SimSensor &operator=(const SimSensor &) = delete;

    void Start();
    // Asks the thread to end without waiting (so a fleet can stop all its
    // peers at once); Stop() asks and joins.
    void RequestStop();
    void Stop();

    const SensorConfig &Config() const { return config_; }
    const SensorStats &Stats() const { return stats_; }
    bool Connected() const { return connected_.load(); }
    // Waits until connected or `seconds` have passed; returns Connected().
    bool WaitConnected(double seconds) const;

    // Copies of the sensor's state, taken under its lock.
    SensorRegisterMap Registers() const;
    uint32_t Address() const;
    bool Streaming() const;
    bool InUpgradeMode() const;
    uint32_t LastLockCode() const;
    // Scales the measured vibration from the next packet on (SensorCore).
    void SetGain(double gain);

private:
    void Run();
    int Connect();
    void Serve(int fd);
    // Sleeps up to `seconds`; true when Stop() was called meanwhile.
    bool SleepOrStop(double seconds);
    void Print(const std::string &line) const;

    const SensorConfig config_;
    SensorStats stats_;
    mutable std::mutex coreMutex_;  // guards core_
    SensorCore core_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    mutable std::mutex wakeMutex_;
    mutable std::condition_variable wake_;
    std::thread thread_;
};

}  // namespace tav::sim
