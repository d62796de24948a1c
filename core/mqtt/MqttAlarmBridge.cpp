#include "core/mqtt/MqttAlarmBridge.h"

#include <algorithm>
#include <cstring>

#include "core/alarm/Zones.h"
#include "core/mqtt/Json.h"

namespace tav {

namespace {

const char *KindKey(AlarmEventKind k)
{
    switch (k) {
    case AlarmEventKind::kRaise: return "raise";
    case AlarmEventKind::kClear: return "clear";
    case AlarmEventKind::kAcknowledge: return "acknowledge";
    case AlarmEventKind::kOffline: return "offline";
    case AlarmEventKind::kOnline: return "online";
    case AlarmEventKind::kRateLimited: return "rate_limited";
    case AlarmEventKind::kSettingsChanged: return "settings_changed";
    }
    return "unknown";
}

const char *SeverityKey(AlarmSeverity s)
{
    switch (s) {
    case AlarmSeverity::kAlert: return "alert";
    case AlarmSeverity::kDanger: return "danger";
    case AlarmSeverity::kOffline: return "offline";
    case AlarmSeverity::kSensorFault: return "sensor_fault";
    case AlarmSeverity::kChange: return "change";
    }
    return "unknown";
}

void Source(JsonWriter &w, int32_t address, const std::string &name, int quantity, int axis)
{
    static const char *const kAxes[3] = {"x", "y", "z"};
    w.Key("address").Integer(address);
    w.Key("name");
    if (name.empty())
        w.Null();
    else
        w.String(name);
    w.Key("quantity").String(quantity == kOfflineQuantity      ? "connection"
                             : quantity == kSensorFaultQuantity ? "sensor"
                                                                : AlarmQuantityKey(quantity));
    w.Key("quantity_text").String(QuantityText(quantity));
    w.Key("axis");
    if (axis >= 0 && axis < 3)
        w.String(kAxes[axis]);
    else
        w.Null();
}

}  // namespace

std::string AlarmEventJson(const AlarmEvent &e)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("time").String(IsoUtcMs(e.utcMs));
    w.Key("event").String(KindKey(e.kind));
    w.Key("event_text").String(EventKindText(e.kind));
    w.Key("alarm_id").Integer(int64_t(e.alarmId));
    Source(w, e.address, e.name, e.quantity, e.axis);
    w.Key("severity").String(SeverityKey(e.severity));
    w.Key("value").Number(e.value);
    w.Key("limit").Number(e.limit);
    w.Key("comment").String(e.comment);
    w.Key("user");
    if (e.user.empty())
        w.Null();
    else
        w.String(e.user);
    w.Key("capture").String(e.capture);
    w.EndObject();
    return w.Take();
}

std::string CurrentAlarmsJson(int32_t address, const std::vector<Alarm> &alarms, int64_t utcMs)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("time").String(IsoUtcMs(utcMs));
    w.Key("address").Integer(address);
    std::string list = "[";
    bool first = true;
    for (const Alarm &a : alarms) {
        if (a.address != address)
            continue;
        JsonWriter item;
        item.BeginObject();
        item.Key("alarm_id").Integer(int64_t(a.id));
        Source(item, a.address, a.name, a.quantity, a.axis);
        item.Key("severity").String(SeverityKey(a.severity));
        item.Key("active").Bool(a.active);
        item.Key("acknowledged").Bool(a.acknowledged);
        item.Key("state_text").String(StateText(a));
        item.Key("raised").String(IsoUtcMs(a.raisedMs));
        item.Key("raise_value").Number(a.raiseValue);
        item.Key("value").Number(a.value);
        item.Key("limit").Number(a.limit);
        item.Key("comment").String(a.comment);
        if (a.acknowledged && !a.acknowledgedBy.empty())
            item.Key("user").String(a.acknowledgedBy);
        if (a.quantity == kSensorFaultQuantity)
            item.Key("fault").String(SensorFaultText(a.faults));
        item.EndObject();
        if (!first)
            list += ",";
        list += item.Text();
        first = false;
    }
    list += "]";
    w.Key("alarms").Raw(list);
    w.EndObject();
    return w.Take();
}

