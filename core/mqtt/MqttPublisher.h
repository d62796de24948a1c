#pragma once
// The station's link to the plant's broker. The window thread hands it every
// tick's snapshot (a copy, no waiting); a thread of its own turns snapshots
// into messages, holds them in a bounded queue while the broker is away and
// hands them to libmosquitto; a second thread runs the client's network loop
// and reconnects (1 s growing to 30 s). The last will ("offline", retained) is
// set before the first connect; a clean Stop publishes every sensor's state
// as disconnected and then "offline" itself.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/model/SteadySnapshot.h"
#include "core/mqtt/MqttCommands.h"
#include "core/mqtt/MqttPayloads.h"
#include "core/net/EventSink.h"
#include "core/settings/MqttConfig.h"

struct mosquitto;
struct mosquitto_message;

namespace tav {

enum class MqttLinkState : int { kOff = 0, kConnecting = 1, kConnected = 2 };

class MqttPublisher : public SteadySnapshotConsumer {
public:
    // `sink` receives log lines (kLogLineEvent); may be null.
    MqttPublisher(const MqttConfig &config, EventSink *sink);
    ~MqttPublisher() override;

    // Starts the network thread and ours; false with a message when
    // libmosquitto refuses the settings (TLS files, ...).
    bool Start(std::string *error);
    // Publishes every connected sensor's state as disconnected and then
    // "offline" (all retained), waits briefly for the queue to drain while
    // connected, disconnects and joins both threads.
    void Stop();

    // Window thread: copies the snapshot and returns.
    void OnSteadySnapshot(const SteadySnapshot &snapshot) override;
    // Called on the window thread inside OnSteadySnapshot for each sensor;
    // fills the machine's name, ISO velocity and zone where known.
    void SetExtrasFn(std::function<void(const SteadySensorValues &, SensorExtras *)> fn) { extrasFn_ = std::move(fn); }
    // Sensors online, for the status topic; read on the window thread.
    void SetOnlineCountFn(std::function<int()> fn) { onlineCountFn_ = std::move(fn); }

    // Any thread: one alarm event (already JSON) to <prefix>/alarm, and when
    // `currentJson` is not empty, the sensor's current alarms retained on
    // <prefix>/sensor/<address>/alarm.
    void PublishAlarm(int32_t address, std::string eventJson, std::string currentJson);

    // With remoteAck: the acknowledgements taken from the command topic
    // since the last call, oldest first (the thread owning the alarm engine
    // applies them). The client's thread only checks and queues them.
    std::vector<AckCommand> TakeAckCommands();
    // Any thread: the answer to one command on <prefix>/command/ack/result.
    void ReplyAck(const std::string &requestId, bool ok, const std::string &reason, int64_t utcMs);
    // A command refused after it was taken (unknown alarm, ...), for the count.
    void CountRefusedCommand() { commandsRefused_.fetch_add(1); }
    uint64_t CommandsTaken() const { return commandsTaken_.load(); }
    uint64_t CommandsRefused() const { return commandsRefused_.load(); }

    // Any thread.
    MqttLinkState LinkState() const { return MqttLinkState(state_.load()); }
    const std::string &BrokerAddress() const { return brokerAddress_; }
    const std::string &Prefix() const { return config_.prefix; }
    uint64_t Dropped() const { return dropped_.load(); }
    uint64_t Sent() const { return sent_.load(); }
    // Snapshots turned into messages, and those replaced by a newer one
    // before our thread took them (a stalled machine).
    uint64_t Digested() const { return digested_.load(); }
    uint64_t SkippedTicks() const { return skipped_.load(); }
    size_t Queued() const;

private:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = false;
    };
    struct SensorState {
        uint32_t generation = 0;
        uint32_t peerIp = 0;
        uint16_t peerPort = 0;
        bool connected = false;
        // A window arrived since the sensor's last steady message.
        bool unsent = false;
    };

    void Run();
    void NetLoop();
    // extras[i][w]: of sensor i's fresh window w.
    void Digest(const SteadySnapshot &snapshot, const SensorExtras (*extras)[kMaxFreshWindows], int onlineCount);
    // Every sensor still marked connected goes to "connected":false (a clean stop).
    void PublishAllGone(int64_t utcMs);
    void Enqueue(std::string topic, std::string payload, bool retain);
    // Under queueMutex_, at each connect: every retained topic's latest
    // payload goes ahead of the queue, unless the queue already holds a
    // message for that topic (the latest one, which goes anyway).
    void RequeueRetainedLocked();
    void Pump();
    std::string StatusPayload(bool online) const;
    void Log(const std::string &text);

    static void OnConnect(struct mosquitto *, void *self, int rc);
    static void OnDisconnect(struct mosquitto *, void *self, int rc);
    static void OnPublish(struct mosquitto *, void *self, int mid);
    static void OnMessage(struct mosquitto *, void *self, const struct mosquitto_message *message);

    MqttConfig config_;
    EventSink *sink_;
    std::string brokerAddress_;
    struct mosquitto *mosq_ = nullptr;
    std::thread thread_;
    std::thread netThread_;  // the client library's network loop, and our retries

    std::function<void(const SteadySensorValues &, SensorExtras *)> extrasFn_;
    std::function<int()> onlineCountFn_;

    SensorExtras windowExtras_[kSlotCount][kMaxFreshWindows];  // window thread only

    // queueMutex_ guards the handoff, the queue and the link flags below.
    // The handoff is the newest snapshot not yet digested: a second tick
    // before the thread wakes replaces the first; the thread wakes within
    // microseconds, so only a stalled machine loses a tick.
    mutable std::mutex queueMutex_;
    SteadySnapshot handoff_;
    SensorExtras handoffExtras_[kSlotCount][kMaxFreshWindows];
    int handoffOnline_ = 0;
    bool handoffFull_ = false;
    SteadySnapshot work_;  // our thread's copy
    SensorExtras workExtras_[kSlotCount][kMaxFreshWindows];
    // Messages waiting for the broker, oldest first.
    std::condition_variable wake_;
    std::deque<Message> queue_;
    // The latest payload of every retained topic (sensor states, alarm
    // lists) ever enqueued: a broker without persistence forgets them when
    // it restarts, so each connection publishes them again.
    std::map<std::string, std::string> retained_;
    bool stop_ = false;
    bool connectedFlag_ = false;  // under queueMutex_
    bool announce_ = false;       // publish "online" first after each connect
    bool netStop_ = false;
    bool everConnected_ = false;  // since the network loop last started
    int inFlight_ = 0;
    std::vector<AckCommand> commands_;  // taken, not yet applied; bounded
    // Answers and log lines for refused commands, per second: a flood of
    // garbage must not push the plant's data out of the queue.
    int64_t refusalSecond_ = 0;
    int refusalsThisSecond_ = 0;

    // Our thread only.
    std::map<int32_t, SensorState> sensors_;
    int64_t nextSteadyMs_ = 0;
    int onlineCount_ = 0;
    uint64_t droppedLogged_ = 0;
    uint64_t skippedLogged_ = 0;

    std::atomic<int> state_{int(MqttLinkState::kOff)};
    std::atomic<uint64_t> dropped_{0};
    std::atomic<uint64_t> sent_{0};
    std::atomic<uint64_t> digested_{0};
    std::atomic<uint64_t> skipped_{0};
    std::atomic<uint64_t> commandsTaken_{0};
    std::atomic<uint64_t> commandsRefused_{0};
};

}  // namespace tav
