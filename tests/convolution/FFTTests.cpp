// tests/convolution: the FFT layer's contract (even/odd split, packed DC and
// Nyquist bin, forward scaled by 2, unnormalised inverse), checked against a
// plain DFT in double precision.
#include "convolution/AlignedMemory.h"
#include "convolution/FFT.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <complex>
#include <string>
#include <numbers>
#include <vector>

namespace {

using dspkit::DSPDoubleSplitComplex;
using dspkit::DSPSplitComplex;

std::vector<std::complex<double>> naiveDft(const std::vector<std::complex<double>>& x, int sign)
{
    const std::size_t n = x.size();
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double angle = sign * 2.0 * std::numbers::pi * static_cast<double>((k * t) % n) / n;
            sum += x[t] * std::polar(1.0, angle);
        }
        out[k] = sum;
    }
    return out;
}

// Aligned split buffer of two arrays.
template <class T>
struct SplitBuffer {
    explicit SplitBuffer(std::size_t elements)
        : re(dspkit::makeAlignedArray<T>(elements))
        , im(dspkit::makeAlignedArray<T>(elements))
    {
    }
    dspkit::AlignedArray<T> re;
    dspkit::AlignedArray<T> im;
};

struct UnzipCase {
    unsigned long length;
    std::vector<float> realp;
    std::vector<float> imagp;
};

class UnzipZero : public testing::TestWithParam<UnzipCase> {};

TEST_P(UnzipZero, SplitsTruncatesAndPads)
{
    const UnzipCase& c = GetParam();
    const std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    std::vector<float> re(4, -99.0f);
    std::vector<float> im(4, -99.0f);
    const DSPSplitComplex split{re.data(), im.data()};
    dspkit::dspkit_unzip_zero(x.data(), &split, c.length, 3);
    EXPECT_EQ(re, c.realp);
    EXPECT_EQ(im, c.imagp);

    std::vector<double> dre(4, -99.0);
    std::vector<double> dim(4, -99.0);
    const DSPDoubleSplitComplex widened{dre.data(), dim.data()};
    dspkit::dspkit_unzip_zero(x.data(), &widened, c.length, 3);
    EXPECT_EQ(dre, std::vector<double>(c.realp.begin(), c.realp.end()));
    EXPECT_EQ(dim, std::vector<double>(c.imagp.begin(), c.imagp.end()));
}

INSTANTIATE_TEST_SUITE_P(
    FFTLayer, UnzipZero,
    testing::Values(UnzipCase{5, {1, 3, 5, 0}, {2, 4, 0, 0}},
                    UnzipCase{6, {1, 3, 5, 0}, {2, 4, 6, 0}},
                    UnzipCase{8, {1, 3, 5, 7}, {2, 4, 6, 8}},
                    UnzipCase{10, {1, 3, 5, 7}, {2, 4, 6, 8}},
                    UnzipCase{1, {1, 0, 0, 0}, {0, 0, 0, 0}},
                    UnzipCase{0, {0, 0, 0, 0}, {0, 0, 0, 0}}));

TEST(FFTLayer, ZipAndUnzipAreInverses)
{
    const std::vector<float> x = qirtest::whiteNoise(64, 3);
    std::vector<float> re(32), im(32), back(64);
    const DSPSplitComplex split{re.data(), im.data()};
    dspkit::dspkit_unzip(x.data(), &split, 6);
    EXPECT_EQ(re[5], x[10]);
    EXPECT_EQ(im[5], x[11]);
    dspkit::dspkit_zip(&split, back.data(), 6);
    EXPECT_EQ(back, x);
}

TEST(FFTLayer, UnitImpulseGivesFlatSpectrumWithNyquistInBinZero)
{
    for (unsigned long log2n : {5ul, 10ul}) {
        const std::size_t n = std::size_t{1} << log2n;
        dspkit::FFTSetup setup = nullptr;
        dspkit::dspkit_create_setup(&setup, log2n);
        ASSERT_NE(setup, nullptr);
        std::vector<float> impulse(n, 0.0f);
        impulse[0] = 1.0f;
        SplitBuffer<float> buffer(n / 2);
        const DSPSplitComplex split{buffer.re.get(), buffer.im.get()};
        dspkit::dspkit_rfft(setup, impulse.data(), &split, n, log2n);
        for (std::size_t k = 0; k < n / 2; ++k) {
            EXPECT_FLOAT_EQ(split.realp[k], 2.0f) << k;
            EXPECT_FLOAT_EQ(split.imagp[k], k == 0 ? 2.0f : 0.0f) << k;
        }
        dspkit::dspkit_destroy_setup(setup);
    }
}

