// soundfield: the rotator's band-by-band matrix products.
#include "soundfield/BandProducts.h"

#include <algorithm>

// One source, compiled once per instruction set: BandProductKernels.inc is included in a namespace
// of each target's own under that target, and the entry point picks one at run time. Vectors pass
// by value only inside one target's code. The targeted sets are GCC's (its target pragmas and
// level names); other compilers build the baseline alone.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SOUNDFIELD_X86_LEVELS 1
#endif

namespace soundfield_detail {

namespace {

namespace baseline {
typedef float Vector __attribute__((vector_size(16)));
constexpr int kMultiplyRows = 3;
constexpr int kMultiplyVectors = 4;
constexpr int kCrossfadeRows = 2;
constexpr int kCrossfadeVectors = 2;
#include "soundfield/BandProductKernels.inc"
} // namespace baseline

#if defined(SOUNDFIELD_X86_LEVELS)
#pragma GCC push_options
#pragma GCC target("arch=x86-64-v3")
namespace avx2 {
typedef float Vector __attribute__((vector_size(32)));
constexpr int kMultiplyRows = 3;
constexpr int kMultiplyVectors = 4;
constexpr int kCrossfadeRows = 2;
constexpr int kCrossfadeVectors = 2;
#include "soundfield/BandProductKernels.inc"
} // namespace avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("arch=x86-64-v4")
namespace avx512 {
typedef float Vector __attribute__((vector_size(64)));
constexpr int kMultiplyRows = 4;
constexpr int kMultiplyVectors = 4;
constexpr int kCrossfadeRows = 3;
constexpr int kCrossfadeVectors = 4;
#include "soundfield/BandProductKernels.inc"
} // namespace avx512
#pragma GCC pop_options
#endif

} // namespace

EProductLevel bestProductLevel() noexcept
{
#if defined(SOUNDFIELD_X86_LEVELS)
    if (__builtin_cpu_supports("x86-64-v4"))
        return kProductAVX512;
    if (__builtin_cpu_supports("x86-64-v3"))
        return kProductAVX2;
#endif
    return kProductBaseline;
}

void multiplyBands(const float* matrix, int stride, const float* frame, float* const* out, int order,
                   EProductLevel level) noexcept
{
    order = std::clamp(order, 0, 7);
    switch (level) {
#if defined(SOUNDFIELD_X86_LEVELS)
    case kProductAVX512: avx512::multiply(matrix, stride, frame, out, order); return;
    case kProductAVX2: avx2::multiply(matrix, stride, frame, out, order); return;
#endif
    default: baseline::multiply(matrix, stride, frame, out, order); return;
    }
}

void crossfadeBands(const float* matrix, const float* previous, int stride, const float* fadeIn, const float* fadeOut,
                    const float* frame, float* const* out, int order, EProductLevel level) noexcept
{
    order = std::clamp(order, 0, 7);
    switch (level) {
#if defined(SOUNDFIELD_X86_LEVELS)
    case kProductAVX512: avx512::crossfade(matrix, previous, stride, fadeIn, fadeOut, frame, out, order); return;
    case kProductAVX2: avx2::crossfade(matrix, previous, stride, fadeIn, fadeOut, frame, out, order); return;
#endif
    default: baseline::crossfade(matrix, previous, stride, fadeIn, fadeOut, frame, out, order); return;
    }
}

} // namespace soundfield_detail
