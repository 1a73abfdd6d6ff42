// tests/engine: loader threads, the hand-over and retire slots and parameter
// changes racing a running audio thread (built for ThreadSanitizer as well).
#include "engine/DecoderSetResponses.h"
#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace qirtest {
namespace {

using qir::QIRMatrixDecoderDSP;

// Runs ProcessBlock on its own thread until stopped, as a host's render thread.
class AudioThread {
public:
    AudioThread(QIRMatrixDecoderDSP& engine, int nChans, int block)
        : mThread([this, &engine, nChans, block] {
              std::vector<std::vector<float>> buffers(static_cast<std::size_t>(nChans),
                                                      std::vector<float>(static_cast<std::size_t>(block)));
              std::vector<float> out0(static_cast<std::size_t>(block)), out1(static_cast<std::size_t>(block));
              std::vector<float*> ins(QIRMatrixDecoderDSP::kMaxInputChannels, nullptr);
              float* outs[2] = {out0.data(), out1.data()};
              std::uint32_t seed = 1;
              while (!mStop.load()) {
                  for (std::size_t c = 0; c < buffers.size(); ++c) {
                      buffers[c] = whiteNoise(static_cast<std::size_t>(block), seed++);
                      ins[c] = buffers[c].data();
                  }
                  engine.ProcessBlock(ins.data(), outs, block, nChans);
                  mBlocks.fetch_add(1);
              }
          })
    {
    }
    ~AudioThread() { stop(); }
    void stop()
    {
        mStop.store(true);
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    [[nodiscard]] long blocks() const { return mBlocks.load(); }

private:
    std::atomic<bool> mStop{false};
    std::atomic<long> mBlocks{0};
    std::thread mThread;
};

class LoaderConcurrency : public EngineHarness {
protected:
    void SetUp() override
    {
        EngineHarness::SetUp();
        ASSERT_EQ(engine().OnReset(256, kSampleRate), QIRMatrixDecoderDSP::kLatency);
    }

    // With the audio thread gone, this thread takes its place until the set in
    // the slot has been adopted (a crossfade in progress delays it, and so does
    // a set not yet handed back), freeing what is handed back meanwhile.
    void adoptTheLastSet(int nChans)
    {
        for (int call = 0; call < 64 && (engine().HasPendingDecoderSet() || engine().IsCrossfading()); ++call) {
            render(Channels(static_cast<std::size_t>(nChans), std::vector<float>(256, 0.0f)), [] { return 256; });
            engine().OnIdle();
        }
    }
};

TEST_F(LoaderConcurrency, RacingLoadsAdoptTheLastRequestedSetAndNothingLeaks)
{
    // Each mode and order names a set with its own input count, so the set in
    // use tells which file it came from. Larger sets take longer to load, so
    // an earlier request often finishes after a later one.
    struct Choice {
        int mode, orderPosition, inputs;
        const char* file;
    };
    const std::vector<Choice> choices = {{0, 0, 4, "1OA-decoder-anechoic.wav"}, {1, 2, 40, "3OA-decoder-room.wav"},
                                         {0, 2, 6, "3OA-decoder-anechoic.wav"}, {1, 0, 7, "1OA-decoder-room.wav"},
                                         {1, 1, 30, "2OA-decoder-room.wav"},    {0, 1, 5, "2OA-decoder-anechoic.wav"}};
    for (const Choice& c : choices) {
        writeDecoderSet(mDir.file(c.file), makeSparseSet(c.inputs, static_cast<std::uint32_t>(c.inputs)));
    }

    ::testing::internal::CaptureStdout();
    int started = 0;
    const Choice* lastRequested = nullptr;
    {
        AudioThread audio(engine(), 16, 256);
        for (int round = 0; round < 12; ++round) {
            // Two loads in quick succession race each other and the audio thread.
            for (int k = 0; k < 2; ++k) {
                const Choice& c = choices[static_cast<std::size_t>((round * 2 + k) % choices.size())];
                setParam(QIRMatrixDecoderDSP::kDecoderMode, c.mode);
                setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.orderPosition);
                engine().OnIdle();
                ++started;
                lastRequested = &c;
            }
            if (round % 4 == 3) {
                engine().WaitForLoads();
            }
        }
        engine().WaitForLoads();
        while (audio.blocks() < 4) {
            std::this_thread::yield();
        }
    }
    const std::string printed = ::testing::internal::GetCapturedStdout();

    // Every published load said so (an out-of-date one is dropped silently);
    // the last line names the last request's set.
    std::istringstream lines(printed);
    std::string line;
    std::string last;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind("QIRMatrixDecoder loaded ", 0), 0u) << line;
        last = line;
        ++count;
    }
    EXPECT_GE(count, 1);
    EXPECT_LE(count, started);
    ASSERT_NE(lastRequested, nullptr);
    EXPECT_EQ(last, "QIRMatrixDecoder loaded " + mDir.file(lastRequested->file));

    adoptTheLastSet(16);
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetActiveInputCount(), lastRequested->inputs) << last;
}

