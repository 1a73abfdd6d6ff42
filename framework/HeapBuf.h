// framework: a growable byte buffer whose capacity grows in steps of a fixed
// granularity, so that repeated small appends reallocate rarely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plugfw {

class HeapBuf {
public:
    // granularity: capacity is rounded up to a multiple of this many bytes
    // (values below 1 mean "exactly what is asked for").
    explicit HeapBuf(int granularity = 0) noexcept;

    HeapBuf(const HeapBuf&) = default;
    HeapBuf& operator=(const HeapBuf&) = default;
    HeapBuf(HeapBuf&&) noexcept = default;
    HeapBuf& operator=(HeapBuf&&) noexcept = default;

    // Sets the size to newSize bytes (negative counts as 0). New bytes are zero.
    // Without allowShrink the storage is never given back; with it, storage that
    // is more than one granule larger than needed is released. Returns the
    // resulting size: equal to newSize on success, the old size when memory could
    // not be obtained (no exception escapes).
    [[nodiscard]] int Resize(int newSize, bool allowShrink = true) noexcept;

    // Resize and return the data pointer, or null when the resize failed.
    uint8_t* ResizeOK(int newSize, bool allowShrink = true) noexcept;

    [[nodiscard]] uint8_t* Get() noexcept { return mBytes.empty() ? nullptr : mBytes.data(); }
    [[nodiscard]] const uint8_t* Get() const noexcept { return mBytes.empty() ? nullptr : mBytes.data(); }
    [[nodiscard]] int GetSize() const noexcept { return static_cast<int>(mBytes.size()); }
    [[nodiscard]] int GetCapacity() const noexcept { return static_cast<int>(mBytes.capacity()); }
    [[nodiscard]] int GetGranularity() const noexcept { return mGranularity; }

private:
    std::vector<uint8_t> mBytes;
    int mGranularity;
};

} // namespace plugfw
