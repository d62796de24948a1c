#include "sim/OutputQueue.h"

namespace tav::sim {

void OutputQueue::Push(Kind kind, const uint8_t *data, size_t len)
{
    if (len == 0)
        return;
    frames_.push_back({kind, std::vector<uint8_t>(data, data + len)});
    bytes_ += len;
}

bool OutputQueue::Flush(const WriteFn &write, SensorStats *stats)
{
    constexpr int kMaxPieces = 64;
    iovec iov[kMaxPieces];
    while (!frames_.empty()) {
        int count = 0;
        size_t offered = 0;
        for (auto it = frames_.begin(); it != frames_.end() && count < kMaxPieces; ++it, ++count) {
            size_t skip = count == 0 ? frontOffset_ : 0;
            iov[count].iov_base = it->bytes.data() + skip;
            iov[count].iov_len = it->bytes.size() - skip;
            offered += iov[count].iov_len;
        }
        long n = write(iov, count);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        Bump(stats->bytesSent, uint64_t(n));
        bytes_ -= size_t(n);
        size_t left = size_t(n);
        while (left > 0) {
            Frame &f = frames_.front();
            size_t rest = f.bytes.size() - frontOffset_;
            if (left < rest) {
                frontOffset_ += left;
                break;
            }
            left -= rest;
            if (f.kind == Kind::Packet)
                Bump(stats->packetsSent);
            else if (f.kind == Kind::Reply) {
                Bump(stats->repliesSent);
                Bump(stats->replyBytesSent, f.bytes.size());
            }
            frames_.pop_front();
            frontOffset_ = 0;
        }
        if (size_t(n) < offered)
            return true;  // the socket took what it could
    }
    return true;
}

void OutputQueue::Clear()
{
    frames_.clear();
    frontOffset_ = 0;
    bytes_ = 0;
}

}  // namespace tav::sim
