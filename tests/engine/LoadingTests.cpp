// tests/engine: decoder-set loading: which file, when, and what happens when a
// file is missing or unusable.
#include "tests/engine/EngineHarness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace qirtest {
namespace {

using qir::QIRMatrixDecoderDSP;

class Loading : public EngineHarness {
protected:
    void SetUp() override
    {
        EngineHarness::SetUp();
        ASSERT_EQ(engine().OnReset(512, kSampleRate), QIRMatrixDecoderDSP::kLatency);
    }

    // One idle tick and its load, returning what was printed meanwhile.
    std::string idleAndCapture()
    {
        ::testing::internal::CaptureStdout();
        idleAndWait();
        return ::testing::internal::GetCapturedStdout();
    }

    std::string loaded(const std::string& file) const
    {
        return "QIRMatrixDecoder loaded " + mDir.file(file) + "\n";
    }

    // Processes silence on 4 channels so that a pending set is adopted and its
    // crossfade is over.
    void adopt() { settle(4); }

    // Loads set A (4 inputs) under the default parameters and adopts it.
    void loadSetA()
    {
        writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), mSetA);
        ASSERT_EQ(idleAndCapture(), loaded("1OA-decoder-anechoic.wav"));
        adopt();
        ASSERT_EQ(engine().GetActiveInputCount(), 4);
    }

    // The set in use still decodes as set A.
    void expectSetAInUse()
    {
        EXPECT_FALSE(engine().HasPendingDecoderSet());
        EXPECT_EQ(engine().GetActiveInputCount(), 4);
        setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
        const Channels input = noise(4, 20480, 4);
        const Channels out = render(input, [] { return 512; });
        for (int o = 0; o < 2; ++o) {
            EXPECT_LT(relativeError(out[static_cast<std::size_t>(o)], reference(input, mSetA, o, QIRMatrixDecoderDSP::kLatency)),
                      1e-5)
                << "output " << o;
        }
    }

    const DecoderSetIRs mSetA = makeSparseSet(4, 101);
};

struct NameCase {
    int mode;
    int orderPosition;
    const char* file;
};

class LoadingName : public Loading, public ::testing::WithParamInterface<NameCase> {};

TEST_P(LoadingName, ModeAndOrderNameTheFile)
{
    const NameCase& c = GetParam();
    writeDecoderSet(mDir.file(c.file), makeSparseSet(4, 5));
    setParam(QIRMatrixDecoderDSP::kDecoderMode, c.mode);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, c.orderPosition);
    EXPECT_EQ(idleAndCapture(), loaded(c.file));
    EXPECT_TRUE(engine().HasPendingDecoderSet());
}

INSTANTIATE_TEST_SUITE_P(Table, LoadingName,
                         ::testing::Values(NameCase{0, 0, "1OA-decoder-anechoic.wav"},
                                           NameCase{0, 2, "3OA-decoder-anechoic.wav"},
                                           NameCase{1, 0, "1OA-decoder-room.wav"},
                                           NameCase{1, 6, "7OA-decoder-room.wav"},
                                           NameCase{2, 0, "AMBIX_2_UHJ.wav"},
                                           NameCase{2, 5, "AMBIX_2_UHJ.wav"}),
                         [](const auto& info) {
                             return "Mode" + std::to_string(info.param.mode) + "Order" +
                                    std::to_string(info.param.orderPosition + 1);
                         });

TEST_F(Loading, OnlyAChangeOfModeOrOrderRequestsAnotherLoad)
{
    loadSetA();
    EXPECT_EQ(idleAndCapture(), "");

    // Unchanged order, other parameters: no load.
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 0);
    setParam(QIRMatrixDecoderDSP::kChannelLayout, 1);
    setParam(QIRMatrixDecoderDSP::kYaw, 45.0);
    EXPECT_EQ(idleAndCapture(), "");

    // Order list position 0 -> 2: order 3.
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 6));
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    EXPECT_EQ(idleAndCapture(), loaded("3OA-decoder-anechoic.wav"));
    adopt();
    EXPECT_EQ(engine().GetActiveInputCount(), 16);

    writeDecoderSet(mDir.file("3OA-decoder-room.wav"), makeSparseSet(16, 7));
    setParam(QIRMatrixDecoderDSP::kDecoderMode, 1);
    EXPECT_EQ(idleAndCapture(), loaded("3OA-decoder-room.wav"));
}

