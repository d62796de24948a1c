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
    while (!frames_.empty()) {
        Frame &f = frames_.front();
        long n = write(f.bytes.data() + frontOffset_, f.bytes.size() - frontOffset_);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        Bump(stats->bytesSent, uint64_t(n));
        frontOffset_ += size_t(n);
        bytes_ -= size_t(n);
        if (frontOffset_ < f.bytes.size())
            continue;
        if (f.kind == Kind::Packet)
            Bump(stats->packetsSent);
        else if (f.kind == Kind::Reply)
            Bump(stats->repliesSent);
        frames_.pop_front();
        frontOffset_ = 0;
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
