#pragma once
// The thread of a worker that computes something every period for a window
// (the analysis spectrum, the waterfall's rows), and the request such a
// window hands it. Stop wakes the thread at once, not after its period.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tav {

class PeriodicWorker {
public:
    explicit PeriodicWorker(std::chrono::milliseconds period) : period_(period) {}
    ~PeriodicWorker() { Stop(); }  // stops and joins
    PeriodicWorker(const PeriodicWorker &) = delete;
    PeriodicWorker &operator=(const PeriodicWorker &) = delete;

    // Owner's thread. Unless the thread runs already, starts it: `begin`
    // once on it, then `step` at once and every period after.
    void Start(std::function<void()> begin, std::function<void()> step);
    // Wakes and joins the thread; true when there was one.
    bool Stop();
    bool Running() const { return thread_.joinable(); }

private:
    const std::chrono::milliseconds period_;
    std::mutex stopMutex_;
    std::condition_variable stopWake_;
    bool stopRequested_ = false;  // guarded by stopMutex_
    std::thread thread_;
};

// A value one thread sets and another copies, each under its own mutex.
template <class T>
class Guarded {
public:
    void Set(const T &value)
    {
        std::lock_guard lock(mutex_);
        value_ = value;
    }
    T Get() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // `f(value)` under the lock, for what reads and changes it at once.
    template <class F>
    decltype(auto) With(F &&f)
    {
        std::lock_guard lock(mutex_);
        return f(value_);
    }
    template <class F>
    decltype(auto) With(F &&f) const
    {
        std::lock_guard lock(mutex_);
        return f(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace tav
