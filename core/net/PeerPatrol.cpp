#include "core/net/PeerPatrol.h"

namespace tav {

void PeerPatrol::Accepted(int slot, uint32_t generation, double now)
{
    Slot &s = slots_[Index(slot)];
    s = Slot{};
    s.inUse = true;
    s.generation = generation;
    s.acceptedAt = s.lastFrameAt = now;
}

void PeerPatrol::Observe(int slot, const PeerSample &sample, double now)
{
    Slot &s = slots_[Index(slot)];
    if (!sample.inUse) {
        s.inUse = false;
        s.closing = false;
        return;
    }
    if (!s.inUse || sample.generation != s.generation) {
        // Accepted without Accepted() being called (or missed): count from now.
        Accepted(slot, sample.generation, now);
    }
    if (sample.frames != s.frames || sample.setAside) {
        s.frames = sample.setAside && sample.frames == 0 ? 1 : sample.frames;
        s.lastFrameAt = now;
    }
    s.junkBytes = sample.junkBytes;
}

bool PeerPatrol::TakeGarbage(int slot, double now)
{
    Slot &s = slots_[Index(slot)];
    if (garbageS_ <= 0 || !s.inUse || s.closing || s.frames != 0 || s.junkBytes < kGarbageBytes || now - s.acceptedAt < garbageS_)
        return false;
    s.closing = true;
    return true;
}

int PeerPatrol::TakeEviction(double now, int waiting)
{
    if (idleS_ <= 0 || Closing() >= waiting)
        return -1;
    int best = -1;
    double longest = -1;
    for (int i = 0; i < kSlotCount; ++i) {
        const Slot &s = slots_[i];
        if (s.inUse && !s.closing && now - s.lastFrameAt > longest) {
            longest = now - s.lastFrameAt;
            best = i;
        }
    }
    if (best < 0 || longest < idleS_)
        return -1;
    slots_[best].closing = true;
    return best;
}

int PeerPatrol::Closing() const
{
    int n = 0;
    for (const Slot &s : slots_)
        n += s.inUse && s.closing;
    return n;
}

}  // namespace tav
