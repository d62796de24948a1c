#include "core/history/HistoryWriter.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "core/base/ThreadName.h"
#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryCsv.h"
#include "core/history/HistoryReader.h"
#include "core/history/HistorySchema.h"
#include "core/history/HistoryStore.h"

namespace tav {

namespace {
// Every commit rewrites the index pages of each sensor's newest entries,
// whatever it adds: ten seconds a commit keeps the bytes written within a
// few times what the file grows. Alarm events do not wait for it.
constexpr auto kBatchEvery = std::chrono::milliseconds(kHistoryCommitEveryMs);
constexpr auto kRetryEvery = std::chrono::seconds(2);
constexpr size_t kDamageLinesTold = 20;  // a badly damaged file does not flood the log

// Copies only the valid part of a snapshot: the window thread's cost stays
// proportional to the sensors bound.
void CopySnapshot(const SteadySnapshot &from, SteadySnapshot &to)
{
    to.utcMs = from.utcMs;
    to.count = from.count;
    std::memcpy(to.sensors, from.sensors, sizeof(SteadySensorValues) * size_t(from.count));
}

bool Exists(const std::string &path)
{
    struct stat sb {};
    return ::stat(path.c_str(), &sb) == 0;
}
}  // namespace

HistoryWriter::HistoryWriter(const HistoryWriterOptions &options, EventSink &sink)
    : options_(options),
      sink_(sink),
      store_(std::make_unique<HistoryStore>(options.settings)),
      ring_(std::make_unique<SteadySnapshot[]>(size_t(options.queueCapacity > 0 ? options.queueCapacity : 1))),
      capacity_(options.queueCapacity > 0 ? options.queueCapacity : 1),
      batch_(std::make_unique<SteadySnapshot[]>(size_t(capacity_)))
{
    refills_.reserve(kSteadyRecordCount);
    alarmCapacity_ = options.alarmQueueCapacity > 0 ? options.alarmQueueCapacity : 1;
    alarmRing_ = std::make_unique<AlarmEvent[]>(size_t(alarmCapacity_));
    alarmBatch_ = std::make_unique<AlarmEvent[]>(size_t(alarmCapacity_));
    // Room for the usual texts, so that queueing an event does not allocate.
    for (int i = 0; i < alarmCapacity_; ++i) {
        alarmRing_[size_t(i)].name.reserve(64);
        alarmRing_[size_t(i)].comment.reserve(128);
        alarmRing_[size_t(i)].capture.reserve(128);
    }
}

HistoryWriter::~HistoryWriter() { Stop(); }

std::string HistoryWriter::DatabasePath() const { return options_.dataFolder + "/" + kHistoryFileName; }

void HistoryWriter::Message(const std::string &text)
{
    sink_.Post(StationEvent::Text(kMessageEvent, text.c_str()));
}

void HistoryWriter::LogLine(const std::string &text)
{
    sink_.Post(StationEvent::Text(kLogLineEvent, text.c_str()));
}

bool HistoryWriter::Start()
{
    if (thread_.joinable())
        return true;
    // Two stations writing one file would interleave their batches and
    // their pruning; the second one keeps its history off instead.
    const std::string lockPath = DatabasePath() + ".lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool held = lockFd_ >= 0 && errno == EWOULDBLOCK;
        const std::string why = held ? "同一文件夹中的另一个站点正在写入" : std::strerror(errno);
        if (lockFd_ >= 0)
            ::close(lockFd_);
        lockFd_ = -1;
        Message("历史数据库 " + DatabasePath() + " 无法使用（" + why + "），本站点不记录历史数据");
        LogLine("历史数据未记录：" + why);
        return false;
    }
    {
        std::lock_guard lock(queueMutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] {
        NameThisThread("tav history");
        Run();
    });
    return true;
}

