// tests/engine: the engine's throughput configuration (batches convolved on a
// worker thread, or in the calling thread) against the default configuration
// fed the same input and the same events at the same frames, and against a
// direct double-precision decoding, at the latency each configuration reports.
#include "tests/engine/DecoderSetFiles.h"
#include "tests/engine/EngineTestDelegate.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/ReferenceConvolution.h"

#include "engine/QIRMatrixDecoderDSP.h"
#include "engine/platform/ResourceDirectory.h"
#include "framework/IMidiMsg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace qirtest {
namespace {

using qir::QIRMatrixDecoderDSP;
using Channels = std::vector<std::vector<float>>;

constexpr double kSampleRate = 48000.0;
constexpr int kInputs = 16;

// Something that happens between two calls, at an input frame: a parameter
// change, a MIDI message, or a change of decoder set (loaded at once, adopted
// by the next call).
struct Event {
    std::size_t mFrame;
    std::function<void(QIRMatrixDecoderDSP&, EngineTestDelegate&)> mApply;
};

Event parameter(std::size_t frame, int index, double plainValue)
{
    return {frame, [=](QIRMatrixDecoderDSP& engine, EngineTestDelegate& delegate) {
                delegate.Set(engine, index, plainValue);
            }};
}

Event midi(std::size_t frame, int status, int note, int velocity)
{
    return {frame, [=](QIRMatrixDecoderDSP& engine, EngineTestDelegate&) {
                engine.ProcessMidiMsg(plugfw::IMidiMsg(0, static_cast<uint8_t>(status), static_cast<uint8_t>(note),
                                                       static_cast<uint8_t>(velocity)));
            }};
}

Event decodeOrder(std::size_t frame, int listPosition)
{
    return {frame, [=](QIRMatrixDecoderDSP& engine, EngineTestDelegate& delegate) {
                delegate.Set(engine, QIRMatrixDecoderDSP::kDecodeOrder, listPosition);
                engine.OnIdle();
                engine.WaitForLoads();
            }};
}

struct Configuration {
    bool mThroughput = false;
    int mBatchFrames = 0;
    bool mOnWorker = false;
};

struct Rendering {
    Channels mOut;
    int mLatency = 0;
    std::size_t mAllocations = 0;
};

// One engine, from construction to the end of the input: the configuration,
// order 3 at a yaw of 30 degrees, the reset, the first set loaded, then calls
// whose sizes come from nextSize, cut at the events' frames as a host cuts its
// calls at its events. The input is followed by the latency's silence, so that
// everything comes out. Allocations of the calls are counted. With a prelude,
// that stream is rendered first and the engine reset before the input.
Rendering renderEngine(const Configuration& configuration, int resetBlock, const Channels& input,
                 const std::vector<Event>& events, const std::function<std::size_t()>& nextSize,
                 const Channels& prelude = {})
{
    Rendering run;
    EngineTestDelegate delegate;
    auto engine = std::make_unique<QIRMatrixDecoderDSP>(&delegate);
    if (configuration.mThroughput) {
        EXPECT_TRUE(engine->UseThroughputConfiguration(configuration.mBatchFrames, configuration.mOnWorker));
    }
    delegate.Set(*engine, QIRMatrixDecoderDSP::kDecodeOrder, 2);
    delegate.Set(*engine, QIRMatrixDecoderDSP::kYaw, 30.0);
    run.mLatency = engine->OnReset(resetBlock, kSampleRate);
    EXPECT_EQ(run.mLatency, engine->GetLatency());
    engine->OnIdle();
    engine->WaitForLoads();
    EXPECT_TRUE(engine->HasPendingDecoderSet());

    const std::size_t total = input[0].size() + static_cast<std::size_t>(run.mLatency);
    run.mOut.assign(2, std::vector<float>(total, 0.0f));
    const std::size_t longest = static_cast<std::size_t>(resetBlock);
    Channels buffers(kInputs, std::vector<float>(longest));
    std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
    for (std::size_t c = 0; c < buffers.size(); ++c) {
        ins[c] = buffers[c].data();
    }
    std::vector<float> outBuffers[2] = {std::vector<float>(longest), std::vector<float>(longest)};
    float* outs[2] = {outBuffers[0].data(), outBuffers[1].data()};
    std::size_t nextEvent = 0;
    if (!prelude.empty()) {
        for (std::size_t pos = 0; pos < prelude[0].size(); pos += longest) {
            const std::size_t n = std::min(longest, prelude[0].size() - pos);
            std::vector<const float*> from(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
            for (std::size_t c = 0; c < prelude.size(); ++c) {
                from[c] = prelude[c].data() + pos;
            }
            engine->ProcessBlock(from.data(), outs, static_cast<int>(n), kInputs);
        }
        EXPECT_EQ(engine->OnReset(resetBlock, kSampleRate), run.mLatency);
    }
    for (std::size_t pos = 0; pos < total;) {
        while (nextEvent < events.size() && events[nextEvent].mFrame <= pos) {
            events[nextEvent++].mApply(*engine, delegate);
        }
        std::size_t n = std::min({nextSize(), total - pos, longest});
        if (nextEvent < events.size()) {
            n = std::min(n, events[nextEvent].mFrame - pos);
        }
        for (std::size_t c = 0; c < buffers.size(); ++c) {
            for (std::size_t t = 0; t < n; ++t) {
                buffers[c][t] = pos + t < input[c].size() ? input[c][pos + t] : 0.0f;
            }
        }
        {
            AllocationCounter counter;
            engine->ProcessBlock(ins.data(), outs, static_cast<int>(n), kInputs);
            run.mAllocations += counter.count() + counter.frees();
        }
        for (std::size_t o = 0; o < 2; ++o) {
            std::copy_n(outBuffers[o].begin(), n, run.mOut[o].begin() + static_cast<std::ptrdiff_t>(pos));
        }
        pos += n;
    }
    return run;
}

// Independent noise on every channel.
Channels noise(std::size_t frames, std::uint32_t seed)
{
    Channels x;
    for (int c = 0; c < kInputs; ++c) {
        x.push_back(whiteNoise(frames, seed + static_cast<std::uint32_t>(c) * 131u));
    }
    return x;
}

struct ThroughputCase {
    const char* mName;
    int mBatchFrames;
    bool mOnWorker;
    int mResetBlock;
    std::vector<std::size_t> mPattern; // empty: random sizes from 1 to the reset's block
    // Responses that end within 700 taps, as an anechoic set's do: the
    // convolver's hops are then shorter than a batch.
    bool mShortResponses = false;
};

void PrintTo(const ThroughputCase& c, std::ostream* os) { *os << c.mName; }

class ThroughputConfiguration : public ::testing::TestWithParam<ThroughputCase> {
protected:
    void SetUp() override
    {
        qir::platform::SetResourceDirectory(mDir.path());
        // Responses with impulses up to their last tap: a batch layout that
        // drops a partition is heard.
        mThirdOrder = makeSparseSet(16, 41);
        mFirstOrder = makeSparseSet(4, 42);
        if (GetParam().mShortResponses) {
            for (DecoderSetIRs* set : {&mThirdOrder, &mFirstOrder}) {
                for (auto& output : set->ir) {
                    for (auto& ir : output) {
                        std::fill(ir.begin() + 700, ir.end(), 0.0f);
                        ir[699] = 0.25f;
                    }
                }
            }
        }
        writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), mThirdOrder);
        writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), mFirstOrder);
    }
    void TearDown() override { qir::platform::SetResourceDirectory(""); }

    std::function<std::size_t()> sizes()
    {
        const ThroughputCase& c = GetParam();
        auto random = std::make_shared<RandomSizes>(17, 1, static_cast<std::size_t>(c.mResetBlock));
        auto call = std::make_shared<std::size_t>(0);
        return [c, random, call] { return c.mPattern.empty() ? random->next() : c.mPattern[(*call)++ % c.mPattern.size()]; };
    }

    Configuration throughput() const { return {true, GetParam().mBatchFrames, GetParam().mOnWorker}; }

    TempDir mDir;
    DecoderSetIRs mThirdOrder;
    DecoderSetIRs mFirstOrder;
};

