// bench/soundfield: cost of one 128-sample frame of the rotator and the encoder. The reported time
// is per frame; "cpu_s_per_s" is the CPU seconds one instance spends per second of 48 kHz audio
// (a frame lasts 2.67 ms there), the figure the plug-in's budget is counted in.
//
// The rotator runs as the plug-in runs it: zero-delay frames, in place, at orders 1 to 7, with
//   identity  rotation on at yaw = pitch = roll = 0,
//   steady    a fixed orientation,
//   moving    a new yaw before every frame (the matrix rebuilt and crossfaded each time).
#include "soundfield/Encoder.h"
#include "soundfield/RotationMatrices.h"
#include "soundfield/Rotator.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

constexpr int kFrame = 128;
constexpr int kChannels = 64;
constexpr double kSampleRate = 48000.0;

struct Buffers {
    explicit Buffers(int channels)
        : data(static_cast<std::size_t>(channels) * kFrame)
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (auto& v : data)
            v = dist(rng);
        for (int c = 0; c < channels; ++c)
            pointers.push_back(data.data() + static_cast<std::size_t>(c) * kFrame);
    }
    std::vector<float> data;
    std::vector<float*> pointers;
};

// CPU seconds per second of audio: the CPU time per frame over the frame's duration.
void reportCpuShare(benchmark::State& state)
{
    state.counters["cpu_s_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrame / kSampleRate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

enum ERotationCase { kIdentity = 0, kSteady = 1, kMoving = 2 };

// Arguments: order, ERotationCase.
void BM_Rotator(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    const auto rotation = static_cast<ERotationCase>(state.range(1));
    const int channels = (order + 1) * (order + 1);
    FieldRotator* rotator = nullptr;
    fieldrot_create(&rotator);
    fieldrot_setOrder(rotator, order);
    fieldrot_init(rotator, 48000);
    if (rotation == kSteady) {
        fieldrot_setYaw(rotator, 30.0f);
        fieldrot_setPitch(rotator, -10.0f);
    }
    Buffers field(channels);
    fieldrot_processFrame(rotator, field.pointers.data(), field.pointers.data(), channels, channels, kFrame);
    float yaw = 0.0f;
    for (auto _ : state) {
        if (rotation == kMoving) {
            yaw = yaw > 170.0f ? -170.0f : yaw + 1.0f;
            fieldrot_setYaw(rotator, yaw);
        }
        fieldrot_processFrame(rotator, field.pointers.data(), field.pointers.data(), channels, channels, kFrame);
        benchmark::DoNotOptimize(field.data.data());
    }
    reportCpuShare(state);
    fieldrot_destroy(&rotator);
}

// The expansion of a 3x3 rotation into the spherical-harmonic matrix, per order: what a moving
// rotation pays each frame on top of the products.
void BM_SHRotationMatrix(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    float R[3][3];
    eulerToRotationMatrix(0.5f, -0.2f, 0.1f, 0, R);
    std::vector<float> matrix(static_cast<std::size_t>(kChannels) * kChannels);
    for (auto _ : state) {
        getSHRotationMatrix(R, matrix.data(), order);
        benchmark::DoNotOptimize(matrix.data());
    }
}

// Arguments: number of sources, and 1 when every frame follows a change of every direction.
void BM_EncoderOrder7(benchmark::State& state)
{
    const int sources = static_cast<int>(state.range(0));
    const bool moving = state.range(1) != 0;
    FieldEncoder* encoder = nullptr;
    fieldenc_create(&encoder);
    fieldenc_init(encoder, 48000);
    fieldenc_setOutputOrder(encoder, 7);
    fieldenc_setNumSources(encoder, sources);
    Buffers in(sources);
    Buffers out(kChannels);
    fieldenc_process(encoder, in.pointers.data(), out.pointers.data(), sources, kChannels, kFrame);
    float azimuth = 0.0f;
    for (auto _ : state) {
        if (moving) {
            azimuth = azimuth > 170.0f ? -170.0f : azimuth + 1.0f;
            for (int s = 0; s < sources; ++s)
                fieldenc_setSourceAzi_deg(encoder, s, azimuth + static_cast<float>(s));
        }
        fieldenc_process(encoder, in.pointers.data(), out.pointers.data(), sources, kChannels, kFrame);
        benchmark::DoNotOptimize(out.data.data());
    }
    reportCpuShare(state);
    fieldenc_destroy(&encoder);
}

} // namespace

BENCHMARK(BM_Rotator)
    ->ArgNames({"order", "case"})
    ->ArgsProduct({{1, 2, 3, 4, 5, 6, 7}, {kIdentity, kSteady, kMoving}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SHRotationMatrix)->ArgName("order")->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncoderOrder7)
    ->ArgNames({"sources", "moving"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