TEST_F(Loading, UhjReloadsItsFileWhenTheOrderChanges)
{
    writeDecoderSet(mDir.file("AMBIX_2_UHJ.wav"), makeSparseSet(4, 8));
    setParam(QIRMatrixDecoderDSP::kDecoderMode, 2);
    EXPECT_EQ(idleAndCapture(), loaded("AMBIX_2_UHJ.wav"));
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 3);
    EXPECT_EQ(idleAndCapture(), loaded("AMBIX_2_UHJ.wav"));
}

TEST_F(Loading, MissingFilePrintsOneLineAndKeepsTheCurrentSet)
{
    loadSetA();
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    EXPECT_EQ(idleAndCapture(),
              "QIRMatrixDecoder couldn't load IR at " + mDir.file("3OA-decoder-anechoic.wav") + "\n");
    // No retry until the next change.
    EXPECT_EQ(idleAndCapture(), "");
    expectSetAInUse();
}

// A host changes "Decoder Mode" on one thread while its idle tick loads a set
// on another and a third thread changes the mode back: the set loaded last is
// the one the parameters name once the changes are done. Written as one
// interleaving of the three threads, step by step.
TEST_F(Loading, TheSetLoadedLastIsTheOneTheParametersNameWhenAChangeIsUndoneDuringALoad)
{
    loadSetA();
    writeDecoderSet(mDir.file("2OA-decoder-anechoic.wav"), makeSparseSet(9, 14));
    writeDecoderSet(mDir.file("2OA-decoder-room.wav"), makeSparseSet(9, 15));
    plugfw::IParam* mode = mDelegate.GetParam(QIRMatrixDecoderDSP::kDecoderMode);
    ASSERT_NE(mode, nullptr);
    // A request is waiting: order 2.
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 1);
    // Thread 1 stores "Room"; its change has not reached the engine yet.
    mode->Set(1.0);
    // The idle tick loads.
    std::string printed = idleAndCapture();
    // Thread 2 sets "Anechoic" again, then thread 1's change arrives.
    setParam(QIRMatrixDecoderDSP::kDecoderMode, 0.0);
    engine().OnParamChange(QIRMatrixDecoderDSP::kDecoderMode, mode->GetNormalized());
    printed += idleAndCapture();

    const std::string last = printed.substr(printed.rfind("QIRMatrixDecoder"));
    EXPECT_EQ(last, loaded("2OA-decoder-anechoic.wav")) << printed;
    EXPECT_FALSE(engine().IsLoadRequested());
}

