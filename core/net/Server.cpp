// The server's listening socket and accept thread: admitting peers,
// the patrol of idle and garbage peers, placing a connection in its slot
// and releasing it. Its traffic is in ServerReceive.cpp.
#include "core/net/Server.h"

#include "core/base/ThreadName.h"
#include "core/net/ErrorTexts.h"
#include "core/net/SensorFrame.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

namespace tav {

namespace {
// Room for every sensor of a full fleet to wait while peers that are not
// sensors hold slots: a connection the backlog has no room for has its
// handshake dropped and retries only after seconds.
constexpr int kBacklog = 128;
constexpr int kReceiveBufferBytes = 1454080;

// How often the accept thread samples the slots for the garbage and
// eviction rules and, with every slot taken, looks at the backlog: fine
// enough for periods of seconds. The loads cost nothing, but each wake-up
// of an otherwise idle thread does, so not more often than this.
constexpr double kPatrolInterval = 0.5;

double SteadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// "a.b.c.d:port" of a peer.
std::string PeerText(const sockaddr_in &peer)
{
    return Ipv4Text(ntohl(peer.sin_addr.s_addr)) + ":" + std::to_string(ntohs(peer.sin_port));
}

// The first junk bytes as hex, then as text where printable.
std::string JunkText(const ConnectionRecord &rec)
{
    const uint32_t n = rec.firstJunkLength.load(std::memory_order_acquire);
    std::string hex, ascii;
    for (uint32_t i = 0; i < n; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", rec.firstJunk[i]);
        hex += b;
        const char c = char(rec.firstJunk[i]);
        ascii += c >= 0x20 && c < 0x7F ? c : '.';
    }
    return hex + " \"" + ascii + "\"";
}

// True when the peer has closed or reset a connection and sent nothing
// still unread: serving it would only release it again.
bool PeerGone(int fd)
{
    uint8_t byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}


// Gives the pages a recording touched back to the system; the reservation
// stays, reading as zeros until written again.
void ReturnRecordingPages(RecordingBuffer &buffer)
{
    if (!buffer.data)
        return;
    // Whole pages inside the block only: its first and last bytes share
    // pages with the allocator's own bookkeeping.
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (uintptr_t(buffer.data) + page - 1) / page * page;
    const uintptr_t end = (uintptr_t(buffer.data) + buffer.capacity) / page * page;
    if (end > begin)
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_DONTNEED);
}

void DecrementOnline(std::atomic<int> &count)
{
    int v = count.load();
    while (v >= 1 && !count.compare_exchange_weak(v, v - 1)) {
    }
}
}  // namespace

Server::Server(ConnectionTable &table, EventSink &sink, ConnectionHandler &handler)
    : table_(table), sink_(sink), handler_(handler)
{
}

Server::~Server() { Stop(); }

void Server::SetPolicy(const ServerPolicy &policy)
{
    policy_ = policy;
    patrol_ = PeerPatrol(policy.garbageTimeoutS, policy.idleEvictS);
}

int Server::OpenServer(int port, bool listen, std::string *error)
{
    if (policy_.listenNowhere) {
        if (error)
            *error = "监听地址设置无效，不接受任何传感器连接";
        return -1;
    }
    auto fail = [&](const char *text) {
        if (error)
            *error = text;
        if (listenSocket_ >= 0)
            ::close(listenSocket_);
        listenSocket_ = -1;
        return -1;
    };
    // Non-blocking: with every slot in use the accept thread takes waiting
    // connections only while there are any.
    listenSocket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenSocket_ < 0)
        return fail("SOCKET错误2");
    // A restarted station binds at once; a second station on a port that is
    // being listened on still fails at bind.
    int one = 1;
    ::setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(policy_.bindAddress);
    addr.sin_port = htons(listen ? uint16_t(port) : 0);
    if (::bind(listenSocket_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno == EADDRNOTAVAIL) {
            const std::string text = "本机没有地址 " + Ipv4Text(policy_.bindAddress) + "，无法在该地址上监听";
            return fail(text.c_str());
        }
        return fail("网络初始化错误，端口被占用，关闭程序重新运行");
    }
    if (listen && ::listen(listenSocket_, kBacklog) != 0)
        return fail("SOCKET错误4");
    socklen_t len = sizeof addr;
    ::getsockname(listenSocket_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    return 0;
}

