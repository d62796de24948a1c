#include "core/mqtt/MqttPublisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <string_view>

#include "core/base/ThreadName.h"
#include "core/net/ErrorTexts.h"

namespace tav {

namespace {

// Messages handed to libmosquitto and not yet acknowledged. Above this the
// rest wait in our queue, where the bound and the order are ours.
constexpr int kWindow = 200;
constexpr int kKeepAliveS = 30;
// Commands waiting for the engine's thread; more than a page's operators
// could send between two ticks is a flood.
constexpr size_t kMaxPendingCommands = 64;
constexpr int kRefusalsToldPerSecond = 5;

std::once_flag gLibInit;

}  // namespace

MqttPublisher::MqttPublisher(const MqttConfig &config, EventSink *sink)
    : config_(config), sink_(sink), brokerAddress_(config.BrokerAddress())
{
}

MqttPublisher::~MqttPublisher() { Stop(); }

void MqttPublisher::Log(const std::string &text)
{
    if (sink_)
        sink_->Post(StationEvent::Text(kLogLineEvent, text.c_str()));
}

std::string MqttPublisher::StatusPayload(bool online) const
{
    StatusInfo status;
    status.online = online;
    status.version = config_.version;
    status.startedUtcMs = config_.startedUtcMs;
    status.port = config_.stationPort;
    status.onlineCount = onlineCount_;
    return StatusJson(status);
}

bool MqttPublisher::Start(std::string *error)
{
    std::call_once(gLibInit, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (!mosq_) {
        *error = "MQTT：无法创建客户端：" + SystemErrorText(errno);
        return false;
    }
    auto fail = [&](const std::string &what, int rc) {
        *error = "MQTT：" + what + "：" + BrokerErrorText(rc, errno) + "，不启用 MQTT";
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    };
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.username.empty()) {
        rc = mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                       config_.password.empty() ? nullptr : config_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS)
            return fail("用户名或密码不可用", rc);
    }
    // The will and a retained status before the first connect: a subscriber
    // arriving at any time learns whether this station is alive.
    const std::string willTopic = config_.prefix + "/status";
    const std::string offline = StatusPayload(false);
    rc = mosquitto_will_set(mosq_, willTopic.c_str(), int(offline.size()), offline.data(), 1, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return fail("无法设置遗嘱消息", rc);
    if (config_.tls) {
        if (!config_.caFile.empty())
            rc = mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        else
            rc = mosquitto_tls_set(mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail("TLS 设置失败（" + config_.caFile + "）", rc);
        if (config_.insecure) {
            // Neither the chain nor the host name: the operator asked for it
            // and is told so at every start.
            mosquitto_tls_opts_set(mosq_, 0, nullptr, nullptr);
            mosquitto_tls_insecure_set(mosq_, true);
        }
    }
    // Packets handed over from other threads are written by the network
    // loop, which they wake.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_max_inflight_messages_set(mosq_, kWindow);
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
    if (config_.remoteAck)
        mosquitto_message_callback_set(mosq_, &MqttPublisher::OnMessage);

    state_ = int(MqttLinkState::kConnecting);
    thread_ = std::thread([this] {
        NameThisThread("tav mqtt");
        Run();
    });
    netThread_ = std::thread([this] {
        NameThisThread("tav mqtt net");
        NetLoop();
    });
    return true;
}

void MqttPublisher::Stop()
{
    if (!mosq_)
        return;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        netStop_ = true;
    }
    wake_.notify_all();
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        connected = connectedFlag_;
    }
    if (connected) {
        // "offline" by ourselves: a clean exit sends no will.
        const std::string offline = StatusPayload(false);
        const std::string topic = config_.prefix + "/status";
        std::unique_lock<std::mutex> lock(queueMutex_);
        ++inFlight_;
        lock.unlock();
        if (mosquitto_publish(mosq_, nullptr, topic.c_str(), int(offline.size()), offline.data(), 1, true) ==
            MOSQ_ERR_SUCCESS) {
            lock.lock();
            wake_.wait_for(lock, std::chrono::seconds(2), [this] { return inFlight_ <= 0 || !connectedFlag_; });
            lock.unlock();
        }
    }
    mosquitto_disconnect(mosq_);
    if (netThread_.joinable())
        netThread_.join();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    state_ = int(MqttLinkState::kOff);
}

