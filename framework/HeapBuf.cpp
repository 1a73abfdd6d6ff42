// framework: growable byte buffer.
#include "framework/HeapBuf.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>

namespace plugfw {

HeapBuf::HeapBuf(int granularity) noexcept
    : mGranularity(granularity > 0 ? granularity : 1)
{
}

int HeapBuf::Resize(int newSize, bool allowShrink) noexcept
{
    const std::size_t target = static_cast<std::size_t>(std::max(newSize, 0));
    const std::size_t granule = static_cast<std::size_t>(mGranularity);
    const std::size_t rounded = (target + granule - 1) / granule * granule;
    try {
        if (target > mBytes.capacity()) {
            mBytes.reserve(std::max(rounded, target));
        } else if (allowShrink && mBytes.capacity() > rounded + granule) {
            // Give storage back: build a buffer of the rounded capacity and swap.
            std::vector<uint8_t> smaller;
            smaller.reserve(rounded);
            smaller.assign(mBytes.begin(), mBytes.begin() + static_cast<std::ptrdiff_t>(std::min(target, mBytes.size())));
            mBytes.swap(smaller);
        }
        mBytes.resize(target);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return GetSize();
}

uint8_t* HeapBuf::ResizeOK(int newSize, bool allowShrink) noexcept
{
    if (Resize(newSize, allowShrink) != std::max(newSize, 0)) {
        return nullptr;
    }
    return mBytes.data();
}

} // namespace plugfw
