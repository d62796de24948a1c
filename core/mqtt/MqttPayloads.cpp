#include "core/mqtt/MqttPayloads.h"

#include <cstring>

#include "core/model/AlarmTypes.h"
#include "core/model/SteadyRecord.h"
#include "core/mqtt/Json.h"

namespace tav {

std::string StatusJson(const StatusInfo &status)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("state").String(status.online ? "online" : "offline");
    if (status.online) {
        w.Key("version").String(status.version);
        w.Key("started").String(IsoUtcMs(status.startedUtcMs));
        w.Key("port").Integer(status.port);
        w.Key("online_count").Integer(status.onlineCount);
    }
    w.EndObject();
    return w.Take();
}

std::string SteadyJson(int64_t utcMs, const SteadySensorValues &v, const SensorExtras &extras)
{
    static const char *const kParams[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
    static const char *const kAxes[3] = {"x", "y", "z"};
    JsonWriter w;
    w.BeginObject();
    w.Key("time").String(IsoUtcMs(utcMs));
    w.Key("address").Integer(v.address);
    w.Key("name");
    if (extras.name[0])
        w.String(std::string_view(extras.name, strnlen(extras.name, sizeof extras.name)));
    else
        w.Null();
    w.Key("fs").Number(v.samplingFrequency);
    w.Key("temperature").Number(v.temperature);
    w.Key("rpm").Number(v.values[kSpeedSeries]);
    // True while no device record bounds the speed search: a guess.
    w.Key("rpm_no_record").Bool(!v.speedFromRecord);
    for (int axis = 0; axis < 3; ++axis) {
        w.Key(kAxes[axis]).BeginObject();
        for (int p = 0; p < 7; ++p)
            w.Key(kParams[p]).Number(v.values[axis * 7 + p]);
        w.Key("iso_v").Number(extras.isoVelocity[axis]);
        w.Key("zone");
        if (extras.zone[axis] >= 'A' && extras.zone[axis] <= 'D')
            w.String(std::string_view(&extras.zone[axis], 1));
        else
            w.Null();
        w.Key("iso_d").Number(extras.isoDisplacement[axis]);
        w.Key("zone_by");
        if (const char *by = ZoneByKey(extras.zoneBy[axis]))
            w.String(by);
        else
            w.Null();
        w.Key("sensor_fault");
        if (v.sensorFault[axis])
            w.String(SensorFaultText(v.sensorFault[axis]));
        else
            w.Null();
        // The severity trend's forecast, days; null without one.
        w.Key("days_to_alert").Number(v.daysToAlert[axis]);
        w.Key("days_to_danger").Number(v.daysToDanger[axis]);
        w.EndObject();
    }
    if (extras.bandCount > 0) {
        // Keyed as the band alarms' quantity is ("band1" ...).
        w.Key("bands").BeginObject();
        for (int b = 0; b < extras.bandCount && b < kMaxBands; ++b) {
            w.Key(AlarmQuantityKey(kBandQuantity + b)).BeginObject();
            w.Key("name").String(std::string_view(extras.bandName[b], strnlen(extras.bandName[b], 64)));
            w.Key("spectrum").String(extras.bandEnvelope[b] ? "envelope" : "velocity");
            w.Key("unit").String(extras.bandEnvelope[b] ? "g" : "mm/s");
            for (int axis = 0; axis < 3; ++axis)
                w.Key(kAxes[axis]).Number(v.band[b][axis]);
            w.EndObject();
        }
        w.EndObject();
    }
    w.EndObject();
    return w.Take();
}

std::string PeerText(uint32_t peerIp, uint16_t peerPort)
{
    return std::to_string(peerIp >> 24) + "." + std::to_string((peerIp >> 16) & 255) + "." +
           std::to_string((peerIp >> 8) & 255) + "." + std::to_string(peerIp & 255) + ":" + std::to_string(peerPort);
}

std::string StateJson(bool connected, uint32_t peerIp, uint16_t peerPort, int64_t sinceUtcMs)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("connected").Bool(connected);
    w.Key("peer").String(PeerText(peerIp, peerPort));
    w.Key("since").String(IsoUtcMs(sinceUtcMs));
    w.EndObject();
    return w.Take();
}

}  // namespace tav
