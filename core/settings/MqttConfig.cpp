#include "core/settings/MqttConfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tav {

std::string MqttConfig::BrokerAddress() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return std::string(tls ? "mqtts://" : "mqtt://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

size_t MqttConfig::QueueBound() const
{
    if (maxQueued > 0)
        return maxQueued;
    // Every slot's steady message per interval, and room for the states,
    // status and alarms that come with them.
    const double perMinute = 60.0 / (intervalS > 0 ? intervalS : 1) * 41 + 60;
    const double bound = perMinute * (bufferMinutes > 0 ? bufferMinutes : 0);
    return bound < 100 ? 100 : size_t(bound);
}

bool ParseBrokerUrl(const std::string &url, std::string *host, int *port, bool *tls, std::string *error)
{
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        *tls = false;
        *port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        *tls = true;
        *port = 8883;
        rest = url.substr(8);
    } else {
        *error = "应以 mqtt:// 或 mqtts:// 开头";
        return false;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find_first_of("/?#@ ") != std::string::npos) {
        *error = "只能包含主机和端口（用户名与密码另行设置）";
        return false;
    }
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) {
            *error = "IPv6 地址缺少 ]";
            return false;
        }
        *host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                *error = "主机后应为 :端口";
                return false;
            }
            portText = rest.substr(close + 2);
            if (portText.empty()) {
                *error = "端口应为 1 到 65535";
                return false;
            }
        }
    } else {
        const size_t colon = rest.find(':');
        *host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                *error = "端口应为 1 到 65535";
                return false;
            }
        }
    }
    if (host->empty()) {
        *error = "缺少主机名";
        return false;
    }
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(portText) < 1 || std::stoi(portText) > 65535) {
            *error = "端口应为 1 到 65535";
            return false;
        }
        *port = std::stoi(portText);
    }
    return true;
}

bool ValidTopicPrefix(const std::string &prefix)
{
    if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos || prefix.find('\0') != std::string::npos)
        return false;
    // Leading, trailing or doubled '/' would make an empty level.
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        return false;
    return true;
}

std::string ExpandPlaceholders(const std::string &text, const std::string &hostname, int port)
{
    std::string out = text;
    auto replace = [&out](const std::string &key, const std::string &value) {
        for (size_t at = out.find(key); at != std::string::npos; at = out.find(key, at + value.size()))
            out.replace(at, key.size(), value);
    };
    replace("<hostname>", hostname);
    replace("<port>", std::to_string(port));
    return out;
}

bool ResolveMqttConfig(const MqttSettings &settings, const std::string &hostname, int stationPort,
                       MqttConfig *out, std::vector<std::string> *messages)
{
    auto fail = [messages](const std::string &text) {
        if (messages)
            messages->push_back("MQTT：" + text + "，不启用 MQTT");
        return false;
    };
    MqttConfig c;
    std::string error;
    if (!ParseBrokerUrl(settings.url, &c.host, &c.port, &c.tls, &error))
        return fail("服务器地址 " + settings.url + " " + error);
    // A host name with '/' or '+' would split the prefix into other levels.
    std::string safeHost = hostname;
    for (char &ch : safeHost)
        if (ch == '/' || ch == '+' || ch == '#')
            ch = '_';
    c.prefix = ExpandPlaceholders(settings.topicPrefix, safeHost, stationPort);
    if (!ValidTopicPrefix(c.prefix))
        return fail("主题前缀 \"" + c.prefix + "\" 不可用（不能为空，也不能含 + # 或空的层级）");
    c.clientId = ExpandPlaceholders(settings.clientId, hostname, stationPort);
    if (c.clientId.empty())
        return fail("client_id 不能为空");
    c.username = settings.username;
    if (!settings.passwordFile.empty()) {
        if (c.username.empty())
            return fail("设置了 password_file 却没有 username");
        std::ifstream in(settings.passwordFile, std::ios::binary);
        if (!in)
            return fail("无法读取密码文件 " + settings.passwordFile + "：" + std::strerror(errno));
        std::ostringstream text;
        text << in.rdbuf();
        c.password = text.str();
        // One line, as `echo secret > file` writes it.
        while (!c.password.empty() && (c.password.back() == '\n' || c.password.back() == '\r'))
            c.password.pop_back();
        if (c.password.empty())
            return fail("密码文件 " + settings.passwordFile + " 是空的");
    }
    c.insecure = settings.insecure;
    c.caFile = settings.caFile;
    if (c.tls) {
        if (!c.caFile.empty()) {
            std::ifstream ca(c.caFile);
            if (!ca)
                return fail("无法读取 CA 证书文件 " + c.caFile + "：" + std::strerror(errno));
        } else if (!c.insecure) {
            return fail("mqtts:// 需要 ca_file 来验证服务器的证书（或明确设置 insecure = true）");
        }
        if (c.insecure && messages)
            messages->push_back("MQTT：警告：insecure = true，不验证服务器 " + c.host +
                                " 的证书，数据可能被冒充的服务器截取");
    } else if (!c.password.empty() && messages) {
        messages->push_back("MQTT：警告：密码经未加密的 mqtt:// 发送，建议使用 mqtts://");
    }
    c.qos = settings.qos;
    c.intervalS = settings.intervalS;
    c.bufferMinutes = settings.bufferMinutes;
    c.remoteAck = settings.remoteAck;
    // Without an account the broker cannot tell the plant's service from
    // anyone else on the network who publishes an acknowledgement.
    if (c.remoteAck && c.username.empty() && messages)
        messages->push_back("MQTT：警告：remote_ack = true 但未设置 username，代理无法限制谁能远程确认报警");
    c.stationPort = stationPort;
    *out = c;
    return true;
}

}  // namespace tav
