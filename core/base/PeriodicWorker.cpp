#include "core/base/PeriodicWorker.h"

#include <utility>

namespace tav {

void PeriodicWorker::Start(std::function<void()> begin, std::function<void()> step)
{
    if (thread_.joinable())
        return;
    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = false;
    }
    thread_ = std::thread([this, begin = std::move(begin), step = std::move(step)] {
        begin();
        auto next = std::chrono::steady_clock::now();
        for (;;) {
            step();
            next += period_;
            std::unique_lock lock(stopMutex_);
            if (stopWake_.wait_until(lock, next, [this] { return stopRequested_; }))
                return;
        }
    });
}

bool PeriodicWorker::Stop()
{
    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = true;
    }
    stopWake_.notify_all();
    if (!thread_.joinable())
        return false;
    thread_.join();
    return true;
}

}  // namespace tav
