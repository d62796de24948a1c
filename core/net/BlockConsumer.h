#pragma once
// Hand-offs out of the parser: complete blocks go to a BlockConsumer (the
// conditioning), and every block is first offered to the RecordingSink.
#include <cstdint>

namespace tav {

struct ConnectionRecord;

class RecordingSink {
public:
    virtual ~RecordingSink() = default;
    // Appends a block of raw packets to the recording when one is running.
    // Called on the thread that conditions the block; one memory copy.
    virtual void RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes) = 0;
};

class BlockConsumer {
public:
    virtual ~BlockConsumer() = default;
    // `block` holds `packets` whole 1420-byte packets back to back. Called on
    // the connection's parser thread (or the window thread during replay)
    // with rec.conditionMutex held, so the two paths never overlap.
    virtual void ConditionBlock(ConnectionRecord &rec, const uint8_t *block, int packets) = 0;
};

}  // namespace tav
