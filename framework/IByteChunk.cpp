// framework: serialised-state byte buffer.
#include "framework/IByteChunk.h"

#include <cstdint>
#include <limits>

namespace plugfw {

int IByteChunk::PutStr(const char* text) noexcept
{
    const std::size_t length = text ? std::strlen(text) : 0;
    if (length > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 2)) {
        return Size();
    }
    const int32_t n = static_cast<int32_t>(length);
    const int before = Size();
    if (Put(&n) != before + 4) {
        return Size();
    }
    if (PutBytes(text, n) != before + 4 + n) {
        (void)mBytes.Resize(before, false); // keep the chunk free of a dangling length
    }
    return Size();
}

int IByteChunk::PutBytes(const void* data, int size) noexcept
{
    const int before = Size();
    if (size <= 0 || !data) {
        return before;
    }
    if (static_cast<int64_t>(before) + size > std::numeric_limits<int32_t>::max()) {
        return before;
    }
    if (mBytes.Resize(before + size, false) != before + size) {
        return Size();
    }
    std::memcpy(mBytes.Get() + before, data, static_cast<std::size_t>(size));
    return Size();
}

int IByteChunk::GetBytes(void* data, int size, int pos) const noexcept
{
    if (pos < 0 || size < 0 || static_cast<int64_t>(pos) + size > Size()) {
        return -1;
    }
    if (size > 0) {
        std::memcpy(data, mBytes.Get() + pos, static_cast<std::size_t>(size));
    }
    return pos + size;
}

int IByteChunk::GetStr(TextBuf& text, int pos) const
{
    int32_t length = 0;
    const int afterLength = Get(&length, pos);
    if (afterLength < 0) {
        return -1;
    }
    if (length < 0 || static_cast<int64_t>(afterLength) + length > Size()) {
        text.Clear();
        return -1;
    }
    if (length < 1) {
        text.Clear();
    } else {
        const char* start = reinterpret_cast<const char*>(mBytes.Get() + afterLength);
        const void* zero = std::memchr(start, 0, static_cast<std::size_t>(length));
        const int textLength = zero ? static_cast<int>(static_cast<const char*>(zero) - start) : length;
        text.Set(std::string(start, static_cast<std::size_t>(textLength)).c_str());
    }
    return afterLength + length;
}

} // namespace plugfw
