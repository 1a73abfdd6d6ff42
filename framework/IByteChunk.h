// framework: a growable byte buffer for serialised state. Values are stored in
// the platform's native byte order and width (little-endian on x86-64); every
// read is bounds-checked and reports failure as position -1.
#pragma once

#include "framework/HeapBuf.h"
#include "framework/TextBuf.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace plugfw {

class IByteChunk {
public:
    static constexpr int kGranularity = 4096;

    IByteChunk() noexcept : mBytes(kGranularity) {}

    // Appends the bytes of one value; returns the new size (unchanged when
    // memory ran out).
    template <typename T>
    int Put(const T* value) noexcept
    {
        static_assert(std::is_trivially_copyable_v<T>, "only plain values are stored");
        return PutBytes(value, static_cast<int>(sizeof(T)));
    }

    // Appends the length as an int32 (no terminator counted) and the characters.
    int PutStr(const char* text) noexcept;
    // Appends raw bytes (nothing for a negative size or null data).
    int PutBytes(const void* data, int size) noexcept;
    // Appends the other chunk's bytes, without a length.
    int PutChunk(const IByteChunk& other) noexcept { return PutBytes(other.GetData(), other.Size()); }

    // Copies one value from pos and returns pos + its size; -1 (target unchanged)
    // when the value does not lie wholly inside the chunk.
    template <typename T>
    [[nodiscard]] int Get(T* value, int pos) const noexcept
    {
        static_assert(std::is_trivially_copyable_v<T>, "only plain values are stored");
        return GetBytes(value, static_cast<int>(sizeof(T)), pos);
    }

    // Copies size bytes from pos; returns pos + size or -1 (target unchanged).
    [[nodiscard]] int GetBytes(void* data, int size, int pos) const noexcept;

    // Reads an int32 length L and then L bytes, cut at the first zero byte.
    // Returns pos + 4 + L, or -1 when the length or the bytes lie outside the
    // chunk or the length is negative (the text is then empty).
    [[nodiscard]] int GetStr(TextBuf& text, int pos) const;

    void Clear() noexcept { (void)mBytes.Resize(0, false); }
    // Sets the size (new bytes are zero) and returns the resulting size.
    [[nodiscard]] int Resize(int newSize) noexcept { return mBytes.Resize(newSize, false); }

    [[nodiscard]] int Size() const noexcept { return mBytes.GetSize(); }
    [[nodiscard]] uint8_t* GetData() noexcept { return mBytes.Get(); }
    [[nodiscard]] const uint8_t* GetData() const noexcept { return mBytes.Get(); }

    [[nodiscard]] bool IsEqual(const IByteChunk& other) const noexcept
    {
        return Size() == other.Size() && (Size() == 0 || std::memcmp(GetData(), other.GetData(), static_cast<std::size_t>(Size())) == 0);
    }

private:
    HeapBuf mBytes;
};

} // namespace plugfw
