#pragma once
// The save thread: writes, for every recorded connection, its .vdat file and
// its CSV export into the data folder, reporting progress and failures as
// posted events. At most one save runs at a time.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"

namespace tav {

// One connection's recording as it stood when the save began. Holding the
// buffer keeps it alive if the connection ends while it is being written.
struct SaveItem {
    int slot = 0;
    uint32_t address = 0;
    uint32_t length = 0;  // bytes, at most the buffer's capacity
    std::shared_ptr<RecordingBuffer> buffer;
};

// "%.4d_%4d%.2d%.2d%.2d%.2d" of the address and the save's local time.
std::string TransientBaseName(uint32_t address, const std::tm &when);

class TransientSaver {
public:
    explicit TransientSaver(EventSink &sink);
    ~TransientSaver();  // waits for a running save to finish
    TransientSaver(const TransientSaver &) = delete;
    TransientSaver &operator=(const TransientSaver &) = delete;

    // True from Start until the save thread has finished. Any thread.
    bool Saving() const { return saving_.load(); }
    // Window thread. Starts writing `items` into `folder` with names made
    // from `when`. Returns false (and starts nothing) while a save runs or
    // when no thread can be started.
    bool Start(std::vector<SaveItem> items, const std::string &folder, const std::tm &when);
    // Waits for the running save, if any.
    void Join();
    // Final paths written by the last finished save, in slot order (.vdat,
    // .csv per slot). Call after Join or once Saving() is false.
    std::vector<std::string> LastFiles() const;

private:
    void Run(std::vector<SaveItem> items, std::string folder, std::tm when);
    std::string FreeBase(const std::string &folder, const std::string &base, const std::vector<std::string> &taken) const;

    EventSink &sink_;
    std::atomic<bool> saving_{false};
    std::mutex threadMutex_;  // guards thread_ between Start, Join and the destructor
    std::thread thread_;
    mutable std::mutex filesMutex_;
    std::vector<std::string> lastFiles_;
};

}  // namespace tav
