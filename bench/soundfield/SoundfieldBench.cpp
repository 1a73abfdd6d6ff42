// bench/soundfield: cost of one 128-sample frame of the rotator and the encoder at order 7.
// The reported time is per frame; "audio_s_per_s_48k" is the seconds of 48 kHz audio one instance
// processes per second of CPU time (a frame lasts 2.67 ms there).
#include "soundfield/Encoder.h"
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

void reportRealtime(benchmark::State& state)
{
    state.counters["audio_s_per_s_48k"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kFrame / kSampleRate, benchmark::Counter::kIsRate);
}

// Steady state: one matrix product of 64 x 64 by 64 x 128 per frame.
void BM_RotatorSteadyOrder7(benchmark::State& state)
{
    FieldRotator* rotator = nullptr;
    fieldrot_create(&rotator);
    fieldrot_init(rotator, 48000);
    fieldrot_setOrder(rotator, 7);
    fieldrot_setYaw(rotator, 30.0f);
    fieldrot_setPitch(rotator, -10.0f);
    Buffers in(kChannels);
    Buffers out(kChannels);
    fieldrot_process(rotator, in.pointers.data(), out.pointers.data(), kChannels, kChannels, kFrame);
    for (auto _ : state) {
        fieldrot_process(rotator, in.pointers.data(), out.pointers.data(), kChannels, kChannels, kFrame);
        benchmark::DoNotOptimize(out.data.data());
    }
    reportRealtime(state);
    fieldrot_destroy(&rotator);
}

// Every frame follows an orientation change: the matrix is rebuilt and crossfaded.
void BM_RotatorOrientationChangedOrder7(benchmark::State& state)
{
    FieldRotator* rotator = nullptr;
    fieldrot_create(&rotator);
    fieldrot_init(rotator, 48000);
    fieldrot_setOrder(rotator, 7);
    Buffers in(kChannels);
    Buffers out(kChannels);
    float yaw = 0.0f;
    for (auto _ : state) {
        yaw = yaw > 170.0f ? -170.0f : yaw + 1.0f;
        fieldrot_setYaw(rotator, yaw);
        fieldrot_process(rotator, in.pointers.data(), out.pointers.data(), kChannels, kChannels, kFrame);
        benchmark::DoNotOptimize(out.data.data());
    }
    reportRealtime(state);
    fieldrot_destroy(&rotator);
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
    reportRealtime(state);
    fieldenc_destroy(&encoder);
}

} // namespace

BENCHMARK(BM_RotatorSteadyOrder7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RotatorOrientationChangedOrder7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncoderOrder7)
    ->ArgNames({"sources", "moving"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({64, 0})
    ->Args({64, 1})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
