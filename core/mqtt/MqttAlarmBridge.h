#pragma once
// Joins the alarm engine to the broker link: every alarm event goes to
// <prefix>/alarm, the sensor's current alarms (retained) to
// <prefix>/sensor/<address>/alarm, and the machines' names and severity zones
// ride on the steady messages. Window thread, like the engine it listens to.
#include <string>
#include <vector>

#include "core/alarm/AlarmEngine.h"
#include "core/mqtt/MqttPublisher.h"

namespace tav {

std::string AlarmEventJson(const AlarmEvent &e);
// The listed alarms of one sensor (an empty array when it has none).
std::string CurrentAlarmsJson(int32_t address, const std::vector<Alarm> &alarms, int64_t utcMs);
// Name, ISO velocity per axis and its zone for the machine's class.
void FillExtras(const AlarmEngine &engine, const SteadySensorValues &v, SensorExtras *extras);

class MqttAlarmBridge : public AlarmListener {
public:
    MqttAlarmBridge(MqttPublisher &publisher, AlarmEngine &engine);
    ~MqttAlarmBridge() override;
    void OnAlarmEvent(const AlarmEvent &event) override;

private:
    MqttPublisher &publisher_;
    AlarmEngine &engine_;
};

}  // namespace tav