// Packing and scaling checked bin by bin against a plain DFT of random data,
// for both real-transform entry points and both precisions.
TEST(FFTLayer, RealForwardMatchesTwiceTheDft)
{
    constexpr unsigned long log2n = 6;
    constexpr std::size_t n = 64;
    const std::vector<float> x = qirtest::whiteNoise(n, 11);
    std::vector<std::complex<double>> xc(x.begin(), x.end());
    const auto X = naiveDft(xc, -1);

    dspkit::FFTSetup setup = nullptr;
    dspkit::FFTSetupD setupD = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    dspkit::dspkit_create_setup(&setupD, log2n);
    ASSERT_NE(setup, nullptr);
    ASSERT_NE(setupD, nullptr);

    SplitBuffer<float> a(n / 2), b(n / 2);
    SplitBuffer<double> c(n / 2), d(n / 2);
    const DSPSplitComplex fromInput{a.re.get(), a.im.get()};
    const DSPSplitComplex inPlace{b.re.get(), b.im.get()};
    const DSPDoubleSplitComplex mixed{c.re.get(), c.im.get()};
    const DSPDoubleSplitComplex doubleInPlace{d.re.get(), d.im.get()};

    dspkit::dspkit_rfft(setup, x.data(), &fromInput, n, log2n);
    dspkit::dspkit_unzip(x.data(), &inPlace, log2n);
    dspkit::dspkit_rfft(setup, &inPlace, log2n);
    dspkit::dspkit_rfft(setupD, x.data(), &mixed, n, log2n);
    const std::vector<double> xd(x.begin(), x.end());
    dspkit::dspkit_unzip(xd.data(), &doubleInPlace, log2n);
    dspkit::dspkit_rfft(setupD, &doubleInPlace, log2n);

    for (std::size_t k = 0; k < n / 2; ++k) {
        const double re = 2.0 * X[k].real();
        const double im = k == 0 ? 2.0 * X[n / 2].real() : 2.0 * X[k].imag();
        EXPECT_NEAR(fromInput.realp[k], re, 1e-4) << k;
        EXPECT_NEAR(fromInput.imagp[k], im, 1e-4) << k;
        EXPECT_NEAR(inPlace.realp[k], re, 1e-4) << k;
        EXPECT_NEAR(inPlace.imagp[k], im, 1e-4) << k;
        EXPECT_NEAR(mixed.realp[k], re, 1e-10) << k;
        EXPECT_NEAR(mixed.imagp[k], im, 1e-10) << k;
        EXPECT_NEAR(doubleInPlace.realp[k], re, 1e-10) << k;
        EXPECT_NEAR(doubleInPlace.imagp[k], im, 1e-10) << k;
    }
    dspkit::dspkit_destroy_setup(setup);
    dspkit::dspkit_destroy_setup(setupD);
}

