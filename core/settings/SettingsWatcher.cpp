#include "core/settings/SettingsWatcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "core/base/ThreadName.h"

namespace tav {

namespace {

// A reload never falls back to defaults: what stays is what was applied.
constexpr const char *kKeep = "设置保持不变";

bool Blank(const std::string &text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

}  // namespace

SettingsFileStamp StampOfSettingsFile(const std::string &path)
{
    struct stat st{};
    SettingsFileStamp stamp;
    if (::stat(path.c_str(), &st) != 0)
        return stamp;
    stamp.mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.size = int64_t(st.st_size);
    stamp.inode = uint64_t(st.st_ino);
    return stamp;
}

SettingsWatcher::SettingsWatcher(std::string path, int intervalMs) : path_(std::move(path)), intervalMs_(intervalMs)
{
}

SettingsWatcher::~SettingsWatcher() { Stop(); }

void SettingsWatcher::Start()
{
    if (thread_.joinable())
        return;
    read_ = StampOfSettingsFile(path_);
    seen_ = {};
    {
        std::lock_guard lock(stopMutex_);
        stop_ = false;
    }
    thread_ = std::thread([this] {
        NameThisThread("tav settings");
        Run();
    });
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
    auto wait = [this] {
        return std::chrono::milliseconds(seen_.size >= 0 ? std::min(intervalMs_, kSettleMs) : intervalMs_);
    };
    while (!wake_.wait_for(lock, wait(), [this] { return stop_; })) {
        lock.unlock();
        CheckNow();
        lock.lock();
    }
}

void SettingsWatcher::CheckNow()
{
    // A missing file is no change: the station keeps what it has rather than
    // dropping every machine while an editor replaces the file.
    const SettingsFileStamp stamp = StampOfSettingsFile(path_);
    if (stamp.size < 0 || stamp == read_) {
        seen_ = {};
        return;
    }
    if (!(stamp == seen_)) {
        seen_ = stamp;  // changed since the last look: read once it holds still
        return;
    }
    const size_t slash = path_.find_last_of('/');
    const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
    SettingsReload reload;
    std::string text, error;
    bool existed = false;
    if (!ReadSettingsText(path_, &text, &existed, &error)) {
        reload.messages.push_back(error + "，" + kKeep);
    } else if (!existed) {
        seen_ = {};
        return;
    } else if (const SettingsFileStamp after = StampOfSettingsFile(path_); !(after == stamp)) {
        seen_ = after;  // written to while it was read
        return;
    } else if (Blank(text)) {
        // Most likely an editor between truncating and writing; taken as
        // meant, it would end every alarm and raise them all anew after.
        reload.messages.push_back(name + " 为空，" + kKeep + "（要去掉全部设置，请在文件中只留一行注释）");
    } else {
        reload.settings = ParseStationSettings(text, name, &reload.messages, kKeep);
        reload.usable = reload.settings.readable;
    }
    read_ = stamp;
    seen_ = {};
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