void HistoryWriter::Stop()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard lock(queueMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    progress_.notify_all();
    thread_.join();
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

void HistoryWriter::OnSteadySnapshot(const SteadySnapshot &snapshot)
{
    std::unique_lock lock(queueMutex_);
    for (int i = 0; i < bindCount_ && requestCount_ < kSteadyRecordCount; ++i) {
        requests_[requestCount_] = binds_[i];
        requests_[requestCount_++].bindUtcMs = snapshot.utcMs;
    }
    const bool requested = bindCount_ > 0;
    bindCount_ = 0;
    if (size_ == capacity_ && options_.waitWhenFull)
        progress_.wait(lock, [&] { return size_ < capacity_ || stop_ || failing_.load(); });
    if (size_ == capacity_) {
        dropped_.fetch_add(1);
        return;
    }
    CopySnapshot(snapshot, ring_[size_t((head_ + size_) % capacity_)]);
    ++size_;
    ++pushed_;
    if (requested || size_ >= capacity_ / 2)
        wake_.notify_one();
}

void HistoryWriter::OnAlarmEvent(const AlarmEvent &event)
{
    std::lock_guard lock(queueMutex_);
    if (alarmSize_ == alarmCapacity_) {
        droppedAlarms_.fetch_add(1);
        return;
    }
    alarmRing_[size_t((alarmHead_ + alarmSize_) % alarmCapacity_)] = event;
    ++alarmSize_;
    ++alarmPushed_;
    if (alarmSize_ == 1)
        wake_.notify_one();
}

void HistoryWriter::OnCaptureLost(const std::string &path, const std::string &note)
{
    AlarmEvent e;
    e.captureLost = true;
    e.capture = path;
    e.comment = note;
    OnAlarmEvent(e);
}

void HistoryWriter::RecordBound(int record, int32_t address, uint64_t bindTick)
{
    if (bindCount_ < kSteadyRecordCount)
        binds_[bindCount_++] = {record, address, bindTick, 0};
}

std::unique_ptr<HistoryRefill> HistoryWriter::TakeRefill()
{
    std::lock_guard lock(refillMutex_);
    if (refills_.empty())
        return nullptr;
    std::unique_ptr<HistoryRefill> r = std::move(refills_.back());
    refills_.pop_back();
    return r;
}

void HistoryWriter::Flush()
{
    std::unique_lock lock(queueMutex_);
    if (!thread_.joinable())
        return;
    const uint64_t target = pushed_;
    const uint64_t alarmTarget = alarmPushed_;
    ++flushWaiters_;
    wake_.notify_one();
    progress_.wait(lock,
                   [&] { return (done_ >= target && alarmDone_ >= alarmTarget) || failing_.load() || stop_; });
    --flushWaiters_;
}

void HistoryWriter::SetMaxPageCount(int64_t pages)
{
    maxPageCount_.store(pages);
    std::lock_guard lock(queueMutex_);
    wake_.notify_one();
}

void HistoryWriter::MoveAside(const std::string &why)
{
    const std::string path = DatabasePath();
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string aside = path + ".broken-" + stamp;
    for (int n = 2; Exists(aside) && n < 100; ++n)
        aside = path + ".broken-" + stamp + "-" + std::to_string(n);
    std::string text;
    if (::rename(path.c_str(), aside.c_str()) != 0) {
        text = "历史数据库 " + path + " 无法使用（" + why + "），且无法移开：" + std::strerror(errno);
    } else {
        // The journal belongs to the damaged file; the shared-memory index is rebuilt.
        ::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
        ::unlink((path + "-shm").c_str());
        text = "历史数据库 " + path + " 无法使用（" + why + "），已移至 " + aside + "，新建历史数据库";
    }
    Message(text);
    LogLine(text);
}

bool HistoryWriter::OpenDatabase()
{
    std::string error;
    HistoryOpenResult rc = store_->Open(DatabasePath(), &error);
    if (rc == HistoryOpenResult::kDamaged) {
        MoveAside(error);
        rc = store_->Open(DatabasePath(), &error);
    }
    if (rc == HistoryOpenResult::kOk)
        return true;
    if (!failing_.exchange(true)) {
        Message("无法打开历史数据库 " + DatabasePath() + "：" + error +
                "。采集、显示和记录不受影响，历史数据在可以写入后自动继续");
        LogLine("历史数据写入失败：" + error);
    }
    return false;
}

void HistoryWriter::ServeRefills()
{
    RefillRequest requests[kSteadyRecordCount];
    int count = 0;
    {
        std::lock_guard lock(queueMutex_);
        count = requestCount_;
        std::copy(requests_, requests_ + count, requests);
        requestCount_ = 0;
    }
    for (int i = 0; i < count; ++i) {
        auto refill = std::make_unique<HistoryRefill>();
        refill->record = requests[i].record;
        refill->address = requests[i].address;
        refill->bindTick = requests[i].bindTick;
        if (!store_->IsOpen() || !store_->ReadRefill(refill->address, requests[i].bindUtcMs, refill->byAge))
            continue;
        std::lock_guard lock(refillMutex_);
        refills_.push_back(std::move(refill));
    }
}

void HistoryWriter::ReportDamage()
{
    const std::vector<HistoryDamagedBlock> found = store_->TakeDamaged();
    const bool firstFind = damageTold_.empty();
    size_t fresh = 0;
    const HistoryDamagedBlock *first = nullptr;
    for (const HistoryDamagedBlock &b : found) {
        if (!damageTold_.emplace(int(b.resolution), b.address, b.firstUtcMs, b.lastUtcMs).second)
            continue;
        if (!first)
            first = &b;
        ++fresh;
        if (damageTold_.size() <= kDamageLinesTold)
            LogLine("历史数据块无法解码，已跳过：" + HistoryDamageText(b));
        else if (damageTold_.size() == kDamageLinesTold + 1)
            LogLine("历史数据库中还有更多无法解码的数据块，均已跳过，不再逐一列出");
    }
    if (!first || !firstFind)
        return;
    // One message per run; the log names every run (up to the limit).
    Message("历史数据库 " + DatabasePath() + " 中有 " + std::to_string(fresh) + " 个数据块无法解码（" +
            HistoryDamageText(*first) + (fresh > 1 ? " 等" : "") + "），已跳过；其余历史数据照常读取和记录");
}

void HistoryWriter::Run()
{
    // Before any alarm of this run: a capture the log names that is not
    // there was cut off by the end of the last run.
    if (OpenDatabase()) {
        const int lost = ForgetMissingCaptures(store_->Db(), "未能保存报警录波");
        if (lost > 0)
            LogLine("报警记录中有 " + std::to_string(lost) +
                    " 个报警录波文件因上次运行中断未能保存，已从报警记录中去掉");
    }
    uint64_t droppedReported = 0;
    uint64_t droppedAlarmsReported = 0;
    uint64_t droppedAtFailure = 0;
    int64_t lastUtcMs = 0;  // of the newest snapshot stored: the time of the closing events
    auto lastAttempt = std::chrono::steady_clock::now();
    std::unique_lock lock(queueMutex_);
    for (;;) {
        const auto due = lastAttempt + (failing_.load() ? std::chrono::duration_cast<std::chrono::milliseconds>(kRetryEvery)
                                                         : kBatchEvery);
        wake_.wait_until(lock, due, [&] {
            return stop_ || requestCount_ > 0 || maxPageCount_.load() >= 0 ||
                   (!failing_.load() && (size_ > 0 || alarmSize_ > 0) &&
                    (flushWaiters_ > 0 || size_ >= capacity_ / 2 || alarmSize_ > 0));
        });
        const bool stopping = stop_;
        const int n = size_;
        const int head = head_;
        const int m = alarmSize_;
        const int alarmHead = alarmHead_;
        lock.unlock();
        // The producer writes only behind the queued entries and this thread
        // alone removes them, so they are copied without holding the lock.
        for (int i = 0; i < n; ++i)
            CopySnapshot(ring_[size_t((head + i) % capacity_)], batch_[size_t(i)]);
        for (int i = 0; i < m; ++i)
            alarmBatch_[size_t(i)] = alarmRing_[size_t((alarmHead + i) % alarmCapacity_)];
        lastAttempt = std::chrono::steady_clock::now();

        const int64_t pages = maxPageCount_.exchange(-1);
        if (pages >= 0)
            store_->SetMaxPageCount(pages);
        if (!store_->IsOpen())
            OpenDatabase();
        int rc = SQLITE_OK;
        std::string error;
        if (n > 0 || m > 0)
            rc = store_->IsOpen() ? store_->WriteBatch(batch_.get(), n, &error, alarmBatch_.get(), m) : SQLITE_CANTOPEN;
        if (rc == SQLITE_OK && store_->IsOpen()) {
            if (failing_.exchange(false)) {
                const uint64_t lost = dropped_.load() - droppedAtFailure;
                LogLine("历史数据恢复写入" +
                        (lost ? "，期间丢弃 " + std::to_string(lost) + " 个稳态数据周期" : std::string()));
            }
            lock.lock();
            head_ = (head_ + n) % capacity_;
            size_ -= n;
            done_ += uint64_t(n);
            alarmHead_ = (alarmHead_ + m) % alarmCapacity_;
            alarmSize_ -= m;
            alarmDone_ += uint64_t(m);
            lock.unlock();
            if (n > 0)
                lastUtcMs = batch_[size_t(n - 1)].utcMs;
        } else if (rc != SQLITE_OK) {
            const int primary = rc & 0xff;
            if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
                // SQLite itself can no longer use the file.
                store_->Close();
                MoveAside(HistorySqliteReason(primary));
                OpenDatabase();
            } else if (!failing_.exchange(true)) {
                droppedAtFailure = dropped_.load();
                Message("历史数据无法写入 " + DatabasePath() + "：" + error +
                        "。采集、显示和记录不受影响，历史数据在可以写入后自动继续");
                LogLine("历史数据写入失败：" + error);
            }
        }
        progress_.notify_all();
        ServeRefills();
        ReportDamage();
        const uint64_t dropped = dropped_.load();
        if (dropped > droppedReported) {
            // One line when dropping starts; the total follows with the recovery.
            if (droppedReported == 0 || !failing_.load())
                LogLine("历史数据队列已满，丢弃 " + std::to_string(dropped - droppedReported) + " 个稳态数据周期");
            droppedReported = dropped;
        }
        const uint64_t droppedAlarms = droppedAlarms_.load();
        if (droppedAlarms > droppedAlarmsReported) {
            LogLine("报警记录队列已满，丢弃 " + std::to_string(droppedAlarms - droppedAlarmsReported) + " 条报警事件");
            droppedAlarmsReported = droppedAlarms;
        }
        lock.lock();
        if (stopping && ((size_ == 0 && alarmSize_ == 0) || failing_.load() || !store_->IsOpen()))
            break;
    }
    // What could not be stored is given up; Flush must not wait for it.
    done_ += uint64_t(size_);
    head_ = 0;
    size_ = 0;
    alarmDone_ += uint64_t(alarmSize_);
    alarmHead_ = 0;
    alarmSize_ = 0;
    lock.unlock();
    progress_.notify_all();
    if (store_->IsOpen() && !failing_.load()) {
        std::string error;
        store_->Finish(lastUtcMs, &error);
    }
    store_->Close();
}

}  // namespace tav
