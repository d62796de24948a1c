#pragma once
// Turns the core's posted events into queued Qt events for the main window.
// The Qt event type is the station event's numeric type (0x468, 0x469, ...).
#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <atomic>
#include <mutex>

#include "core/net/EventSink.h"

namespace tav::ui {

class StationQEvent : public QEvent {
public:
    explicit StationQEvent(const StationEvent &e) : QEvent(QEvent::Type(e.type)), event(e) {}
    StationEvent event;
};

class QtEventSink : public EventSink {
public:
    // Events go to `target` once set; before that (and after Detach) they
    // are dropped.
    void SetTarget(QObject *target)
    {
        std::lock_guard lock(mutex_);
        target_ = target;
    }
    void Detach() { SetTarget(nullptr); }
    void Post(const StationEvent &e) override
    {
        std::lock_guard lock(mutex_);
        if (target_)
            QCoreApplication::postEvent(target_, new StationQEvent(e));
    }

private:
    std::mutex mutex_;
    QObject *target_ = nullptr;
};

}  // namespace tav::ui
