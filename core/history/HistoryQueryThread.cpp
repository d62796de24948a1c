#include "core/history/HistoryQueryThread.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "core/history/HistoryCsv.h"

namespace tav {

namespace {

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The file is complete or absent: a failed write (full disk) removes what
// was written, so that no half file passes for an export.
bool WriteCsvFile(const HistorySeries &data, const std::string &path, bool utf8, std::string *error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    int failure = WriteHistoryCsv(fd, data, utf8);
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0) return true;
    ::unlink(path.c_str());
    *error = path + ": " + std::strerror(failure);
    return false;
}

// The alarm log goes through a temporary name: an existing file of that name
// is replaced only by a complete export.
bool WriteAlarmCsvFile(const std::vector<AlarmEvent> &events, const std::string &path, bool utf8, std::string *error)
{
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    int failure = WriteAlarmLogCsv(fd, events, utf8);
    if (failure == 0 && ::fsync(fd) != 0) failure = errno;
    if (::close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
    if (failure == 0) return true;
    ::unlink(temporary.c_str());
    *error = path + ": " + std::strerror(failure);
    return false;
}

std::mutex hookMutex;  // guards beforeRead
std::function<void()> beforeRead;

void BeforeRead()
{
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex);
        hook = beforeRead;
    }
    if (hook) hook();
}

}  // namespace

void HistoryQueryThread::SetBeforeReadHook(std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(hookMutex);
    beforeRead = std::move(hook);
}

HistoryQueryThread::HistoryQueryThread(std::string databasePath, Deliver deliver)
    : path_(std::move(databasePath)), deliver_(std::move(deliver)), thread_([this] { Run(); })
{
}

HistoryQueryThread::~HistoryQueryThread()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void HistoryQueryThread::RequestSensors()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sensorsWanted_) ++outstanding_;
        sensorsWanted_ = true;
    }
    wake_.notify_one();
}

void HistoryQueryThread::RequestSeries(const HistoryQuery &query)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!series_) ++outstanding_;
        series_ = query;
    }
    wake_.notify_one();
}

void HistoryQueryThread::RequestExport(std::shared_ptr<const HistorySeries> data, int32_t address, std::string path,
                                       bool utf8)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exports_.push_back({std::move(data), nullptr, address, std::move(path), utf8});
        ++outstanding_;
    }
    wake_.notify_one();
}

void HistoryQueryThread::RequestAlarmLog(uint64_t request, const AlarmLogFilter &filter)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!alarmLog_) ++outstanding_;
        alarmLog_ = std::make_pair(request, filter);
    }
    wake_.notify_one();
}

void HistoryQueryThread::RequestAlarmExport(std::shared_ptr<const std::vector<AlarmEvent>> data, std::string path,
                                            bool utf8)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ExportJob job;
        job.alarms = std::move(data);
        job.path = std::move(path);
        job.utf8 = utf8;
        exports_.push_back(std::move(job));
        ++outstanding_;
    }
    wake_.notify_one();
}

int HistoryQueryThread::Outstanding() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return outstanding_;
}

void HistoryQueryThread::Run()
{
    for (;;) {
        bool sensors = false;
        std::optional<HistoryQuery> series;
        std::optional<std::pair<uint64_t, AlarmLogFilter>> alarmLog;
        std::vector<ExportJob> exports;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || sensorsWanted_ || series_ || alarmLog_ || !exports_.empty(); });
            if (stop_) return;
            sensors = sensorsWanted_;
            sensorsWanted_ = false;
            series.swap(series_);
            alarmLog.swap(alarmLog_);
            exports.swap(exports_);
        }
        // Each answer is counted off only after its delivery, so that an
        // owner that sees nothing outstanding has every answer posted.
        auto hand = [this](std::unique_ptr<HistoryAnswer> answer) {
            deliver_(std::move(answer));
            std::lock_guard<std::mutex> lock(mutex_);
            --outstanding_;
        };
        if (sensors) hand(AnswerSensors());
        // Exports first: the operator waits for the file, and the data they
        // write are already in hand.
        for (const ExportJob &job : exports) hand(AnswerExport(job));
        if (series) hand(AnswerSeries(*series));
        if (alarmLog) hand(AnswerAlarmLog(alarmLog->first, alarmLog->second));
    }
}

bool HistoryQueryThread::OpenReader(std::string *error)
{
    if (reader_ && reader_->IsOpen()) return true;
    // Opened at first use and again after a failure: the database may only
    // appear once the station has written its first batch, or be replaced
    // after it was found broken.
    reader_ = std::make_unique<HistoryReader>();
    if (reader_->Open(path_, error)) return true;
    reader_.reset();
    return false;
}

std::unique_ptr<HistoryAnswer> HistoryQueryThread::AnswerSensors()
{
    auto answer = std::make_unique<HistoryAnswer>();
    answer->kind = HistoryAnswer::kSensors;
    BeforeRead();
    const auto start = std::chrono::steady_clock::now();
    if (OpenReader(&answer->error)) {
        answer->sensors = reader_->Sensors();
        answer->ok = true;
    }
    answer->elapsedMs = MsSince(start);
    return answer;
}

std::unique_ptr<HistoryAnswer> HistoryQueryThread::AnswerSeries(const HistoryQuery &query)
{
    auto answer = std::make_unique<HistoryAnswer>();
    answer->kind = HistoryAnswer::kSeries;
    answer->query = query;
    BeforeRead();
    const auto start = std::chrono::steady_clock::now();
    if (OpenReader(&answer->error)) {
        answer->ok = reader_->Read(query.address, query.fromUtcMs, query.toUtcMs, query.resolution, &answer->series);
        if (!answer->ok) {
            answer->error = "读取历史数据失败";
            reader_.reset();
        }
    }
    answer->elapsedMs = MsSince(start);
    return answer;
}

std::unique_ptr<HistoryAnswer> HistoryQueryThread::AnswerExport(const ExportJob &job)
{
    auto answer = std::make_unique<HistoryAnswer>();
    answer->kind = job.alarms ? HistoryAnswer::kAlarmExport : HistoryAnswer::kExport;
    answer->exportPath = job.path;
    answer->query.address = job.address;
    const auto start = std::chrono::steady_clock::now();
    if (job.alarms)
        answer->ok = WriteAlarmCsvFile(*job.alarms, job.path, job.utf8, &answer->error);
    else
        answer->ok = job.data && WriteCsvFile(*job.data, job.path, job.utf8, &answer->error);
    answer->elapsedMs = MsSince(start);
    return answer;
}

}  // namespace tav

namespace tav {

std::unique_ptr<HistoryAnswer> HistoryQueryThread::AnswerAlarmLog(uint64_t request, const AlarmLogFilter &filter)
{
    auto answer = std::make_unique<HistoryAnswer>();
    answer->kind = HistoryAnswer::kAlarmLog;
    answer->query.request = request;
    answer->alarmFilter = filter;
    BeforeRead();
    const auto start = std::chrono::steady_clock::now();
    if (OpenReader(&answer->error)) {
        auto events = std::make_shared<std::vector<AlarmEvent>>();
        answer->ok = reader_->AlarmEvents(filter, events.get(), &answer->alarmsTruncated) &&
                     reader_->AlarmAddresses(&answer->alarmAddresses);
        answer->alarms = std::move(events);
        if (!answer->ok) {
            answer->error = "读取报警记录失败";
            reader_.reset();
        }
    }
    answer->elapsedMs = MsSince(start);
    return answer;
}

}  // namespace tav
