// tools: Cholesky factorisation of a symmetric positive definite matrix, for the regularised
// normal equations of the decoder fits.
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