bool Server::Start()
{
    if (listenSocket_ < 0)
        return false;
    stopping_ = false;
    try {
        acceptThread_ = std::thread([this] {
            NameThisThread("tav accept");
            AcceptLoop();
        });
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void Server::Stop()
{
    stopping_ = true;
    {
        std::lock_guard lock(slotFreedMutex_);
        slotFreed_.notify_all();
    }
    if (listenSocket_ >= 0)
        ::shutdown(listenSocket_, SHUT_RDWR);
    if (acceptThread_.joinable())
        acceptThread_.join();
    for (const Held &h : held_)
        ::close(h.fd);
    held_.clear();
    if (listenSocket_ >= 0) {
        ::close(listenSocket_);
        listenSocket_ = -1;
    }
    // Wake every receive thread; each runs its own release and ends.
    for (auto &rec : table_.records) {
        std::lock_guard lock(rec.infoMutex);
        if (rec.socket >= 0)
            ::shutdown(rec.socket, SHUT_RDWR);
        rec.ring.Close();
    }
    for (auto &rec : table_.records)
        if (rec.receiveThread.joinable())
            rec.receiveThread.join();
}

void Server::AcceptLoop()
{
    while (!stopping_) {
        const double now = SteadySeconds();
        if (policy_.patrol && now - lastPatrol_ >= kPatrolInterval) {
            lastPatrol_ = now;
            Patrol(now);
        }
        int slot = table_.onlineCount.load() >= kSlotCount ? -1 : table_.FindFreeSlot();
        if (slot < 0) {
            if (now >= listenPausedUntil_)
                WhileFull(now);
            // Pending sensors wait in the listen backlog until a slot frees.
            std::unique_lock lock(slotFreedMutex_);
            slotFreed_.wait_for(lock, std::chrono::duration<double>(kPatrolInterval), [&] {
                return stopping_.load() || (table_.onlineCount.load() < kSlotCount && table_.FindFreeSlot() >= 0);
            });
            continue;
        }
        if (!held_.empty()) {
            // The connections that waited while the table was full go first.
            const Held h = held_.front();
            held_.pop_front();
            if (PeerGone(h.fd))
                ::close(h.fd);
            else
                Place(slot, h.fd, h.peer);
            continue;
        }
        if (now < listenPausedUntil_) {
            // Descriptors ran out: leave the backlog alone for a while
            // instead of failing again at once.
            std::unique_lock lock(slotFreedMutex_);
            slotFreed_.wait_for(lock, std::chrono::duration<double>(listenPausedUntil_ - now),
                                [&] { return stopping_.load(); });
            continue;
        }
        // A new connection ends the wait at once, Stop too (it shuts the
        // listening socket down); otherwise it lasts until the next patrol.
        pollfd pfd{listenSocket_, POLLIN, 0};
        int ready = ::poll(&pfd, 1, int(kPatrolInterval * 1000));
        if (ready <= 0 || stopping_)
            continue;
        sockaddr_in peer{};
        bool refused = false;
        const int fd = AcceptOne(&peer, SteadySeconds(), &refused);
        if (fd < 0)
            continue;
        // A lower slot may have freed during the wait: take the lowest now.
        slot = table_.FindFreeSlot();
        if (slot < 0) {
            held_.push_back({fd, peer});
            continue;
        }
        Place(slot, fd, peer);
    }
}

int Server::AcceptOne(sockaddr_in *peer, double now, bool *refused)
{
    *refused = false;
    socklen_t len = sizeof *peer;
    int fd = ::accept4(listenSocket_, reinterpret_cast<sockaddr *>(peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return -1;
        if (AcceptTrouble::Classify(err) != AcceptTrouble::Kind::Retry)
            acceptFailures_.fetch_add(1);
        AcceptTrouble::Report r = trouble_.Failed(err, now);
        if (r.message)
            sink_.Post(StationEvent::Text(kMessageEvent, r.text.c_str()));
        if (r.acceptBox)
            sink_.Post(StationEvent::Make(kAcceptFailedEvent, err));
        if (r.logLine)
            sink_.Post(StationEvent::Text(kLogLineEvent, r.text.c_str()));
        if (r.message || r.acceptBox || r.logLine)
            std::fprintf(stderr, "tavenor: %s\n", r.message || r.logLine ? r.text.c_str() : "accept failed");
        if (r.backoff > 0)
            listenPausedUntil_ = now + r.backoff;
        return -1;
    }
    if (trouble_.Exhausted()) {
        const std::string text = trouble_.Succeeded();
        if (!text.empty())
            sink_.Post(StationEvent::Text(kLogLineEvent, text.c_str()));
    }
    const uint32_t address = ntohl(peer->sin_addr.s_addr);
    if (!policy_.allow.Allows(address)) {
        *refused = true;
        refused_.fetch_add(1);  // before the close, which the peer sees
        ::close(fd);
        uint64_t suppressed = 0;
        if (refusals_.Due(address, now, &suppressed)) {
            char text[200];
            if (suppressed > 0)
                std::snprintf(text, sizeof text, "拒绝来自%s的连接：不在允许列表中（此前1分钟内另拒绝%llu次）",
                              Ipv4Text(address).c_str(), static_cast<unsigned long long>(suppressed));
            else
                std::snprintf(text, sizeof text, "拒绝来自%s的连接：不在允许列表中", Ipv4Text(address).c_str());
            sink_.Post(StationEvent::Text(kLogLineEvent, text));
        }
        return -1;
    }
    return fd;
}

void Server::WhileFull(double now)
{
    // A held connection whose peer has already gone (nothing to read, end
    // of stream) is let go, so that a peer that only opens and closes
    // connections cannot make room for itself.
    for (auto it = held_.begin(); it != held_.end();) {
        if (PeerGone(it->fd)) {
            ::close(it->fd);
            it = held_.erase(it);
        } else {
            ++it;
        }
    }
    while (held_.size() < kMaxHeld && !stopping_ && now >= listenPausedUntil_) {
        sockaddr_in peer{};
        bool refused = false;
        const int fd = AcceptOne(&peer, now, &refused);
        if (fd < 0) {
            if (refused)
                continue;  // look at the next
            break;
        }
        if (PeerGone(fd)) {
            ::close(fd);
            continue;
        }
        held_.push_back({fd, peer});
    }
    if (held_.empty() || !policy_.patrol)
        return;
    const int slot = patrol_.TakeEviction(now, int(held_.size()));
    if (slot < 0)
        return;
    ConnectionRecord &rec = table_.records[slot];
    char text[400];
    const int waiting = int(held_.size()) + ListenBacklog();
    std::snprintf(text, sizeof text,
                  "40个连接已全部占用，%d个新连接在等待：连接%d（%s）已%.0f秒没有发送有效数据帧，关闭以腾出位置",
                  waiting, slot, PeerText(rec.peer).c_str(), patrol_.SilentFor(slot, now));
    evicted_.fetch_add(1);
    CloseForPatrol(rec, text);
}

void Server::Patrol(double now)
{
    for (auto &rec : table_.records) {
        PeerSample sample;
        sample.inUse = rec.InUse();
        sample.generation = rec.generation.load(std::memory_order_acquire);
        sample.frames = rec.packetsParsed.load(std::memory_order_relaxed) +
                        rec.repliesParsed.load(std::memory_order_relaxed);
        sample.junkBytes = rec.droppedBytes.load(std::memory_order_relaxed);
        sample.setAside = table_.acquisitionState.load(std::memory_order_relaxed) == 2 &&
                          table_.selectedConnection.load(std::memory_order_relaxed) == rec.slotIndex;
        patrol_.Observe(rec.slotIndex, sample, now);
        if (!patrol_.TakeGarbage(rec.slotIndex, now))
            continue;
        char text[400];
        std::snprintf(text, sizeof text,
                      "连接%d（%s）%.0f秒内只发来%llu字节无效数据、没有任何数据帧，已关闭；开头为 %s", rec.slotIndex,
                      PeerText(rec.peer).c_str(), patrol_.ConnectedFor(rec.slotIndex, now),
                      static_cast<unsigned long long>(sample.junkBytes), JunkText(rec).c_str());
        garbageClosed_.fetch_add(1);
        CloseForPatrol(rec, text);
    }
}

void Server::CloseForPatrol(ConnectionRecord &rec, const char *text)
{
    std::fprintf(stderr, "tavenor: %s\n", text);
    sink_.Post(StationEvent::Text(kLogLineEvent, text));
    // The receive thread sees the end of the stream and releases the slot
    // as for a peer that closed; only this thread reuses slots, so the
    // connection cannot have changed since the decision.
    std::lock_guard lock(rec.infoMutex);
    if (rec.socket >= 0)
        ::shutdown(rec.socket, SHUT_RDWR);
}

int Server::ListenBacklog() const
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(listenSocket_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return 0;
    // On a listening socket Linux reports the accept queue's length here.
    return int(info.tcpi_unacked);
}

void Server::Place(int slot, int fd, const sockaddr_in &peer)
{
    ConnectionRecord &rec = table_.records[slot];
    int size = 0;
    socklen_t optLen = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &optLen) == 0) {
        size = kReceiveBufferBytes;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &optLen);
    }
    // Commands are sent from the window thread; a sensor that stops reading
    // must not hang it.
    timeval sendTimeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

    // The previous connection's threads have ended (FindFreeSlot checked);
    // joining only collects them.
    if (rec.receiveThread.joinable())
        rec.receiveThread.join();
    if (rec.parserThread.joinable())
        rec.parserThread.join();

    // A reused slot starts clean.
    rec.ring.Reset();
    rec.packetIndex = 0;
    rec.currentBuffer = 0;
    rec.blocksReady[0] = rec.blocksReady[1] = 0;
    rec.recordingPosition = 0;
    rec.recordingLength = 0;
    rec.bytesReceived = 0;
    rec.packetsParsed = 0;
    rec.droppedBytes = 0;
    rec.blocksCompleted = 0;
    rec.replyWaitUntil = 0;
    rec.repliesParsed = 0;
    rec.repliesAwaited = 0;
    rec.firstJunkLength.store(0, std::memory_order_relaxed);
    const uint32_t generation = rec.generation.fetch_add(1) + 1;
    // A new sensor in a reused slot inherits nothing of the previous one: its
    // identity, speed band, speed capture and current statistics window.
    rec.sensorAddress = 0;
    rec.packetsPerBlock = 23;
    {
        // The processing thread may still be estimating the previous
        // sensor's speed; it does so under this lock.
        std::lock_guard lock(rec.conditionMutex);
        rec.samplingFrequency = 27000.0f;
        ResetSpeedBand(rec);
        rec.speedFromRecord = 0;
        rec.speedEstimates = 0;
        rec.cond.captureLimit = 80001;
        rec.cond.captureCount = 0;
        ResetStatisticsWindow(rec.cond);
        // Nor the last window of the previous sensor: until its own first
        // window closes (windows == 0) the newcomer has no statistics.
        std::lock_guard statsLock(rec.cond.statsMutex);
        rec.cond.stats = WindowStats{};
    }

    // The slot keeps its recording buffer from one connection to the next
    // (Release gives its pages back): reserving and returning 96 MiB at
    // every accept and release is cheap with the system allocator but takes
    // tens of milliseconds with an instrumenting one or on a loaded machine,
    // all of it on this thread, so a churn of short connections held every
    // sensor behind it waiting for seconds. A buffer a save still reads is
    // left to the save and a new one reserved.
    std::shared_ptr<RecordingBuffer> buffer;
    {
        std::lock_guard lock(rec.recordingMutex);
        if (rec.recording && rec.recording.use_count() == 1 && rec.recording->capacity == kRecordingCapacity)
            buffer = std::move(rec.recording);
        rec.recording.reset();
    }
    if (!buffer)
        buffer = AllocateRecordingBuffer(kRecordingCapacity);
    if (!buffer) {
        char text[160];
        std::snprintf(text, sizeof text, "连接%d的录制缓冲区分配失败，该连接不录制数据", slot);
        std::fprintf(stderr, "%s\n", text);
        sink_.Post(StationEvent::Text(kLogLineEvent, text));
    }
    {
        std::lock_guard lock(rec.recordingMutex);
        rec.recording = std::move(buffer);
    }
    {
        std::lock_guard lock(rec.infoMutex);
        rec.socket = fd;
        rec.peer = peer;
    }
    rec.peerIpHost.store(ntohl(peer.sin_addr.s_addr));
    rec.peerPortHost.store(ntohs(peer.sin_port));
    handler_.OnAccepted(rec);
    patrol_.Accepted(slot, generation, SteadySeconds());

    rec.threadsRunning = true;
    table_.onlineCount.fetch_add(1);
    rec.inUse.store(1, std::memory_order_release);
    // Threads can run out (process limits, memory): the connection is then
    // closed and the slot freed, and the station goes on.
    try {
        rec.parserThread = std::thread([this, &rec] {
            NameThisThread(("tav parse " + std::to_string(rec.slotIndex)).c_str());
            handler_.RunParser(rec);
        });
        rec.receiveThread = std::thread(&Server::ReceiveLoop, this, std::ref(rec));
    } catch (const std::system_error &) {
        rec.ring.Close();
        if (rec.parserThread.joinable())
            rec.parserThread.join();
        {
            std::lock_guard lock(rec.infoMutex);
            ::close(rec.socket);
            rec.socket = -1;
        }
        {
            std::lock_guard lock(rec.recordingMutex);
            rec.recording.reset();
        }
        rec.inUse.store(0, std::memory_order_release);
        DecrementOnline(table_.onlineCount);
        rec.threadsRunning = false;
        char text[160];
        std::snprintf(text, sizeof text, "无法为连接%d（%s）创建线程，已关闭该连接", slot, PeerText(peer).c_str());
        std::fprintf(stderr, "tavenor: %s\n", text);
        sink_.Post(StationEvent::Text(kLogLineEvent, text));
    }
}

