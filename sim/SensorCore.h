#pragma once
// The behaviour of one simulated sensor, without a socket: it produces
// waveform packets at the pace of the clock it is given, reads register
// commands, answers them and applies writes, and commits the faults it is
// configured for. SimSensor puts a socket and a thread around it; tests drive
// it directly with their own clock. Single-threaded.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "sim/CommandReader.h"
#include "sim/OutputQueue.h"
#include "sim/Pacer.h"
#include "sim/SensorConfig.h"
#include "sim/SensorRegisterMap.h"
#include "sim/SensorStats.h"
#include "sim/SignalGenerator.h"

namespace tav::sim {

class SensorCore {
public:
    // `stats` outlives the core. `startTime` anchors --fs-change-after.
    SensorCore(const SensorConfig &config, SensorStats &stats, double startTime);

    // Connection lifecycle. A new connection starts with nothing owed, so a
    // sensor that was away does not burst its backlog.
    void OnConnected(double now);
    void OnDisconnected();

    // Bytes from the station.
    void OnReceived(const uint8_t *data, size_t len, double now);
    // Queues whatever has come due by `now`.
    void Advance(double now);

    OutputQueue &Output() { return out_; }
    // True once the sensor has decided to close this connection (truncation,
    // churn): the owner flushes the output and then closes.
    bool CloseAfterFlush() const { return closing_; }

    const SensorConfig &Config() const { return config_; }
    const SensorRegisterMap &Registers() const { return regs_; }
    uint32_t Address() const { return address_; }
    bool Streaming() const { return streaming_ && !upgradeMode_; }
    bool InUpgradeMode() const { return upgradeMode_; }
    double SamplingFrequency() const;  // Hz, as in the packets
    // Scales every sample from the next packet on, as a machine whose
    // vibration grows or fades would (1: as configured).
    void SetGain(double gain) { gain_ = gain; }
    uint32_t LastLockCode() const { return lockCode_; }

    // Receives one line per notable event (connect, address change, upgrade
    // mode...). Unset: silent.
    void SetLog(std::function<void(const std::string &)> log) { log_ = std::move(log); }

    // Fills `packet` (1420 bytes) with the next packet: used by the benchmark
    // of the generator's cost and by Advance.
    void BuildPacket(uint8_t *packet);

private:
    void HandleCommand(const std::vector<uint8_t> &frame, double now);
    void ApplyWrite(int reg, uint16_t value, double now);
    void QueueReply(std::vector<uint8_t> reply, double now);
    void StartStream(double now);
    void ProducePackets(double now);
    void ProduceGarbage(double now);
    void Log(const std::string &line) const;
    double NextChurnLifetime();

    SensorConfig config_;
    SensorStats &stats_;
    SensorRegisterMap regs_;
    SignalGenerator gen_;
    double signalSeconds_ = 0;  // of samples built, for the amplitude drift
    Pacer pacer_;
    CommandReader commands_;
    OutputQueue out_;
    std::mt19937 rng_;
    std::function<void(const std::string &)> log_;

    struct PendingReply {
        double due;
        std::vector<uint8_t> bytes;
    };
    std::deque<PendingReply> replies_;

    double startTime_;
    double baseFs_;
    bool fsChanged_ = false;
    uint32_t address_;
    uint32_t packetNumber_ = 0;
    uint32_t lockCode_ = 0;
    bool streaming_ = true;
    bool upgradeMode_ = false;
    bool connected_ = false;
    bool closing_ = false;
    double gain_ = 1.0;
    double closeAt_ = 0.0;     // churn: when this connection ends
    double truncateAt_ = 0.0;  // truncate: when this connection ends mid-packet
    std::vector<float> samples_;
    std::vector<uint8_t> packet_;
    std::vector<uint8_t> frame_;
};

}  // namespace tav::sim
