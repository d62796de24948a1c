// A connection's traffic: the receive thread that fills the slot's ring
// (gathering whole blocks per wake-up), the commands sent to the sensor and
// the wait for their replies. Accepting, placing and releasing connections
// are in Server.cpp.
#include "core/net/Server.h"

#include "core/base/ThreadName.h"
#include "core/net/ErrorTexts.h"
#include "core/net/SensorFrame.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>

namespace tav {

namespace {
constexpr uint32_t kReceiveCallSize = 198800;
// A sensor streams a packet every few milliseconds, each sent on its own.
// Receiving them one by one would wake this thread (and the parser) for
// every packet; instead the socket's low-water mark is set to what
// completes the parser's current block (or more, see BlocksPerWake), so one
// wake-up takes them.
// Bounds: no more than this at once (bigger blocks take several calls),
// and no longer than kGatherTimeoutMs before taking whatever has come, so
// that a sensor which stops mid-block is still read.
// The time-out lies beyond the 0.4 s of four blocks, which would otherwise
// be cut in two by it.
constexpr int kGatherTimeoutMs = 500;
// After a command the sensor's reply is expected: until it has been parsed,
// and for no longer than this, every byte is taken as it comes and the
// parser woken for it, so the reply reaches the window at once.
constexpr auto kReplyWindow = std::chrono::milliseconds(500);

int64_t SteadyNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SetLowWater(int fd, int bytes) { ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes); }

// Bytes worth gathering before the next receive call: what completes the
// parser's block, or, while the parser has not yet named its next block,
// the blocks after the ones it named (blocks of one sensor follow each
// other at a fixed size).
int GatherTarget(const ConnectionTable &table, const ConnectionRecord &rec)
{
    const uint64_t end = rec.ring.WantedEnd();
    if (end == 0)
        return 1;
    const uint64_t written = rec.ring.WrittenTotal();
    uint64_t more = 0;
    if (end > written) {
        more = end - written;
    } else {
        int perBlock = rec.packetsPerBlock.load(std::memory_order_relaxed);
        perBlock = perBlock < 1 ? 1 : perBlock > kMaxPacketsPerBlock ? kMaxPacketsPerBlock : perBlock;
        const bool displayed = rec.slotIndex == table.selectedConnection.load(std::memory_order_relaxed);
        const uint64_t blockBytes = uint64_t(BlocksPerWake(perBlock, displayed)) * uint64_t(perBlock) * kPacketSize;
        more = blockBytes - (written - end) % blockBytes;
    }
    return int(std::clamp<uint64_t>(more, 1, kMaxGatherBytes));
}
}  // namespace

void DrainHandler::RunParser(ConnectionRecord &rec)
{
    for (;;) {
        uint32_t n = rec.ring.WaitForData(1);
        if (n == 0 && rec.ring.Closed())
            return;
        rec.ring.Consume(n);
    }
}

