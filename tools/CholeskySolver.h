// tools: Cholesky factorisation of a symmetric positive definite matrix, for the regularised
// normal equations of the decoder fits.
//
// A plain loop of our own rather than LAPACK's dpotrf/dpotrs, although the OpenBLAS we link
// exports them: the decoder sets must be the same bytes on every machine, and OpenBLAS picks
// its kernels by CPU when it loads (or as OPENBLAS_CORETYPE says). Its blocked factorisation
// and triangular solves round differently with each kernel: with LAPACK in the fits, the
// order-7 anechoic set came out different under each of the Prescott, Nehalem, Sandybridge,
// Haswell and SkylakeX kernels, and the anechoic sets of order 3 and up and every UHJ set
// differed from this loop's. This loop does every operation in one fixed order whatever the
// CPU; at up to 64 unknowns it costs the fits nothing worth a library.
#pragma once

#include <complex>
#include <vector>

namespace qirtools {

// Factorises A = L L^T once and then solves A x = b for any number of right-hand sides.
// The decoder fits keep one matrix for all frequency bins and change only the right-hand side.
class CholeskySolver {
public:
    // a: n x n, row-major, symmetric positive definite (only the lower triangle is read).
    // Throws std::runtime_error when the matrix is not positive definite.
    CholeskySolver(const std::vector<double>& a, int n);

    int size() const { return mSize; }

    // In place: b holds the right-hand side on entry and the solution on return.
    void solve(double* b) const;
    void solve(std::complex<double>* b) const;

private:
    int mSize;
    std::vector<double> mLower;
};

} // namespace qirtools
