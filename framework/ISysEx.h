// framework: a system-exclusive message that refers to bytes owned elsewhere,
// and the fixed-size copy of one that travels through the message queues.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace plugfw {

struct ISysEx {
    int32_t mOffset = 0;
    int32_t mSize = 0;
    const uint8_t* mData = nullptr;

    constexpr ISysEx() noexcept = default;
    constexpr ISysEx(int32_t offset, const uint8_t* data, int32_t size) noexcept
        : mOffset(offset), mSize(size), mData(data)
    {
    }
};

// The queued copy of a system-exclusive message: at most kMaxBytes bytes.
struct SysExData {
    static constexpr int kMaxBytes = 512;

    int32_t mOffset = 0;
    int32_t mSize = 0;
    uint8_t mData[kMaxBytes] = {};

    SysExData() noexcept = default;

    // Copies offset and size and the bytes (zeros when data is null). A message
    // longer than kMaxBytes is cut to kMaxBytes and its size says so.
    SysExData(int32_t offset, int32_t size, const uint8_t* data) noexcept
        : mOffset(offset), mSize(std::clamp(size, 0, kMaxBytes))
    {
        if (data && mSize > 0) {
            std::memcpy(mData, data, static_cast<std::size_t>(mSize));
        }
    }
};

} // namespace plugfw
