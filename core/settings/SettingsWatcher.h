#pragma once
// Watches station.toml on a thread of its own: every couple of seconds it
// looks at the file's time and size and, when they changed and then held
// still over one more look, reads and parses the file there. An editor that
// empties the file before writing it, or a read that overlaps a write, thus
// never hands over half a file; a file still empty after that keeps the
// settings there were. The window thread only takes the result out of a mutex-guarded slot
// on its timer, so it never waits on the disk or spends a parse.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/settings/StationSettings.h"

namespace tav {

// What one look at a changed file found.
struct SettingsReload {
    // False when the file could not be read as TOML at all, or was empty:
    // the settings there were stay, and `settings` holds nothing of use.
    bool usable = false;
    StationSettings settings;
    std::vector<std::string> messages;  // for the connection log
};

// What tells one version of the file from another without reading it.
struct SettingsFileStamp {
    int64_t mtimeNs = 0;
    int64_t size = -1;  // -1: missing
    uint64_t inode = 0;
    bool operator==(const SettingsFileStamp &) const = default;
};
SettingsFileStamp StampOfSettingsFile(const std::string &path);

class SettingsWatcher {
public:
    static constexpr int kDefaultIntervalMs = 2000;
    // The next look after a change was seen: the file has to be still this
    // long before it is read.
    static constexpr int kSettleMs = 500;

    explicit SettingsWatcher(std::string path, int intervalMs = kDefaultIntervalMs);
    ~SettingsWatcher();
    SettingsWatcher(const SettingsWatcher &) = delete;
    SettingsWatcher &operator=(const SettingsWatcher &) = delete;

    // Takes the file as it is now as already read (the station read it
    // before it started), then starts the thread. Once only.
    void Start();
    // Ends and joins the thread; a result not taken stays takeable.
    void Stop();

    // One look, on the calling thread: when the file differs from the one
    // last read and is as the previous look found it, reads and parses it
    // and leaves the result for Take (a newer one replaces one not taken).
    // The thread calls this; tests may call it instead.
    void CheckNow();
    // The latest result not yet taken. Holds the lock only to move it out.
    // Any thread (the window's timer).
    std::optional<SettingsReload> Take();

private:
    void Run();

    const std::string path_;
    const int intervalMs_;
    // The watcher thread's (or CheckNow's caller's): the file last read, and
    // a change seen at the previous look and not read yet.
    SettingsFileStamp read_;
    SettingsFileStamp seen_;

    std::mutex pendingMutex_;  // guards pending_
    std::optional<SettingsReload> pending_;

    std::mutex stopMutex_;  // guards stop_
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tav
