#include "core/history/HistoryCsv.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/base/TextInput.h"
#include "core/record/CsvExport.h"
#include "core/steady/SteadyLog.h"

namespace tav {

namespace {

constexpr size_t kFlushBytes = 1u << 20;

int WriteAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= size_t(n);
    }
    return 0;
}

std::string Encode(const std::string &utf8, bool toUtf8) { return toUtf8 ? utf8 : Utf8ToGbk(utf8); }

// Local time of whole minutes: the zone's rules change only on minute
// boundaries, so one conversion serves a minute of entries.
class LocalMinuteCache {
public:
    void Format(int64_t utcMs, char *out)
    {
        int64_t seconds = utcMs >= 0 ? utcMs / 1000 : -((-utcMs + 999) / 1000);
        const int ms = int(utcMs - seconds * 1000);
        int64_t minute = seconds >= 0 ? seconds / 60 : -((-seconds + 59) / 60);
        const int sec = int(seconds - minute * 60);
        if (minute != minute_) {
            minute_ = minute;
            std::time_t t = std::time_t(minute * 60);
            std::tm tm{};
            localtime_r(&t, &tm);
            std::snprintf(prefix_, sizeof prefix_, "%04d-%02d-%02d %02d:%02d:", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min);
        }
        std::memcpy(out, prefix_, 17);
        out[17] = char('0' + sec / 10);
        out[18] = char('0' + sec % 10);
        out[19] = '.';
        out[20] = char('0' + ms / 100);
        out[21] = char('0' + ms / 10 % 10);
        out[22] = char('0' + ms % 10);
    }

private:
    int64_t minute_ = INT64_MIN;
    char prefix_[80] = {};
};

// A value the sensor did not have yet (NaN) is an empty field.
char *Value(char *out, float v) { return std::isnan(v) ? out : FormatG(out, double(v)); }

}  // namespace

void FormatHistoryTime(int64_t utcMs, char *out)
{
    LocalMinuteCache cache;
    cache.Format(utcMs, out);
    out[23] = ' ';
}

std::string SlowColumnTitle(int series)
{
    static const char *const kTitles[3] = {"烈度2-1000Hz(mm/s)", "位移有效值2-1000Hz(um)", "区域判定(1速度2位移)"};
    static const char *const kAxes[3] = {"X", "Y", "Z"};
    return series >= 0 && series < kSlowHistorySeries ? std::string(kAxes[series % 3]) + kTitles[series / 3]
                                                      : std::string();
}

std::string HistoryCsvHeader(HistoryResolution resolution, bool utf8, bool slow)
{
    std::string header = "时间";
    for (int s = 0; s < kSteadySeriesCount; ++s) {
        const std::string title = SteadyColumnTitle(s);
        if (resolution == HistoryResolution::kRaw)
            header += "," + title;
        else
            header += "," + title + "_min," + title + "_mean," + title + "_max";
    }
    for (int s = 0; slow && resolution != HistoryResolution::kRaw && s < kSlowHistorySeries; ++s) {
        const std::string title = SlowColumnTitle(s);
        header += "," + title + "_min," + title + "_mean," + title + "_max";
    }
    return Encode(header, utf8) + "\r\n";
}

int WriteHistoryCsv(int fd, const HistorySeries &series, bool utf8)
{
    const bool aggregate = series.resolution != HistoryResolution::kRaw;
    const bool slow = aggregate && series.HasSlow();
    std::string buffer = HistoryCsvHeader(series.resolution, utf8, slow);
    // The line ends of the station's CSV files are CR LF in either encoding.
    const size_t maxLine = 24 + size_t(kSteadySeriesCount + kSlowHistorySeries) * 3 * (kMaxGChars + 1) + 2;
    buffer.reserve(kFlushBytes + maxLine);
    LocalMinuteCache clock;
    const size_t n = series.Size();
    for (size_t i = 0; i < n; ++i) {
        const size_t at = buffer.size();
        buffer.resize(at + maxLine);
        char *p = buffer.data() + at;
        clock.Format(series.utcMs[i], p);
        p += 23;
        for (int s = 0; s < kSteadySeriesCount; ++s) {
            if (aggregate) {
                *p++ = ',';
                p = Value(p, series.min[size_t(s)][i]);
                *p++ = ',';
                p = Value(p, series.mean[size_t(s)][i]);
                *p++ = ',';
                p = Value(p, series.max[size_t(s)][i]);
            } else {
                *p++ = ',';
                p = Value(p, series.mean[size_t(s)][i]);
            }
        }
        for (int s = 0; slow && s < kSlowHistorySeries; ++s) {
            *p++ = ',';
            p = Value(p, series.slowMin[size_t(s)][i]);
            *p++ = ',';
            p = Value(p, series.slowMean[size_t(s)][i]);
            *p++ = ',';
            p = Value(p, series.slowMax[size_t(s)][i]);
        }
        *p++ = '\r';
        *p++ = '\n';
        buffer.resize(size_t(p - buffer.data()));
        if (buffer.size() >= kFlushBytes) {
            if (int err = WriteAll(fd, buffer.data(), buffer.size()))
                return err;
            buffer.clear();
        }
    }
    return WriteAll(fd, buffer.data(), buffer.size());
}

int WriteHistoryEventsCsv(int fd, const std::vector<HistoryEvent> &events, bool utf8)
{
    std::string text = "时间,地址,事件,详情\r\n";
    for (const HistoryEvent &e : events) {
        char when[24];
        FormatHistoryTime(e.utcMs, when);
        const char *kind = e.kind == HistoryEventKind::kConnected      ? "连接"
                           : e.kind == HistoryEventKind::kDisconnected ? "断开"
                                                                       : "采样频率改变";
        text += std::string(when, 23) + "," + std::to_string(e.address) + "," + kind + "," + e.detail + "\r\n";
    }
    const std::string out = Encode(text, utf8);
    return WriteAll(fd, out.data(), out.size());
}

