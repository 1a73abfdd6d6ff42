// tests/engine: drives one engine the way the plug-in does (reset, parameter
// changes, idle ticks, blocks) with decoder sets in a temporary resource folder.
#pragma once

#include "engine/QIRMatrixDecoderDSP.h"
#include "engine/platform/ResourceDirectory.h"
#include "tests/engine/DecoderSetFiles.h"
#include "tests/engine/EngineTestDelegate.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qirtest {

using Channels = std::vector<std::vector<float>>;

class EngineHarness : public ::testing::Test {
protected:
    static constexpr double kSampleRate = 48000.0;

    void SetUp() override
    {
        qir::platform::SetResourceDirectory(mDir.path());
        mEngine = std::make_unique<qir::QIRMatrixDecoderDSP>(&mDelegate);
    }

    void TearDown() override
    {
        mEngine.reset();
        qir::platform::SetResourceDirectory("");
    }

    qir::QIRMatrixDecoderDSP& engine() { return *mEngine; }
    void setParam(int idx, double plainValue) { mDelegate.Set(*mEngine, idx, plainValue); }

    // One idle tick, then waits for the load it may have started.
    void idleAndWait()
    {
        mEngine->OnIdle();
        mEngine->WaitForLoads();
    }

    // Renders silence on nChans channels until a set waiting in the hand-over
    // slot is adopted and its crossfade is over (whole frames, so the stream
    // stays on the frame grid).
    void settle(int nChans)
    {
        const auto frames = static_cast<std::size_t>(qir::QIRMatrixDecoderDSP::kCrossfadeFrames);
        render(Channels(static_cast<std::size_t>(nChans), std::vector<float>(frames, 0.0f)), [] { return 128; });
        ASSERT_FALSE(mEngine->IsCrossfading());
    }

    // Runs nChans channels of input through the engine in blocks whose sizes
    // come from nextSize, and returns the two outputs. Each block gets buffers of
    // its own, as a host's would be.
    Channels render(const Channels& input, const std::function<int()>& nextSize, int nChans = -1)
    {
        const int chans = nChans < 0 ? static_cast<int>(input.size()) : nChans;
        const std::size_t total = input.empty() ? 0 : input[0].size();
        Channels out(2, std::vector<float>(total, 0.0f));
        std::vector<std::vector<float>> blockIn(qir::QIRMatrixDecoderDSP::kMaxInputChannels);
        std::vector<float> blockOut[2];
        std::size_t pos = 0;
        while (pos < total) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(nextSize()), total - pos);
            std::vector<float*> ins(qir::QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
            for (int c = 0; c < chans; ++c) {
                blockIn[static_cast<std::size_t>(c)].assign(input[static_cast<std::size_t>(c)].begin() + static_cast<std::ptrdiff_t>(pos),
                                                            input[static_cast<std::size_t>(c)].begin() + static_cast<std::ptrdiff_t>(pos + n));
                blockIn[static_cast<std::size_t>(c)].resize(std::max<std::size_t>(n, 1));
                ins[static_cast<std::size_t>(c)] = blockIn[static_cast<std::size_t>(c)].data();
            }
            for (auto& b : blockOut) {
                // Garbage in the host's output buffers must never come back.
                b.assign(std::max<std::size_t>(n, 1), 1.0e6f);
            }
            float* outs[2] = {blockOut[0].data(), blockOut[1].data()};
            mEngine->ProcessBlock(ins.data(), outs, static_cast<int>(n), chans);
            for (int o = 0; o < 2; ++o) {
                std::copy_n(blockOut[o].begin(), n, out[static_cast<std::size_t>(o)].begin() + static_cast<std::ptrdiff_t>(pos));
            }
            pos += n;
        }
        return out;
    }

    // Output o of the direct double-precision decoding of input with set,
    // delayed by delay frames.
    static std::vector<double> reference(const Channels& input, const DecoderSetIRs& set, int o, int delay = 0)
    {
        Channels used(input.begin(), input.begin() + std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(input.size()), set.numInputs()));
        std::vector<double> y = directConvolveSum(used, set.ir[o]);
        if (delay > 0) {
            y.insert(y.begin(), static_cast<std::size_t>(delay), 0.0);
            y.resize(y.size() - static_cast<std::size_t>(delay));
        }
        return y;
    }

    static Channels noise(int nChans, std::size_t frames, std::uint32_t seed)
    {
        Channels x;
        for (int c = 0; c < nChans; ++c) {
            x.push_back(whiteNoise(frames, seed + static_cast<std::uint32_t>(c) * 977u));
        }
        return x;
    }

    TempDir mDir;
    EngineTestDelegate mDelegate;
    std::unique_ptr<qir::QIRMatrixDecoderDSP> mEngine;
};

} // namespace qirtest
