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

// Band over which the pair is designed: a margin around the promised 40 Hz to 18 kHz.
AllPassPair designUhjAllPassPair();

// Four SN3D inputs W, Y, Z, X (ACN); Z gets silent filters. W is converted to the FuMa
// weight the equations expect (divided by sqrt 2).
DecoderSet designUhjDecoderSet(const AllPassPair& pair);

} // namespace qirtools
