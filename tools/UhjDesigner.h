// tools: the first-order ambisonic to two-channel UHJ decoder set.
#pragma once

#include "tools/AllPassPair.h"
#include "tools/DecoderSet.h"

namespace qirtools {

// The UHJ encoding equations on B-format W (FuMa weight, -3 dB), X and Y:
//   S = 0.9396926 W + 0.1855740 X
//   D = j(-0.3420201 W + 0.5098604 X) + 0.6554516 Y
//   left = (S + D) / 2, right = (S - D) / 2
// with j the +90 degree shift, realised as the phase difference of an all-pass pair.
struct UhjCoefficients {
    static constexpr double kSW = 0.9396926;
    static constexpr double kSX = 0.1855740;
    static constexpr double kDW = -0.3420201;
    static constexpr double kDX = 0.5098604;
    static constexpr double kDY = 0.6554516;
};

// The band over which the pair is 90 degrees apart within kUhjPhaseToleranceDeg: 40 Hz to
// 18 kHz, or to 0.45 times the rate where that is lower (22.05 and 32 kHz), the band the rate
// carries.
inline constexpr double kUhjBandLowHz = 40.0;
inline constexpr double kUhjPhaseToleranceDeg = 0.05;
double uhjBandHighHz(double sampleRate);

// The pair for sampleRate, designed over a margin around that band (30 Hz to 19.5 kHz, or to
// 0.45 times the rate where that is lower) with the fewest sections per branch, from 8, that keep
// it within kUhjPhaseToleranceDeg of 90 degrees across the band: 8 at 48 kHz, 9 where the
// band is wider on the warped frequency axis (44.1 and 32 kHz).
AllPassPair designUhjAllPassPair(double sampleRate = kDecoderSetSampleRate);

// Four SN3D inputs W, Y, Z, X (ACN) at the pair's rate, decoderSetResponseLength(rate)
// samples per response; Z gets silent filters. W is converted to the FuMa weight the
// equations expect (divided by sqrt 2).
DecoderSet designUhjDecoderSet(const AllPassPair& pair);

} // namespace qirtools
