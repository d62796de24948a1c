#pragma once
// The service as one object: the subscriber feeds parsed rows to the
// writer; refused messages are counted and logged with their topic.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "plant/command/MqttAckSender.h"
#include "plant/config/PlantConfig.h"
#include "plant/ingest/Subscriber.h"
#include "plant/notify/Mailer.h"
#include "plant/store/Writer.h"
#include "plant/web/WebServer.h"

namespace tav::plant {

class Service {
public:
    explicit Service(const PlantConfig &config);
    bool Start(std::string *error);
    // Stops taking messages, then writes what is buffered for up to `flushMs`,
    // then gives the mails that wait the same again.
    void Stop(int flushMs);
    // One message as it came from the broker (the subscriber's sink).
    void Take(std::string_view topic, std::string_view payload, bool retained = false);
    // Logs the counters, and how many refusals went unlogged, once a minute.
    void Report();

    int64_t Received() const { return received_.load(); }
    int64_t Refused() const { return refused_.load(); }
    Writer &writer() { return writer_; }
    Mailer &mailer() { return mailer_; }
    bool BrokerConnected() const { return subscriber_.Connected(); }
    // Where the pages' acknowledgements go: the stations, on the
    // subscriber's connection, unless another sender is set before Start.
    void SetAckSender(AckSender *ack) { ack_ = ack; }
    MqttAckSender &Acks() { return acks_; }

private:
    const PlantConfig &config_;
    AckSender *ack_ = nullptr;
    // With [web] listen only. Before the writer: the writer's thread, which
    // tells it of each commit, ends before it goes.
    std::unique_ptr<WebServer> web_;
    Writer writer_;
    Mailer mailer_;
    Subscriber subscriber_;
    MqttAckSender acks_;
    std::atomic<int64_t> received_{0}, refused_{0};
    std::atomic<int> refusalLogs_{0};
};

}  // namespace tav::plant
