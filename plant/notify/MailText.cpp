#include "plant/notify/MailText.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>

namespace tav::plant {

namespace {

const char *SeverityLabel(const std::string &severity)
{
    static const std::map<std::string, const char *> kLabels = {
        {"alert", "预警/Alert"},     {"danger", "危险/Danger"},
        {"offline", "离线/Offline"}, {"change", "变化/Change"},
        {"sensor_fault", "传感器异常/Sensor fault"},
    };
    const auto it = kLabels.find(severity);
    return it == kLabels.end() ? nullptr : it->second;
}

const char *Unit(const std::string &quantity)
{
    static const std::map<std::string, const char *> kUnits = {
        {"velocity", "mm/s"},        {"acceleration_rms", "g"}, {"acceleration_peak", "g"},
        {"displacement_peak", "mm"}, {"displacement_rms", "µm"}, {"temperature", "°C"},
        {"speed_deviation", "%"},
    };
    const auto it = kUnits.find(quantity);
    return it == kUnits.end() ? "" : it->second;
}

std::string Number(double v)
{
    char text[64];
    if (std::fabs(v) >= 1000)
        std::snprintf(text, sizeof text, "%.0f", v);
    else
        std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

std::string MachineName(const StoredAlarm &a)
{
    return a.name.empty() ? "传感器 " + std::to_string(a.address) : a.name;
}

// The station's quantity text without its band ("速度有效值(10-1000Hz)").
std::string ShortQuantity(const StoredAlarm &a)
{
    std::string q = a.quantityText.empty() ? a.quantity : a.quantityText;
    if (a.quantity != "speed_deviation")
        q = q.substr(0, q.find('('));
    return q;
}

std::string AxisText(const std::string &axis)
{
    if (axis == "x" || axis == "y" || axis == "z")
        return std::string(1, char(axis[0] - 'a' + 'A')) + "轴";
    return "";
}

std::string LocalTime(int64_t utcMs)
{
    const time_t t = time_t(utcMs / 1000);
    struct tm local {};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

// The Date header in RFC 5322's English, whatever the service's locale.
std::string DateHeader(int64_t utcMs)
{
    static const char *const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t t = time_t(utcMs / 1000);
    struct tm u {};
    gmtime_r(&t, &u);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[u.tm_wday], u.tm_mday,
                  kMonths[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
    return text;
}

std::string Base64(const std::string &in)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    for (size_t i = 0; i < in.size(); i += 3) {
        const uint32_t n = uint32_t(uint8_t(in[i])) << 16 |
                           (i + 1 < in.size() ? uint32_t(uint8_t(in[i + 1])) << 8 : 0) |
                           (i + 2 < in.size() ? uint32_t(uint8_t(in[i + 2])) : 0);
        out += kAlphabet[n >> 18 & 63];
        out += kAlphabet[n >> 12 & 63];
        out += i + 1 < in.size() ? kAlphabet[n >> 6 & 63] : '=';
        out += i + 2 < in.size() ? kAlphabet[n & 63] : '=';
    }
    return out;
}

// A header value in RFC 2047 words of whole UTF-8 characters, folded so
// that no line passes 78 characters.
std::string EncodedWords(const std::string &text)
{
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + 45);
        while (end < text.size() && (uint8_t(text[end]) & 0xC0) == 0x80)
            --end;
        out += (out.empty() ? "" : "\r\n ") + std::string("=?UTF-8?B?") + Base64(text.substr(start, end - start)) +
               "?=";
        start = end;
    }
    return out;
}

// Text lines as the mail's body: LF to CRLF, in base64 lines of 76.
std::string Body(const std::string &text)
{
    std::string crlf;
    for (char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    const std::string b = Base64(crlf);
    std::string out;
    for (size_t i = 0; i < b.size(); i += 76)
        out += b.substr(i, 76) + "\r\n";
    return out;
}

std::string Message(const MailConfig &config, const std::string &to, const std::string &subject,
                    const std::string &text, int64_t nowMs)
{
    static std::atomic<uint64_t> serial{0};
    const std::string domain = config.from.substr(config.from.find('@') + 1);
    return "From: " + config.from + "\r\nTo: " + to + "\r\nSubject: " + EncodedWords(subject) +
           "\r\nDate: " + DateHeader(nowMs) + "\r\nMessage-ID: <" + std::to_string(nowMs) + "." +
           std::to_string(serial.fetch_add(1)) + ".tavenor-plant@" + domain +
           ">\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=UTF-8\r\n"
           "Content-Transfer-Encoding: base64\r\nAuto-Submitted: auto-generated\r\n\r\n" +
           Body(text);
}

// One alarm's lines in a mail, the link last.
std::string AlarmLines(const std::string &baseUrl, const StoredAlarm &a)
{
    if (a.address < 0)
        return "站点/Station：" + a.station + "\n时间/Time：" + LocalTime(a.utcMs) +
               "\n说明/Note：站点程序已退出或网络中断，其传感器的状态与报警不再更新。\n" +
               (baseUrl.empty() ? "" : baseUrl + "/\n");
    std::string text = "站点/Station：" + a.station + "\n机器/Machine：" + MachineName(a) + "（地址 " +
                       std::to_string(a.address) + "）\n时间/Time：" + LocalTime(a.utcMs) + "\n";
    if (a.severity != "offline") {
        text += "参数/Quantity：" + ShortQuantity(a) + (a.axis.empty() ? "" : " " + AxisText(a.axis)) + "\n";
        if (a.hasValue && a.severity != "sensor_fault")
            text += "数值/Value：" + Number(a.value) + " " + Unit(a.quantity) + "\n";
        if (a.hasLimit)
            text += "限值/Limit：" + Number(a.limit) + " " + Unit(a.quantity) + "\n";
    }
    if (!a.comment.empty())
        text += "说明/Note：" + a.comment + "\n";
    const std::string link = MachineLink(baseUrl, a);
    if (!link.empty())
        text += link + "\n";
    return text;
}

}  // namespace

bool MailWorthy(const StoredAlarm &alarm)
{
    return (alarm.event == "raise" || alarm.event == "offline") && SeverityLabel(alarm.severity);
}

std::vector<std::string> Recipients(const std::vector<MailRule> &rules, const StoredAlarm &a)
{
    auto holds = [](const auto &list, const auto &value) {
        return list.empty() || std::find(list.begin(), list.end(), value) != list.end();
    };
    std::vector<std::string> to;
    for (const MailRule &rule : rules) {
        // A station gone offline concerns every machine of it.
        if (!holds(rule.stations, a.station) || (a.address >= 0 && !holds(rule.addresses, a.address)) ||
            !holds(rule.severities, a.severity))
            continue;
        for (const std::string &address : rule.to)
            if (std::find(to.begin(), to.end(), address) == to.end())
                to.push_back(address);
    }
    return to;
}

std::string AlarmSubject(const StoredAlarm &a)
{
    const char *label = SeverityLabel(a.severity);
    if (a.address < 0)
        return "[" + std::string(label ? label : a.severity) + "] " + a.station + " 站点离线";
    std::string s = "[" + std::string(label ? label : a.severity) + "] " + a.station + " " + MachineName(a);
    if (a.severity == "offline")
        return s + " 离线";
    s += " " + ShortQuantity(a);
    if (!a.axis.empty())
        s += " " + AxisText(a.axis);
    if (a.hasValue && a.severity != "sensor_fault") {
        s += " " + Number(a.value);
        if (*Unit(a.quantity))
            s += std::string(" ") + Unit(a.quantity);
    }
    return s;
}

std::string MachineLink(const std::string &baseUrl, const StoredAlarm &a)
{
    if (baseUrl.empty() || a.address < 0)
        return "";
    std::string station;
    for (unsigned char c : a.station) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            station += char(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            station += hex;
        }
    }
    return baseUrl + "/machine/" + station + "/" + std::to_string(a.address);
}

std::string AlarmMail(const MailConfig &config, const std::string &to, const StoredAlarm &alarm, int64_t nowMs)
{
    return Message(config, to, AlarmSubject(alarm), AlarmSubject(alarm) + "\n\n" + AlarmLines(config.baseUrl, alarm),
                   nowMs);
}

std::string DigestSubject(const std::vector<StoredAlarm> &alarms, int64_t total)
{
    // The worst first: a danger among many alerts must show in the inbox.
    static const char *const kOrder[] = {"danger", "offline", "alert", "sensor_fault", "change"};
    std::string counts;
    for (const char *severity : kOrder) {
        const auto n = std::count_if(alarms.begin(), alarms.end(),
                                     [&](const StoredAlarm &a) { return a.severity == severity; });
        if (n)
            counts += std::string(counts.empty() ? "" : "，") + SeverityLabel(severity) + " " + std::to_string(n);
    }
    return "[报警汇总/Digest] " + std::to_string(total) + " 条报警/alarms（" + counts + "）";
}

std::string DigestMail(const MailConfig &config, const std::string &to, const std::vector<StoredAlarm> &alarms,
                       int64_t total, int64_t nowMs)
{
    const std::string subject = DigestSubject(alarms, total);
    std::string text = subject + "\n\n";
    for (const StoredAlarm &a : alarms)
        text += AlarmSubject(a) + "\n" + AlarmLines(config.baseUrl, a) + "\n";
    if (total > int64_t(alarms.size()))
        text += "另有 " + std::to_string(total - int64_t(alarms.size())) + " 条报警未列出，请在页面上查看。\n";
    return Message(config, to, subject, text, nowMs);
}

}  // namespace tav::plant
