#pragma once
// Many stations' broker traffic without the stations: each simulated station
// is the station's own broker link (MqttPublisher, one connection) fed with
// synthetic ticks, so the payloads, topics, QoS, retained flags, last will
// and buffering are the station's own. The values are a function of the
// seed, the station, the sensor and the tick's number only: two runs publish
// the same numbers at different times. A few sensors swing over their alert
// limit now and then, which raises and clears alarms through the alarm
// payload code the station uses.
//
// Threads: Tick, Start and Stop from one thread; the counts from any.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/model/AlarmTypes.h"
#include "core/model/SteadySnapshot.h"
#include "core/mqtt/MqttPayloads.h"

namespace tav {
class MqttPublisher;
}

namespace tav::sim {

struct PublishConfig {
    std::string url;  // mqtt://host[:port]; empty: not this mode
    int stations = 1;
    int sensors = 40;
    uint32_t firstAddress = 1;
    std::string prefixRoot = "tavenor/sim";
    int intervalMs = 500;
    int stationPort = 22009;  // the port each status message names
    uint32_t seed = 1;
};

// "st01" .. (two digits, more when there are more than 99 stations).
std::string StationName(int index, int stations);

// Sensor `sensor` (0-based, `v->address` already set) of station `station`
// at tick `tick`: the values one statistics window would give. The alarm is
// the X axis's velocity against kSimAlertMmS.
void SyntheticValues(uint32_t seed, int station, int sensor, uint64_t tick, int intervalMs, SteadySensorValues *v);
constexpr double kSimAlertMmS = 2.8;  // zone B/C of a rigid group 2 machine
// What the station's settings would add to a sensor's steady message: the
// machine's name, and its ISO velocity and zone per axis (a rigid group 2 machine).
void SimExtras(const std::string &station, const SteadySensorValues &v, SensorExtras *extras);

class PublishFleet {
public:
    explicit PublishFleet(const PublishConfig &config);
    ~PublishFleet();

    // False with *error when a station's link cannot start.
    bool Start(std::string *error);
    // One tick of every station, stamped `utcMs`.
    void Tick(int64_t utcMs);
    // A clean exit of every station: states disconnected, then "offline".
    void Stop();

    int Connected() const;
    uint64_t Ticks() const { return tick_; }
    uint64_t SteadyMade() const { return steadyMade_; }
    uint64_t AlarmEvents() const { return alarmEvents_; }
    uint64_t Published() const;  // acknowledged by the broker
    // Ticks the links have turned into messages; a tick that comes before
    // its link took the previous one replaces it (as on a stalled station).
    uint64_t Digested() const;
    uint64_t Dropped() const;
    uint64_t Queued() const;

private:
    struct Station {
        std::string name;
        std::unique_ptr<MqttPublisher> link;
        std::map<int32_t, Alarm> alarms;  // one per sensor: its X velocity
        uint64_t nextAlarmId = 1;
    };
    void JudgeAlarms(Station &st, const SteadySnapshot &snapshot);

    PublishConfig config_;
    std::vector<Station> stations_;
    SteadySnapshot snapshot_;
    uint64_t tick_ = 0;
    uint64_t steadyMade_ = 0;
    uint64_t alarmEvents_ = 0;
};

}  // namespace tav::sim
