#include "settings/SettingsWatcher.h"

#include <sys/stat.h>

#include <chrono>

namespace tav {

int64_t SettingsFileStamp(const std::string &path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    return int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec + int64_t(st.st_size);
}

SettingsWatcher::SettingsWatcher(std::string path, int intervalMs) : path_(std::move(path)), intervalMs_(intervalMs)
{
}

SettingsWatcher::~SettingsWatcher() { Stop(); }

void SettingsWatcher::Start()
{
    if (thread_.joinable())
        return;
    stamp_ = SettingsFileStamp(path_);
    {
        std::lock_guard lock(stopMutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] { Run(); });
}

void SettingsWatcher::Stop()
{
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SettingsWatcher::Run()
{
    std::unique_lock lock(stopMutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(intervalMs_), [this] { return stop_; })) {
        lock.unlock();
        CheckNow();
        lock.lock();
    }
}

void SettingsWatcher::CheckNow()
{
    // A missing file is no change: the station keeps what it has rather than
    // dropping every machine while an editor replaces the file.
    const int64_t stamp = SettingsFileStamp(path_);
    if (stamp == 0 || stamp == stamp_)
        return;
    stamp_ = stamp;
    SettingsReload reload;
    reload.settings = LoadStationSettings(path_, &reload.messages);
    reload.usable = reload.settings.readable;
    if (!reload.usable)
        reload.messages.push_back("设置文件有误，报警设置保持不变");
    std::lock_guard lock(pendingMutex_);
    if (pending_) {
        // A result not taken yet: its messages are told all the same, and a
        // bad file after a good one leaves the good settings to apply.
        std::vector<std::string> messages = std::move(pending_->messages);
        for (std::string &m : reload.messages)
            messages.push_back(std::move(m));
        if (!reload.usable) {
            pending_->messages = std::move(messages);
            return;
        }
        reload.messages = std::move(messages);
    }
    pending_ = std::move(reload);
}

std::optional<SettingsReload> SettingsWatcher::Take()
{
    std::lock_guard lock(pendingMutex_);
    std::optional<SettingsReload> out = std::move(pending_);
    pending_.reset();
    return out;
}

}  // namespace tav
