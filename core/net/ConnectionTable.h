#pragma once
// The 40 connection slots and the station-wide connection state.
//
// Thread ownership of a record: the accept thread fills it while the slot is
// free; afterwards the receive thread owns the socket and the ring's write
// side, the parser thread the ring's read side, the block and reply buffers
// and the conditioning state; the window thread reads the atomics and takes
// `infoMutex` for the peer address and for sends.
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "core/dsp/ConditionState.h"
#include "core/net/ReceiveRing.h"

namespace tav {

constexpr int kSlotCount = 40;
constexpr uint32_t kBlockBufferSize = 200000;
constexpr int kReplyBufferSize = 200;
constexpr uint32_t kRecordingCapacity = 100663296;  // 96 MiB
constexpr int kDefaultPort = 22009;

// A connection's recording memory. Reserved with malloc so that its pages
// are not touched until written; shared so that a save can keep it alive
// after the connection ends.
struct RecordingBuffer {
    uint8_t *data = nullptr;
    uint32_t capacity = 0;
    ~RecordingBuffer();
};
// Allocates a recording buffer, or returns null when memory is short.
// Tests replace the allocator to inject failures.
using RecordingAllocatorFn = void *(*)(size_t);
extern std::atomic<RecordingAllocatorFn> gRecordingAllocator;
std::shared_ptr<RecordingBuffer> AllocateRecordingBuffer(uint32_t capacity);

struct ConnectionRecord {
    int slotIndex = 0;

    // Connection, guarded by infoMutex (sends and the peer address too).
    std::mutex infoMutex;
    int socket = -1;
    sockaddr_in peer{};
    std::atomic<uint16_t> inUse{0};
    // The peer again, host order, for readers that must not wait on
    // infoMutex (a slow send holds it); set at accept before inUse.
    std::atomic<uint32_t> peerIpHost{0};
    std::atomic<uint16_t> peerPortHost{0};
    // Incremented at every accept into this slot, so that late work for a
    // previous connection (a posted release, a reply) can be told apart.
    std::atomic<uint32_t> generation{0};
    // True from accept until the slot's receive thread has finished its
    // release; only then may the slot be taken again.
    std::atomic<bool> threadsRunning{false};
    std::thread receiveThread;
    std::thread parserThread;

    ReceiveRing ring;

    // Parser-thread state.
    uint8_t blockBuffer[kBlockBufferSize];
    // Latest reply frame. The parser writes it under replyMutex (not
    // infoMutex, which a slow send may hold); the window normally uses the
    // copy that comes with the reply event instead.
    std::mutex replyMutex;
    uint8_t replyBuffer[kReplyBufferSize];
    uint16_t replyLength = 0;
    int currentBuffer = 0;
    int packetIndex = 0;
    int blocksReady[2] = {};
    std::atomic<int> packetsPerBlock{23};

    // Sensor identity, written by the parser, read everywhere.
    std::atomic<uint32_t> sensorAddress{0};
    std::atomic<float> samplingFrequency{27000.0f};
    std::atomic<float> temperature{0.0f};

    // Taken around every ConditionBlock of this slot (parser thread, or the
    // window thread during replay); uncontended in live operation.
    std::mutex conditionMutex;
    ConditionState cond;

    // Transient recording.
    std::mutex recordingMutex;  // guards the pointer, not the bytes
    std::shared_ptr<RecordingBuffer> recording;
    std::atomic<uint32_t> recordingPosition{0};
    std::atomic<uint32_t> recordingLength{0};

    // Speed settings and result (rpm and Hz), read by the processing thread.
    std::atomic<float> ratedSpeed{1500.0f};
    std::atomic<float> ratedFrequency{25.0f};
    std::atomic<float> measuredSpeed{0.0f};
    // Estimates since the connection was accepted: until the first one,
    // measuredSpeed is no measurement (the steady values carry no speed).
    std::atomic<uint32_t> speedEstimates{0};
    std::atomic<float> upperSearchLimit{25.5f};
    std::atomic<float> lowerSearchLimit{13.0f};
    // 1 while the search limits come from the sensor's device record; 0 while
    // the start-up band is searched and the speed is only a guess.
    std::atomic<int> speedFromRecord{0};

    // Counters since the connection was accepted.
    std::atomic<uint64_t> bytesReceived{0};
    std::atomic<uint64_t> packetsParsed{0};
    std::atomic<uint64_t> droppedBytes{0};
    std::atomic<uint64_t> blocksCompleted{0};
    std::atomic<uint64_t> repliesParsed{0};
    // The first bytes that started no frame, for the log line of a peer
    // closed as garbage: the parser appends up to their capacity and then
    // publishes the length; bytes below a published length never change.
    static constexpr int kFirstJunkBytes = 16;
    uint8_t firstJunk[kFirstJunkBytes] = {};
    std::atomic<uint8_t> firstJunkLength{0};

    // Until when (steady clock, ns) a reply to a command sent is expected;
    // written by Server::Send, read by the receive thread. The wait ends
    // early once repliesParsed reaches repliesAwaited (written by Send
    // under infoMutex).
    std::atomic<int64_t> replyWaitUntil{0};
    std::atomic<uint64_t> repliesAwaited{0};

    bool InUse() const { return inUse.load(std::memory_order_acquire) != 0; }
};

// The sensor address a list of connections may show for a record:
// kSlotFree for a free slot, kAddressPending until the connection's first
// packet has given its address (the 0 left from the accept is no sensor's),
// else the address. Any thread.
constexpr int64_t kSlotFree = -2, kAddressPending = -1;
int64_t ListedAddress(const ConnectionRecord &rec);

// The speed band of a connection without a device record (1500 rpm, search
// 13 to 25.5 Hz) and no speed measured: a new connection, or a replay
// before its file's sensor record is applied. Caller holds conditionMutex
// when the processing thread may be estimating for this record.
void ResetSpeedBand(ConnectionRecord &rec);

// About 17 MB: allocate it on the heap, once.
struct ConnectionTable {
    ConnectionRecord records[kSlotCount];
    std::atomic<int> onlineCount{0};
    std::atomic<int> selectedConnection{-1};
    std::atomic<int> acquisitionState{0};  // 0 idle, 1 recording, 2 replay
    std::atomic<int> lastReceiveLength{0};
    std::atomic<int64_t> lastReceiveTime{0};  // seconds since the epoch

    ConnectionTable();
    ConnectionRecord &operator[](int slot) { return records[slot]; }
    // Lowest slot that is neither in use nor still being released, or -1.
    int FindFreeSlot() const;
    int CountInUse() const;
};

}  // namespace tav
