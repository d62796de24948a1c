#pragma once
// Bytes a sensor has produced but the socket has not yet taken, kept as whole
// frames so that a reply always goes out between two packets and so that the
// counts of packets and replies cover only frames written to the end.
// Single-threaded: owned by one sensor.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <sys/uio.h>
#include <vector>

#include "sim/SensorStats.h"

namespace tav::sim {

class OutputQueue {
public:
    enum class Kind { Packet, Reply, Junk, Partial };

    // Gathers `count` pieces into one write (as writev does). Returns bytes
    // accepted, 0 when the socket would block, < 0 on error.
    using WriteFn = std::function<long(const iovec *, int count)>;

    void Push(Kind kind, const uint8_t *data, size_t len);
    // Writes until the socket would block or the queue is empty, handing all
    // queued frames to one write call so that a burst leaves as one piece.
    // Returns false on a write error. Counts bytes and finished frames in *stats.
    bool Flush(const WriteFn &write, SensorStats *stats);
    void Clear();

    size_t Bytes() const { return bytes_; }
    bool Empty() const { return frames_.empty(); }

private:
    struct Frame {
        Kind kind;
        std::vector<uint8_t> bytes;
    };
    std::deque<Frame> frames_;
    size_t frontOffset_ = 0;  // bytes of the front frame already written
    size_t bytes_ = 0;        // unwritten bytes in all frames
};

}  // namespace tav::sim