void MqttPublisher::OnSteadySnapshot(const SteadySnapshot &snapshot)
{
    const int count = snapshot.count < 0 ? 0 : (snapshot.count > kSlotCount ? kSlotCount : snapshot.count);
    for (int i = 0; i < count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        const int fresh = std::clamp(v.freshWindows, 1, kMaxFreshWindows);
        for (int w = 0; w < fresh; ++w) {
            windowExtras_[i][w] = SensorExtras{};
            int64_t at = 0;
            if (extrasFn_)
                extrasFn_(w == fresh - 1 ? v : FreshWindow(v, w, snapshot.utcMs, &at), &windowExtras_[i][w]);
        }
    }
    const int online = onlineCountFn_ ? onlineCountFn_() : count;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        handoff_.utcMs = snapshot.utcMs;
        handoff_.count = count;
        std::memcpy(handoff_.sensors, snapshot.sensors, sizeof(SteadySensorValues) * size_t(count));
        std::memcpy(handoffExtras_, windowExtras_, sizeof windowExtras_[0] * size_t(count));
        handoffOnline_ = online;
        if (handoffFull_)
            skipped_.fetch_add(1);
        handoffFull_ = true;
    }
    wake_.notify_all();
}

void MqttPublisher::PublishAlarm(int32_t address, std::string eventJson, std::string currentJson)
{
    if (!eventJson.empty())
        Enqueue(config_.prefix + "/alarm", std::move(eventJson), false);
    if (!currentJson.empty())
        Enqueue(config_.prefix + "/sensor/" + std::to_string(address) + "/alarm", std::move(currentJson), true);
}

size_t MqttPublisher::Queued() const
{
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queue_.size();
}

void MqttPublisher::Enqueue(std::string topic, std::string payload, bool retain)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        // Beyond the bound the oldest go: after a long outage the plant gets
        // the most recent minutes, and the count of what it missed.
        while (queue_.size() >= config_.QueueBound()) {
            queue_.pop_front();
            dropped_.fetch_add(1);
        }
        if (retain)
            retained_[topic] = payload;
        queue_.push_back(Message{std::move(topic), std::move(payload), retain});
    }
    wake_.notify_all();
}

void MqttPublisher::RequeueRetainedLocked()
{
    // Outside the queue's bound: they are few (two per sensor), sent first
    // while the link is up, and dropping them would leave the plant with no
    // sensor and no alarm until each changes again.
    std::set<std::string_view> queued;
    for (const Message &m : queue_)
        if (m.retain)
            queued.insert(m.topic);
    std::deque<Message> again;
    for (const auto &[topic, payload] : retained_)
        if (!queued.count(topic))
            again.push_back(Message{topic, payload, true});
    queue_.insert(queue_.begin(), std::make_move_iterator(again.begin()), std::make_move_iterator(again.end()));
}

