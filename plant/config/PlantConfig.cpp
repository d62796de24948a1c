#include "plant/config/PlantConfig.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/settings/MqttConfig.h"
#include "core/settings/TableReader.h"
#include "plant/config/MailTable.h"

namespace tav::plant {

namespace {

// A prefix to follow: plain topic levels, where only the last may be "+".
bool ValidFollowPrefix(const std::string &prefix)
{
    if (prefix.empty() || prefix.find('#') != std::string::npos)
        return false;
    const size_t slash = prefix.rfind('/');
    const std::string head = slash == std::string::npos ? "" : prefix.substr(0, slash);
    const std::string last = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    if (last.empty() || (last != "+" && last.find('+') != std::string::npos))
        return false;
    return head.empty() ? slash == std::string::npos : ValidTopicPrefix(head);
}

// [web] and its [[web.user]] entries; a bad user is left out, never
// let in with a guessed role.
void ReadWeb(const toml::table &root, const std::string &name, WebConfig *w, std::vector<std::string> *messages)
{
    const toml::table *table = SubTable(root, "web", name, messages);
    if (!table)
        return;
    TableReader web(table, "web", name, messages);
    std::string listen = "127.0.0.1:8080";
    web.String("listen", &listen);
    web.Boolean("secure_cookies", &w->secureCookies);
    web.Integer("session_minutes", 5, 7 * 24 * 60, &w->sessionMinutes);
    web.String("session_file", &w->sessionFile);
    web.Integer("threads", 8, 512, &w->threads);
    const toml::node *users = web.Find("user");
    web.ReportUnknown();
    const size_t colon = listen.rfind(':');
    const std::string portText = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (listen == "0" || listen.empty()) {
        w->listen.clear();
    } else if (colon == std::string::npos || colon == 0 || portText.empty() || portText.size() > 5 ||
               portText.find_first_not_of("0123456789") != std::string::npos || std::stoi(portText) < 1 ||
               std::stoi(portText) > 65535) {
        messages->push_back(name + "：[web] listen 应为 \"地址:端口\"，网页服务不启动");
        w->listen.clear();
    } else {
        w->listen = listen;
        w->host = listen.substr(0, colon);
        if (w->host.size() > 2 && w->host.front() == '[' && w->host.back() == ']')
            w->host = w->host.substr(1, w->host.size() - 2);
        w->port = std::stoi(portText);
    }
    if (!users)
        return;
    const toml::array *array = users->as_array();
    if (!array || !array->is_array_of_tables()) {
        messages->push_back(name + " 第" + std::to_string(users->source().begin.line) +
                            "行：[[web.user]] 应为表的数组，略去");
        return;
    }
    for (const toml::node &item : *array) {
        WebUser u;
        TableReader user(item.as_table(), "web.user", name, messages);
        user.String("name", &u.name);
        user.String("role", &u.role);
        user.String("password_hash", &u.passwordHash);
        user.ReportUnknown();
        const std::string line = std::to_string(item.source().begin.line);
        bool taken = false;
        for (const WebUser &other : w->users)
            taken = taken || other.name == u.name;
        const bool plain = std::all_of(u.name.begin(), u.name.end(), [](char c) { return (unsigned char)c > ' '; });
        if (u.name.empty() || u.name.size() > 64 || !plain || taken)
            messages->push_back(name + " 第" + line + "行：[[web.user]] name 为空、过长、含空白或重复，略去此用户");
        else if (u.role != "viewer" && u.role != "operator")
            messages->push_back(name + " 第" + line + "行：[[web.user]] role 应为 \"viewer\" 或 \"operator\"，略去用户 " + u.name);
        else if (u.passwordHash.rfind("$argon2id$", 0) != 0)
            messages->push_back(name + " 第" + line + "行：[[web.user]] password_hash 应为 Argon2id 散列"
                                "（tavenor-plant hash-password），略去用户 " + u.name);
        else
            w->users.push_back(u);
    }
}

}  // namespace

bool ParsePlantConfig(const std::string &text, const std::string &name, PlantConfig *config,
                      std::vector<std::string> *messages)
{
    toml::parse_result parsed = toml::parse(text, name);
    if (!parsed) {
        const toml::parse_error &error = parsed.error();
        messages->push_back(name + " 第" + std::to_string(error.source().begin.line) + "行：TOML 格式有误（" +
                            std::string(error.description()) + "）");
        return false;
    }
    const toml::table &root = parsed.table();
    bool ok = true;

    BrokerConfig &b = config->broker;
    TableReader broker(SubTable(root, "broker", name, messages), "broker", name, messages);
    broker.String("url", &b.url);
    broker.String("client_id", &b.clientId);
    broker.String("username", &b.username);
    broker.String("password_file", &b.passwordFile);
    broker.String("ca_file", &b.caFile);
    broker.String("cert_file", &b.certFile);
    broker.String("key_file", &b.keyFile);
    broker.Boolean("insecure", &b.insecure);
    broker.Strings("prefixes", &b.prefixes);
    broker.ReportUnknown();
    std::string error;
    if (!ParseBrokerUrl(b.url, &b.host, &b.port, &b.tls, &error)) {
        messages->push_back(name + "：[broker] url " + error);
        ok = false;
    }
    std::vector<std::string> prefixes;
    for (const std::string &p : b.prefixes) {
        if (ValidFollowPrefix(p))
            prefixes.push_back(p);
        else
            messages->push_back(name + "：[broker] prefixes 中的 \"" + p + "\" 不是有效的主题前缀，略去");
    }
    b.prefixes = prefixes;
    if (b.prefixes.empty()) {
        messages->push_back(name + "：[broker] prefixes 没有可用的前缀");
        ok = false;
    }
    if (b.clientId.empty() || b.clientId.size() > 128) {
        messages->push_back(name + "：[broker] client_id 应为 1 到 128 个字符");
        ok = false;
    }
    if (b.tls && b.caFile.empty() && !b.insecure) {
        messages->push_back(name + "：[broker] mqtts:// 需要 ca_file，或设 insecure = true");
        ok = false;
    }
    if (b.certFile.empty() != b.keyFile.empty()) {
        messages->push_back(name + "：[broker] cert_file 与 key_file 须同时设置");
        ok = false;
    }
    if (!b.passwordFile.empty()) {
        std::ifstream in(b.passwordFile, std::ios::binary);
        if (!in) {
            messages->push_back(name + "：无法读取密码文件 " + b.passwordFile + "：" + std::strerror(errno));
            ok = false;
        } else {
            std::getline(in, config->password);
            while (!config->password.empty() && config->password.back() == '\r')
                config->password.pop_back();
        }
    }

    DatabaseConfig &d = config->database;
    TableReader database(SubTable(root, "database", name, messages), "database", name, messages);
    database.String("conninfo", &d.conninfo);
    database.Integer("buffer_rows", 1000, 100000000, &d.bufferRows);
    database.Integer("batch_interval_ms", 50, 60000, &d.batchIntervalMs);
    database.ReportUnknown();

    RetentionConfig &r = config->retention;
    TableReader retention(SubTable(root, "retention", name, messages), "retention", name, messages);
    retention.Integer("full_days", 1, 3650, &r.fullDays);
    retention.Integer("minute_days", 1, 36500, &r.minuteDays);
    retention.Integer("hour_days", 1, 365000, &r.hourDays);
    retention.ReportUnknown();
    // Each coarser level outlives the finer one it is built from, so that
    // a late row never lands in an aggregate partition already dropped.
    if (r.minuteDays < r.fullDays) {
        messages->push_back(name + "：[retention] minute_days 不应短于 full_days，使用 " + std::to_string(r.fullDays));
        r.minuteDays = r.fullDays;
    }
    if (r.hourDays < r.minuteDays) {
        messages->push_back(name + "：[retention] hour_days 不应短于 minute_days，使用 " + std::to_string(r.minuteDays));
        r.hourDays = r.minuteDays;
    }

    ReadWeb(root, name, &config->web, messages);
    if (!ParseMailConfig(root, name, &config->mail, messages))
        ok = false;

    for (const auto &[key, node] : root) {
        const std::string_view k = key.str();
        if (k != "broker" && k != "database" && k != "retention" && k != "web" && k != "mail")
            messages->push_back(name + " 第" + std::to_string(node.source().begin.line) + "行：未知的表 " +
                                std::string(k) + "，略去");
    }
    return ok;
}

bool ReadPlantConfig(const std::string &path, PlantConfig *config, std::vector<std::string> *messages)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        messages->push_back("无法读取 " + path + "：" + std::strerror(errno));
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParsePlantConfig(text.str(), path, config, messages);
}

}  // namespace tav::plant
