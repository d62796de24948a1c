#pragma once
// Single-producer single-consumer byte ring between a connection's receive
// thread (writer) and its parser thread (reader).
//
// The writer never overwrites unread bytes and the reader never sees bytes
// that have not been written: the fill level is derived from two monotonic
// byte counters, each written by one side only. Both sides sleep on a
// condition variable instead of spinning. A waiting reader is woken only
// once the amount it waits for has arrived (or on close), not on every
// receive call, so a stream of small receives does not cost a thread
// wake-up each.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tav {

class ReceiveRing {
public:
    static constexpr uint32_t kSize = 200000;

    // Resets to empty. Only while neither thread uses the ring.
    void Reset();

    // Writer side. Free contiguous space starting at the write position,
    // waiting up to until the reader has made room or the ring is closed.
    // Returns the pointer and sets *len (0 when closed).
    uint8_t *WaitForSpace(uint32_t *len);
    // Publishes n bytes written at the pointer returned by WaitForSpace.
    // `wake` false: the writer is about to commit more at once (the rest of
    // what it received, cut at the ring's end), so a waiting reader is left
    // asleep until then rather than woken twice.
    void Commit(uint32_t n, bool wake = true);
    // Copies n bytes in (splitting at the end), waiting for room as needed.
    // Returns false if the ring was closed before all bytes went in.
    bool Write(const uint8_t *data, uint32_t n);

    // Reader side. Waits until at least n bytes are unread, the ring is
    // closed, or the timeout passes. Returns the unread count.
    uint32_t WaitForData(uint32_t n, int timeoutMs = -1);
    // Reader side: the unread count at which the reader can next do a whole
    // piece of work (a complete block), so that the writer may gather that
    // much before it hands anything over. Only a hint: 0 withdraws it.
    void SetWanted(uint32_t n);
    // Writer side: ends the reader's current (or next) wait whatever it
    // waits for, as when bytes have come that must not wait for the rest.
    void WakeReader();
    // Writer side: bytes still to come before the reader's wanted amount is
    // reached; 0 when there is no hint or it is already reached.
    uint32_t WantedMore() const;
    // Writer side: absolute stream position (bytes ever written) that the
    // reader's hint names, 0 for none. With WrittenTotal() it lets the
    // writer guess where the piece after that one ends.
    uint64_t WantedEnd() const { return wantedEnd_.load(std::memory_order_acquire); }
    uint64_t WrittenTotal() const { return written_.load(std::memory_order_acquire); }
    // Copies n unread bytes starting `offset` bytes past the read position,
    // following the wrap. The caller guarantees offset + n <= Available().
    void Peek(uint32_t offset, uint8_t *out, uint32_t n) const;
    uint8_t PeekByte(uint32_t offset) const;
    // Drops n unread bytes and wakes a writer that waits for room.
    void Consume(uint32_t n);

    // Wakes both sides; WaitFor* return at once from now on.
    void Close();
    bool Closed() const { return closed_.load(std::memory_order_acquire); }

    uint32_t Available() const;
    uint32_t WritePosition() const { return uint32_t(written_.load(std::memory_order_acquire) % kSize); }
    uint32_t ReadPosition() const { return uint32_t(read_.load(std::memory_order_acquire) % kSize); }
    // Test hook: place both positions at `pos` with an empty ring.
    void SetPositionForTest(uint32_t pos);

private:
    void NotifyAfterLock(std::condition_variable &ready);

    uint8_t buf_[kSize];
    std::atomic<uint64_t> written_{0};  // bytes ever written (writer only)
    std::atomic<uint64_t> read_{0};     // bytes ever consumed (reader only)
    std::atomic<bool> closed_{false};
    std::atomic<bool> readerWaiting_{false};
    // Absolute written count that the waiting reader needs; the writer
    // notifies only once it is reached.
    std::atomic<uint64_t> readTarget_{0};
    std::atomic<uint64_t> wantedEnd_{0};  // reader's hint, absolute; 0 = none
    std::atomic<bool> wake_{false};       // WakeReader called, not yet seen by a wait
    std::atomic<bool> writerWaiting_{false};
    mutable std::mutex mutex_;
    std::condition_variable dataReady_;
    std::condition_variable spaceReady_;
};

}  // namespace tav
