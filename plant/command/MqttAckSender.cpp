#include "plant/command/MqttAckSender.h"

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

namespace tav::plant {

namespace {

std::string IsoNow()
{
    const auto now = std::chrono::system_clock::now();
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t s = std::time_t(ms / 1000);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000));
    return text;
}

}  // namespace

MqttAckSender::MqttAckSender(PublishFn publish) : publish_(std::move(publish))
{
    // Request ids differ across restarts of the service, so a station's
    // memory of answered ids never mistakes a new request for an old one.
    std::random_device random;
    seed_ = (uint64_t(random()) << 32) ^ random();
}

void MqttAckSender::NoteStation(std::string_view station, std::string_view prefix)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = prefixes_.find(station);
    if (it == prefixes_.end())
        prefixes_.emplace(std::string(station), std::string(prefix));
    else if (it->second != prefix)
        it->second = std::string(prefix);
}

bool MqttAckSender::Send(const std::string &station, uint64_t alarmId, const std::string &user,
                         const std::string &comment, std::string *requestId)
{
    if (alarmId == 0 || alarmId > uint64_t(INT64_MAX) || user.empty() || user.size() > kMaxAckUserBytes ||
        comment.size() > kMaxAckCommentBytes)
        return false;
    std::string prefix, id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = prefixes_.find(station);
        if (it == prefixes_.end())
            return false;
        prefix = it->second;
        char text[40];
        std::snprintf(text, sizeof text, "%016llx-%llu", static_cast<unsigned long long>(seed_),
                      static_cast<unsigned long long>(++counter_));
        id = text;
    }
    nlohmann::json command = {{"alarm_id", alarmId}, {"user", user},     {"comment", comment},
                              {"request_id", id},    {"time", IsoNow()}};
    // A name or remark that is not UTF-8 would make an invalid payload.
    std::string payload;
    try {
        payload = command.dump();
    } catch (const nlohmann::json::exception &) {
        return false;
    }
    if (!publish_ || !publish_(prefix + "/command/ack", payload))
        return false;
    sent_.fetch_add(1);
    if (requestId)
        *requestId = id;
    return true;
}

}  // namespace tav::plant
