#pragma once
// Which peers hold a slot without being sensors. The accept thread samples
// every slot's counters a few times a second and asks two questions:
//  - garbage: a connection that has sent at least kGarbageBytes of bytes that
//    are no frame and not one valid packet or reply, for garbageS since it
//    was accepted;
//  - eviction: with every slot taken and a connection waiting, the
//    connection longest without a valid frame, if that is at least idleS.
// A connection whose frame count moves is never a candidate for either: a
// streaming sensor is never closed. One that stopped sending (acquisition
// stopped on the sensor) may be evicted under pressure; it reconnects.
//
// Only counters are sampled: the receive and parse paths do no extra work.
// Accept thread only; times are seconds on any monotonic clock.
#include <cstdint>

#include "core/net/ConnectionTable.h"

namespace tav {

struct PeerSample {
    bool inUse = false;
    uint32_t generation = 0;  // changes at every accept into the slot
    uint64_t frames = 0;      // valid packets and replies since accept
    uint64_t junkBytes = 0;   // bytes that started no frame since accept
    // A replay runs over the slot and its live bytes are set aside unread:
    // the peer counts as sending frames, whatever it sends.
    bool setAside = false;
};

class PeerPatrol {
public:
    static constexpr uint64_t kGarbageBytes = 1024;

    // A period of 0 or less turns its rule off.
    PeerPatrol(double garbageS, double idleS) : garbageS_(garbageS), idleS_(idleS) {}

    // A connection was placed in `slot` at `now`.
    void Accepted(int slot, uint32_t generation, double now);
    // The slot's counters as read at `now`.
    void Observe(int slot, const PeerSample &sample, double now);

    // True once per connection: the slot's peer has only sent garbage for
    // garbageS. The slot is then counted as closing.
    bool TakeGarbage(int slot, double now);
    // The slot to close to make room for one of `waiting` connections, or
    // -1: none has been without a frame for idleS, or earlier closings not
    // yet freed already make room for them all. The slot returned is
    // counted as closing.
    int TakeEviction(double now, int waiting = 1);

    // Seconds since the slot's last valid frame (or its accept).
    double SilentFor(int slot, double now) const { return now - slots_[Index(slot)].lastFrameAt; }
    double ConnectedFor(int slot, double now) const { return now - slots_[Index(slot)].acceptedAt; }
    // Slots told to close that are still in use.
    int Closing() const;

private:
    struct Slot {
        bool inUse = false;
        bool closing = false;
        uint32_t generation = 0;
        double acceptedAt = 0;
        double lastFrameAt = 0;
        uint64_t frames = 0;
        uint64_t junkBytes = 0;
    };
    static int Index(int slot) { return slot < 0 ? 0 : slot >= kSlotCount ? kSlotCount - 1 : slot; }

    double garbageS_, idleS_;
    Slot slots_[kSlotCount];
};

}  // namespace tav
