#include "core/net/ConnectionLog.h"

#include <cstdio>

#include "core/net/EventSink.h"

namespace tav {

namespace {
struct TimeOfDay {
    int hour = 0, minute = 0, second = 0;
};

// Seconds since the epoch as local time of day; 0 (nothing received yet)
// prints as 00:00:00 rather than the zone's offset from the epoch.
TimeOfDay LocalTimeOfDay(std::time_t t)
{
    TimeOfDay d;
    std::tm tm{};
    if (t != 0 && localtime_r(&t, &tm)) {
        d.hour = tm.tm_hour;
        d.minute = tm.tm_min;
        d.second = tm.tm_sec;
    }
    return d;
}
}  // namespace

int ConnectionLog::OnConnectionEvent(int64_t ret, int64_t code, std::time_t now)
{
    const TimeOfDay t = LocalTimeOfDay(now);
    const int r = int(ret);
    char line[256];
    switch (code) {
    case kEventReceiveFailed: {
        ++abnormalCloses_;
        std::snprintf(line, sizeof line, "异常断开,第%d次,ret=%d 时间%.2d:%.2d:%.2d", abnormalCloses_, r, t.hour,
                      t.minute, t.second);
        Append(line);
        const TimeOfDay last = LocalTimeOfDay(std::time_t(table_.lastReceiveTime.load()));
        std::snprintf(line, sizeof line, "最后一次接收数据长度,ret=%d 时间  %.2d:%.2d:%.2d",
                      table_.lastReceiveLength.load(), last.hour, last.minute, last.second);
        Append(line);
        return 2;
    }
    case kEventTransientError:
        ++transientErrors_;
        std::snprintf(line, sizeof line, "正常继续,第%d次,ret=%d 时间%.2d:%.2d:%.2d", transientErrors_, r, t.hour,
                      t.minute, t.second);
        Append(line);
        return 1;
    case kEventPeerClosed:
        ++peerCloses_;
        std::snprintf(line, sizeof line, "sock关闭,第%d次,ret=%d 时间%.2d:%.2d:%.2d", peerCloses_, r, t.hour,
                      t.minute, t.second);
        Append(line);
        return 1;
    case kEventEstablished:
        ++established_;
        std::snprintf(line, sizeof line, "建立连接,第%d次, 时间%.2d:%.2d:%.2d", established_, t.hour, t.minute,
                      t.second);
        Append(line);
        return 1;
    default:
        return 0;
    }
}

void ConnectionLog::AppendNote(const std::string &text, std::time_t now)
{
    const TimeOfDay t = LocalTimeOfDay(now);
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, " 时间%.2d:%.2d:%.2d", t.hour, t.minute, t.second);
    Append(text + suffix);
}

std::string ConnectionLog::Text() const
{
    std::string text;
    for (const auto &line : lines_) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void ConnectionLog::Append(std::string line)
{
    if (lines_.size() >= kMaxLines)
        lines_.pop_front();
    lines_.push_back(std::move(line));
    ++totalAppended_;
}

}  // namespace tav
