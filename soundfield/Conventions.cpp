// soundfield: channel-order and normalisation conversion of ambisonic frames.
#include "soundfield/Conventions.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

constexpr float kSqrt2 = 1.4142135f;
constexpr float kSqrt3 = 1.7320508f;
constexpr float kInvSqrt2 = 0.70710677f;
constexpr float kInvSqrt3 = 0.57735026f;

float* channel(float* signal, int c, int signalLength) noexcept
{
    return signal + static_cast<std::size_t>(c) * static_cast<std::size_t>(signalLength);
}

void swapChannels(float* signal, int a, int b, int signalLength) noexcept
{
    cblas_sswap(signalLength, channel(signal, a, signalLength), 1, channel(signal, b, signalLength), 1);
}

void scaleChannels(float* signal, int first, int count, int signalLength, float factor) noexcept
{
    cblas_sscal(count * signalLength, factor, channel(signal, first, signalLength), 1);
}

// Scales every degree n by sqrt(2n + 1) (toN3D) or its reciprocal.
void scaleDegrees(float* signal, int order, int signalLength, bool toN3D) noexcept
{
    for (int n = 1; n <= order; ++n) {
        const float norm = std::sqrt(static_cast<float>(2 * n + 1));
        scaleChannels(signal, n * n, 2 * n + 1, signalLength, toN3D ? norm : 1.0f / norm);
    }
}

} // namespace

void convertChannelOrder(float* signal, int order, int signalLength, int from, int to) noexcept
{
    if (order <= 0 || signalLength <= 0 || from == to)
        return;
    if (from == kConvertFuMa && to == kConvertACN) {
        swapChannels(signal, 1, 3, signalLength);
        swapChannels(signal, 1, 2, signalLength);
    } else if (from == kConvertACN && to == kConvertFuMa) {
        swapChannels(signal, 1, 2, signalLength);
        swapChannels(signal, 1, 3, signalLength);
    } else {
        return;
    }
    if (order > 1) {
        const int nSH = (order + 1) * (order + 1);
        std::fill(channel(signal, 4, signalLength), channel(signal, nSH, signalLength), 0.0f);
    }
}

void convertNormalisation(float* signal, int order, int signalLength, int from, int to) noexcept
{
    const auto known = [](int code) { return code >= kConvertN3D && code <= kConvertFuMaNorm; };
    if (order <= 0 || signalLength <= 0 || from == to || !known(from) || !known(to))
        return;
    switch (from * 3 + to) {
    case kConvertFuMaNorm * 3 + kConvertSN3D:
        scaleChannels(signal, 0, 1, signalLength, kSqrt2);
        break;
    case kConvertFuMaNorm * 3 + kConvertN3D:
        scaleChannels(signal, 0, 1, signalLength, kSqrt2);
        scaleChannels(signal, 1, 3, signalLength, kSqrt3);
        break;
    case kConvertSN3D * 3 + kConvertFuMaNorm:
        scaleChannels(signal, 0, 1, signalLength, kInvSqrt2);
        break;
    case kConvertSN3D * 3 + kConvertN3D:
        scaleDegrees(signal, order, signalLength, true);
        break;
    case kConvertN3D * 3 + kConvertFuMaNorm:
        scaleChannels(signal, 0, 1, signalLength, kInvSqrt2);
        scaleChannels(signal, 1, 3, signalLength, kInvSqrt3);
        break;
    case kConvertN3D * 3 + kConvertSN3D:
        scaleDegrees(signal, order, signalLength, false);
        break;
    default:
        break;
    }
}
