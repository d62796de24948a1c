#pragma once
// Cuts the station's register commands ("PDRT" reads, "PDWT" writes) out of
// the byte stream a sensor receives. TCP may deliver a command in pieces or
// several in one read, so bytes are collected until a frame is complete.
// Bytes that start no plausible frame are dropped one at a time until the
// stream is in step again. Single-threaded.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tav::sim {

class CommandReader {
public:
    // Shortest frame (a read or single write) and a bound well above the
    // longest block write of the whole register map.
    static constexpr size_t kMinFrame = 24;
    static constexpr size_t kMaxFrame = 256;

    void Feed(const uint8_t *data, size_t len);
    // Moves the next complete frame into *frame; false while none is complete.
    bool Next(std::vector<uint8_t> *frame);
    // Discards everything, e.g. when the connection ends.
    void Reset();

    uint64_t DroppedBytes() const { return dropped_; }
    size_t Pending() const { return buf_.size() - start_; }

private:
    void Drop(size_t n);

    std::vector<uint8_t> buf_;
    size_t start_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace tav::sim
