#include "core/settings/StationSettings.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "core/settings/MqttConfig.h"
#include "core/settings/SensorTables.h"
#include "core/settings/SettingsText.h"
#include "core/settings/TableReader.h"

namespace tav {

namespace {

// [mqtt]: a url that cannot be used turns the link off rather than pointing
// it somewhere unintended; a prefix must stay a plain, non-empty topic level.
void ReadMqtt(const toml::table &root, const std::string &fileName, std::vector<std::string> *messages,
              MqttSettings *mqtt)
{
    const toml::table *table = SubTable(root, "mqtt", fileName, messages);
    TableReader reader(table, "mqtt", fileName, messages);
    auto complain = [&](const char *key, const std::string &what) {
        if (!messages)
            return;
        const toml::node *node = table ? table->get(key) : nullptr;
        const int line = node ? int(node->source().begin.line) : 0;
        messages->push_back(fileName + " 第" + std::to_string(line) + "行：[mqtt] " + key + " " + what);
    };
    reader.String("url", &mqtt->url);
    if (!mqtt->url.empty()) {
        std::string host, error;
        int port = 0;
        bool tls = false;
        if (!ParseBrokerUrl(mqtt->url, &host, &port, &tls, &error)) {
            complain("url", error + "，不启用 MQTT");
            mqtt->url.clear();
        }
    }
    const MqttSettings defaults;
    reader.String("topic_prefix", &mqtt->topicPrefix);
    if (!ValidTopicPrefix(mqtt->topicPrefix)) {
        complain("topic_prefix", "不能为空，也不能含 + # 或空的层级，使用 \"" + defaults.topicPrefix + "\"");
        mqtt->topicPrefix = defaults.topicPrefix;
    }
    reader.String("client_id", &mqtt->clientId);
    if (mqtt->clientId.empty()) {
        complain("client_id", "不能为空，使用 \"" + defaults.clientId + "\"");
        mqtt->clientId = defaults.clientId;
    }
    reader.String("username", &mqtt->username);
    reader.String("password_file", &mqtt->passwordFile);
    reader.String("ca_file", &mqtt->caFile);
    reader.Boolean("insecure", &mqtt->insecure);
    reader.Integer("qos", 0, 2, &mqtt->qos);
    reader.Number("interval_s", 0.5, 3600, &mqtt->intervalS);
    reader.Integer("buffer_minutes", 0, 1440, &mqtt->bufferMinutes);
    reader.Boolean("remote_ack", &mqtt->remoteAck);
    reader.ReportUnknown();
}

// "...，使用默认设置" at start; a reload says what it keeps instead.
constexpr const char *kUseDefaults = "使用默认设置";

}  // namespace

StationSettings ParseStationSettings(const std::string &text, const std::string &name,
                                     std::vector<std::string> *messages, const char *ifUnreadable)
{
    StationSettings settings;
    auto unreadable = [&](int line, const std::string &why) {
        if (messages)
            messages->push_back(name + " 第" + std::to_string(line) + "行：" + why + "，无法读取设置文件，" +
                                (ifUnreadable ? ifUnreadable : kUseDefaults));
        settings.readable = false;
        return settings;
    };
    // Editors on other systems may start the file with a byte-order mark.
    const bool bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::string body = bom ? text.substr(3) : text;
    if (const int line = settings_text::BadUtf8Line(body))
        return unreadable(line, "不是有效的 UTF-8 编码（文件可能以 GBK 等编码保存，请改存为 UTF-8）");
    const settings_text::ReaderText readable = settings_text::ForReader(body);
    if (readable.badLine)
        return unreadable(readable.badLine, readable.why);
    toml::parse_result parsed = toml::parse(readable.text, name);
    if (!parsed) {
        const toml::parse_error &error = parsed.error();
        return unreadable(int(error.source().begin.line), "TOML 格式有误（" + std::string(error.description()) + "）");
    }
    const toml::table &root = parsed.table();

    TableReader history(SubTable(root, "history", name, messages), "history", name, messages);
    history.Boolean("enabled", &settings.history.enabled);
    history.Integer("raw_days", 1, 3650, &settings.history.rawDays);
    history.Integer("minute_days", 1, 36500, &settings.history.minuteDays);
    history.Integer("hour_years", 1, 100, &settings.history.hourYears);
    history.ReportUnknown();

    const toml::table *accessTable = SubTable(root, "access", name, messages);
    TableReader access(accessTable, "access", name, messages);
    access.Number("garbage_timeout_s", 0.1, 86400, &settings.access.garbageTimeoutS);
    access.Number("idle_evict_s", 0.1, 86400, &settings.access.idleEvictS);
    access.Strings("allow", &settings.access.allow);
    // Given but unreadable (a wrong type, items left out) still restricts:
    // an allow list never turns into "everyone" by a mistake in it.
    settings.access.allowGiven = accessTable && accessTable->get("allow");
    access.String("bind", &settings.access.bind);
    access.ReportUnknown();

    ReadMqtt(root, name, messages, &settings.mqtt);

    TableReader capture(SubTable(root, "capture", name, messages), "capture", name, messages);
    capture.Number("pre_s", 0, kMaxCaptureLeadS, &settings.capture.preS);
    capture.Number("post_s", 0, kMaxCaptureS, &settings.capture.postS);
    capture.ReportUnknown();

    TableReader alarm(SubTable(root, "alarm", name, messages), "alarm", name, messages);
    alarm.Boolean("sound", &settings.notice.sound);
    alarm.ReportUnknown();

    TableReader window(SubTable(root, "window", name, messages), "window", name, messages);
    window.Boolean("overview", &settings.window.overview);
    window.ReportUnknown();

    ReadSensors(root, name, messages, settings.capture.preS, &settings.sensors);
    for (const auto &[key, node] : root) {
        const std::string_view k = key.str();
        if (k == "history" || k == "access" || k == "mqtt" || k == "capture" || k == "alarm" || k == "window" || k == "sensor" || !messages)
            continue;
        const int line = int(key.source().begin.line ? key.source().begin.line : node.source().begin.line);
        messages->push_back(name + " 第" + std::to_string(line) + "行：" +
                            (node.is_table() ? "未知的表 [" + std::string(k) + "]" : "未知的键 " + std::string(k)) +
                            "，略去");
    }
    return settings;
}

StationSettings LoadStationSettings(const std::string &path, std::vector<std::string> *messages,
                                    const char *ifUnreadable)
{
    // A file that is there but cannot be read is not an empty file: taken
    // as one, a reload would drop every machine's limits without a word.
    std::string text, error;
    bool existed = false;
    if (!ReadSettingsText(path, &text, &existed, &error)) {
        if (messages)
            messages->push_back(error + "，" + (ifUnreadable ? ifUnreadable : kUseDefaults));
        StationSettings settings;
        settings.readable = false;
        return settings;
    }
    if (!existed)
        return {};
    const size_t slash = path.find_last_of('/');
    return ParseStationSettings(text, slash == std::string::npos ? path : path.substr(slash + 1), messages,
                                ifUnreadable);
}

}  // namespace tav
