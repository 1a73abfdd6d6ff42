// tools: the level at which a decoder set plays a diffuse field, and the one level every
// generated set is scaled to, so that switching decoder mode or order keeps the loudness.
#pragma once

#include "tools/DecoderSet.h"

namespace qirtools {

// The measure: a diffuse field of the set's own order (independent noise from evenly spread
// directions, ACN/SN3D, so the channels are uncorrelated and an SN3D channel of degree n
// carries 1/(2n+1) of the omnidirectional channel's power), every channel carrying pink
// noise from kPinkLowHz to kPinkHighHz. The level is the output power, averaged over both
// ears, relative to the power of the omnidirectional channel W, in dB.
inline constexpr double kPinkLowHz = 20.0;
inline constexpr double kPinkHighHz = 20000.0;

// Every generated set plays that diffuse field at this one level, whatever its mode, order
// or HRTF set. It is the level that the anechoic sets fitted to the default HRTF set (KEMAR)
// have of themselves at every order, within 0.2 dB, so that those sets keep decoding plane
// waves at the level of the measured responses; the room sets, whose reflections and tail
// add power, come out lower than they were designed, and the UHJ set, which has no HRTF,
// plays at the same level. A different SOFA file is brought to the same loudness however
// its responses were scaled.
inline constexpr double kDiffuseFieldLevelDb = -10.0;

// The set's diffuse-field level in dB, computed from its responses at the set's rate (steady
// state: the power each response passes of pink noise, summed over the inputs with their
// diffuse-field weights; at rates below 40 kHz the noise stops at the Nyquist frequency).
double diffuseFieldLevelDb(const DecoderSet& set);

// Scales every response of the set so that its diffuse-field level is kDiffuseFieldLevelDb.
// A silent set stays silent.
void matchDiffuseFieldLevel(DecoderSet& set);

} // namespace qirtools
