// bench/engine: reading a generated decoder set and bringing it to the running
// rate, as a loader thread does before it builds the convolver: milliseconds per
// load, for the order-7 anechoic and room sets and the UHJ set at 48 kHz (read
// only) and at 44.1, 96 and 192 kHz (read and resampled; the UHJ set read from
// its file made for the rate, as the loader does).
#include "engine/DecoderSetResponses.h"
#include "engine/platform/ResourceDirectory.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

namespace {

const char* const kSets[] = {"7OA-decoder-anechoic.wav", "7OA-decoder-room.wav", "AMBIX_2_UHJ.wav"};

// Args: set (0 anechoic order 7, 1 room order 7, 2 UHJ), rate in Hz.
void BM_ReadDecoderSetAtRate(benchmark::State& state)
{
    const std::string file = qir::platform::GetResourceDirectory() + "/" + kSets[state.range(0)];
    if (!std::filesystem::exists(file)) {
        state.SkipWithError(("decoder set absent: " + file + " (generate the decoder sets first)").c_str());
        return;
    }
    const auto rate = static_cast<double>(state.range(1));
    qir::DecoderSetResponses set;
    for (auto _ : state) {
        std::string error;
        if (!qir::ReadDecoderSetResponses(file, rate, 64, set, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        benchmark::DoNotOptimize(set.mResponses[0].data());
    }
    state.counters["true_length"] = set.mTrueLength;
}

BENCHMARK(BM_ReadDecoderSetAtRate)
    ->ArgNames({"set", "rate"})
    ->ArgsProduct({{0, 1, 2}, {48000, 44100, 96000, 192000}})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
