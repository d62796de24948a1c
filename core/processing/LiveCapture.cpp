#include "core/processing/LiveCapture.h"

#include <algorithm>
#include <cstring>

namespace tav {

LiveCapture::LiveCapture() = default;
LiveCapture::~LiveCapture() = default;

void LiveCapture::Open()
{
    // Left uninitialised: the pages cost memory only once written.
    if (!rings_)
        rings_.reset(new float[9 * static_cast<size_t>(kCapacity)]);
    if (!scratch_)
        scratch_.reset(new float[9 * static_cast<size_t>(kScratchRows)]);
    // Data kept while no one held the capture are not there; a reader that
    // joins the one already keeping keeps what the other sees.
    if (started_ || holders_ > 0)
        return;
    info_.written = 0;
    info_.slot = -1;
    ++info_.epoch;
    head_ = 0;
}

void LiveCapture::UpdateActive() { active_.store(started_ || holders_ > 0, std::memory_order_release); }

void LiveCapture::Start()
{
    std::lock_guard lock(mutex_);
    Open();
    started_ = true;
    UpdateActive();
}

void LiveCapture::Stop()
{
    std::lock_guard lock(mutex_);
    started_ = false;
    UpdateActive();
}

void LiveCapture::Hold()
{
    std::lock_guard lock(mutex_);
    Open();
    ++holders_;
    UpdateActive();
}

void LiveCapture::Release()
{
    std::lock_guard lock(mutex_);
    if (holders_ > 0)
        --holders_;
    UpdateActive();
}

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

bool LiveCapture::ReadRows(int axis, int quantity, uint64_t first, int count, float *out, Info &info) const
{
    std::lock_guard lock(mutex_);
    info = info_;
    if (!rings_ || count <= 0 || count > kCapacity || axis < 0 || axis > 2 || quantity < 0 || quantity > 2 ||
        first + static_cast<uint64_t>(count) > info_.written ||
        first + static_cast<uint64_t>(kCapacity) < info_.written)
        return false;
    // head_ is where row `written` goes; row `first` lies that far behind.
    const uint64_t back = info_.written - first;
    const int start = static_cast<int>((static_cast<uint64_t>(head_) + kCapacity - back) % kCapacity);
    const float *ring = rings_.get() + static_cast<size_t>(axis * 3 + quantity) * kCapacity;
    const int part = std::min(count, kCapacity - start);
    std::memcpy(out, ring + start, sizeof(float) * part);
    std::memcpy(out + part, ring, sizeof(float) * (count - part));
    return true;
}

}  // namespace tav
