#pragma once
// Cuts a connection's byte stream into waveform packets and reply frames.
//
// Packets are gathered into blocks of about 0.1 s in the record's block
// buffer and each complete block goes to the BlockConsumer; replies are
// copied to the record's reply buffer and posted to the window together with
// a copy of the frame. Bytes that start no frame are dropped up to the next
// frame that is certain (counted in droppedBytes), so a few corrupt bytes
// cost only the packets they touch. A frame that has only partly arrived is
// waited for, never guessed at.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"
#include "core/net/Server.h"

namespace tav {

class FrameParser : public ConnectionHandler {
public:
    // `consumer` may be null: blocks are then only counted.
    FrameParser(ConnectionTable &table, EventSink &sink, BlockConsumer *consumer = nullptr);

    // Any thread; takes effect from the next block. The consumer must stay
    // alive until every parser thread has ended.
    void SetBlockConsumer(BlockConsumer *consumer) { consumer_.store(consumer, std::memory_order_release); }
    BlockConsumer *Consumer() const { return consumer_.load(std::memory_order_acquire); }

    // Accept thread, before the slot's threads start.
    void OnAccepted(ConnectionRecord &rec) override;
    // Parser thread body: sleeps on the ring until a frame can be decided,
    // and returns once the ring is closed and the complete frames already
    // received have been handled.
    void RunParser(ConnectionRecord &rec) override;

    // One synchronous step of the parser (the thread body is a loop around
    // it; tests and the fuzz target call it directly from the one thread
    // that reads rec.ring). Handles every frame that the unread bytes decide.
    // With endOfStream a partial frame at the end is no longer waited for:
    // what follows it is still searched for complete frames.
    // Returns the unread byte count that has to be reached before another
    // call can make progress (more than are unread now).
    uint32_t ParseAvailable(ConnectionRecord &rec, bool endOfStream);

    // Parser thread at the end of a connection: posts the log line for
    // dropped bytes not yet reported.
    void FlushDropReport(ConnectionRecord &rec);

    ConnectionTable &Table() { return table_; }

private:
    enum class Kind { kNone, kPacket, kReply, kUndecided };
    struct Match {
        Kind kind;
        uint32_t length;  // frame length, or for kUndecided the bytes needed
    };
    static Match MatchAt(const ReceiveRing &ring, uint32_t offset, uint32_t available);
    // Whether the unread bytes are empty or begin (as far as they go) with a
    // packet's start marker.
    static bool AtPacket(const ReceiveRing &ring, uint32_t available);
    // Unread bytes that would complete the current block, when the unread
    // bytes are at most a packet's beginning; otherwise `need`.
    // For a connection not displayed, the blocks after it too (BlocksPerWake).
    uint32_t BlockRemainder(const ConnectionRecord &rec, uint32_t need) const;

    void TakePacket(ConnectionRecord &rec);
    void TakeReply(ConnectionRecord &rec, uint32_t length);
    void CompleteBlock(ConnectionRecord &rec, int packets);
    void Drop(ConnectionRecord &rec, uint32_t bytes);
    void ReportDropped(ConnectionRecord &rec, bool force);

    // Per slot, touched only by that slot's parser thread (and the accept
    // thread while the slot's threads are not running).
    struct SlotState {
        uint64_t unreportedDrop = 0;
        std::chrono::steady_clock::time_point lastReport{};
        bool reported = false;
    };

    ConnectionTable &table_;
    EventSink &sink_;
    std::atomic<BlockConsumer *> consumer_;
    SlotState slots_[kSlotCount];
};

}  // namespace tav
