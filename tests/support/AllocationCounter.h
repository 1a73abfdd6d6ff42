// tests/support: counts heap allocations and frees made by the current thread,
// to prove that audio-thread code neither allocates nor frees once it has
// reached steady state.
#pragma once

#include <cstddef>

namespace qirtest {

// While an AllocationCounter is alive, every operator new (all forms) and, in
// builds without a sanitizer, every malloc/calloc/realloc/posix_memalign/
// aligned_alloc made by the thread that created it is counted; so is every
// operator delete (all forms) and, without a sanitizer, every free of a non-null
// pointer. Allocations and frees by other threads are not counted.
class AllocationCounter {
public:
    AllocationCounter();
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    // Allocations counted so far on this thread.
    [[nodiscard]] std::size_t count() const;
    // Frees (of non-null pointers) counted so far on this thread.
    [[nodiscard]] std::size_t frees() const;

    // True when the C allocation functions (malloc, free and kin) are counted
    // too (not under sanitizers, which own malloc themselves).
    [[nodiscard]] static bool countsMalloc();

private:
    std::size_t mStart;
    std::size_t mFreeStart;
};

} // namespace qirtest
