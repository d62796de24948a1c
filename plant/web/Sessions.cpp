#include "plant/web/Sessions.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "plant/config/Log.h"

#include "plant/web/Password.h"

namespace tav::plant {

namespace {

constexpr int64_t kFirstWaitMs = 30000;
constexpr int64_t kMaxWaitMs = 15 * 60000;
// A count left alone this long starts again from nothing.
constexpr int64_t kForgetMs = 60 * 60000;

}  // namespace

void SessionTable::UseFile(const std::string &path, int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    file_ = path;
    if (file_.empty())
        return;
    std::ifstream in(file_);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Session s;
        if (fields >> s.id >> s.csrf >> s.user >> s.role >> s.expiresMs && s.expiresMs > nowMs && s.id.size() == 64)
            sessions_[s.id] = s;
    }
}

void SessionTable::Save()
{
    if (file_.empty())
        return;
    std::string text;
    for (const auto &[id, s] : sessions_)
        if (!s.user.empty())
            text += s.id + " " + s.csrf + " " + s.user + " " + s.role + " " + std::to_string(s.expiresMs) + "\n";
    // Written whole and renamed: a crash leaves the old file or the new one.
    const std::string temp = file_ + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ok = fd >= 0 && ::close(fd) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), file_.c_str()) != 0) {
        ::unlink(temp.c_str());
        Log("无法写入会话文件 " + file_ + "，重启后需重新登录");
    }
}

void SessionTable::Expire(int64_t nowMs)
{
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.expiresMs <= nowMs ? sessions_.erase(it) : std::next(it);
}

bool SessionTable::Find(const std::string &id, int64_t nowMs, Session *out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(id);
    if (id.empty() || it == sessions_.end())
        return false;
    if (it->second.expiresMs <= nowMs) {
        sessions_.erase(it);
        return false;
    }
    it->second.expiresMs = nowMs + lifetimeMs_;
    *out = it->second;
    return true;
}

bool SessionTable::Create(const std::string &user, const std::string &role, int64_t nowMs, Session *out)
{
    Session s;
    s.id = RandomToken(32);
    s.csrf = RandomToken(32);
    if (s.id.empty() || s.csrf.empty())
        return false;
    s.user = user;
    s.role = role;
    // An anonymous session only carries the login form's token: short-lived.
    s.expiresMs = nowMs + (user.empty() ? std::min<int64_t>(lifetimeMs_, 3600000) : lifetimeMs_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sessions_.size() >= kMaxSessions)
        Expire(nowMs);
    if (sessions_.size() >= kMaxSessions) {
        // Still full: anonymous ones go first, so a flood of page loads
        // never logs anybody out.
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = it->second.user.empty() ? sessions_.erase(it) : std::next(it);
        if (sessions_.size() >= kMaxSessions)
            return false;
    }
    sessions_[s.id] = s;
    *out = s;
    if (!user.empty())
        Save();
    return true;
}

void SessionTable::Remove(const std::string &id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    const bool saved = !it->second.user.empty();
    sessions_.erase(it);
    if (saved)
        Save();
}

int64_t LoginLimiter::WaitMs(const std::string &address, const std::string &user, int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t wait = 0;
    for (auto [table, key] : {std::pair{&byAddress_, &address}, std::pair{&byUser_, &user}}) {
        auto it = table->find(*key);
        if (it != table->end())
            wait = std::max(wait, it->second.blockedUntilMs - nowMs);
    }
    return std::max<int64_t>(wait, 0);
}

void LoginLimiter::Count(std::map<std::string, Entry> *table, const std::string &key, int free, int64_t nowMs)
{
    if (table->size() > 100000)
        Forget(table, nowMs);
    Entry &e = (*table)[key];
    if (nowMs - e.lastMs > kForgetMs)
        e = Entry();
    e.lastMs = nowMs;
    if (++e.failures < free)
        return;
    const int doublings = std::min(e.failures - free, 10);
    e.blockedUntilMs = nowMs + std::min(kFirstWaitMs << doublings, kMaxWaitMs);
}

void LoginLimiter::Forget(std::map<std::string, Entry> *table, int64_t nowMs)
{
    for (auto it = table->begin(); it != table->end();)
        it = nowMs - it->second.lastMs > kForgetMs ? table->erase(it) : std::next(it);
}

void LoginLimiter::Failed(const std::string &address, const std::string &user, int64_t nowMs)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Count(&byAddress_, address, kFreePerAddress, nowMs);
    Count(&byUser_, user, kFreePerUser, nowMs);
}

void LoginLimiter::Succeeded(const std::string &user)
{
    std::lock_guard<std::mutex> lock(mutex_);
    byUser_.erase(user);
}

}  // namespace tav::plant
