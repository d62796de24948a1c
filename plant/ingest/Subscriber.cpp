#include "plant/ingest/Subscriber.h"

#include <mosquitto.h>

#include "plant/config/Log.h"

namespace tav::plant {

Subscriber::Subscriber(const PlantConfig &config, Sink sink) : config_(config), sink_(std::move(sink)) {}

Subscriber::~Subscriber()
{
    Stop();
    if (mosq_)
        mosquitto_destroy(mosq_);
}

std::vector<std::string> Subscriber::Filters(const std::string &prefix)
{
    return {prefix + "/status", prefix + "/alarm", prefix + "/sensor/+/steady", prefix + "/sensor/+/state",
            prefix + "/sensor/+/alarm"};
}

bool Subscriber::Start(std::string *error)
{
    mosquitto_lib_init();
    const BrokerConfig &b = config_.broker;
    mosq_ = mosquitto_new(b.clientId.c_str(), false, this);
    if (!mosq_) {
        *error = "无法创建 MQTT 客户端";
        return false;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    int rc = MOSQ_ERR_SUCCESS;
    if (!b.username.empty())
        rc = mosquitto_username_pw_set(mosq_, b.username.c_str(),
                                       config_.password.empty() ? nullptr : config_.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && b.tls) {
        rc = mosquitto_tls_set(mosq_, b.caFile.empty() ? nullptr : b.caFile.c_str(),
                               b.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               b.certFile.empty() ? nullptr : b.certFile.c_str(),
                               b.keyFile.empty() ? nullptr : b.keyFile.c_str(), nullptr);
        if (rc == MOSQ_ERR_SUCCESS && b.insecure) {
            mosquitto_tls_insecure_set(mosq_, true);
            Log("警告：[broker] insecure = true，不验证代理服务器的证书");
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("MQTT 客户端设置失败：") + mosquitto_strerror(rc);
        return false;
    }
    mosquitto_connect_callback_set(mosq_, &Subscriber::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &Subscriber::OnDisconnect);
    mosquitto_message_callback_set(mosq_, [](mosquitto *, void *self, const mosquitto_message *m) {
        auto *s = static_cast<Subscriber *>(self);
        s->sink_(m->topic, std::string_view(static_cast<const char *>(m->payload), size_t(m->payloadlen)),
                 m->retain);
    });
    mosquitto_reconnect_delay_set(mosq_, 1, 10, true);
    rc = mosquitto_connect_async(mosq_, b.host.c_str(), b.port, 30);
    if (rc != MOSQ_ERR_SUCCESS)
        Log(std::string("MQTT 连接 ") + b.url + " 失败（" + mosquitto_strerror(rc) + "），稍后重试");
    rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = std::string("MQTT 网络线程无法启动：") + mosquitto_strerror(rc);
        return false;
    }
    started_ = true;
    return true;
}

void Subscriber::Stop()
{
    if (!started_)
        return;
    started_ = false;
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
}

bool Subscriber::Publish(const std::string &topic, const std::string &payload, int qos)
{
    if (!mosq_ || !connected_.load())
        return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), qos, false) ==
           MOSQ_ERR_SUCCESS;
}

void Subscriber::OnConnect(mosquitto *m, void *self, int rc)
{
    auto *s = static_cast<Subscriber *>(self);
    if (rc != 0) {
        Log(std::string("MQTT 代理拒绝连接：") + mosquitto_connack_string(rc));
        return;
    }
    s->connected_ = true;
    Log("MQTT 已连接 " + s->config_.broker.url);
    for (const std::string &prefix : s->config_.broker.prefixes)
        for (const std::string &filter : Filters(prefix))
            if (mosquitto_subscribe(m, nullptr, filter.c_str(), 1) != MOSQ_ERR_SUCCESS)
                Log("订阅 " + filter + " 失败");
}

void Subscriber::OnDisconnect(mosquitto *, void *self, int rc)
{
    auto *s = static_cast<Subscriber *>(self);
    if (s->connected_.exchange(false) && rc != 0)
        Log("MQTT 连接断开，重新连接中 …");
}

}  // namespace tav::plant
