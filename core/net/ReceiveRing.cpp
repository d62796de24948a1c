#include "core/net/ReceiveRing.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace tav {

void ReceiveRing::Reset()
{
    written_.store(0);
    read_.store(0);
    closed_.store(false);
    readerWaiting_.store(false);
    writerWaiting_.store(false);
    readTarget_.store(0);
    wantedEnd_.store(0);
    wake_.store(false);
}

void ReceiveRing::SetPositionForTest(uint32_t pos)
{
    written_.store(pos);
    read_.store(pos);
}

void ReceiveRing::NotifyAfterLock(std::condition_variable &ready)
{
    // Taking and dropping the lock orders this after the other side's check
    // under it: either that check saw the new counter, or the other side is
    // already waiting and hears the notify. Notifying after the lock is
    // dropped spares the woken thread a second sleep on the lock itself.
    { std::lock_guard lock(mutex_); }
    ready.notify_one();
}

uint32_t ReceiveRing::Available() const
{
    return uint32_t(written_.load() - read_.load());
}

uint8_t *ReceiveRing::WaitForSpace(uint32_t *len)
{
    uint64_t w = written_.load(std::memory_order_relaxed);
    auto freeBytes = [&] { return kSize - uint32_t(w - read_.load()); };
    if (freeBytes() == 0) {
        std::unique_lock lock(mutex_);
        writerWaiting_.store(true, std::memory_order_seq_cst);
        spaceReady_.wait(lock, [&] { return freeBytes() > 0 || closed_.load(); });
        writerWaiting_.store(false, std::memory_order_relaxed);
    }
    if (closed_.load(std::memory_order_acquire)) {
        *len = 0;
        return buf_;
    }
    uint32_t pos = uint32_t(w % kSize);
    *len = std::min(freeBytes(), kSize - pos);
    return buf_ + pos;
}

void ReceiveRing::Commit(uint32_t n, bool wake)
{
    const uint64_t w = written_.fetch_add(n) + n;
    // A full ring is woken for in any case: the writer is about to wait for
    // room, which only the reader can make.
    if (!wake && w - read_.load() < kSize)
        return;
    // Counter, flag and target are all sequentially consistent, and the
    // reader stores its target before its flag and re-checks the counter
    // under the lock after both. So either this thread sees the flag with
    // the current target (or a later one, whose wait re-checks by itself),
    // or the reader's re-check sees the new counter: no wake-up is lost.
    // A target not yet reached means the reader would only go back to sleep.
    if (readerWaiting_.load(std::memory_order_seq_cst) && w >= readTarget_.load(std::memory_order_seq_cst))
        NotifyAfterLock(dataReady_);
}

void ReceiveRing::WakeReader()
{
    // As in Commit: the flag before the reader's, the reader's check after
    // its own, so either the notify reaches it or its check sees the flag.
    wake_.store(true, std::memory_order_seq_cst);
    if (readerWaiting_.load(std::memory_order_seq_cst))
        NotifyAfterLock(dataReady_);
}

void ReceiveRing::SetWanted(uint32_t n)
{
    wantedEnd_.store(n == 0 ? 0 : read_.load(std::memory_order_relaxed) + n, std::memory_order_release);
}

uint32_t ReceiveRing::WantedMore() const
{
    const uint64_t end = wantedEnd_.load(std::memory_order_acquire);
    const uint64_t w = written_.load(std::memory_order_relaxed);
    return end > w ? uint32_t(std::min<uint64_t>(end - w, kSize)) : 0;
}

bool ReceiveRing::Write(const uint8_t *data, uint32_t n)
{
    while (n > 0) {
        uint32_t room = 0;
        uint8_t *dst = WaitForSpace(&room);
        if (room == 0)
            return false;
        uint32_t chunk = std::min(room, n);
        std::memcpy(dst, data, chunk);
        Commit(chunk);
        data += chunk;
        n -= chunk;
    }
    return true;
}

uint32_t ReceiveRing::WaitForData(uint32_t n, int timeoutMs)
{
    uint32_t avail = Available();
    if (avail >= n || closed_.load(std::memory_order_acquire))
        return avail;
    std::unique_lock lock(mutex_);
    readTarget_.store(read_.load(std::memory_order_relaxed) + n, std::memory_order_seq_cst);
    readerWaiting_.store(true, std::memory_order_seq_cst);
    auto ready = [&] { return Available() >= n || closed_.load() || wake_.load(); };
    if (timeoutMs < 0)
        dataReady_.wait(lock, ready);
    else
        dataReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    readerWaiting_.store(false, std::memory_order_relaxed);
    wake_.store(false, std::memory_order_relaxed);
    return Available();
}

void ReceiveRing::Peek(uint32_t offset, uint8_t *out, uint32_t n) const
{
    uint32_t pos = uint32_t((read_.load(std::memory_order_relaxed) + offset) % kSize);
    uint32_t first = std::min(n, kSize - pos);
    std::memcpy(out, buf_ + pos, first);
    if (first < n)
        std::memcpy(out + first, buf_, n - first);
}

uint8_t ReceiveRing::PeekByte(uint32_t offset) const
{
    return buf_[(read_.load(std::memory_order_relaxed) + offset) % kSize];
}

void ReceiveRing::Consume(uint32_t n)
{
    read_.fetch_add(n);
    if (writerWaiting_.load(std::memory_order_seq_cst))
        NotifyAfterLock(spaceReady_);
}

void ReceiveRing::Close()
{
    std::lock_guard lock(mutex_);
    closed_.store(true, std::memory_order_release);
    dataReady_.notify_all();
    spaceReady_.notify_all();
}

}  // namespace tav
