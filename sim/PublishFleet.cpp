#include "sim/PublishFleet.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/alarm/Zones.h"
#include "core/mqtt/MqttAlarmBridge.h"
#include "core/mqtt/MqttPublisher.h"

#ifndef TAVENOR_VERSION
#define TAVENOR_VERSION "0"
#endif

namespace tav::sim {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kStandardGravity = 9806.65;  // mm/s² per g
// A cleared alarm is acknowledged this long after, and leaves the list.
constexpr double kAcknowledgeAfterS = 20;
// A swinging sensor rises over its alert limit for kSwingS every kSwingPeriodS.
constexpr double kSwingPeriodS = 240;
constexpr double kSwingS = 40;

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double Unit(uint64_t h, int shift) { return double((h >> shift) & 0xFFFF) / 65535.0; }

const char *const kMachines[4] = {"风机", "泵", "压缩机", "电机"};
const double kRpms[4] = {1490, 2970, 1485, 990};
int MachineKind(int32_t address) { return int(uint32_t(address) % 4); }

// "3号泵（st01）": unique across the plant, as an operator would name it.
std::string MachineName(int32_t address, const std::string &station)
{
    return std::to_string(address) + "号" + kMachines[MachineKind(address)] + "（" + station + "）";
}

}  // namespace

std::string StationName(int index, int stations)
{
    size_t width = 2;
    for (int n = stations; n >= 100; n /= 10)
        ++width;
    std::string number = std::to_string(index + 1);
    if (number.size() < width)
        number.insert(0, width - number.size(), '0');
    return "st" + number;
}

void SyntheticValues(uint32_t seed, int station, int sensor, uint64_t tick, int intervalMs, SteadySensorValues *v)
{
    const uint64_t h = Mix((uint64_t(seed) << 40) ^ (uint64_t(station) << 20) ^ uint64_t(sensor));
    const double t = double(tick) * intervalMs / 1000.0;
    const int kind = MachineKind(v->address);
    const double rpm = kRpms[kind] * (1 + 0.003 * std::sin(kTwoPi * t / 300 + kTwoPi * Unit(h, 8)));
    // Machines in good order (0.8 .. 2.2 mm/s), drifting by 15 % over ten minutes.
    double velocity = (0.8 + 1.4 * Unit(h, 16)) * (1 + 0.15 * std::sin(kTwoPi * t / 600 + kTwoPi * Unit(h, 32)));
    // One sensor in sixteen swings up to 3.6 mm/s for a while: alarms come and go.
    if ((h >> 48) % 16 == 0) {
        const double phase = std::fmod(t + kSwingPeriodS * Unit(h, 24), kSwingPeriodS);
        if (phase < kSwingS)
            velocity += (3.6 - velocity) * (0.5 - 0.5 * std::cos(kTwoPi * phase / kSwingS));
    }
    const double f = rpm / 60;
    static const double kAxisShare[3] = {1.0, 0.8, 0.55};
    for (int axis = 0; axis < 3; ++axis) {
        const double vr = velocity * kAxisShare[axis];
        const double ar = vr * kTwoPi * f / kStandardGravity * 1.6;
        const double dr = vr / (kTwoPi * f);
        float *p = v->values + axis * 7;
        p[0] = float(ar);
        p[1] = float(ar * 1.414 * 1.25);
        p[2] = float(2.9 + 0.3 * Unit(h, axis * 8));
        p[3] = float(vr);
        p[4] = float(vr * 1.414 * 1.08);
        p[5] = float(dr);
        p[6] = float(dr * 1.414 * 1.05);
        v->isoVelocity[axis] = float(vr);
    }
    v->values[kSpeedSeries] = float(rpm);
    v->samplingFrequency = 26667;
    v->temperature = float(28 + 6 * Unit(h, 40) + 0.5 * std::sin(kTwoPi * t / 1800));
    v->ratedSpeed = float(kRpms[kind]);
    v->speedFromRecord = true;
    v->windows = tick + 1;
    v->freshWindows = 1;
}

void SimExtras(const std::string &station, const SteadySensorValues &v, SensorExtras *extras)
{
    std::snprintf(extras->name, sizeof extras->name, "%s", MachineName(v.address, station).c_str());
    for (int axis = 0; axis < 3; ++axis) {
        extras->isoVelocity[axis] = v.isoVelocity[axis];
        const Zone z = ZoneOf(IsoClass::kGroup2Rigid, v.isoVelocity[axis]);
        extras->zone[axis] = z == Zone::kNone ? 0 : char('A' + int(z));
    }
}

PublishFleet::PublishFleet(const PublishConfig &config) : config_(config) {}

PublishFleet::~PublishFleet() { Stop(); }