void MqttPublisher::Digest(const SteadySnapshot &snapshot, const SensorExtras (*extras)[kMaxFreshWindows],
                           int onlineCount)
{
    onlineCount_ = onlineCount;
    const std::string sensorTopic = config_.prefix + "/sensor/";
    // Connections that came or changed: a new generation is a new accept.
    for (int i = 0; i < snapshot.count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        SensorState &st = sensors_[v.address];
        if (st.connected && st.generation == v.generation)
            continue;
        st = SensorState{v.generation, v.peerIp, v.peerPort, true};
        Enqueue(sensorTopic + std::to_string(v.address) + "/state",
                StateJson(true, v.peerIp, v.peerPort, snapshot.utcMs), true);
    }
    // Connections that went.
    for (auto &[address, st] : sensors_) {
        if (!st.connected)
            continue;
        bool present = false;
        for (int i = 0; i < snapshot.count && !present; ++i)
            present = snapshot.sensors[i].address == address;
        if (present)
            continue;
        st.connected = false;
        Enqueue(sensorTopic + std::to_string(address) + "/state",
                StateJson(false, st.peerIp, st.peerPort, snapshot.utcMs), true);
    }
    // A window goes to the broker once: a sensor with none since its last
    // message is not sent its old values again as new.
    for (int i = 0; i < snapshot.count; ++i)
        if (snapshot.sensors[i].freshWindows > 0)
            sensors_[snapshot.sensors[i].address].unsent = true;
    if (snapshot.utcMs < nextSteadyMs_)
        return;
    // Half a tick's slack so that a 1 s interval takes every second tick
    // even when the timer fires a little early.
    const int64_t intervalMs = int64_t(config_.intervalS * 1000);
    nextSteadyMs_ = snapshot.utcMs + intervalMs - 250;
    // An interval that takes every tick sends every window, each at its own
    // time; a longer one sends the newest at each interval.
    const bool everyWindow = intervalMs - 250 <= kSteadyTickMs;
    for (int i = 0; i < snapshot.count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        SensorState &st = sensors_[v.address];
        if (!st.unsent)
            continue;
        st.unsent = false;
        const std::string topic = sensorTopic + std::to_string(v.address) + "/steady";
        const int fresh = std::clamp(v.freshWindows, 1, kMaxFreshWindows);
        for (int w = everyWindow ? 0 : fresh - 1; w < fresh; ++w) {
            if (w == fresh - 1) {
                Enqueue(topic, SteadyJson(snapshot.utcMs, v, extras[i][w]), false);
            } else {
                int64_t at = 0;
                const SteadySensorValues window = FreshWindow(v, w, snapshot.utcMs, &at);
                Enqueue(topic, SteadyJson(at, window, extras[i][w]), false);
            }
        }
    }
}

void MqttPublisher::PublishAllGone(int64_t utcMs)
{
    const std::string sensorTopic = config_.prefix + "/sensor/";
    for (auto &[address, st] : sensors_) {
        if (!st.connected)
            continue;
        st.connected = false;
        Enqueue(sensorTopic + std::to_string(address) + "/state", StateJson(false, st.peerIp, st.peerPort, utcMs),
                true);
    }
}

void MqttPublisher::Pump()
{
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (!connectedFlag_)
        return;
    if (announce_) {
        announce_ = false;
        lock.unlock();
        // After every connect: the broker may have published our will meanwhile.
        const std::string online = StatusPayload(true);
        const std::string topic = config_.prefix + "/status";
        mosquitto_publish(mosq_, nullptr, topic.c_str(), int(online.size()), online.data(), 1, true);
        lock.lock();
    }
    while (connectedFlag_ && !queue_.empty() && inFlight_ < kWindow) {
        Message m = std::move(queue_.front());
        queue_.pop_front();
        ++inFlight_;
        lock.unlock();
        const int rc = mosquitto_publish(mosq_, nullptr, m.topic.c_str(), int(m.payload.size()), m.payload.data(),
                                         config_.qos, m.retain);
        lock.lock();
        if (rc == MOSQ_ERR_SUCCESS)
            continue;
        --inFlight_;
        if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) {
            // Back to the front: it goes first once the link is up again.
            queue_.push_front(std::move(m));
            break;
        }
        dropped_.fetch_add(1);  // too large for the broker, or similar: it would never go
    }
}