// While it lives, standard output goes nowhere.
class SilencedStdout {
public:
    SilencedStdout()
    {
        std::fflush(stdout);
        mSaved = ::dup(STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~SilencedStdout()
    {
        std::fflush(stdout);
        ::dup2(mSaved, STDOUT_FILENO);
        ::close(mSaved);
    }
    SilencedStdout(const SilencedStdout&) = delete;
    SilencedStdout& operator=(const SilencedStdout&) = delete;

private:
    int mSaved = -1;
};

// Two host threads change "Decoder Mode" at the same moment, as a render
// thread's automation and an interface may: one to "Room", one to "Anechoic".
// However their steps interleave, the engine ends on the parameter's last
// value, so that the next change to the other mode requests a load. The
// interleavings that matter are a few instructions wide, hence the rounds, each
// started on both threads at once. The folder holds no sets: a load only prints
// its failure.
TEST_F(Loading, ModeChangedOnTwoThreadsAtOnceLeavesTheEngineOnTheLastValue)
{
    constexpr int kRounds = 20000;
    plugfw::IParam* mode = mDelegate.GetParam(QIRMatrixDecoderDSP::kDecoderMode);
    ASSERT_NE(mode, nullptr);
    // As the plug-in passes a host's change on.
    const auto setMode = [&](double value) {
        mode->Set(value);
        engine().OnParamChange(QIRMatrixDecoderDSP::kDecoderMode, mode->GetNormalized());
    };
    std::atomic<int> round{0};
    std::atomic<int> done{0};
    // Spins, so that both threads start a round together, then gives way when
    // the machine has no core to spare.
    const auto waitFor = [](const std::atomic<int>& counter, int value) {
        for (int spins = 0; counter.load() < value; ++spins) {
            if (spins > 200000) {
                std::this_thread::yield();
            }
        }
    };
    int missed = 0;
    {
        const SilencedStdout quiet;
        std::thread other([&] {
            for (int r = 1; r <= kRounds; ++r) {
                waitFor(round, r);
                setMode(1.0);
                done.store(r);
            }
        });
        for (int r = 1; r <= kRounds; ++r) {
            round.store(r);
            setMode(0.0);
            waitFor(done, r);
            const double last = mode->Value();
            (void)engine().LoadRequestedSet();
            setMode(1.0 - last);
            missed += engine().IsLoadRequested() ? 0 : 1;
            // Back to "Anechoic" from a known "Room".
            setMode(1.0);
            setMode(0.0);
        }
        other.join();
    }
    EXPECT_EQ(missed, 0) << "changes that requested no load, of " << kRounds;
}

struct FailureCase {
    const char* name;
    // Prepares the failure in dir; returns the resource folder to use.
    std::string (*prepare)(const TempDir& dir);
};

std::string tooLongName(const TempDir& dir)
{
    return dir.path() + "/" + std::string(300, 'x'); // one name beyond what a folder entry can hold
}
std::string folderIsAFile(const TempDir& dir)
{
    writeGarbage(dir.file("not-a-folder"), 10);
    return dir.file("not-a-folder");
}
std::string notAnAudioFile(const TempDir& dir)
{
    writeGarbage(dir.file("2OA-decoder-anechoic.wav"), 100000);
    return dir.path();
}
std::string shorterThanOneResponse(const TempDir& dir)
{
    DecoderSetIRs empty;
    writeDecoderSet(dir.file("2OA-decoder-anechoic.wav"), empty, 2, 16383);
    return dir.path();
}
std::string folderWithTheSetsName(const TempDir& dir)
{
    std::filesystem::create_directory(dir.file("2OA-decoder-anechoic.wav"));
    return dir.path();
}

class LoadingFailure : public Loading, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LoadingFailure, PrintsOneLineAndKeepsTheCurrentSet)
{
    loadSetA();
    const std::string folder = GetParam().prepare(mDir);
    qir::platform::SetResourceDirectory(folder);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 1);
    EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder couldn't load IR at " + folder + "/2OA-decoder-anechoic.wav\n");
    expectSetAInUse();
}

INSTANTIATE_TEST_SUITE_P(Files, LoadingFailure,
                         ::testing::Values(FailureCase{"StatusQueryFails", tooLongName},
                                           FailureCase{"FolderIsAFile", folderIsAFile},
                                           FailureCase{"NotAnAudioFile", notAnAudioFile},
                                           FailureCase{"ShorterThanOneResponse", shorterThanOneResponse},
                                           FailureCase{"FolderWithTheSetsName", folderWithTheSetsName}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Loading, OneChannelSetLeavesTheRightOutputSilent)
{
    const DecoderSetIRs set = makeSparseSet(4, 9);
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), set, 1);
    EXPECT_EQ(idleAndCapture(), loaded("1OA-decoder-anechoic.wav"));
    setParam(QIRMatrixDecoderDSP::kEnableRotation, 0.0);
    adopt();
    const Channels input = noise(4, 20480, 10);
    const Channels out = render(input, [] { return 512; });
    EXPECT_LT(relativeError(out[0], reference(input, set, 0, QIRMatrixDecoderDSP::kLatency)), 1e-5);
    for (float v : out[1]) {
        ASSERT_EQ(v, 0.0f);
    }
}

struct SegmentCase {
    const char* name;
    int segments;
    int extraFrames;
    int channels;
    int expectedInputs;
};

class LoadingSegments : public Loading, public ::testing::WithParamInterface<SegmentCase> {};

TEST_P(LoadingSegments, InputCountIsTheNumberOfWholeSegments)
{
    const SegmentCase& c = GetParam();
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), makeSparseSet(c.segments, 12), c.channels, c.extraFrames);
    EXPECT_EQ(idleAndCapture(), loaded("1OA-decoder-anechoic.wav"));
    adopt();
    EXPECT_EQ(engine().GetActiveInputCount(), c.expectedInputs);
}

