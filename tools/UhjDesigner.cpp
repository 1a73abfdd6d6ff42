// tools: UHJ decoder set from the encoding equations and an all-pass pair.
#include "tools/UhjDesigner.h"

#include <algorithm>
#include <cmath>

namespace qirtools {

namespace {
constexpr double kDesignLowHz = 30.0;
constexpr double kDesignHighHz = 19500.0;
constexpr double kBandHighHz = 18000.0;
constexpr double kBandLimitOfRate = 0.45;
constexpr int kFewestSectionsPerBranch = 8;
constexpr int kMostSectionsPerBranch = 12;
} // namespace

double uhjBandHighHz(double sampleRate)
{
    return std::min(kBandHighHz, kBandLimitOfRate * sampleRate);
}

AllPassPair designUhjAllPassPair(double sampleRate)
{
    const double bandHigh = uhjBandHighHz(sampleRate);
    const double designHigh = std::min(kDesignHighHz, kBandLimitOfRate * sampleRate);
    AllPassPair pair;
    for (int sections = kFewestSectionsPerBranch; sections <= kMostSectionsPerBranch; ++sections) {
        pair = AllPassPair::design(sampleRate, kDesignLowHz, designHigh, sections);
        if (pair.maxPhaseErrorDeg(kUhjBandLowHz, bandHigh) <= kUhjPhaseToleranceDeg)
            break;
    }
    return pair;
}

DecoderSet designUhjDecoderSet(const AllPassPair& pair)
{
    using C = UhjCoefficients;
    const double rate = pair.sampleRate();
    const int length = decoderSetResponseLength(rate);
    const std::vector<double> shifted = pair.impulseResponse(0, length);
    const std::vector<double> reference = pair.impulseResponse(1, length);
    const double fumaW = 1.0 / std::sqrt(2.0);

    DecoderSet set(4, length, rate);
    constexpr int kW = 0;
    constexpr int kY = 1;
    constexpr int kX = 3;
    for (int n = 0; n < length; ++n) {
        const double a = reference[static_cast<size_t>(n)];
        const double b = shifted[static_cast<size_t>(n)];
        const double sW = C::kSW * fumaW * a;
        const double dW = C::kDW * fumaW * b;
        const double sX = C::kSX * a;
        const double dX = C::kDX * b;
        const double dY = C::kDY * a;
        set.response(kW, 0)[n] = static_cast<float>(0.5 * (sW + dW));
        set.response(kW, 1)[n] = static_cast<float>(0.5 * (sW - dW));
        set.response(kX, 0)[n] = static_cast<float>(0.5 * (sX + dX));
        set.response(kX, 1)[n] = static_cast<float>(0.5 * (sX - dX));
        set.response(kY, 0)[n] = static_cast<float>(0.5 * dY);
        set.response(kY, 1)[n] = static_cast<float>(-0.5 * dY);
    }
    return set;
}

} // namespace qirtools
