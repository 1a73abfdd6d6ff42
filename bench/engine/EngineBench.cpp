// bench/engine: the engine's ProcessBlock with the generated anechoic decoder
// sets at 48 kHz, in CPU seconds per second of audio: whole host blocks, and
// blocks cut into calls at odd frames as events cut them.
#include "engine/QIRMatrixDecoderDSP.h"
#include "engine/platform/ResourceDirectory.h"
#include "framework/IEditorDelegate.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using qir::QIRMatrixDecoderDSP;

constexpr double kSampleRate = 48000.0;

class BenchDelegate : public plugfw::IEditorDelegate {
public:
    BenchDelegate() : plugfw::IEditorDelegate(qir::kNumParams)
    {
        qir::InitDecoderParameters(*this);
    }
    void BeginInformHostOfParamChangeFromUI(int) override {}
    void EndInformHostOfParamChangeFromUI(int) override {}
};

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// One engine with the generated anechoic set of an order, adopted and faded in,
// and a block of noise on its channels.
struct BenchEngine {
    BenchDelegate delegate;
    QIRMatrixDecoderDSP engine{&delegate};
    int nChans = 0;
    std::vector<std::vector<float>> source;
    std::vector<const float*> ins;
    std::vector<float> out0, out1;

    // Empty on success, else why the benchmark cannot run.
    std::string prepare(int order, int block)
    {
        const std::string dir = qir::platform::GetResourceDirectory();
        const std::string file = dir + "/" + std::to_string(order) + "OA-decoder-anechoic.wav";
        if (!std::filesystem::exists(file)) {
            return "decoder set absent: " + file + " (generate the decoder sets first)";
        }
        engine.OnReset(block, kSampleRate);
        delegate.GetParam(QIRMatrixDecoderDSP::kDecodeOrder)->Set(order - 1);
        engine.OnParamChange(QIRMatrixDecoderDSP::kDecodeOrder,
                             delegate.GetParam(QIRMatrixDecoderDSP::kDecodeOrder)->GetNormalized());
        engine.OnIdle();
        engine.WaitForLoads();

        nChans = (order + 1) * (order + 1);
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        source.assign(static_cast<std::size_t>(nChans), std::vector<float>(static_cast<std::size_t>(block)));
        for (auto& ch : source) {
            for (float& v : ch) {
                v = dist(rng);
            }
        }
        ins.assign(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
        out0.assign(static_cast<std::size_t>(block), 0.0f);
        out1.assign(static_cast<std::size_t>(block), 0.0f);
        // Adopt the set, let it fade in and warm up.
        for (int frames = 0; frames < 2 * QIRMatrixDecoderDSP::kCrossfadeFrames; frames += block) {
            process(0, block);
        }
        if (engine.GetActiveInputCount() != nChans || engine.IsCrossfading()) {
            return "the decoder set did not load";
        }
        return {};
    }

    // One call on frames [offset, offset + n) of the block.
    void process(int offset, int n)
    {
        for (int c = 0; c < nChans; ++c) {
            ins[static_cast<std::size_t>(c)] = source[static_cast<std::size_t>(c)].data() + offset;
        }
        float* outs[2] = {out0.data() + offset, out1.data() + offset};
        engine.ProcessBlock(ins.data(), outs, n, nChans);
    }
};

// Runs state's iterations, each one host block cut into calls at the frames of
// cuts (ascending, inside the block); reports CPU seconds per second of audio.
void RunBlocks(benchmark::State& state, int order, int block, const std::vector<int>& cuts)
{
    BenchEngine bench;
    if (const std::string error = bench.prepare(order, block); !error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    long frames = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        int start = 0;
        for (const int cut : cuts) {
            bench.process(start, cut - start);
            start = cut;
        }
        bench.process(start, block - start);
        benchmark::DoNotOptimize(bench.out0.data());
        frames += block;
    }
    const double cpu = processCpuSeconds() - cpuStart;
    state.counters["cpu_s_per_audio_s"] = cpu / (static_cast<double>(frames) / kSampleRate);
}

// Args: order, block size.
void BM_ProcessBlock(benchmark::State& state)
{
    RunBlocks(state, static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), {});
}

// Args: order, block size. Each block arrives as three calls, cut at odd frames
// (as a host's parameter or MIDI events cut them).
void BM_ProcessBlockCutAtOddFrames(benchmark::State& state)
{
    const int block = static_cast<int>(state.range(1));
    RunBlocks(state, static_cast<int>(state.range(0)), block, {block / 5 + 1, block / 2 + 3});
}

BENCHMARK(BM_ProcessBlock)
    ->ArgNames({"order", "block"})
    ->ArgsProduct({{1, 3, 5, 7}, {128, 512}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

BENCHMARK(BM_ProcessBlockCutAtOddFrames)
    ->ArgNames({"order", "block"})
    ->ArgsProduct({{7}, {128, 512}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