// Forward then inverse returns 2N·x at every supported convolver size, through
// the in-place and the output-writing inverse, in both precisions.
TEST(FFTLayer, ForwardThenInverseReturnsTwoNTimesInputForEverySize)
{
    constexpr unsigned long maxLog2n = 16;
    dspkit::FFTSetup setup = nullptr;
    dspkit::FFTSetupD setupD = nullptr;
    dspkit::dspkit_create_setup(&setup, maxLog2n);
    dspkit::dspkit_create_setup(&setupD, maxLog2n);
    ASSERT_NE(setup, nullptr);
    ASSERT_NE(setupD, nullptr);
    SplitBuffer<float> buffer(std::size_t{1} << (maxLog2n - 1));
    SplitBuffer<double> bufferD(std::size_t{1} << (maxLog2n - 1));
    for (unsigned long log2n = 5; log2n <= maxLog2n; ++log2n) {
        const std::size_t n = std::size_t{1} << log2n;
        const std::vector<float> x = qirtest::whiteNoise(n, static_cast<std::uint32_t>(log2n));
        const DSPSplitComplex split{buffer.re.get(), buffer.im.get()};
        const DSPDoubleSplitComplex splitD{bufferD.re.get(), bufferD.im.get()};

        std::vector<float> y(n);
        dspkit::dspkit_rfft(setup, x.data(), &split, n, log2n);
        dspkit::dspkit_rifft(setup, &split, y.data(), log2n);
        std::vector<double> expected(n);
        for (std::size_t i = 0; i < n; ++i) {
            expected[i] = 2.0 * static_cast<double>(n) * x[i];
        }
        EXPECT_LT(qirtest::relativeError(y, expected), 1e-6) << "float, N = " << n;

        dspkit::dspkit_rfft(setup, x.data(), &split, n, log2n);
        dspkit::dspkit_rifft(setup, &split, log2n);
        std::vector<float> z(n);
        dspkit::dspkit_zip(&split, z.data(), log2n);
        EXPECT_LT(qirtest::relativeError(z, expected), 1e-6) << "float in place, N = " << n;

        std::vector<double> yd(n);
        dspkit::dspkit_rfft(setupD, x.data(), &splitD, n, log2n);
        dspkit::dspkit_rifft(setupD, &splitD, yd.data(), log2n);
        double maxError = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            maxError = std::max(maxError, std::abs(yd[i] - expected[i]));
        }
        EXPECT_LT(maxError, 1e-9 * static_cast<double>(n)) << "double, N = " << n;
    }
    dspkit::dspkit_destroy_setup(setup);
    dspkit::dspkit_destroy_setup(setupD);
}

// Buffers that are not on the plans' alignment take the copying path and give
// the same result.
TEST(FFTLayer, UnalignedBuffersGiveTheSameResult)
{
    constexpr unsigned long log2n = 8;
    constexpr std::size_t n = 256;
    dspkit::FFTSetup setup = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    ASSERT_NE(setup, nullptr);
    const std::vector<float> x = qirtest::whiteNoise(n, 5);
    std::vector<float> shifted(n + 1);
    std::copy(x.begin(), x.end(), shifted.begin() + 1);

    SplitBuffer<float> a(n / 2), b(n / 2);
    const DSPSplitComplex aligned{a.re.get(), a.im.get()};
    const DSPSplitComplex other{b.re.get(), b.im.get()};
    dspkit::dspkit_rfft(setup, x.data(), &aligned, n, log2n);
    dspkit::dspkit_rfft(setup, shifted.data() + 1, &other, n, log2n);
    for (std::size_t k = 0; k < n / 2; ++k) {
        ASSERT_EQ(aligned.realp[k], other.realp[k]);
        ASSERT_EQ(aligned.imagp[k], other.imagp[k]);
    }
    std::vector<float> outAligned(n), outShifted(n + 1);
    dspkit::dspkit_rifft(setup, &aligned, outAligned.data(), log2n);
    dspkit::dspkit_rifft(setup, &other, outShifted.data() + 1, log2n);
    EXPECT_TRUE(std::equal(outAligned.begin(), outAligned.end(), outShifted.begin() + 1));
    dspkit::dspkit_destroy_setup(setup);
}

TEST(FFTLayer, RotatedForwardEqualsForwardOfTheRotatedBlock)
{
    constexpr unsigned long log2n = 6;
    constexpr std::size_t n = 64;
    dspkit::FFTSetup setup = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    ASSERT_NE(setup, nullptr);
    const std::vector<float> x = qirtest::whiteNoise(n, 12);
    std::vector<float> rotated(x.begin() + n / 2, x.end());
    rotated.insert(rotated.end(), x.begin(), x.begin() + n / 2);
    SplitBuffer<float> a(n / 2), b(n / 2);
    const DSPSplitComplex direct{a.re.get(), a.im.get()};
    const DSPSplitComplex viaRotation{b.re.get(), b.im.get()};
    dspkit::dspkit_rfft(setup, rotated.data(), &direct, n, log2n);
    dspkit::dspkit_rfft_rotated(setup, x.data(), &viaRotation, log2n);
    for (std::size_t k = 0; k < n / 2; ++k) {
        EXPECT_NEAR(viaRotation.realp[k], direct.realp[k], 1e-4f) << k;
        EXPECT_NEAR(viaRotation.imagp[k], direct.imagp[k], 1e-4f) << k;
    }
    dspkit::dspkit_destroy_setup(setup);
}

