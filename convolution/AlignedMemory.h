// convolution: the one allocation helper for buffers that the FFT layer and the
// vectorised loops work on. Every buffer starts on a 64-byte boundary, which
// satisfies the FFT plans (made for aligned arrays) and any vector width.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace dspkit {

inline constexpr std::size_t kBufferAlignment = 64;

// Returns count elements of uninitialised, 64-byte aligned memory, or null when
// the allocation fails. A count of 0 still yields a valid (minimal) block.
template <class T>
T* allocateAligned(std::size_t count) noexcept
{
    if (count > (static_cast<std::size_t>(-1) - kBufferAlignment) / sizeof(T)) {
        return nullptr;
    }
    std::size_t bytes = count * sizeof(T);
    bytes = (bytes + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
    if (bytes == 0) {
        bytes = kBufferAlignment;
    }
    return static_cast<T*>(std::aligned_alloc(kBufferAlignment, bytes));
}

inline void freeAligned(void* pointer) noexcept
{
    std::free(pointer);
}

struct AlignedDeleter {
    void operator()(void* pointer) const noexcept { freeAligned(pointer); }
};

template <class T>
using AlignedArray = std::unique_ptr<T[], AlignedDeleter>;

// As allocateAligned, but throws std::bad_alloc on failure: for constructors,
// which must not leave a half-built object behind.
template <class T>
AlignedArray<T> makeAlignedArray(std::size_t count)
{
    T* pointer = allocateAligned<T>(count);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return AlignedArray<T>(pointer);
}

} // namespace dspkit
