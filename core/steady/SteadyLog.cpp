#include "core/steady/SteadyLog.h"

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace tav {

namespace {

// Header titles of the 21 axis columns, in series order.
const char *const kAxisNames[3] = {"X轴", "Y轴", "Z轴"};
const char *const kParameterTitles[kSteadyParameterCount] = {
    "加速度有效值", "加速度峰值", "加速度峭度系数", "速度有效值", "速度峰值", "位移有效值", "位移峰值",
};

// The files are read by spreadsheet tools that expect the GBK code page.
std::string Utf8ToGbk(const std::string &utf8)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == iconv_t(-1))
        return utf8;
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *dst = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1))
        return utf8;
    out.resize(out.size() - outLeft);
    return out;
}

std::tm LocalTime(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace

std::string SteadyColumnTitle(int series)
{
    if (series == kSpeedSeries)
        return "rpm";
    return std::string(kAxisNames[SeriesAxis(series)]) + kParameterTitles[SeriesParameter(series)];
}

SteadyLog::SteadyLog(SteadyTable &steady, Clock clock) : steady_(steady), clock_(std::move(clock))
{
    std::string header = "时间";
    for (int series = 0; series < kSteadySeriesCount; ++series)
        header += "," + SteadyColumnTitle(series);
    header += "\r\n";
    header_ = Utf8ToGbk(header);
}

SteadyLog::~SteadyLog() { Stop(); }

std::time_t SteadyLog::Now() const { return clock_ ? clock_() : std::time(nullptr); }

std::vector<std::string> SteadyLog::Start(const ConnectionTable &table, const std::string &folder)
{
    folder_ = folder;
    for (bool &r : reported_)
        r = false;
    for (int slot = 0; slot < kSlotCount; ++slot) {
        int r = steady_.BoundRecord(table, slot);
        if (r >= 0 && !steady_.Record(r).logOpen)
            Open(r);
    }
    logging_ = true;
    std::vector<std::string> messages;
    TakeMessages(&messages);
    return messages;
}

std::vector<std::string> SteadyLog::Stop()
{
    for (int i = 0; i < kSteadyRecordCount; ++i)
        Close(i);
    logging_ = false;
    std::vector<std::string> messages;
    TakeMessages(&messages);
    return messages;
}

void SteadyLog::Close(int i)
{
    SteadyRecord &r = steady_.Record(i);
    if (r.logStream) {
        if (std::fclose(r.logStream) != 0)
            Report(i, "写入稳态数据文件" + path_[i] + "失败：" + std::strerror(errno));
    }
    r.logStream = nullptr;
    r.logOpen = 0;
    path_[i].clear();
}

void SteadyLog::Report(int i, const std::string &text)
{
    if (reported_[i])
        return;
    reported_[i] = true;
    pending_.push_back(text);
}

bool SteadyLog::Open(int i)
{
    SteadyRecord &r = steady_.Record(i);
    const std::time_t now = Now();
    const std::tm tm = LocalTime(now);
    char name[128];
    std::snprintf(name, sizeof name, "稳态%.4d-_%4d-%.2d-%.2d-%.2d-%.2d-%.2d", int(r.address), tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    const std::string base = folder_ + "/" + name;
    // Stopping and starting within one second gives the same name: the new
    // file gets a suffix rather than truncating the one just closed.
    std::string path = base + ".csv";
    int fd = -1;
    for (int n = 2; n < 1000; ++n) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            break;
        path = base + "_" + std::to_string(n) + ".csv";
    }
    std::FILE *f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (!f) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        Report(i, "无法创建稳态数据文件" + path + "：" + std::strerror(err));
        return false;
    }
    r.logStream = f;
    r.logOpen = 1;
    path_[i] = path;
    lastFlush_[i] = now;
    if (std::fwrite(header_.data(), 1, header_.size(), f) != header_.size() || std::fflush(f) != 0)
        Report(i, "写入稳态数据文件" + path + "失败：" + std::strerror(errno));
    return true;
}

void SteadyLog::WriteRow(int i)
{
    if (!logging_)
        return;
    SteadyRecord &r = steady_.Record(i);
    if (!r.logOpen && !Open(i))
        return;  // retried on the next tick
    const std::time_t now = Now();
    const std::tm tm = LocalTime(now);
    char line[512];
    int n = std::snprintf(line, sizeof line, "%4d-%.2d-%.2d-%.2d-%.2d-%.2d", tm.tm_year + 1900, tm.tm_mon + 1,
                          tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    // A value not measured yet (NaN) is an empty field.
    for (int series = 0; series < kSteadySeriesCount; ++series) {
        const float v = r.Current(series);
        n += std::isnan(v) ? std::snprintf(line + n, sizeof line - size_t(n), ",")
                           : std::snprintf(line + n, sizeof line - size_t(n), ",%g", double(v));
    }
    n += std::snprintf(line + n, sizeof line - size_t(n), ",\r\n");
    if (std::fwrite(line, 1, size_t(n), r.logStream) != size_t(n))
        Report(i, "写入稳态数据文件" + path_[i] + "失败：" + std::strerror(errno));
}

void SteadyLog::RecordTakenOver(int i) { Close(i); }

void SteadyLog::TakeMessages(std::vector<std::string> *messages)
{
    if (pending_.empty())
        return;
    // One box for a tick's failures, not one per sensor.
    std::string text;
    for (const auto &m : pending_)
        text += (text.empty() ? "" : "\n") + m;
    pending_.clear();
    if (messages)
        messages->push_back(std::move(text));
}

void SteadyLog::EndTick(std::vector<std::string> *messages)
{
    // A crash loses at most the last second of rows, also of a sensor that
    // has gone and writes no more.
    const std::time_t now = Now();
    for (int i = 0; i < kSteadyRecordCount; ++i) {
        SteadyRecord &r = steady_.Record(i);
        if (!r.logOpen || now == lastFlush_[i])
            continue;
        lastFlush_[i] = now;
        if (std::fflush(r.logStream) != 0)
            Report(i, "写入稳态数据文件" + path_[i] + "失败：" + std::strerror(errno));
    }
    TakeMessages(messages);
}

}  // namespace tav