void MqttPublisher::Run()
{
    using Clock = std::chrono::steady_clock;
    const auto statusPeriod = std::chrono::milliseconds(int64_t(config_.statusPeriodS * 1000));
    auto nextStatus = Clock::now() + statusPeriod;
    auto nextDropLog = Clock::now();
    bool linkWasUp = false;
    bool stopping = false;
    bool justStopped = false;
    auto stopDeadline = Clock::now();
    for (;;) {
        bool haveSnapshot = false;
        int online = 0;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            wake_.wait_until(lock, std::min(nextStatus, Clock::now() + std::chrono::milliseconds(100)), [this] {
                return stop_ || handoffFull_ ||
                       (connectedFlag_ && (announce_ || (!queue_.empty() && inFlight_ < kWindow)));
            });
            if (handoffFull_) {
                work_.utcMs = handoff_.utcMs;
                work_.count = handoff_.count;
                std::memcpy(work_.sensors, handoff_.sensors, sizeof(SteadySensorValues) * size_t(handoff_.count));
                std::memcpy(workExtras_, handoffExtras_, sizeof handoffExtras_[0] * size_t(handoff_.count));
                online = handoffOnline_;
                handoffFull_ = false;
                haveSnapshot = true;
            }
            if (stop_ && !stopping) {
                stopping = true;
                justStopped = true;
                stopDeadline = Clock::now() + std::chrono::seconds(2);
            } else if (stopping &&
                       (!connectedFlag_ || (queue_.empty() && inFlight_ <= 0) || Clock::now() > stopDeadline)) {
                return;
            }
        }
        if (haveSnapshot) {
            Digest(work_, workExtras_, online);
            digested_.fetch_add(1);
        }
        if (justStopped) {
            // Ahead of "offline": a retained state left saying "connected"
            // would tell a late subscriber of a sensor nobody watches.
            justStopped = false;
            PublishAllGone(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count());
        }
        if (Clock::now() >= nextStatus) {
            nextStatus = Clock::now() + statusPeriod;
            std::lock_guard<std::mutex> lock(queueMutex_);
            if (connectedFlag_)
                announce_ = true;  // the status refresh goes out ahead of the queue
        }
        Pump();
        // What the outage cost is told when the link is back, not up to
        // 10 s later as if the broker were still out of reach.
        const bool linkUp = state_.load() == int(MqttLinkState::kConnected);
        if (linkUp && !linkWasUp)
            nextDropLog = Clock::now();
        linkWasUp = linkUp;
        const uint64_t dropped = dropped_.load();
        if (dropped != droppedLogged_ && Clock::now() >= nextDropLog) {
            const std::string when =
                linkUp ? "与服务器 " + brokerAddress_ + " 断开期间" : "服务器 " + brokerAddress_ + " 不可达，";
            Log("MQTT：" + when + "缓冲已满，丢弃了 " + std::to_string(dropped - droppedLogged_) +
                " 条最早的消息（累计 " + std::to_string(dropped) + " 条）");
            droppedLogged_ = dropped;
            nextDropLog = Clock::now() + std::chrono::seconds(10);
        }
        const uint64_t skipped = skipped_.load();
        if (skipped != skippedLogged_ && Clock::now() >= nextDropLog) {
            Log("MQTT：发送线程未及处理，跳过了 " + std::to_string(skipped - skippedLogged_) + " 个刷新周期的数据");
            skippedLogged_ = skipped;
            nextDropLog = Clock::now() + std::chrono::seconds(10);
        }
    }
}

void MqttPublisher::NetLoop()
{
    // The network loop and every reconnect are ours: the client library
    // gives up for good on a first connect that fails and on a refused TLS
    // handshake (a certificate renewed with a mistake), and its own waits
    // between attempts cannot be cut short when the station closes.
    double backoffS = config_.reconnectMinS < 1 ? 1 : config_.reconnectMinS;
    const double maxS = config_.reconnectMaxS < 1 ? 1.0 : config_.reconnectMaxS;
    std::string told;
    bool first = true;
    for (;;) {
        int rc = first ? mosquitto_connect_async(mosq_, config_.host.c_str(), config_.port, kKeepAliveS)
                       : mosquitto_reconnect_async(mosq_);
        int linkErrno = errno;
        first = false;
        bool wasUp = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            std::chrono::steady_clock::time_point stopDeadline{};
            for (;;) {
                rc = mosquitto_loop(mosq_, 100, 1);
                if (rc != MOSQ_ERR_SUCCESS) {
                    linkErrno = errno;
                    break;
                }
                std::lock_guard<std::mutex> lock(queueMutex_);
                if (netStop_) {
                    // Long enough for the DISCONNECT that Stop() queued.
                    if (stopDeadline == std::chrono::steady_clock::time_point{})
                        stopDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
                    if (!connectedFlag_ || std::chrono::steady_clock::now() > stopDeadline)
                        break;
                }
            }
            std::lock_guard<std::mutex> lock(queueMutex_);
            connectedFlag_ = false;
            if (netStop_)
                return;
            wasUp = everConnected_;
            everConnected_ = false;
        }
        state_ = int(MqttLinkState::kConnecting);
        const std::string why = BrokerErrorText(rc, linkErrno);
        if (why != told) {  // once per cause, not at every retry
            Log("MQTT：无法连接 " + brokerAddress_ + "（" + why + "），稍后重试");
            told = why;
        }
        if (wasUp)
            backoffS = config_.reconnectMinS < 1 ? 1 : config_.reconnectMinS;
        std::unique_lock<std::mutex> lock(queueMutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(int64_t(backoffS * 1000)), [this] { return netStop_; });
        if (netStop_)
            return;
        backoffS = std::min(backoffS * 2, maxS);
    }
}