void Server::Release(ConnectionRecord &rec)
{
    {
        std::lock_guard lock(rec.infoMutex);
        if (rec.socket >= 0)
            ::close(rec.socket);
        rec.socket = -1;
    }
    rec.inUse.store(0, std::memory_order_release);
    // Counted off with the mark, not after the parser has been joined: a
    // release takes a while when many connections end at once, and for all
    // that time the count would disagree with the slots in use. The slot is
    // not taken again before threadsRunning clears below.
    DecrementOnline(table_.onlineCount);
    rec.ring.Close();
    if (rec.parserThread.joinable())
        rec.parserThread.join();
    handler_.OnReleased(rec);
    {
        // Kept for the slot's next connection with its pages given back to
        // the system, unless a save holds it (which then frees it). A save
        // that takes the buffer after this finds an empty recording, as it
        // found no buffer before, never zeroed pages as samples.
        std::lock_guard lock(rec.recordingMutex);
        if (rec.recording && rec.recording.use_count() == 1) {
            rec.recordingLength = 0;
            rec.recordingPosition = 0;
            ReturnRecordingPages(*rec.recording);
        } else {
            rec.recording.reset();
        }
    }
    sink_.Post(StationEvent::Make(kConnectionReleasedEvent, rec.slotIndex, rec.generation.load()));
    {
        std::lock_guard lock(slotFreedMutex_);
        rec.threadsRunning = false;
        slotFreed_.notify_all();
    }
}

}  // namespace tav
