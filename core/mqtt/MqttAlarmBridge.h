#pragma once
// Joins the alarm engine to the broker link: every alarm event goes to
// <prefix>/alarm, the sensor's current alarms (retained) to
// <prefix>/sensor/<address>/alarm, and the machines' names and severity zones
// ride on the steady messages. Window thread, like the engine it listens to.
#include <deque>
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

    // Applies the acknowledgements the link took from the plant, each
    // answered on the result topic: an alarm the list no longer holds (never
    // raised, or cleared and acknowledged) or one already acknowledged is
    // refused, not applied. A command sent again (the broker's QoS 1 may
    // deliver twice) gets its first answer again. Window thread.
    void ApplyAckCommands(int64_t utcMs);

private:
    struct Answer {
        std::string requestId;
        bool ok = false;
        std::string reason;
    };

    MqttPublisher &publisher_;
    AlarmEngine &engine_;
    std::deque<Answer> answered_;  // the latest answers with a request id
};

}  // namespace tav
