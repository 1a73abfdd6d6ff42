// bench/lv2: one instance of the LV2 plug-in, loaded through lilv from the
// bundle the build installs for its tests, decoding the generated anechoic
// sets at 48 kHz: CPU seconds per second of audio for host blocks of 128 and
// 512 frames. The plug-in's run is all that is timed (the binding, the plug-in
// class with its output volume, the engine); engine_bench times the engine
// alone.
#include "tests/lv2/LV2TestHost.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

namespace {

using qirtest::LV2Instance;
using qirtest::LV2World;

constexpr double kSampleRate = 48000.0;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Args: order, block size.
void BM_LV2Run(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    const auto block = static_cast<uint32_t>(state.range(1));
    const LV2World world;
    if (world.decoder() == nullptr) {
        state.SkipWithError(("the plug-in is not installed in " + qirtest::InstalledLV2Path().string()).c_str());
        return;
    }
    LV2Instance::Setup setup;
    setup.mMaxBlock = static_cast<int>(block);
    // The host runs the worker inside schedule_work: the set loads in the first run.
    setup.mWorker = LV2Instance::Worker::kSynchronous;
    LV2Instance instance(world, setup);
    instance.set("decode_order", static_cast<float>(order - 1));
    instance.activate();
    const qirtest::Field input = qirtest::Noise((order + 1) * (order + 1), block, 1);
    qirtest::Field out;
    // Adopt the set and let it fade in.
    for (uint32_t frames = 0; frames < 4096; frames += block) {
        instance.run(input, 0, block, {}, out);
    }
    for (const std::string& line : instance.takeLog()) {
        if (line.find("couldn't load") != std::string::npos) {
            state.SkipWithError(line.c_str());
            return;
        }
    }
    instance.prepareRun(input, 0, block, {});

    long frames = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        instance.runOnly(block);
        benchmark::DoNotOptimize(instance.outputBuffer(0));
        frames += block;
    }
    const double cpu = processCpuSeconds() - cpuStart;
    state.counters["cpu_s_per_audio_s"] = cpu / (static_cast<double>(frames) / kSampleRate);
}

BENCHMARK(BM_LV2Run)
    ->ArgNames({"order", "block"})
    ->ArgsProduct({{1, 7}, {128, 512}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