TEST_F(LoaderConcurrency, SetsHandedBackAreFreedOnOtherThreadsWhileTheAudioThreadRuns)
{
    // Switches follow each other faster than crossfades end, so sets wait, are
    // replaced in the slot, adopted, kept and handed back while a worker thread
    // loads (as a host without the idle timer does), the main thread runs idle
    // ticks and a third thread frees whatever is handed back.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 21));
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 22));
    writeDecoderSet(mDir.file("2OA-decoder-room.wav"), makeSparseSet(9, 23));
    struct Choice {
        int mode, orderPosition, inputs;
    };
    const Choice choices[] = {{0, 2, 16}, {1, 1, 9}, {0, 0, 4}};
    ::testing::internal::CaptureStdout();
    std::atomic<bool> stop{false};
    {
        AudioThread audio(engine(), 16, 128);
        std::thread worker([&] {
            while (!stop.load()) {
                if (engine().IsLoadRequested()) {
                    engine().LoadRequestedSet();
                }
                std::this_thread::yield();
            }
        });
        std::thread releaser([&] {
            while (!stop.load()) {
                if (engine().HasRetiredSets()) {
                    engine().ReleaseRetiredSets();
                }
                std::this_thread::yield();
            }
        });
        for (int round = 0; round < 30; ++round) {
            const Choice& c = choices[round % 3];
            setParam(QIRMatrixDecoderDSP::kDecoderMode, c.mode);
            setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.orderPosition);
            if (round % 5 == 4) {
                engine().OnIdle(); // an idle tick takes the request as well, on a loader thread
            }
            const long start = audio.blocks();
            while (audio.blocks() < start + 3) {
                std::this_thread::yield();
            }
        }
        stop.store(true);
        worker.join();
        releaser.join();
        // A last request may have been left to the idle tick.
        engine().OnIdle();
        engine().WaitForLoads();
        const long start = audio.blocks();
        while (audio.blocks() < start + 4) {
            std::this_thread::yield();
        }
    }
    ::testing::internal::GetCapturedStdout();
    adoptTheLastSet(16);
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_FALSE(engine().IsCrossfading());
    EXPECT_EQ(engine().GetActiveInputCount(), choices[29 % 3].inputs);
    engine().OnIdle();
    EXPECT_FALSE(engine().HasRetiredSets());
}

TEST_F(LoaderConcurrency, DestroyingTheEngineWhileLoadsRunIsSafe)
{
    writeDecoderSet(mDir.file("7OA-decoder-anechoic.wav"), makeSparseSet(64, 3));
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 4));
    for (int round = 0; round < 3; ++round) {
        EngineTestDelegate delegate;
        auto dsp = std::make_unique<QIRMatrixDecoderDSP>(&delegate);
        ASSERT_EQ(dsp->OnReset(256, kSampleRate), QIRMatrixDecoderDSP::kLatency);
        ::testing::internal::CaptureStdout();
        dsp->OnIdle(); // order 1
        delegate.Set(*dsp, QIRMatrixDecoderDSP::kDecodeOrder, 6);
        dsp->OnIdle(); // order 7, still running when the engine goes
        if (round == 2) {
            dsp->WaitForLoads(); // a set left in the slot, never adopted
        }
        dsp.reset();
        ::testing::internal::GetCapturedStdout();
    }
}

TEST_F(LoaderConcurrency, ParameterChangesFromAnotherThreadWhileRendering)
{
    writeDecoderSet(mDir.file("2OA-decoder-anechoic.wav"), makeSparseSet(9, 5));
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 1);
    ::testing::internal::CaptureStdout();
    idleAndWait();
    ::testing::internal::GetCapturedStdout();

    AudioThread audio(engine(), 9, 128);
    std::thread controller([this] {
        for (int i = 0; i < 400; ++i) {
            const double v = (i % 37) / 36.0;
            for (int p = QIRMatrixDecoderDSP::kChannelLayout; p <= QIRMatrixDecoderDSP::kFlipRoll; ++p) {
                engine().OnParamChange(p, v);
            }
            mDelegate.GetParam(QIRMatrixDecoderDSP::kNormalizationType)->Set(i % 3);
            mDelegate.GetParam(QIRMatrixDecoderDSP::kEnableRotation)->Set(i % 2);
        }
    });
    controller.join();
    while (audio.blocks() < 50) {
        std::this_thread::yield();
    }
    audio.stop();
    EXPECT_GE(audio.blocks(), 50);
}

TEST_F(LoaderConcurrency, ResetsAtOtherRatesWhileLoadsRunEndWithTheSetAtTheLastRate)
{
    // Each reset at a new rate requests a reload while the load for the previous
    // rate may still be running (and reading the rate); whichever finishes last,
    // the set adopted in the end is the one made for the last rate.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 3));
    ::testing::internal::CaptureStdout();
    engine().OnIdle();
    const double rates[] = {44100.0, 96000.0};
    for (int round = 0; round < 8; ++round) {
        engine().OnReset(256, rates[round % 2]);
        EXPECT_TRUE(engine().IsLoadRequested());
        engine().OnIdle();
        render(Channels(4, std::vector<float>(256, 0.0f)), [] { return 256; });
    }
    engine().WaitForLoads();
    adoptTheLastSet(4);
    (void)::testing::internal::GetCapturedStdout();

    qir::DecoderSetResponses atLastRate;
    std::string error;
    ASSERT_TRUE(qir::ReadDecoderSetResponses(mDir.file("1OA-decoder-anechoic.wav"), rates[1], 64, atLastRate, error))
        << error;
    EXPECT_FALSE(engine().HasPendingDecoderSet());
    EXPECT_EQ(engine().GetTailFrames(), atLastRate.mTrueLength);
}

} // namespace
} // namespace qirtest
