// framework: a growable array of plain values stored in a HeapBuf, sized in
// elements rather than bytes.
#pragma once

#include "framework/HeapBuf.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace plugfw {

template <typename T>
class TypedBuf {
    static_assert(std::is_trivially_copyable_v<T>, "TypedBuf holds plain values only");
    static_assert(alignof(T) <= alignof(std::max_align_t), "TypedBuf storage is only max_align_t aligned");

public:
    // granularity in bytes, as for HeapBuf.
    explicit TypedBuf(int granularity = 0) noexcept : mBuf(granularity) {}

    [[nodiscard]] T* Get() noexcept { return reinterpret_cast<T*>(mBuf.Get()); }
    [[nodiscard]] const T* Get() const noexcept { return reinterpret_cast<const T*>(mBuf.Get()); }
    [[nodiscard]] int GetSize() const noexcept { return mBuf.GetSize() / static_cast<int>(sizeof(T)); }
    [[nodiscard]] int GetBytes() const noexcept { return mBuf.GetSize(); }

    // Resizes to n elements (new elements are zero bytes) and returns the
    // resulting element count; the old count when memory ran out.
    [[nodiscard]] int Resize(int n, bool allowShrink = true) noexcept
    {
        if (n < 0) {
            n = 0;
        }
        if (static_cast<std::size_t>(n) > static_cast<std::size_t>(INT32_MAX) / sizeof(T)) {
            return GetSize();
        }
        (void)mBuf.Resize(n * static_cast<int>(sizeof(T)), allowShrink);
        return GetSize();
    }

    // Resize and return the data, or null when the resize failed.
    T* ResizeOK(int n, bool allowShrink = true) noexcept
    {
        return Resize(n, allowShrink) == (n < 0 ? 0 : n) ? Get() : nullptr;
    }

    // Appends one value; false when memory ran out.
    bool Add(const T& value) noexcept
    {
        const int n = GetSize();
        if (Resize(n + 1, false) != n + 1) {
            return false;
        }
        std::memcpy(Get() + n, &value, sizeof(T));
        return true;
    }

    // Element i, or null when i is out of range.
    [[nodiscard]] T* GetAt(int i) noexcept { return (i >= 0 && i < GetSize()) ? Get() + i : nullptr; }
    [[nodiscard]] const T* GetAt(int i) const noexcept { return (i >= 0 && i < GetSize()) ? Get() + i : nullptr; }

private:
    HeapBuf mBuf;
};

} // namespace plugfw
