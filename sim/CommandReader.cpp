#include "sim/CommandReader.h"

#include <cstring>

#include "sim/WireFormat.h"

namespace tav::sim {

namespace {

// Whether `p` (with `n` bytes available, possibly fewer than 4) could be the
// start of "PDRT" or "PDWT".
bool CouldBeMarker(const uint8_t *p, size_t n)
{
    static const char *const kMarkers[] = {"PDRT", "PDWT"};
    for (const char *m : kMarkers) {
        size_t k = n < 4 ? n : 4;
        if (std::memcmp(p, m, k) == 0)
            return true;
    }
    return false;
}

}  // namespace

void CommandReader::Feed(const uint8_t *data, size_t len)
{
    if (start_ > 0 && start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
    buf_.insert(buf_.end(), data, data + len);
}

void CommandReader::Drop(size_t n)
{
    start_ += n;
    dropped_ += n;
}

bool CommandReader::Next(std::vector<uint8_t> *frame)
{
    for (;;) {
        size_t avail = buf_.size() - start_;
        const uint8_t *p = buf_.data() + start_;
        if (avail == 0)
            break;
        if (!CouldBeMarker(p, avail)) {
            Drop(1);
            continue;
        }
        if (avail < 6)
            break;
        size_t len = GetU16(p + 4);
        if (len < kMinFrame || len > kMaxFrame || len % 2 != 0) {
            Drop(1);
            continue;
        }
        if (avail < len)
            break;
        if (!HasMarker(p + len - 4, "PEND")) {
            Drop(1);
            continue;
        }
        frame->assign(p, p + len);
        start_ += len;
        return true;
    }
    // Keep the buffer small: move the unread tail to the front.
    if (start_ > 0) {
        buf_.erase(buf_.begin(), buf_.begin() + long(start_));
        start_ = 0;
    }
    return false;
}

void CommandReader::Reset()
{
    buf_.clear();
    start_ = 0;
}

}  // namespace tav::sim
