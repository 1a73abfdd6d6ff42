// convolution: seeds for the generators that place each convolver's FFT phase at
// random, so that many convolvers do not transform in the same audio block.
#pragma once

#include <cstdint>
#include <random>

namespace dspkit {

// One value from the system's non-deterministic source, reduced into the range of
// the minimal-standard generator (x <- 48271 x mod 2147483647), which never
// takes 0.
inline std::uint_fast32_t randomSeed()
{
    std::random_device device;
    const std::uint_fast32_t seed = device() % 2147483647u;
    return seed == 0 ? 1 : seed;
}

} // namespace dspkit
