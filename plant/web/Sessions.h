#pragma once
// Login sessions and the limiter of login attempts. A session starts
// anonymous (it carries the form token the login form must send back) and
// is replaced by a fresh one at login, so an id planted before the login
// never becomes a logged-in one.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tav::plant {

struct Session {
    std::string id;
    std::string csrf;  // sent back in X-CSRF-Token with every POST
    std::string user;  // empty: not logged in
    std::string role;
    int64_t expiresMs = 0;
};

class SessionTable {
public:
    explicit SessionTable(int64_t lifetimeMs) : lifetimeMs_(lifetimeMs) {}
    // Keeps logged-in sessions in `path` (mode 0600), so that a restart of
    // the service logs nobody out; reads what is there. Empty: memory only.
    void UseFile(const std::string &path, int64_t nowMs);
    // The live session of `id`, its lifetime renewed; false when none.
    bool Find(const std::string &id, int64_t nowMs, Session *out);
    // A new session (anonymous when `user` is empty); false if no randomness.
    bool Create(const std::string &user, const std::string &role, int64_t nowMs, Session *out);
    void Remove(const std::string &id);

private:
    static constexpr size_t kMaxSessions = 10000;
    void Expire(int64_t nowMs);
    void Save();  // with mutex_ held

    std::mutex mutex_;  // guards sessions_
    std::map<std::string, Session> sessions_;
    int64_t lifetimeMs_;
    std::string file_;
};

// Failed logins per client address and per user name: after kFreePerUser
// failures of a name (kFreePerAddress of an address, which a whole office
// behind one proxy may share)
// the key waits, twice as long at each further failure, up to 15 minutes.
// A success clears the user's count; the address's count only ages out.
class LoginLimiter {
public:
    // Milliseconds `address` or `user` must still wait; 0: may try now.
    int64_t WaitMs(const std::string &address, const std::string &user, int64_t nowMs);
    void Failed(const std::string &address, const std::string &user, int64_t nowMs);
    void Succeeded(const std::string &user);

    static constexpr int kFreePerUser = 5;
    static constexpr int kFreePerAddress = 20;

private:
    struct Entry {
        int failures = 0;
        int64_t lastMs = 0;
        int64_t blockedUntilMs = 0;
    };
    void Count(std::map<std::string, Entry> *table, const std::string &key, int free, int64_t nowMs);
    static void Forget(std::map<std::string, Entry> *table, int64_t nowMs);

    std::mutex mutex_;  // guards both tables
    std::map<std::string, Entry> byAddress_, byUser_;
};

}  // namespace tav::plant
