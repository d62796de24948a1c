#pragma once
// Watches station.toml on a thread of its own: every couple of seconds it
// looks at the file's time and size and, when they changed, parses the file
// there. The window thread only takes the result out of a mutex-guarded slot
// on its timer, so it never waits on the disk or spends a parse.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "settings/StationSettings.h"

namespace tav {

// What one look at a changed file found.
struct SettingsReload {
    // False when the file could not be read as TOML at all: the settings
    // there were stay, and `settings` holds nothing of use.
    bool usable = false;
    StationSettings settings;
    std::vector<std::string> messages;  // for the connection log
};

// The file's modification time (ns) plus its size; 0 when it is missing.
int64_t SettingsFileStamp(const std::string &path);

class SettingsWatcher {
public:
    static constexpr int kDefaultIntervalMs = 2000;

    explicit SettingsWatcher(std::string path, int intervalMs = kDefaultIntervalMs);
    ~SettingsWatcher();
    SettingsWatcher(const SettingsWatcher &) = delete;
    SettingsWatcher &operator=(const SettingsWatcher &) = delete;

    // Takes the file as it is now as already read (the station read it
    // before it started), then starts the thread. Once only.
    void Start();
    // Ends and joins the thread; a result not taken stays takeable.
    void Stop();

    // One look, on the calling thread: when the file changed since the last
    // look, parses it and leaves the result for Take (a newer one replaces
    // one not taken). The thread calls this; tests may call it instead.
    void CheckNow();
    // The latest result not yet taken. Holds the lock only to move it out.
    // Any thread (the window's timer).
    std::optional<SettingsReload> Take();

private:
    void Run();

    const std::string path_;
    const int intervalMs_;
    int64_t stamp_ = 0;  // of the file last parsed; the watcher thread's (or CheckNow's caller's)

    std::mutex pendingMutex_;  // guards pending_
    std::optional<SettingsReload> pending_;

    std::mutex stopMutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tav
