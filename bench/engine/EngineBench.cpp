// bench/engine: the engine's ProcessBlock with the generated anechoic decoder
// sets at 48 kHz, in CPU seconds per second of audio.
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

// Args: order, block size.
void BM_ProcessBlock(benchmark::State& state)
{
    const int order = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const std::string dir = qir::platform::GetResourceDirectory();
    const std::string file = dir + "/" + std::to_string(order) + "OA-decoder-anechoic.wav";
    if (!std::filesystem::exists(file)) {
        state.SkipWithError(("decoder set absent: " + file + " (generate the decoder sets first)").c_str());
        return;
    }

    BenchDelegate delegate;
    QIRMatrixDecoderDSP engine(&delegate);
    engine.OnReset(block, kSampleRate);
    delegate.GetParam(QIRMatrixDecoderDSP::kDecodeOrder)->Set(order - 1);
    engine.OnParamChange(QIRMatrixDecoderDSP::kDecodeOrder, delegate.GetParam(QIRMatrixDecoderDSP::kDecodeOrder)->GetNormalized());
    engine.OnIdle();
    engine.WaitForLoads();

    const int nChans = (order + 1) * (order + 1);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    std::vector<std::vector<float>> source(static_cast<std::size_t>(nChans), std::vector<float>(static_cast<std::size_t>(block)));
    for (auto& ch : source) {
        for (float& v : ch) {
            v = dist(rng);
        }
    }
    std::vector<std::vector<float>> buffers = source;
    std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
    for (int c = 0; c < nChans; ++c) {
        ins[static_cast<std::size_t>(c)] = buffers[static_cast<std::size_t>(c)].data();
    }
    std::vector<float> out0(static_cast<std::size_t>(block)), out1(static_cast<std::size_t>(block));
    float* outs[2] = {out0.data(), out1.data()};
    // Adopt the set and warm up.
    for (int i = 0; i < 8; ++i) {
        engine.ProcessBlock(ins.data(), outs, block, nChans);
    }
    if (engine.GetActiveInputCount() != nChans) {
        state.SkipWithError("the decoder set did not load");
        return;
    }

    long frames = 0;
    const double cpuStart = processCpuSeconds();
    for (auto _ : state) {
        // The stage rewrites its input in place, so every block starts again
        // from the same noise; the copy is a small part of the work.
        for (int c = 0; c < nChans; ++c) {
            std::copy(source[static_cast<std::size_t>(c)].begin(), source[static_cast<std::size_t>(c)].end(),
                      buffers[static_cast<std::size_t>(c)].begin());
        }
        engine.ProcessBlock(ins.data(), outs, block, nChans);
        benchmark::DoNotOptimize(out0.data());
        frames += block;
    }
    const double cpu = processCpuSeconds() - cpuStart;
    state.counters["cpu_s_per_audio_s"] = cpu / (static_cast<double>(frames) / kSampleRate);
}

BENCHMARK(BM_ProcessBlock)
    ->ArgNames({"order", "block"})
    ->ArgsProduct({{1, 3, 5, 7}, {128, 512}})
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