TEST(FFTLayer, ScaledInverseWritesTheScaledFirstSamples)
{
    constexpr unsigned long log2n = 7;
    constexpr std::size_t n = 128;
    dspkit::FFTSetup setup = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    ASSERT_NE(setup, nullptr);
    const std::vector<float> x = qirtest::whiteNoise(n, 9);
    SplitBuffer<float> buffer(n / 2);
    const DSPSplitComplex split{buffer.re.get(), buffer.im.get()};
    dspkit::dspkit_rfft(setup, x.data(), &split, n, log2n);
    std::vector<float> out(n, 5.0f);
    dspkit::dspkit_rifft_scaled(setup, &split, out.data(), 50, 1.0f / (2 * n), log2n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(out[i], i < 50 ? x[i] : 5.0f, 1e-6f) << i;
    }
    dspkit::dspkit_destroy_setup(setup);
}

TEST(FFTLayer, ComplexTransformsMatchTheDftAndAreUnnormalised)
{
    constexpr unsigned long log2n = 5;
    constexpr std::size_t n = 32;
    const std::vector<float> re0 = qirtest::whiteNoise(n, 1);
    const std::vector<float> im0 = qirtest::whiteNoise(n, 2);
    std::vector<std::complex<double>> xc(n);
    for (std::size_t i = 0; i < n; ++i) {
        xc[i] = {re0[i], im0[i]};
    }
    const auto X = naiveDft(xc, -1);

    dspkit::FFTSetup setup = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    ASSERT_NE(setup, nullptr);
    std::vector<float> re = re0, im = im0;
    const DSPSplitComplex split{re.data(), im.data()};
    dspkit::dspkit_fft(setup, &split, log2n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(re[k], X[k].real(), 1e-4);
        EXPECT_NEAR(im[k], X[k].imag(), 1e-4);
    }
    dspkit::dspkit_ifft(setup, &split, log2n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(re[i], n * re0[i], 1e-4);
        EXPECT_NEAR(im[i], n * im0[i], 1e-4);
    }
    dspkit::dspkit_destroy_setup(setup);

    dspkit::FFTSetupD setupD = nullptr;
    dspkit::dspkit_create_setup(&setupD, log2n);
    ASSERT_NE(setupD, nullptr);
    std::vector<double> dre(re0.begin(), re0.end()), dim(im0.begin(), im0.end());
    const DSPDoubleSplitComplex splitD{dre.data(), dim.data()};
    dspkit::dspkit_fft(setupD, &splitD, log2n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(dre[k], X[k].real(), 1e-10);
        EXPECT_NEAR(dim[k], X[k].imag(), 1e-10);
    }
    dspkit::dspkit_ifft(setupD, &splitD, log2n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_NEAR(dre[i], n * re0[i], 1e-10);
    }
    dspkit::dspkit_destroy_setup(setupD);
}