// Everything that acts at a frame acts at the same frame in both
// configurations: a note of the test source, a turn of the field, rotation
// switched off, a note released, and a switch to the first-order set (a
// crossfade during which the old set still hears all its channels). The
// throughput output is the default's, delayed by the difference of the
// latencies they report, within float rounding; before that it is silent.
// Neither configuration allocates or frees in its calls.
TEST_P(ThroughputConfiguration, MatchesTheDefaultConfigurationAtItsOwnLatency)
{
    constexpr std::size_t kFrames = 48000;
    const Channels input = noise(kFrames, 7);
    const std::vector<Event> events = {
        midi(3000, 0x90, 5, 100),
        parameter(9001, QIRMatrixDecoderDSP::kYaw, -45.0),
        parameter(14000, QIRMatrixDecoderDSP::kEnableRotation, 0.0),
        midi(20000, 0x80, 5, 0),
        decodeOrder(24577, 0),
        parameter(33000, QIRMatrixDecoderDSP::kEnableRotation, 1.0),
    };
    const Rendering reference = renderEngine({}, GetParam().mResetBlock, input, events, sizes());
    const Rendering batched = renderEngine(throughput(), GetParam().mResetBlock, input, events, sizes());

    const int batch = (GetParam().mBatchFrames + 127) / 128 * 128;
    ASSERT_EQ(reference.mLatency, QIRMatrixDecoderDSP::kLatency);
    ASSERT_EQ(batched.mLatency, GetParam().mOnWorker ? 2 * batch : batch);
    const auto shift = static_cast<std::size_t>(batched.mLatency - reference.mLatency);
    for (std::size_t o = 0; o < 2; ++o) {
        const std::vector<float>& late = batched.mOut[o];
        EXPECT_EQ(*std::max_element(late.begin(), late.begin() + batched.mLatency), 0.0f) << "output " << o;
        EXPECT_EQ(*std::min_element(late.begin(), late.begin() + batched.mLatency), 0.0f) << "output " << o;
        const std::vector<float> actual(late.begin() + static_cast<std::ptrdiff_t>(shift), late.end());
        const std::vector<double> expected(reference.mOut[o].begin(),
                                           reference.mOut[o].begin() + static_cast<std::ptrdiff_t>(actual.size()));
        EXPECT_LT(relativeError(actual, expected), 1e-5) << "output " << o;
    }
    EXPECT_EQ(reference.mAllocations, 0u);
    EXPECT_EQ(batched.mAllocations, 0u);
}

