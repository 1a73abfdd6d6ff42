// soundfield: real spherical harmonics and the unnormalised associated Legendre recursion
// behind them, shared by the encoder and by the decoder-set tools.
#pragma once

// Real spherical harmonics, N3D normalisation without the Condon-Shortley phase, ACN order.
// dirsDeg: nDirs pairs (azimuth, elevation) in degrees; Y: nDirs x (order+1)^2, row-major
// (direction d's harmonics at Y + d*(order+1)^2).
// Any thread. Allocates nothing for order <= 7 (the encoder calls it on the audio thread);
// higher orders allocate scratch for the call. Nothing is written when order < 0 or nDirs <= 0.
// Accurate to float precision up to order 25; beyond that the unnormalised Legendre values
// exceed the float range.
void realSphericalHarmonics(int order, const float* dirsDeg, int nDirs, float* Y);

// Unnormalised associated Legendre values of degree n for each x, m-major: P(n,m)(x[i]) at
// Pnm[m*lenX + i]; Pnm_minus1/Pnm_minus2 hold degrees n-1 and n-2 in the same layout.
// Degrees 0 to 2 use closed forms and do not read Pnm_minus1/Pnm_minus2 (they may be null);
// degree n >= 3 reads both. Any thread; allocates nothing.
void unnormLegendreRecurrence(int n, const float* x, int lenX, const float* Pnm_minus1,
                              const float* Pnm_minus2, float* Pnm);