INSTANTIATE_TEST_SUITE_P(Files, LoadingSegments,
                         ::testing::Values(SegmentCase{"SixteenAndAPartial", 16, 100, 2, 16},
                                           SegmentCase{"MoreThanTheEngineHasChannels", 66, 0, 1, 64}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Loading, AWorkerThreadLoadsTheRequestedSetAndFreesTheSetsHandedBack)
{
    // A host without the idle timer: the audio thread sees the request, a worker
    // thread loads the set and frees what the audio thread handed back.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), mSetA);
    writeDecoderSet(mDir.file("3OA-decoder-anechoic.wav"), makeSparseSet(16, 13));
    auto onWorker = [this](auto job) {
        ::testing::internal::CaptureStdout();
        std::thread worker(job);
        worker.join();
        return ::testing::internal::GetCapturedStdout();
    };
    EXPECT_TRUE(engine().IsLoadRequested());
    bool started = false;
    EXPECT_EQ(onWorker([&] { started = engine().LoadRequestedSet(); }), loaded("1OA-decoder-anechoic.wav"));
    EXPECT_TRUE(started);
    EXPECT_FALSE(engine().IsLoadRequested());
    EXPECT_TRUE(engine().HasPendingDecoderSet());
    EXPECT_EQ(onWorker([&] { started = engine().LoadRequestedSet(); }), "");
    EXPECT_FALSE(started) << "nothing was requested";
    adopt();
    EXPECT_EQ(engine().GetActiveInputCount(), 4);

    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    EXPECT_TRUE(engine().IsLoadRequested());
    EXPECT_EQ(onWorker([&] { engine().LoadRequestedSet(); }), loaded("3OA-decoder-anechoic.wav"));
    render(Channels(16, std::vector<float>(QIRMatrixDecoderDSP::kCrossfadeFrames + 128, 0.0f)), [] { return 128; });
    EXPECT_EQ(engine().GetActiveInputCount(), 16);
    EXPECT_TRUE(engine().HasRetiredSets());
    onWorker([&] { engine().ReleaseRetiredSets(); });
    EXPECT_FALSE(engine().HasRetiredSets());
}

TEST_F(Loading, AnEngineGivenAFolderOfItsOwnReadsItsSetsThere)
{
    // A plug-in that carries its sets in its bundle: the process-wide folder
    // (the fixture's) holds a set too, and is not read.
    writeDecoderSet(mDir.file("1OA-decoder-anechoic.wav"), mSetA);
    TempDir own;
    writeDecoderSet(own.file("1OA-decoder-anechoic.wav"), makeSparseSet(4, 77));
    engine().SetDecoderSetFolder(own.path());
    EXPECT_EQ(idleAndCapture(), "QIRMatrixDecoder loaded " + own.file("1OA-decoder-anechoic.wav") + "\n");

    engine().SetDecoderSetFolder("");
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 2);
    setParam(QIRMatrixDecoderDSP::kDecodeOrder, 0);
    EXPECT_EQ(idleAndCapture(), loaded("1OA-decoder-anechoic.wav")) << "an empty folder follows the process's again";
}

TEST_F(Loading, ResourceFolderFollowsTheHostThenTheEnvironmentThenTheBuild)
{
    qir::platform::SetResourceDirectory("");
    ::setenv("QIR_RESOURCE_DIR", "/from/environment", 1);
    EXPECT_EQ(qir::platform::GetResourceDirectory(), "/from/environment");
    qir::platform::SetResourceDirectory("/from/host");
    EXPECT_EQ(qir::platform::GetResourceDirectory(), "/from/host");
    qir::platform::SetResourceDirectory("");
    ::unsetenv("QIR_RESOURCE_DIR");
    EXPECT_EQ(qir::platform::GetResourceDirectory(), qir::platform::GetDefaultResourceDirectory());
    EXPECT_TRUE(std::string(qir::platform::GetDefaultResourceDirectory()).ends_with("decoder-sets"));
}

} // namespace
} // namespace qirtest
