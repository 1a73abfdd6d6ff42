// tests/tools: the Cholesky solve of the decoder fits, and the reason it is our own loop rather
// than LAPACK's dpotrf/dpotrs from OpenBLAS: OpenBLAS picks its kernels by CPU, and each kernel
// rounds differently, so the generated sets would differ from machine to machine.
#include "tools/CholeskySolver.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qirtools::CholeskySolver;

// A symmetric positive definite n x n matrix, row-major: M^T M + ridge I for a random M,
// as the regularised normal equations of a fit are built.
std::vector<double> normalMatrix(int n, double ridge, std::mt19937& random)
{
    std::normal_distribution<double> gaussian;
    const int rows = 2 * n;
    std::vector<double> m(static_cast<size_t>(rows * n));
    for (double& value : m)
        value = gaussian(random);
    std::vector<double> a(static_cast<size_t>(n * n), 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            double sum = i == j ? ridge : 0.0;
            for (int r = 0; r < rows; ++r)
                sum += m[static_cast<size_t>(r * n + i)] * m[static_cast<size_t>(r * n + j)];
            a[static_cast<size_t>(i * n + j)] = sum;
        }
    return a;
}

// max |A x - b| / max |b|, by plain multiplication.
template <typename T>
double relativeResidual(const std::vector<double>& a, int n, const std::vector<T>& x, const std::vector<T>& b)
{
    double worst = 0.0;
    double scale = 0.0;
    for (int i = 0; i < n; ++i) {
        T sum = 0.0;
        for (int j = 0; j < n; ++j)
            sum += a[static_cast<size_t>(i * n + j)] * x[static_cast<size_t>(j)];
        worst = std::max(worst, std::abs(sum - b[static_cast<size_t>(i)]));
        scale = std::max(scale, std::abs(b[static_cast<size_t>(i)]));
    }
    return worst / scale;
}

// The sizes the fits use: all-pass poles, first-order channels, up to the 64 channels of order 7.
TEST(CholeskySolver, SolvesRealAndComplexRightHandSidesOfEverySizeTheFitsUse)
{
    struct Case {
        int n;
        double ridge;
    };
    const Case cases[] = {{1, 0.5}, {4, 1e-3}, {9, 1e-6}, {16, 1e-2}, {49, 1e-6}, {64, 1e-4}};
    std::mt19937 random(7);
    std::normal_distribution<double> gaussian;
    for (const Case& c : cases) {
        SCOPED_TRACE("n = " + std::to_string(c.n));
        const std::vector<double> a = normalMatrix(c.n, c.ridge, random);
        const CholeskySolver solver(a, c.n);
        ASSERT_EQ(solver.size(), c.n);
        // One factorisation serves many right-hand sides, as it does for the bins of a fit.
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<double> b(static_cast<size_t>(c.n));
            std::vector<std::complex<double>> bc(static_cast<size_t>(c.n));
            for (int i = 0; i < c.n; ++i) {
                b[static_cast<size_t>(i)] = gaussian(random);
                bc[static_cast<size_t>(i)] = {gaussian(random), gaussian(random)};
            }
            std::vector<double> x = b;
            solver.solve(x.data());
            EXPECT_LT(relativeResidual(a, c.n, x, b), 1e-9);
            std::vector<std::complex<double>> xc = bc;
            solver.solve(xc.data());
            EXPECT_LT(relativeResidual(a, c.n, xc, bc), 1e-9);
        }
    }
}

TEST(CholeskySolver, RefusesMatricesThatAreNotPositiveDefiniteOrTooSmall)
{
    struct Case {
        const char* what;
        std::vector<double> a;
        int n;
    };
    const Case cases[] = {
        {"negative diagonal", {-1.0}, 1},
        {"zero matrix", {0.0, 0.0, 0.0, 0.0}, 2},
        {"indefinite", {1.0, 2.0, 2.0, 1.0}, 2},
        {"singular", {1.0, 1.0, 1.0, 1.0}, 2},
        {"not a number", {std::nan(""), 0.0, 0.0, 1.0}, 2},
        {"fewer values than n x n", {1.0, 0.0, 0.0}, 2},
        {"no rows", {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THROW(CholeskySolver(c.a, c.n), std::runtime_error);
    }
}

std::string fileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The reason for the solver: the sets come out the same bytes whichever kernels OpenBLAS picks
// for the CPU (the library links OpenBLAS, which chooses by CPU at load time unless
// OPENBLAS_CORETYPE names a kernel). Each run forces one kernel this CPU can execute. With
// LAPACK's dpotrf/dpotrs in the fits, the order-3 anechoic and the UHJ sets differ between
// the Prescott, Nehalem, Sandybridge, Haswell and SkylakeX kernels.
TEST(DecoderSetGenerator, MakesTheSameBytesWhicheverKernelsOpenBlasPicksForTheCpu)
{
    std::vector<std::string> kernels = {"Prescott", "Nehalem"};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx"))
        kernels.emplace_back("Sandybridge");
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        kernels.emplace_back("Haswell");
    if (__builtin_cpu_supports("avx512f"))
        kernels.emplace_back("SkylakeX");

    const fs::path root = fs::temp_directory_path() / ("qir-cholesky-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const char* const names[] = {"3OA-decoder-anechoic.wav", "AMBIX_2_UHJ.wav"};
    std::vector<std::string> first;
    for (const std::string& kernel : kernels) {
        SCOPED_TRACE("OPENBLAS_CORETYPE=" + kernel);
        const fs::path folder = root / kernel;
        std::vector<std::string> arguments = {"--output", folder.string()};
        for (const char* name : names)
            arguments.insert(arguments.end(), {"--only", name});
        const qirtest::ProcessResult result =
            qirtest::RunProcess(QIR_MAKE_DECODER_SETS_PATH, arguments, fs::temp_directory_path(),
                                {"OPENBLAS_CORETYPE=" + kernel});
        ASSERT_EQ(result.mExitCode, 0) << result.mErr;
        for (size_t k = 0; k < std::size(names); ++k) {
            SCOPED_TRACE(names[k]);
            const std::string bytes = fileBytes(folder / names[k]);
            ASSERT_FALSE(bytes.empty());
            if (first.size() <= k)
                first.push_back(bytes);
            else
                EXPECT_TRUE(bytes == first[k]) << "differs from the sets made with " << kernels.front();
        }
    }
    fs::remove_all(root);
}

} // namespace
