#pragma once
// How core threads reach the window: posted events, never direct calls into
// widgets. Event types keep the numeric values of the window messages.
#include <cstdint>
#include <cstring>

namespace tav {

enum StationEventType : int {
    kLiveBlockEvent = 0x468,          // no parameters
    kSensorReplyEvent = 0x469,        // wParam reply length, lParam slot, data = copy of the frame
    kConnectionEvent = 0x46B,         // wParam receive result, lParam event code 1..4
    kConnectionReleasedEvent = 0x46C, // wParam slot, lParam connection generation
    kAcceptFailedEvent = 0x46D,       // wParam errno
    kMessageEvent = 0x46E,            // text: a message for the operator
    kLogLineEvent = 0x46F,            // text: an extra line for the connection log
    kSaveProgressEvent = 0x470,       // wParam percent, lParam 1 when finished
};

// A connection event's code (lParam of kConnectionEvent).
enum ConnectionEventCode : int {
    kEventReceiveFailed = 1,
    kEventTransientError = 2,
    kEventPeerClosed = 3,
    kEventEstablished = 4,
};

struct StationEvent {
    int type = 0;
    int64_t wParam = 0;
    int64_t lParam = 0;
    uint16_t length = 0;  // bytes valid in data
    uint8_t data[200] = {};
    char text[512] = {};  // UTF-8, zero-terminated

    static StationEvent Make(int type, int64_t w = 0, int64_t l = 0)
    {
        StationEvent e;
        e.type = type;
        e.wParam = w;
        e.lParam = l;
        return e;
    }
    static StationEvent Text(int type, const char *utf8)
    {
        StationEvent e;
        e.type = type;
        std::strncpy(e.text, utf8, sizeof e.text - 1);
        return e;
    }
};

// Implemented by the window (queued Qt events) and by tests. Post may be
// called from any thread and must not block for long.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Post(const StationEvent &event) = 0;
};

}  // namespace tav
