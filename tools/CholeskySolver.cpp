// tools: Cholesky factorisation and triangular solves.
#include "tools/CholeskySolver.h"

#include <cmath>
#include <stdexcept>

namespace qirtools {

CholeskySolver::CholeskySolver(const std::vector<double>& a, int n)
    : mSize(n)
    , mLower(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0)
{
    if (n <= 0 || a.size() < mLower.size())
        throw std::runtime_error("CholeskySolver: bad matrix size");
    for (int j = 0; j < n; ++j) {
        double diagonal = a[static_cast<size_t>(j * n + j)];
        for (int k = 0; k < j; ++k)
            diagonal -= mLower[static_cast<size_t>(j * n + k)] * mLower[static_cast<size_t>(j * n + k)];
        if (!(diagonal > 0.0))
            throw std::runtime_error("CholeskySolver: matrix is not positive definite");
        const double root = std::sqrt(diagonal);
        mLower[static_cast<size_t>(j * n + j)] = root;
        for (int i = j + 1; i < n; ++i) {
            double sum = a[static_cast<size_t>(i * n + j)];
            for (int k = 0; k < j; ++k)
                sum -= mLower[static_cast<size_t>(i * n + k)] * mLower[static_cast<size_t>(j * n + k)];
            mLower[static_cast<size_t>(i * n + j)] = sum / root;
        }
    }
}

namespace {

template <typename T>
void solveInPlace(const std::vector<double>& lower, int n, T* b)
{
    for (int i = 0; i < n; ++i) {
        T sum = b[i];
        for (int k = 0; k < i; ++k)
            sum -= lower[static_cast<size_t>(i * n + k)] * b[k];
        b[i] = sum / lower[static_cast<size_t>(i * n + i)];
    }
    for (int i = n - 1; i >= 0; --i) {
        T sum = b[i];
        for (int k = i + 1; k < n; ++k)
            sum -= lower[static_cast<size_t>(k * n + i)] * b[k];
        b[i] = sum / lower[static_cast<size_t>(i * n + i)];
    }
}

} // namespace

void CholeskySolver::solve(double* b) const
{
    solveInPlace(mLower, mSize, b);
}

void CholeskySolver::solve(std::complex<double>* b) const
{
    solveInPlace(mLower, mSize, b);
}

} // namespace qirtools