bool PublishFleet::Start(std::string *error)
{
    MqttConfig base;
    if (!ParseBrokerUrl(config_.url, &base.host, &base.port, &base.tls, error))
        return false;
    if (base.tls) {
        *error = "mqtts:// is not offered here; publish to a broker on mqtt://";
        return false;
    }
    base.qos = 1;
    base.intervalS = config_.intervalMs / 1000.0;
    base.version = TAVENOR_VERSION;
    base.stationPort = config_.stationPort;
    base.startedUtcMs = int64_t(std::time(nullptr)) * 1000;
    stations_.resize(size_t(config_.stations));
    for (int s = 0; s < config_.stations; ++s) {
        Station &st = stations_[size_t(s)];
        st.name = StationName(s, config_.stations);
        MqttConfig c = base;
        c.prefix = config_.prefixRoot + "/" + st.name;
        if (!ValidTopicPrefix(c.prefix)) {
            *error = "not a topic prefix: " + c.prefix;
            return false;
        }
        c.clientId = c.prefix;
        for (char &ch : c.clientId)
            if (ch == '/')
                ch = '-';
        st.link = std::make_unique<MqttPublisher>(c, nullptr);
        st.link->SetOnlineCountFn([this] { return config_.sensors; });
        st.link->SetExtrasFn(
            [name = st.name](const SteadySensorValues &v, SensorExtras *extras) { SimExtras(name, v, extras); });
        if (!st.link->Start(error))
            return false;
    }
    return true;
}

void PublishFleet::Tick(int64_t utcMs)
{
    const int sensors = std::min(config_.sensors, kSlotCount);
    for (size_t s = 0; s < stations_.size(); ++s) {
        Station &st = stations_[s];
        snapshot_.utcMs = utcMs;
        snapshot_.count = sensors;
        for (int i = 0; i < sensors; ++i) {
            SteadySensorValues &v = snapshot_.sensors[i];
            v = SteadySensorValues{};
            v.address = int32_t(config_.firstAddress + uint32_t(i));
            v.slot = i;
            v.generation = 1;
            v.peerIp = 0x7F000001;
            v.peerPort = uint16_t(40000 + i);
            v.packetsParsed = (tick_ + 1) * 10;
            SyntheticValues(config_.seed, int(s), i, tick_, config_.intervalMs, &v);
        }
        st.link->OnSteadySnapshot(snapshot_);
        steadyMade_ += uint64_t(sensors);
        JudgeAlarms(st, snapshot_);
    }
    ++tick_;
}

void PublishFleet::JudgeAlarms(Station &st, const SteadySnapshot &snapshot)
{
    // The event, then the sensor's list as it stands after it (retained).
    auto publish = [&](const Alarm &a, AlarmEventKind kind, const std::string &comment, bool listed) {
        AlarmEvent e = AlarmEventOf(a, kind, snapshot.utcMs);
        e.comment = comment;
        ++alarmEvents_;
        std::vector<Alarm> list;
        if (listed)
            list.push_back(a);
        st.link->PublishAlarm(a.address, AlarmEventJson(e), CurrentAlarmsJson(a.address, list, snapshot.utcMs));
    };
    const int64_t ackAfterMs = int64_t(kAcknowledgeAfterS * 1000);
    for (int i = 0; i < snapshot.count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        const double velocity = v.isoVelocity[0];
        const bool above = velocity >= kSimAlertMmS;
        auto found = st.alarms.find(v.address);
        if (found == st.alarms.end()) {
            if (!above)
                continue;
            Alarm a;
            a.id = st.nextAlarmId++;
            a.address = v.address;
            a.name = MachineName(v.address, st.name);
            a.quantity = kQuantityVelocity;
            a.axis = 0;
            a.limit = kSimAlertMmS;
            a.active = false;
            a.firstExceededMs = snapshot.utcMs;
            found = st.alarms.emplace(v.address, a).first;
        }
        Alarm &a = found->second;
        if (above && !a.active) {
            // Also when raised again before its acknowledgement: one alarm
            // per source, active again.
            a.active = true;
            a.raisedMs = a.changedMs = snapshot.utcMs;
            a.raiseValue = a.value = velocity;
            publish(a, AlarmEventKind::kRaise, "", true);
        } else if (above) {
            a.value = velocity;
        } else if (a.active) {
            a.active = false;
            a.value = velocity;
            a.changedMs = snapshot.utcMs;
            publish(a, AlarmEventKind::kClear, "", true);
        } else if (snapshot.utcMs - a.changedMs >= ackAfterMs) {
            // Cleared and acknowledged: it leaves the list.
            a.acknowledged = true;
            a.acknowledgedMs = snapshot.utcMs;
            publish(a, AlarmEventKind::kAcknowledge, "模拟确认", false);
            st.alarms.erase(found);
        }
    }
}

void PublishFleet::Stop()
{
    for (Station &st : stations_)
        if (st.link)
            st.link->Stop();
}

int PublishFleet::Connected() const
{
    int n = 0;
    for (const Station &st : stations_)
        n += st.link && st.link->LinkState() == MqttLinkState::kConnected;
    return n;
}

uint64_t PublishFleet::Published() const
{
    uint64_t n = 0;
    for (const Station &st : stations_)
        n += st.link ? st.link->Sent() : 0;
    return n;
}

uint64_t PublishFleet::Digested() const
{
    uint64_t n = 0;
    for (const Station &st : stations_)
        n += st.link ? st.link->Digested() : 0;
    return n;
}

uint64_t PublishFleet::Dropped() const
{
    uint64_t n = 0;
    for (const Station &st : stations_)
        n += st.link ? st.link->Dropped() : 0;
    return n;
}

uint64_t PublishFleet::Queued() const
{
    uint64_t n = 0;
    for (const Station &st : stations_)
        n += st.link ? st.link->Queued() : 0;
    return n;
}

}  // namespace tav::sim
