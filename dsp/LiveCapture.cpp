#include "dsp/LiveCapture.h"

#include <algorithm>
#include <cstring>

namespace tav {

LiveCapture::LiveCapture() = default;
LiveCapture::~LiveCapture() = default;

void LiveCapture::Start()
{
    {
        std::lock_guard lock(mutex_);
        // Left uninitialised: the pages cost memory only once written.
        if (!rings_)
            rings_.reset(new float[9 * static_cast<size_t>(kCapacity)]);
        if (!scratch_)
            scratch_.reset(new float[9 * static_cast<size_t>(kScratchRows)]);
        info_.written = 0;
        info_.slot = -1;
        ++info_.epoch;
        head_ = 0;
    }
    active_.store(true, std::memory_order_release);
}

void LiveCapture::Stop() { active_.store(false, std::memory_order_release); }

void LiveCapture::Write(int slot, float fs, const float *const source[3][3], int rows)
{
    if (rows <= 0 || !Active())
        return;
    std::lock_guard lock(mutex_);
    if (!rings_)
        return;
    if (slot != info_.slot || fs != info_.fs) {
        info_.slot = slot;
        info_.fs = fs;
        info_.written = 0;
        ++info_.epoch;
        head_ = 0;
    }
    // A block longer than the rings leaves only its newest rows.
    const int skip = std::max(rows - kCapacity, 0);
    const int n = rows - skip;
    const int first = std::min(n, kCapacity - head_);
    for (int s = 0; s < 9; ++s) {
        const float *from = source[s / 3][s % 3] + skip;
        float *ring = rings_.get() + static_cast<size_t>(s) * kCapacity;
        std::memcpy(ring + head_, from, sizeof(float) * first);
        std::memcpy(ring, from + first, sizeof(float) * (n - first));
    }
    head_ = (head_ + n) % kCapacity;
    info_.written += static_cast<uint64_t>(rows);
}

LiveCapture::Info LiveCapture::Read() const
{
    std::lock_guard lock(mutex_);
    return info_;
}

bool LiveCapture::ReadNewest(int axis, int quantity, int count, float *out, Info &info) const
{
    std::lock_guard lock(mutex_);
    info = info_;
    if (!rings_ || count <= 0 || count > kCapacity || axis < 0 || axis > 2 || quantity < 0 || quantity > 2 ||
        info_.written < static_cast<uint64_t>(count))
        return false;
    const float *ring = rings_.get() + static_cast<size_t>(axis * 3 + quantity) * kCapacity;
    const int start = (head_ - count + kCapacity) % kCapacity;
    const int first = std::min(count, kCapacity - start);
    std::memcpy(out, ring + start, sizeof(float) * first);
    std::memcpy(out + first, ring, sizeof(float) * (count - first));
    return true;
}

}  // namespace tav
