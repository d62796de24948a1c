#include "plant/store/Writer.h"

#include <algorithm>
#include <chrono>

#include "core/base/ThreadName.h"
#include "plant/config/Log.h"
#include "plant/store/Store.h"

namespace tav::plant {

namespace {

// Rows per transaction: a second of 50 stations at two ticks, and the
// step in which a backlog drains after an outage.
constexpr size_t kMaxBatchRows = 20000;
constexpr int kRetentionEveryMs = 10 * 60 * 1000;
constexpr int kMaxBackoffMs = 5000;

}  // namespace

int64_t NowUtcMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Writer::Writer(const PlantConfig &config) : config_(config) {}

Writer::~Writer() { Stop(0); }

void Writer::Start()
{
    thread_ = std::thread([this] {
        NameThisThread("plant writer");
        Run();
    });
}

void Writer::Stop(int flushMs)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stopDeadlineMs_ = NowUtcMs() + flushMs;
        }
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Writer::Push(std::vector<Row> &&rows)
{
    int64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Row &row : rows)
            pending_.push_back(std::move(row));
        const size_t bound = size_t(config_.database.bufferRows);
        while (!pending_.empty() && pending_.size() + size_t(inflight_.load()) > bound) {
            pending_.pop_front();
            ++dropped;
        }
        buffered_ = int64_t(pending_.size()) + inflight_.load();
        if (dropped) {
            counters.dropped += dropped;
            const int64_t now = NowUtcMs();
            if (now - lastDropLogMs_ >= 10000) {
                lastDropLogMs_ = now;
                Log("缓冲已满（" + std::to_string(config_.database.bufferRows) + " 行），丢弃最早的记录，累计丢弃 " +
                    std::to_string(counters.dropped.load()) + " 行");
            }
        }
        if (pending_.size() < kMaxBatchRows)
            return;
    }
    wake_.notify_one();
}

void Writer::Pause(int ms)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms),
                   [this] { return stopping_ || pending_.size() >= kMaxBatchRows; });
}

void Writer::Backoff(int ms)
{
    // Stopping does not cut a pause short: the database gets its tries
    // until the flush deadline, not a busy loop of them.
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_ && NowUtcMs() >= stopDeadlineMs_; });
}

void Writer::Run()
{
    Store store(config_.database.conninfo);
    std::vector<Row> batch;
    int backoffMs = 250;
    bool outageLogged = false;
    int64_t nextRetentionMs = 0;
    std::string error;
    for (;;) {
        bool stopping;
        int64_t deadline;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping = stopping_;
            deadline = stopDeadlineMs_;
            if (batch.empty()) {
                while (!pending_.empty() && batch.size() < kMaxBatchRows) {
                    batch.push_back(std::move(pending_.front()));
                    pending_.pop_front();
                }
                inflight_ = int64_t(batch.size());
            }
        }
        if (stopping && (batch.empty() || NowUtcMs() >= deadline)) {
            const int64_t left = int64_t(batch.size()) + [this] {
                std::lock_guard<std::mutex> lock(mutex_);
                return int64_t(pending_.size());
            }();
            if (left)
                Log("停止时仍有 " + std::to_string(left) + " 行未能写入数据库，已丢失");
            return;
        }
        if (!store.Healthy()) {
            databaseUp_ = false;
            if (!store.Open(&error)) {
                if (!outageLogged)
                    Log("无法连接数据库（" + error + "），缓冲等待中，稍后重试");
                outageLogged = true;
                Backoff(backoffMs);
                backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
                continue;
            }
            Log("数据库已连接，待写 " + std::to_string(Buffered()) + " 行");
            outageLogged = false;
            backoffMs = 250;
        }
        const int64_t now = NowUtcMs();
        Store::Result r = Store::Result::kOk;
        if (!batch.empty()) {
            int64_t inserted = 0, expired = 0;
            std::vector<StoredAlarm> stored;  // only what was committed
            r = store.Write(batch, now, config_.retention.fullDays, &inserted, &expired, &error, &stored);
            if (r == Store::Result::kBadData) {
                // One row the database will not take must not hold back the
                // rest: write them one by one and let the bad one go.
                for (const Row &row : batch) {
                    int64_t n = 0, e = 0;
                    const Store::Result one =
                        store.Write({row}, now, config_.retention.fullDays, &n, &e, &error, &stored);
                    if (one == Store::Result::kConnectionLost) {
                        r = one;
                        break;
                    }
                    if (one == Store::Result::kBadData) {
                        ++counters.refusedByDatabase;
                        Log("数据库拒收来自 " + row.station + " 的一行（" + error + "），略去");
                    }
                    inserted += n;
                    expired += e;
                }
                if (r != Store::Result::kConnectionLost) {
                    r = Store::Result::kOk;
                    // The one-by-one pass may have stored part: the key skips it next time.
                }
            }
            // Even when the rest failed: what was committed will not be new again.
            if (!stored.empty() && alarmSink_)
                alarmSink_(std::move(stored));
            if (r == Store::Result::kOk) {
                counters.stored += inserted;
                counters.expired += expired;
                counters.duplicates += int64_t(batch.size()) - inserted - expired;
                batch.clear();
                inflight_ = 0;
                if (committed)
                    committed();
            }
        }
        if (r == Store::Result::kOk)
            r = store.Aggregate(now, &error);
        if (r == Store::Result::kOk && now >= nextRetentionMs) {
            std::vector<std::string> dropped;
            r = store.Expire(now, config_.retention, &dropped, &error);
            for (const std::string &name : dropped)
                Log("保留期已过，删除分区 " + name);
            if (r == Store::Result::kOk)
                nextRetentionMs = now + kRetentionEveryMs;
        }
        if (r != Store::Result::kOk) {
            if (!outageLogged)
                Log("写入数据库失败（" + error + "），缓冲等待中，稍后重试");
            // Disk full keeps the connection: only a lost one is made anew.
            if (!store.Healthy())
                store.Close();
            databaseUp_ = false;
            outageLogged = true;
            Backoff(backoffMs);
            backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
            continue;
        }
        if (outageLogged)
            Log("数据库写入已恢复");
        outageLogged = false;
        backoffMs = 250;
        databaseUp_ = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            buffered_ = int64_t(pending_.size()) + int64_t(batch.size());
            if (!pending_.empty() && pending_.size() >= kMaxBatchRows)
                continue;  // a backlog: the next batch at once
        }
        // A batch every interval from the start of the last one, not an
        // interval after its work: the write's own time (long on a busy
        // machine) would otherwise add to every row's wait.
        if (!stopping)
            Pause(int(std::max<int64_t>(0, config_.database.batchIntervalMs - (NowUtcMs() - now))));
    }
}

}  // namespace tav::plant