namespace {
// A field as CSV wants it: quoted, with its quotes doubled, when it holds a
// separator, a quote or a line end (operators' comments and names may).
void AppendField(std::string *line, const std::string &field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        *line += field;
        return;
    }
    *line += '"';
    for (char c : field) {
        if (c == '"')
            *line += '"';
        *line += c;
    }
    *line += '"';
}

void AppendNumber(std::string *line, double v)
{
    if (!std::isfinite(v))
        return;
    char text[kMaxGChars];
    *line += std::string(text, size_t(FormatG(text, v) - text));
}
}  // namespace

const char *const kAlarmLogCsvHeader = "时间,地址,设备名称,轴,参数,数值,限值,级别,事件,备注";

int WriteAlarmLogCsv(int fd, const std::vector<AlarmEvent> &events, bool utf8)
{
    std::string text = std::string(kAlarmLogCsvHeader) + "\r\n";
    LocalMinuteCache clock;
    for (const AlarmEvent &e : events) {
        char when[24];
        clock.Format(e.utcMs, when);
        text.append(when, 23);
        text += ',' + std::to_string(e.address) + ',';
        AppendField(&text, e.name);
        text += ',';
        text += AxisText(e.axis);
        text += ',';
        text += QuantityText(e.quantity);
        text += ',';
        // An offline alarm has neither; older logs stored the seconds since
        // the last packet and the 10 s watch as if they were.
        const bool offline = e.severity == AlarmSeverity::kOffline;
        AppendNumber(&text, offline ? NAN : e.value);
        text += ',';
        AppendNumber(&text, offline ? NAN : e.limit);
        text += ',';
        text += SeverityText(e.severity);
        text += ',';
        text += EventKindText(e.kind);
        text += ',';
        AppendField(&text, EventRemark(e));
        text += "\r\n";
        if (text.size() >= kFlushBytes) {
            const std::string out = Encode(text, utf8);
            if (int err = WriteAll(fd, out.data(), out.size()))
                return err;
            text.clear();
        }
    }
    const std::string out = Encode(text, utf8);
    return WriteAll(fd, out.data(), out.size());
}

std::string HistoryDamageText(const HistoryDamagedBlock &block)
{
    static const char *const kKind[] = {"原始数据", "分钟数据", "小时数据"};
    const int kind = int(block.resolution);
    char first[24], last[24];
    FormatHistoryTime(block.firstUtcMs, first);
    FormatHistoryTime(block.lastUtcMs, last);
    return "传感器 " + std::to_string(block.address) + "，" + std::string(first, 23) + " 至 " + std::string(last, 23) +
           "（" + kKind[kind >= 0 && kind < 3 ? kind : 0] + "，" + std::to_string(block.entries) + " 条）";
}

bool ParseHistoryResolution(const std::string &text, int64_t fromUtcMs, int64_t toUtcMs, HistoryResolution *out)
{
    if (text == "raw")
        *out = HistoryResolution::kRaw;
    else if (text == "minute")
        *out = HistoryResolution::kMinute;
    else if (text == "hour")
        *out = HistoryResolution::kHour;
    else if (text == "auto")
        *out = HistoryReader::AutoResolution(fromUtcMs, toUtcMs);
    else
        return false;
    return true;
}

bool ParseHistoryTime(const std::string &text, int64_t nowUtcMs, int64_t *utcMs, bool *outOfRange)
{
    if (outOfRange)
        *outOfRange = false;
    auto before1970 = [&] {
        if (outOfRange)
            *outOfRange = true;
        return false;
    };
    if (text.size() >= 3 && text[0] == '-') {
        char unit = text.back();
        const std::string digits = text.substr(1, text.size() - 2);
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const int64_t n = std::stoll(digits);
        int64_t scale = 0;
        switch (unit) {
        case 's': scale = 1000; break;
        case 'm': scale = 60'000; break;
        case 'h': scale = 3'600'000; break;
        case 'd': scale = 86'400'000; break;
        default: return false;
        }
        if (nowUtcMs - n * scale < 0)
            return before1970();
        *utcMs = nowUtcMs - n * scale;
        return true;
    }
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char tail = 0;
    int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &year, &month, &day, &hour, &minute,
                             &second, &tail);
    if (!(fields == 3 || fields == 5 || fields == 6))
        return false;
    if (fields == 3 && text.size() != 10)
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 || year < 0)
        return false;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (year < 1970 && tm.tm_mday == day)
        return before1970();
    if (t == std::time_t(-1) || tm.tm_mday != day)
        return false;
    if (t < 0)
        return before1970();  // the first hours of 1970 east of Greenwich
    *utcMs = int64_t(t) * 1000;
    return true;
}

bool ReadExportOptions(int argc, char **argv, int first, std::initializer_list<const char *> valued,
                       std::map<std::string, std::string> *options, bool *utf8, std::string *error)
{
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--utf8" && utf8) {
            *utf8 = true;
            continue;
        }
        bool known = false;
        for (const char *name : valued)
            known = known || arg == name;
        if (!known) {
            *error = "未知的选项 " + arg;
            return false;
        }
        if (i + 1 >= argc) {
            *error = "选项 " + arg + " 缺少值";
            return false;
        }
        (*options)[arg] = argv[++i];
    }
    return true;
}

}  // namespace tav
