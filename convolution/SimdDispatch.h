// convolution: how the vectorised loops pick their instruction set, shared by
// every file of kernels. A function marked DSPKIT_HOT is compiled twice, for
// x86-64-v3 (AVX2 + FMA) and for the baseline, and the loader picks the clone
// the processor runs; so the library runs on any x86-64 processor and uses
// AVX2/FMA where present. ThreadSanitizer builds use the plain loops: their
// runtime is not ready when the loader runs the clone resolvers, and the
// programs crash at start.
#pragma once

#include <cstring>

#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
#define DSPKIT_CLONES 1
#define DSPKIT_HOT __attribute__((target_clones("arch=x86-64-v3", "default")))
// For a kernel whose AVX2 form is written by hand and chosen at run time with
// hasX86V3 (a clone cannot be given code the baseline does not accept).
#define DSPKIT_X86_V3 __attribute__((target("arch=x86-64-v3")))
#else
#define DSPKIT_CLONES 0
#define DSPKIT_HOT
#endif

namespace dspkit::simd {

// Eight floats; the baseline clone splits it into two SSE registers.
typedef float Float8 __attribute__((vector_size(32)));

// Unaligned loads and stores of eight floats. Forced inline, as is every
// helper the kernels call, so that each clone compiles them for its own target.
[[gnu::always_inline]] inline void load8(Float8& v, const float* p) noexcept
{
    std::memcpy(&v, p, sizeof v);
}

[[gnu::always_inline]] inline void store8(float* p, const Float8& v) noexcept
{
    std::memcpy(p, &v, sizeof v);
}

[[gnu::always_inline]] inline void addStore8(float* p, const Float8& v) noexcept
{
    Float8 sum;
    load8(sum, p);
    sum += v;
    store8(p, sum);
}

#if DSPKIT_CLONES
// Whether the processor runs x86-64-v3 code, read once at load time.
inline const bool hasX86V3 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("x86-64-v3") != 0;
}();
#endif

} // namespace dspkit::simd
