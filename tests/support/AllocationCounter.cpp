// tests/support: replaced global allocation and free functions that feed AllocationCounter.
#include "tests/support/AllocationCounter.h"

#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QIR_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QIR_TEST_SANITIZED 1
#endif
#endif

namespace {
// Initial-exec TLS in the executable: reading it never allocates.
thread_local std::size_t tAllocations = 0;
thread_local std::size_t tFrees = 0;
thread_local int tActiveCounters = 0;

inline void noteAllocation() noexcept
{
    if (tActiveCounters > 0) {
        ++tAllocations;
    }
}

inline void noteFree(const void* p) noexcept
{
    if (p != nullptr && tActiveCounters > 0) {
        ++tFrees;
    }
}
} // namespace

namespace qirtest {

AllocationCounter::AllocationCounter() : mStart(tAllocations), mFreeStart(tFrees) { ++tActiveCounters; }
AllocationCounter::~AllocationCounter() { --tActiveCounters; }
std::size_t AllocationCounter::count() const { return tAllocations - mStart; }
std::size_t AllocationCounter::frees() const { return tFrees - mFreeStart; }

bool AllocationCounter::countsMalloc()
{
#ifdef QIR_TEST_SANITIZED
    return false;
#else
    return true;
#endif
}

} // namespace qirtest

#ifndef QIR_TEST_SANITIZED
// Interpose the C allocator so that allocations made inside third-party code
// (FFTW, BLAS, the C++ runtime) are counted as well.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size)
{
    noteAllocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    noteAllocation();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    noteAllocation();
    return __libc_realloc(p, size);
}
void free(void* p)
{
    noteFree(p);
    __libc_free(p);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    noteAllocation();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return 12; // ENOMEM
    }
    *out = p;
    return 0;
}
void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    noteAllocation();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size)
{
    noteAllocation();
    return __libc_memalign(alignment, size);
}
}
#endif

// operator new and delete are counted in every build. Under a sanitizer the
// replacements forward to the sanitizer's malloc and free, so its checks stay in
// force.
namespace {
void* rawMalloc(std::size_t size)
{
#ifdef QIR_TEST_SANITIZED
    return std::malloc(size);
#else
    return __libc_malloc(size);
#endif
}
// Frees without passing through the interposed free, so that a delete is counted once.
void rawFree(void* p) noexcept
{
#ifdef QIR_TEST_SANITIZED
    std::free(p);
#else
    __libc_free(p);
#endif
}
void countedDelete(void* p) noexcept
{
    noteFree(p);
    rawFree(p);
}
void* rawAlignedAlloc(std::size_t alignment, std::size_t size)
{
#ifdef QIR_TEST_SANITIZED
    return std::aligned_alloc(alignment, size);
#else
    return __libc_memalign(alignment, size);
#endif
}
void* countedNew(std::size_t size)
{
    noteAllocation();
    if (size == 0) {
        size = 1;
    }
    if (void* p = rawMalloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* countedAlignedNew(std::size_t size, std::align_val_t alignment)
{
    noteAllocation();
    std::size_t a = static_cast<std::size_t>(alignment);
    if (a < sizeof(void*)) {
        a = sizeof(void*);
    }
    std::size_t rounded = (size + a - 1) / a * a;
    if (rounded == 0) {
        rounded = a;
    }
    if (void* p = rawAlignedAlloc(a, rounded)) {
        return p;
    }
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size) { return countedNew(size); }
void* operator new[](std::size_t size) { return countedNew(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return countedNew(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return countedNew(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t a) { return countedAlignedNew(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return countedAlignedNew(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    try {
        return countedAlignedNew(size, a);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    try {
        return countedAlignedNew(size, a);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { countedDelete(p); }
void operator delete[](void* p) noexcept { countedDelete(p); }
void operator delete(void* p, std::size_t) noexcept { countedDelete(p); }
void operator delete[](void* p, std::size_t) noexcept { countedDelete(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedDelete(p); }
void operator delete[](void* p, std::align_val_t) noexcept { countedDelete(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { countedDelete(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { countedDelete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedDelete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedDelete(p); }