void Server::ReceiveLoop(ConnectionRecord &rec)
{
    NameThisThread(("tav recv " + std::to_string(rec.slotIndex)).c_str());
    sink_.Post(StationEvent::Make(kConnectionEvent, 0, kEventEstablished));
    int fd;
    {
        std::lock_guard lock(rec.infoMutex);
        fd = rec.socket;
    }
    uint8_t discard[16384];
    int lowWater = 1;          // the socket's SO_RCVLOWAT as last set here or by Send
    int64_t replySeen = 0;     // replyWaitUntil as last seen
    // Set when a gathering wait timed out with nothing at all: the sensor is
    // not streaming, so the next call simply blocks until a byte comes
    // instead of timing out again and again.
    bool idle = false;
    // Bytes committed without waking the parser, because more were to be
    // taken at once (see below): whatever the next call brings, the parser
    // is woken after it.
    bool owed = false;
    for (;;) {
        ssize_t n;
        bool drop = table_.acquisitionState.load() == 2 && table_.selectedConnection.load() == rec.slotIndex;
        // Send moves replyWaitUntil and then sets the low-water mark to 1
        // before each command; a change seen here means it has done so.
        int64_t until = rec.replyWaitUntil.load(std::memory_order_seq_cst);
        if (until != replySeen) {
            replySeen = until;
            lowWater = 1;
        }
        const bool replyExpected = until != 0 &&
                                   rec.repliesParsed.load(std::memory_order_relaxed) <
                                       rec.repliesAwaited.load(std::memory_order_relaxed) &&
                                   SteadyNanos() < until;
        const int target = drop || replyExpected || idle ? 1 : GatherTarget(table_, rec);
        if (target != lowWater) {
            SetLowWater(fd, target);
            lowWater = target;
            // A command sent meanwhile may have set 1 just before this call
            // replaced it; the check comes after the call, so of the two
            // racing calls the last one leaves 1.
            until = rec.replyWaitUntil.load(std::memory_order_seq_cst);
            if (until != replySeen) {
                replySeen = until;
                SetLowWater(fd, 1);
                lowWater = 1;
            }
        }
        if (drop) {
            if (owed)
                rec.ring.WakeReader();
            owed = false;
            // Replay feeds this slot; its live bytes are read and dropped.
            n = ::recv(fd, discard, sizeof discard, 0);
            if (n > 0)
                continue;
        } else {
            uint32_t room = 0;
            uint8_t *dst = rec.ring.WaitForSpace(&room);
            if (room == 0)  // ring closed: the station is stopping
                break;
            int flags = 0;
            bool gathered = false;  // the low-water mark was reached
            if (lowWater > 1) {
                // poll honours the low-water mark; on its time-out whatever
                // has come is taken without waiting further.
                pollfd pfd{fd, POLLIN, 0};
                const int ready = ::poll(&pfd, 1, owed ? 0 : kGatherTimeoutMs);
                if (ready < 0 && errno != EINTR) {
                    sink_.Post(StationEvent::Make(kConnectionEvent, -1, kEventReceiveFailed));
                    break;
                }
                gathered = ready > 0 && (pfd.revents & POLLIN) != 0;
                flags = MSG_DONTWAIT;
            }
            const uint32_t size = room < kReceiveCallSize ? room : kReceiveCallSize;
            n = ::recv(fd, dst, size, flags);
            const bool replay =
                table_.acquisitionState.load() == 2 && table_.selectedConnection.load() == rec.slotIndex;
            if (owed && (n <= 0 || replay)) {
                const int err = errno;  // kept for the checks below
                rec.ring.WakeReader();
                errno = err;
            }
            owed = false;
            if (n < 0 && flags != 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                idle = errno != EINTR;  // the time-out passed with nothing new
                continue;
            }
            idle = false;
            // A replay may have started while this call waited: its bytes are
            // then dropped rather than published to the parser.
            if (n > 0 && replay)
                continue;
            if (n > 0) {
                table_.lastReceiveTime = int64_t(std::time(nullptr));
                table_.lastReceiveLength = int(n);
                rec.bytesReceived.fetch_add(uint64_t(n), std::memory_order_relaxed);
                // Cut short by the ring's end with the gathered bytes not all
                // taken: the next call takes the rest at once, and the parser
                // is woken by that one instead of by both.
                owed = gathered && uint32_t(n) == size && size < uint32_t(lowWater) && !replyExpected;
                rec.ring.Commit(uint32_t(n), !owed);
                if (replyExpected)
                    rec.ring.WakeReader();
                continue;
            }
        }
        if (n == 0) {
            sink_.Post(StationEvent::Make(kConnectionEvent, 0, kEventPeerClosed));
            break;
        }
        int err = errno;
        if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) {
            sink_.Post(StationEvent::Make(kConnectionEvent, -1, kEventTransientError));
            continue;
        }
        sink_.Post(StationEvent::Make(kConnectionEvent, -1, kEventReceiveFailed));
        break;
    }
    Release(rec);
}

long Server::Send(int slot, const uint8_t *data, size_t len, std::string *error, uint32_t generation)
{
    if (slot < 0 || slot >= kSlotCount) {
        if (error)
            *error = "没有该连接";
        return -1;
    }
    ConnectionRecord &rec = table_.records[slot];
    std::lock_guard lock(rec.infoMutex);
    if (!rec.InUse() || rec.socket < 0 || (generation != 0 && generation != rec.generation.load())) {
        if (error)
            *error = "传感器未连接";
        return -1;
    }
    // The reply to this command is to be taken as soon as it comes: the
    // receive thread stops gathering whole blocks for a while. Flag first,
    // then the low-water mark (see ReceiveLoop).
    // One more reply than awaited so far, or than parsed if a reply came
    // that nobody asked for. A command left unanswered keeps the count ahead,
    // and later waits then run their full length, as they would anyway.
    const uint64_t awaited = std::max(rec.repliesAwaited.load(std::memory_order_relaxed),
                                      rec.repliesParsed.load(std::memory_order_relaxed));
    rec.repliesAwaited.store(awaited + 1, std::memory_order_relaxed);
    int64_t until = SteadyNanos() + std::chrono::duration_cast<std::chrono::nanoseconds>(kReplyWindow).count();
    if (until == rec.replyWaitUntil.load())
        ++until;
    rec.replyWaitUntil.store(until, std::memory_order_seq_cst);
    SetLowWater(rec.socket, 1);
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = ::send(rec.socket, data + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = SystemErrorText(errno);
            return -1;
        }
        sent += size_t(n);
    }
    return long(sent);
}

}  // namespace tav