void MqttPublisher::OnConnect(struct mosquitto *, void *self, int rc)
{
    auto *p = static_cast<MqttPublisher *>(self);
    if (rc != 0) {
        p->Log("MQTT：服务器 " + p->brokerAddress_ + " 拒绝连接：" + BrokerRefusalText(rc));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(p->queueMutex_);
        p->connectedFlag_ = true;
        p->everConnected_ = true;
        p->announce_ = true;
        // Unacknowledged messages of the last connection are resent by the
        // client library itself, ahead of what we hand it now.
        p->inFlight_ = 0;
        p->RequeueRetainedLocked();
    }
    // Every connect: the session is clean, the broker forgot the last one.
    if (p->config_.remoteAck) {
        const std::string topic = AckCommandTopic(p->config_.prefix);
        if (mosquitto_subscribe(p->mosq_, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS)
            p->Log("MQTT：无法订阅 " + topic + "，暂不能远程确认报警");
    }
    p->state_ = int(MqttLinkState::kConnected);
    p->Log("MQTT：已连接 " + p->brokerAddress_);
    p->wake_.notify_all();
}

void MqttPublisher::OnDisconnect(struct mosquitto *, void *self, int rc)
{
    auto *p = static_cast<MqttPublisher *>(self);
    bool was = false;
    {
        std::lock_guard<std::mutex> lock(p->queueMutex_);
        was = p->connectedFlag_;
        p->connectedFlag_ = false;
        if (p->stop_)
            return;
    }
    p->state_ = int(MqttLinkState::kConnecting);
    if (was && rc != 0)
        p->Log("MQTT：与 " + p->brokerAddress_ + " 的连接中断，正在重新连接");
    p->wake_.notify_all();
}

void MqttPublisher::OnPublish(struct mosquitto *, void *self, int)
{
    auto *p = static_cast<MqttPublisher *>(self);
    {
        std::lock_guard<std::mutex> lock(p->queueMutex_);
        if (p->inFlight_ > 0)
            --p->inFlight_;
    }
    p->sent_.fetch_add(1);
    p->wake_.notify_all();
}

std::vector<AckCommand> MqttPublisher::TakeAckCommands()
{
    std::vector<AckCommand> taken;
    std::lock_guard<std::mutex> lock(queueMutex_);
    taken.swap(commands_);
    return taken;
}

void MqttPublisher::ReplyAck(const std::string &requestId, bool ok, const std::string &reason, int64_t utcMs)
{
    Enqueue(AckResultTopic(config_.prefix), AckResultJson(requestId, ok, reason, utcMs), false);
}

void MqttPublisher::OnMessage(struct mosquitto *, void *self, const struct mosquitto_message *message)
{
    // The client library's thread: check, queue and return; the engine's
    // own thread applies what was taken.
    auto *p = static_cast<MqttPublisher *>(self);
    if (!message->topic || AckCommandTopic(p->config_.prefix) != message->topic)
        return;  // subscribed to nothing else
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    AckCommand command;
    std::string why;
    const std::string_view payload(static_cast<const char *>(message->payload),
                                   message->payloadlen > 0 ? size_t(message->payloadlen) : 0);
    bool ok = ParseAckCommand(payload, &command, &why);
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(p->queueMutex_);
        if (ok && p->commands_.size() >= kMaxPendingCommands) {
            ok = false;
            why = "命令过多，请稍后再试";
        }
        if (ok) {
            p->commands_.push_back(std::move(command));
        } else {
            if (now / 1000 != p->refusalSecond_) {
                p->refusalSecond_ = now / 1000;
                p->refusalsThisSecond_ = 0;
            }
            tell = ++p->refusalsThisSecond_ <= kRefusalsToldPerSecond;
        }
    }
    if (ok) {
        p->commandsTaken_.fetch_add(1);
        return;
    }
    p->commandsRefused_.fetch_add(1);
    if (!tell)
        return;
    p->ReplyAck(command.requestId, false, why, now);
    p->Log("MQTT：拒绝远程确认命令：" + why);
}

}  // namespace tav
