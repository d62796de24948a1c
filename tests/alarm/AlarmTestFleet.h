#pragma once
// A simulated clock and fleet for the alarm engine: each Tick() moves time on
// by 500 ms, lets every present sensor's packet count move, and hands the
// engine the snapshot the station would build.
#include <cmath>
#include <map>
#include <vector>

#include "core/alarm/AlarmEngine.h"

namespace tav::test {

class AlarmFleet {
public:
    int64_t now = 1'700'000'000'000;

    SteadySensorValues &Sensor(int32_t address)
    {
        auto it = sensors_.find(address);
        if (it == sensors_.end()) {
            SteadySensorValues v;
            v.address = address;
            v.slot = int(sensors_.size());
            v.generation = 1;
            v.samplingFrequency = 26667;
            v.ratedSpeed = 1500;
            it = sensors_.emplace(address, v).first;
            present_[address] = true;
            sending_[address] = true;
        }
        return it->second;
    }
    void SetVelocity(int32_t address, double v, int axis = 0) { Sensor(address).isoVelocity[axis] = float(v); }
    void SetPresent(int32_t address, bool present) { Sensor(address), present_[address] = present; }
    void SetSending(int32_t address, bool sending) { Sensor(address), sending_[address] = sending; }
    void Reconnect(int32_t address) { ++Sensor(address).generation, Sensor(address).packetsParsed = 0; }

    void Tick(AlarmEngine &engine)
    {
        now += 500;
        snapshot_.utcMs = now;
        snapshot_.count = 0;
        for (auto &[address, v] : sensors_) {
            if (!present_[address])
                continue;
            if (sending_[address])
                v.packetsParsed += 115;
            snapshot_.sensors[snapshot_.count++] = v;
        }
        engine.OnSteadySnapshot(snapshot_);
    }
    void TickFor(AlarmEngine &engine, double seconds)
    {
        for (int i = 0; i < int(std::lround(seconds * 2)); ++i)
            Tick(engine);
    }

private:
    std::map<int32_t, SteadySensorValues> sensors_;
    std::map<int32_t, bool> present_, sending_;
    SteadySnapshot snapshot_;
};

class EventLog : public AlarmListener {
public:
    void OnAlarmEvent(const AlarmEvent &e) override { events.push_back(e); }
    int Count(AlarmEventKind kind) const
    {
        int n = 0;
        for (const auto &e : events)
            n += e.kind == kind;
        return n;
    }
    std::map<uint64_t, AlarmSeverity> Heard() const  // what a listener keeping state from the events believes
    {
        std::map<uint64_t, AlarmSeverity> active;
        for (const auto &e : events) {
            if (e.kind == AlarmEventKind::kAcknowledge || e.kind == AlarmEventKind::kRateLimited)
                continue;
            const auto it = active.find(e.alarmId);
            if (e.kind == AlarmEventKind::kRaise || e.kind == AlarmEventKind::kOffline)
                active[e.alarmId] = e.severity;
            else if (it == active.end() || it->second != e.severity)
                active[0] = e.severity;  // an end of what was not heard active: alarm 0
            else
                active.erase(it);
        }
        return active;
    }
    std::vector<AlarmEvent> events;
};

inline std::map<uint64_t, AlarmSeverity> Listed(const AlarmEngine &engine)
{
    std::map<uint64_t, AlarmSeverity> active;
    for (const Alarm &a : engine.Alarms())
        if (a.active)
            active[a.id] = a.severity;
    return active;
}

inline std::map<int32_t, MachineSettings> OneMachine(int32_t address, IsoClass c = IsoClass::kGroup2Rigid)
{
    MachineSettings m;
    m.address = address;
    m.name = "1号泵";
    m.isoClass = c;
    return {{address, m}};
}

}  // namespace tav::test