namespace {
// Copies `text` into `out` (`size` bytes), cut at a whole UTF-8 character.
void CopyName(const std::string &text, char *out, size_t size)
{
    std::strncpy(out, text.c_str(), size - 1);
    out[size - 1] = 0;
    // A name cut inside a character would not be UTF-8: drop the partial one.
    size_t n = std::strlen(out);
    if (text.size() > n) {
        size_t start = n;
        while (start > 0 && (static_cast<unsigned char>(out[start - 1]) & 0xC0) == 0x80)
            --start;
        if (start > 0) {
            const unsigned char lead = static_cast<unsigned char>(out[start - 1]);
            const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (start - 1 + length > n)
                out[start - 1] = 0;
        }
    }
}
}  // namespace

void FillExtras(const AlarmEngine &engine, const SteadySensorValues &v, SensorExtras *extras)
{
    const MachineSettings *m = engine.Machine(v.address);
    if (m && !m->name.empty())
        CopyName(m->name, extras->name, sizeof extras->name);
    int bandCount = 0;
    const WatchedBand *bands = engine.Bands(v.address, &bandCount);
    extras->bandCount = bandCount;
    for (int b = 0; b < bandCount; ++b) {
        CopyName(bands[b].name, extras->bandName[b], sizeof extras->bandName[b]);
        extras->bandEnvelope[b] = bands[b].spectrum == BandSpectrum::kEnvelope;
    }
    for (int axis = 0; axis < 3; ++axis) {
        extras->isoVelocity[axis] = v.isoVelocity[axis];
        // A fast machine's displacement is NaN: its zone is the velocity's
        // alone and zone_by stays null.
        const JudgedZone j =
            m ? JudgeZone(m->isoClass, v.isoVelocity[axis], SlowMachine(*m) ? v.isoDisplacement[axis] : NAN)
              : JudgedZone{};
        extras->zone[axis] = j.zone == Zone::kNone ? 0 : char('A' + int(j.zone));
        extras->isoDisplacement[axis] = m && SlowMachine(*m) ? v.isoDisplacement[axis] : NAN;
        extras->zoneBy[axis] = j.by;
    }
}

MqttAlarmBridge::MqttAlarmBridge(MqttPublisher &publisher, AlarmEngine &engine)
    : publisher_(publisher), engine_(engine)
{
    engine_.AddListener(this);
    publisher_.SetExtrasFn([this](const SteadySensorValues &v, SensorExtras *extras) { FillExtras(engine_, v, extras); });
}

MqttAlarmBridge::~MqttAlarmBridge()
{
    engine_.RemoveListener(this);
    publisher_.SetExtrasFn(nullptr);
}

void MqttAlarmBridge::OnAlarmEvent(const AlarmEvent &event)
{
    // Alarm events are rare next to the ticks: their texts are made here.
    publisher_.PublishAlarm(event.address, AlarmEventJson(event),
                            CurrentAlarmsJson(event.address, engine_.Alarms(), event.utcMs));
}

void MqttAlarmBridge::ApplyAckCommands(int64_t utcMs)
{
    constexpr size_t kRemembered = 256;
    for (const AckCommand &c : publisher_.TakeAckCommands()) {
        if (!c.requestId.empty()) {
            auto again = std::find_if(answered_.begin(), answered_.end(),
                                      [&](const Answer &a) { return a.requestId == c.requestId; });
            if (again != answered_.end()) {
                publisher_.ReplyAck(again->requestId, again->ok, again->reason, utcMs);
                continue;
            }
        }
        Answer answer{c.requestId, false, {}};
        const std::vector<Alarm> alarms = engine_.Alarms();
        auto it = std::find_if(alarms.begin(), alarms.end(), [&](const Alarm &a) { return a.id == c.alarmId; });
        if (it == alarms.end()) {
            answer.reason = "报警 " + std::to_string(c.alarmId) + " 不在报警列表中（未知，或已恢复并确认）";
        } else if (it->acknowledged) {
            answer.reason = "报警 " + std::to_string(c.alarmId) + " 已由" +
                            (it->acknowledgedBy.empty() ? std::string("他人") : it->acknowledgedBy) + "确认";
        } else {
            // The engine tells its listeners, this bridge among them: the
            // event and the sensor's list go out ahead of the answer.
            answer.ok = engine_.Acknowledge({c.alarmId}, c.comment, utcMs, c.user) == 1;
            if (!answer.ok)
                answer.reason = "报警 " + std::to_string(c.alarmId) + " 未能确认";
        }
        if (!answer.ok)
            publisher_.CountRefusedCommand();
        publisher_.ReplyAck(answer.requestId, answer.ok, answer.reason, utcMs);
        if (!answer.requestId.empty()) {
            answered_.push_back(std::move(answer));
            if (answered_.size() > kRemembered)
                answered_.pop_front();
        }
    }
}

}  // namespace tav