// Without events or rotation, the throughput output is the direct decoding of
// the input, its latency later; a reset in the middle of a stream (batches
// gathered, one with the worker) leaves nothing of that stream behind.
TEST_P(ThroughputConfiguration, MatchesDirectDecodingItsLatencyLateAfterAReset)
{
    constexpr std::size_t kFrames = 40000;
    const Channels input = noise(kFrames, 8);
    const Rendering batched =
        renderEngine(throughput(), GetParam().mResetBlock, input,
                     {parameter(0, QIRMatrixDecoderDSP::kEnableRotation, 0.0)}, sizes(), noise(21000, 9));
    for (int o = 0; o < 2; ++o) {
        std::vector<double> expected = directConvolveSum(input, mThirdOrder.ir[o]);
        expected.insert(expected.begin(), static_cast<std::size_t>(batched.mLatency), 0.0);
        EXPECT_LT(relativeError(batched.mOut[static_cast<std::size_t>(o)], expected), 1e-5) << "output " << o;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, ThroughputConfiguration,
    ::testing::Values(ThroughputCase{"OnTheWorker", QIRMatrixDecoderDSP::kThroughputBatchFrames, true, 512, {512}},
                      ThroughputCase{"OnTheWorkerInCallsOfAnySize", 2048, true, 700, {}},
                      ThroughputCase{"OnTheWorkerSeveralBatchesPerCall", 1024, true, 4096, {4096, 3000, 100}},
                      ThroughputCase{"InTheCallingThread", 4096, false, 256, {256, 128, 33}},
                      ThroughputCase{"BatchRoundedUpToWholeFrames", 1000, true, 512, {512}},
                      ThroughputCase{"ShortResponses", QIRMatrixDecoderDSP::kThroughputBatchFrames, true, 1024, {}, true}),
    [](const auto& info) { return std::string(info.param.mName); });

// One or two channels pass through, the first to both outputs when there is
// one, exactly, the throughput configuration's latency late: on the worker and
// in the calling thread.
TEST(ThroughputConfigurationPassThrough, OneAndTwoChannelsComeOutUnchangedItsLatencyLate)
{
    TempDir dir;
    qir::platform::SetResourceDirectory(dir.path());
    for (const bool onWorker : {true, false}) {
        for (const int nChans : {2, 1}) {
            SCOPED_TRACE(testing::Message() << (onWorker ? "worker, " : "calling thread, ") << nChans << " channels");
            EngineTestDelegate delegate;
            QIRMatrixDecoderDSP engine(&delegate);
            ASSERT_TRUE(engine.UseThroughputConfiguration(1024, onWorker));
            const int latency = engine.OnReset(300, kSampleRate);
            ASSERT_EQ(latency, onWorker ? 2048 : 1024);
            constexpr std::size_t kTotal = 6000;
            Channels in;
            for (int c = 0; c < nChans; ++c) {
                in.push_back(whiteNoise(kTotal, 20u + static_cast<std::uint32_t>(c)));
            }
            Channels out(2, std::vector<float>(kTotal));
            for (std::size_t pos = 0; pos < kTotal; pos += 300) {
                const std::vector<const float*> ins = {in[0].data() + pos, in[static_cast<std::size_t>(nChans - 1)].data() + pos};
                float* outs[2] = {out[0].data() + pos, out[1].data() + pos};
                engine.ProcessBlock(ins.data(), outs, 300, nChans);
            }
            for (std::size_t o = 0; o < 2; ++o) {
                const std::vector<float>& from = in[std::min<std::size_t>(o, in.size() - 1)];
                for (std::size_t t = 0; t < kTotal; ++t) {
                    const auto lag = static_cast<std::size_t>(latency);
                    ASSERT_EQ(out[o][t], t < lag ? 0.0f : from[t - lag]) << "output " << o << " frame " << t;
                }
            }
        }
    }
    qir::platform::SetResourceDirectory("");
}

// The configuration is chosen before the stream is: once the engine has been
// reset or has started a load, the choice is refused and the latency stays.
TEST(ThroughputConfigurationChoice, IsRefusedAfterTheFirstResetOrLoad)
{
    TempDir dir;
    qir::platform::SetResourceDirectory(dir.path());
    EngineTestDelegate delegate;
    {
        QIRMatrixDecoderDSP engine(&delegate);
        ASSERT_EQ(engine.OnReset(512, kSampleRate), QIRMatrixDecoderDSP::kLatency);
        EXPECT_FALSE(engine.UseThroughputConfiguration());
        EXPECT_EQ(engine.OnReset(512, kSampleRate), QIRMatrixDecoderDSP::kLatency);
    }
    {
        QIRMatrixDecoderDSP engine(&delegate);
        testing::internal::CaptureStdout();
        engine.OnIdle(); // starts a load (of a set that is missing)
        engine.WaitForLoads();
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(engine.UseThroughputConfiguration());
        EXPECT_EQ(engine.GetLatency(), QIRMatrixDecoderDSP::kLatency);
    }
    {
        QIRMatrixDecoderDSP engine(&delegate);
        EXPECT_TRUE(engine.UseThroughputConfiguration());
        EXPECT_EQ(engine.OnReset(512, kSampleRate), 2 * QIRMatrixDecoderDSP::kThroughputBatchFrames);
    }
    qir::platform::SetResourceDirectory("");
}

} // namespace
} // namespace qirtest
