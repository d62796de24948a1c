#include "core/mqtt/MqttCommands.h"

#include <nlohmann/json.hpp>

#include "core/mqtt/Json.h"

namespace tav {

namespace {

using json = nlohmann::json;

// A command is one flat object; anything deeper is refused before the
// parser sees it, whatever it would cost to build.
bool FlatObject(std::string_view text)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '{' || c == '[') {
            if (++depth > 1)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// No control characters: a name or remark goes into logs and CSV rows.
bool PlainText(const std::string &text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

// An id is echoed to whoever asked: printable ASCII only.
bool PlainId(const std::string &text)
{
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7f)
            return false;
    return true;
}

}  // namespace

std::string AckCommandTopic(const std::string &prefix) { return prefix + "/command/ack"; }
std::string AckResultTopic(const std::string &prefix) { return prefix + "/command/ack/result"; }

bool ParseAckCommand(std::string_view payload, AckCommand *out, std::string *why)
{
    *out = AckCommand{};
    auto refuse = [why](const std::string &text) {
        *why = text;
        return false;
    };
    if (payload.size() > kMaxCommandBytes)
        return refuse("命令过长（" + std::to_string(payload.size()) + " 字节）");
    if (!FlatObject(payload))
        return refuse("命令嵌套过深");
    // Invalid UTF-8 is a parse error too.
    const json doc = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
        return refuse("命令不是 JSON 对象");
    // The id first, so that every later refusal can be answered by name.
    if (auto it = doc.find("request_id"); it != doc.end() && !it->is_null()) {
        if (!it->is_string())
            return refuse("request_id 应为字符串");
        const std::string &id = it->get_ref<const std::string &>();
        if (id.size() > kMaxRequestIdBytes || !PlainId(id))
            return refuse("request_id 过长或含不可见字符");
        out->requestId = id;
    }
    auto id = doc.find("alarm_id");
    if (id == doc.end())
        return refuse("缺少 alarm_id");
    // Whole numbers only: 12.0 or "12" is a sender's mistake, not an id.
    if (id->is_number_unsigned())
        out->alarmId = id->get<uint64_t>();
    else if (!id->is_number_integer() || id->get<int64_t>() <= 0)
        return refuse("alarm_id 应为正整数");
    if (out->alarmId == 0)
        return refuse("alarm_id 应为正整数");
    auto user = doc.find("user");
    if (user == doc.end() || !user->is_string() || user->get_ref<const std::string &>().empty())
        return refuse("缺少 user");
    out->user = user->get<std::string>();
    if (out->user.size() > kMaxCommandUserBytes || !PlainText(out->user))
        return refuse("user 过长或含控制字符");
    if (auto c = doc.find("comment"); c != doc.end() && !c->is_null()) {
        if (!c->is_string())
            return refuse("comment 应为字符串");
        out->comment = c->get<std::string>();
        // A remark typed in a box of several lines reads as one here, like
        // the station's own.
        for (char &ch : out->comment)
            if (ch == '\n' || ch == '\r' || ch == '\t')
                ch = ' ';
        if (out->comment.size() > kMaxCommandCommentBytes || !PlainText(out->comment))
            return refuse("comment 过长或含控制字符");
    }
    if (auto t = doc.find("time"); t != doc.end() && !t->is_null() && !t->is_string())
        return refuse("time 应为字符串");
    return true;
}

std::string AckResultJson(const std::string &requestId, bool ok, const std::string &reason, int64_t utcMs)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("request_id").String(requestId);
    w.Key("ok").Bool(ok);
    w.Key("reason").String(reason);
    w.Key("time").String(IsoUtcMs(utcMs));
    w.EndObject();
    return w.Take();
}

}  // namespace tav
