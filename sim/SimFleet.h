#pragma once
// A fleet of simulated peers built from one description: N sensors with
// consecutive addresses and spread running speeds, plus optional garbage and
// silent peers. Threads: each peer runs on its own thread between Start()
// and Stop(); Totals() may be called from any thread.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/PublishFleet.h"
#include "sim/SensorConfig.h"
#include "sim/SimSensor.h"

namespace tav::sim {

struct FleetConfig {
    SensorConfig base;          // host, port, signals, faults shared by all
    int sensors = 1;
    uint32_t firstAddress = 1;
    std::vector<double> rpms;   // sensor i runs at rpms[i % size] (empty: base.rpm)
    double rpmStep = 0.0;       // plus i x rpmStep
    // Sensor i measures axisSignals[i % size] (empty: base.axes for all).
    std::vector<std::array<AxisSignal, 3>> axisSignals;
    bool duplicateAddress = false;  // every sensor reports firstAddress
    int driftSensors = -1;      // only the first N sensors drift (base.driftPerMinute); -1: all
    int garbagePeers = 0;
    int silentPeers = 0;
    double duration = 0.0;      // s, 0: until interrupted
    double statsEvery = 0.0;    // s between progress lines, 0: none
    uint32_t seed = 1;
    std::string reportFile;     // JSON lines of every peer's counts, written at exit ("": none)
    std::string deviceRecordsFile;  // devicepara.dat to write the sensors' records into, then exit
    // --publish: simulated stations' broker traffic instead of sensors
    // (stations, prefix root and interval; sensors, addresses and seed from above).
    PublishConfig publish;

    // One configuration per peer: the sensors first, then garbage, then silent.
    std::vector<SensorConfig> Expand() const;
};

class SimFleet {
public:
    explicit SimFleet(const FleetConfig &config);
    ~SimFleet();

    void Start();
    void Stop();

    size_t Size() const { return peers_.size(); }
    SimSensor &Peer(size_t i) { return *peers_[i]; }
    const SimSensor &Peer(size_t i) const { return *peers_[i]; }
    int ConnectedCount() const;

    SensorCounts Totals() const;
    // Per-peer lines and the total, as printed on exit.
    std::string Report() const;
    // One JSON object per peer and line, every count included, for programs
    // that compare what was sent with what a station received.
    std::string ReportJson() const;

private:
    std::vector<std::unique_ptr<SimSensor>> peers_;
};

}  // namespace tav::sim
