// bench/convolution: the cost of the convolution core.
//   FFTPair/N         the layer's forward+inverse real transform pair (the pair a
//                     partitioned convolver runs every hop), against
//   BareFFTWPair/N    FFTW's own real-to-complex and complex-to-real plans on
//                     interleaved data, planned with the same rigour;
//   PartitionedConvolver/N  cost per sample (the "s/sample" column) of one
//                     partitioned convolver at FFT size N with a full
//                     16384-sample impulse response, in 128-sample blocks;
//   DirectKernel/taps multiply-adds per second of the direct-form kernel
//                     ("MAC/s": 20G/s is 20 multiply-adds per nanosecond).
// On a shared machine read the CPU column, which counts this process only.
#include "convolution/AlignedMemory.h"
#include "convolution/DirectConvolver.h"
#include "convolution/FFT.h"
#include "convolution/PartitionedConvolver.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdint>
#include <vector>

namespace {

std::vector<float> noise(std::size_t n, std::uint32_t seed)
{
    std::vector<float> out(n);
    std::uint32_t state = seed * 2654435761u + 1;
    for (float& v : out) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
    return out;
}

unsigned long exponentOf(std::int64_t n)
{
    return dspkit::PartitionedConvolver::log2(static_cast<unsigned long>(n));
}

void FFTPair(benchmark::State& state)
{
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    const unsigned long log2n = exponentOf(state.range(0));
    dspkit::FFTSetup setup = nullptr;
    dspkit::dspkit_create_setup(&setup, log2n);
    auto input = dspkit::makeAlignedArray<float>(n);
    auto output = dspkit::makeAlignedArray<float>(n);
    auto re = dspkit::makeAlignedArray<float>(n / 2);
    auto im = dspkit::makeAlignedArray<float>(n / 2);
    const auto x = noise(n, 1);
    std::copy(x.begin(), x.end(), input.get());
    const dspkit::DSPSplitComplex split{re.get(), im.get()};
    for (auto _ : state) {
        dspkit::dspkit_rfft(setup, input.get(), &split, n, log2n);
        dspkit::dspkit_rifft(setup, &split, output.get(), log2n);
        benchmark::DoNotOptimize(output[0]);
        benchmark::ClobberMemory();
    }
    dspkit::dspkit_destroy_setup(setup);
}

void BareFFTWPair(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    float* input = static_cast<float*>(fftwf_malloc(sizeof(float) * n));
    float* output = static_cast<float*>(fftwf_malloc(sizeof(float) * n));
    auto* spectrum = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * (n / 2 + 1)));
    const unsigned rigour =
        dspkit::dspkit_get_fft_planning() == dspkit::FFTPlanning::Measure ? FFTW_MEASURE : FFTW_ESTIMATE;
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(n, input, spectrum, rigour);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(n, spectrum, output, rigour);
    const auto x = noise(static_cast<std::size_t>(n), 1);
    std::copy(x.begin(), x.end(), input);
    for (auto _ : state) {
        fftwf_execute_dft_r2c(forward, input, spectrum);
        fftwf_execute_dft_c2r(inverse, spectrum, output);
        benchmark::DoNotOptimize(output[0]);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(spectrum);
    fftwf_free(output);
    fftwf_free(input);
}

void PartitionedConvolver(benchmark::State& state)
{
    constexpr std::size_t kIRLength = 16384;
    constexpr std::size_t kBlock = 128;
    const auto fftSize = static_cast<unsigned long>(state.range(0));
    dspkit::PartitionedConvolver convolver(fftSize, kIRLength, 0, 0);
    const auto ir = noise(kIRLength, 2);
    (void)convolver.set(ir.data(), ir.size());
    const auto x = noise(1 << 16, 3);
    std::vector<float> y(kBlock);
    std::size_t position = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(convolver.process(x.data() + position, y.data(), kBlock));
        position = (position + kBlock) & ((1 << 16) - 1);
        benchmark::ClobberMemory();
    }
    state.counters["s/sample"] = benchmark::Counter(static_cast<double>(state.iterations() * kBlock),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void DirectKernel(benchmark::State& state)
{
    const auto taps = static_cast<std::size_t>(state.range(0));
    const auto count = static_cast<std::size_t>(state.range(1));
    const auto signal = noise(count + taps, 4);
    const auto impulse = noise(taps, 5);
    std::vector<float> out(count);
    for (auto _ : state) {
        dspkit::DirectConvolver::convolve(signal.data() + taps - 1, impulse.data(), out.data(), count, taps);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MAC/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * taps * count), benchmark::Counter::kIsRate);
}

BENCHMARK(FFTPair)->Arg(256)->Arg(1024)->Arg(4096)->Arg(16384);
BENCHMARK(BareFFTWPair)->Arg(256)->Arg(1024)->Arg(4096)->Arg(16384);
BENCHMARK(PartitionedConvolver)->Arg(256)->Arg(1024)->Arg(4096)->Arg(16384);
BENCHMARK(DirectKernel)->Args({128, 128})->Args({128, 512});

} // namespace

int main(int argc, char** argv)
{
    // Measured plans, as a long-running host would use.
    dspkit::dspkit_set_fft_planning(dspkit::FFTPlanning::Measure);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