// A split buffer may be any two arrays of equal length. Both arrays live in
// one arena, each between guard zones, at distances from back to back to far
// apart and in either order; for every size from 2^5 to 2^16 the forward
// transform matches a plain DFT (in double precision, at a spread of bins), the
// inverse brings back N times the input, and nothing outside the two arrays is
// written.
template <class T, class Split, class Setup>
void checkComplexLayouts(double tolerance)
{
    constexpr std::size_t kGuard = 64;
    const T guardValue = T(-12345.5);
    for (unsigned long log2n = 5; log2n <= 16; ++log2n) {
        const std::size_t n = std::size_t{1} << log2n;
        Setup setup = nullptr;
        dspkit::dspkit_create_setup(&setup, log2n);
        ASSERT_NE(setup, nullptr);
        const std::vector<float> re0 = qirtest::whiteNoise(n, static_cast<std::uint32_t>(log2n));
        const std::vector<float> im0 = qirtest::whiteNoise(n, static_cast<std::uint32_t>(100 + log2n));
        // Distance from the end of the first array to the start of the second.
        for (const std::size_t gap : {std::size_t{0}, std::size_t{1}, std::size_t{3 * kGuard + 5}, 3 * n + 7}) {
            for (const bool imagFirst : {false, true}) {
                std::vector<T> arena(kGuard + n + gap + n + kGuard, guardValue);
                T* const first = arena.data() + kGuard;
                T* const second = first + n + gap;
                T* const re = imagFirst ? second : first;
                T* const im = imagFirst ? first : second;
                std::copy(re0.begin(), re0.end(), re);
                std::copy(im0.begin(), im0.end(), im);
                const Split split{re, im};
                const auto where = [&] {
                    return "N = " + std::to_string(n) + ", gap " + std::to_string(gap) +
                           (imagFirst ? ", imaginary first" : "");
                };

                dspkit::dspkit_fft(setup, &split, log2n);
                double worst = 0.0;
                double scale = 0.0;
                for (std::size_t k = 0; k < n; k += std::max<std::size_t>(1, n / 37)) {
                    std::complex<double> expected = 0.0;
                    for (std::size_t t = 0; t < n; ++t) {
                        const double angle = -2.0 * std::numbers::pi * static_cast<double>((k * t) % n) / n;
                        expected += std::complex<double>(re0[t], im0[t]) * std::polar(1.0, angle);
                    }
                    worst = std::max(worst, std::abs(std::complex<double>(re[k], im[k]) - expected));
                    scale = std::max(scale, std::abs(expected));
                }
                EXPECT_LT(worst / scale, tolerance) << "forward, " << where();

                dspkit::dspkit_ifft(setup, &split, log2n);
                double back = 0.0;
                for (std::size_t t = 0; t < n; ++t) {
                    back = std::max({back, std::abs(re[t] / static_cast<double>(n) - re0[t]),
                                     std::abs(im[t] / static_cast<double>(n) - im0[t])});
                }
                EXPECT_LT(back, tolerance) << "inverse, " << where();

                const auto untouched = [&](const T* from, const T* to) {
                    return std::all_of(from, to, [&](T v) { return v == guardValue; });
                };
                EXPECT_TRUE(untouched(arena.data(), first)) << where();
                EXPECT_TRUE(untouched(first + n, second)) << where();
                EXPECT_TRUE(untouched(second + n, arena.data() + arena.size())) << where();
            }
        }
        dspkit::dspkit_destroy_setup(setup);
    }
}

TEST(FFTLayer, ComplexTransformsTakeAnySplitBuffer)
{
    checkComplexLayouts<float, DSPSplitComplex, dspkit::FFTSetup>(1e-5);
    checkComplexLayouts<double, DSPDoubleSplitComplex, dspkit::FFTSetupD>(1e-12);
}

TEST(FFTLayer, SetupRefusesUnsupportedSizesAndIgnoresNull)
{
    dspkit::FFTSetup setup = reinterpret_cast<dspkit::FFTSetup>(&setup);
    dspkit::dspkit_create_setup(&setup, 21);
    EXPECT_EQ(setup, nullptr);
    dspkit::dspkit_create_setup(&setup, 0);
    EXPECT_EQ(setup, nullptr);
    dspkit::dspkit_destroy_setup(setup);
    dspkit::dspkit_destroy_setup(static_cast<dspkit::FFTSetupD>(nullptr));
}

TEST(FFTLayer, UtilitiesAddressPartitions)
{
    EXPECT_EQ(dspkit::padded_length(1000), 1000ul);
    float re[8], im[8];
    const DSPSplitComplex whole{re, im};
    DSPSplitComplex part{};
    dspkit::offsetSplitPointer(part, whole, 4);
    EXPECT_EQ(part.realp, re + 4);
    EXPECT_EQ(part.imagp, im + 4);
}

} // namespace
