// qir-render run as a process: its output against direct decodings of the same
// field with the same (synthetic) decoder sets, its event timing, its
// conventions, and its errors.
#include "soundfield/RotationMatrices.h"
#include "tests/support/ReferenceConvolution.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kIRLength = 16384;
constexpr int kHeadTaps = 48;
constexpr double kRate = 48000.0;
constexpr float kDegrees = 3.14159265358979f / 180.0f;

using Field = std::vector<std::vector<float>>; // [channel][frame]

struct RunResult {
    int mExitCode = -1;
    std::string mOut;
    std::string mErr;
};

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts qir-render in dir with its output streams in files there.
pid_t Spawn(const fs::path& dir, const std::vector<std::string>& args)
{
    std::vector<std::string> all{QIR_RENDER_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

RunResult Finish(const fs::path& dir, pid_t pid)
{
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        result.mExitCode = WEXITSTATUS(status);
    }
    result.mOut = ReadText(dir / "stdout.txt");
    result.mErr = ReadText(dir / "stderr.txt");
    return result;
}

void WriteSoundFile(const fs::path& file, const Field& field, double rate, int format)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(field.size());
    info.format = format;
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    const std::size_t frames = field[0].size();
    std::vector<float> interleaved(frames * field.size());
    for (std::size_t t = 0; t < frames; ++t) {
        for (std::size_t c = 0; c < field.size(); ++c) {
            interleaved[t * field.size() + c] = field[c][t];
        }
    }
    EXPECT_EQ(sf_writef_float(sf, interleaved.data(), static_cast<sf_count_t>(frames)),
              static_cast<sf_count_t>(frames));
    sf_close(sf);
}

Field ReadSoundFile(const fs::path& file, double* rate = nullptr)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    if (!sf) {
        ADD_FAILURE() << "cannot read " << file;
        return {};
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(sf, interleaved.data(), info.frames);
    sf_close(sf);
    Field field(static_cast<std::size_t>(info.channels), std::vector<float>(static_cast<std::size_t>(info.frames)));
    for (std::size_t t = 0; t < static_cast<std::size_t>(info.frames); ++t) {
        for (std::size_t c = 0; c < field.size(); ++c) {
            field[c][t] = interleaved[t * field.size() + c];
        }
    }
    if (rate) {
        *rate = info.samplerate;
    }
    return field;
}

Field Noise(int channels, std::size_t frames, uint32_t seed)
{
    Field field;
    for (int c = 0; c < channels; ++c) {
        auto n = qirtest::whiteNoise(frames, seed + static_cast<uint32_t>(c) * 7919u);
        for (float& v : n) {
            v *= 0.25f;
        }
        field.push_back(std::move(n));
    }
    return field;
}

Field Padded(Field field, std::size_t frames)
{
    for (auto& channel : field) {
        channel.resize(frames, 0.0f);
    }
    return field;
}

// A decoder set whose responses have a dense head of kHeadTaps samples and
// three sparse taps further out (the last at the response's final sample), so
// a renderer that cuts or misplaces the responses' later parts is caught.
struct SyntheticDecoderSet {
    struct Tap {
        int mPosition;
        float mValue;
    };
    int mInputs = 0;
    std::vector<std::vector<float>> mHead[2];
    std::vector<std::vector<Tap>> mSparse[2];

    SyntheticDecoderSet(int inputs, uint32_t seed) : mInputs(inputs)
    {
        std::minstd_rand rng(seed);
        std::uniform_real_distribution<float> value(-0.5f, 0.5f);
        for (int o = 0; o < 2; ++o) {
            for (int i = 0; i < inputs; ++i) {
                std::vector<float> head(kHeadTaps);
                for (float& h : head) {
                    h = value(rng);
                }
                mHead[o].push_back(head);
                mSparse[o].push_back({{1000 + 37 * i + o, value(rng)}, {9000 + 11 * i, value(rng)}, {kIRLength - 1, value(rng)}});
            }
        }
    }

    void Write(const fs::path& file) const
    {
        Field set(2, std::vector<float>(static_cast<std::size_t>(mInputs) * kIRLength, 0.0f));
        for (int o = 0; o < 2; ++o) {
            for (int i = 0; i < mInputs; ++i) {
                float* ir = set[static_cast<std::size_t>(o)].data() + static_cast<std::size_t>(i) * kIRLength;
                std::copy(mHead[o][i].begin(), mHead[o][i].end(), ir);
                for (const Tap& tap : mSparse[o][i]) {
                    ir[tap.mPosition] = tap.mValue;
                }
            }
        }
        WriteSoundFile(file, set, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    }

    // The decoding of field (its first mInputs channels) into output o, as long
    // as the field.
    std::vector<double> Decode(const Field& field, int o) const
    {
        const Field used(field.begin(), field.begin() + mInputs);
        std::vector<double> y = qirtest::directConvolveSum(used, mHead[o]);
        for (int i = 0; i < mInputs; ++i) {
            const auto& x = used[static_cast<std::size_t>(i)];
            for (const Tap& tap : mSparse[o][i]) {
                for (std::size_t t = static_cast<std::size_t>(tap.mPosition); t < y.size(); ++t) {
                    y[t] += static_cast<double>(tap.mValue) * x[t - static_cast<std::size_t>(tap.mPosition)];
                }
            }
        }
        return y;
    }
};

// The field turned by the spherical-harmonic rotation of yaw, pitch and roll
// (degrees), as the rotation routines define it.
Field Rotated(const Field& field, int order, float yawDegrees, float pitchDegrees, float rollDegrees = 0.0f,
              bool rollPitchYaw = false)
{
    const int n = (order + 1) * (order + 1);
    float R[3][3];
    eulerToRotationMatrix(yawDegrees * kDegrees, pitchDegrees * kDegrees, rollDegrees * kDegrees, rollPitchYaw ? 1 : 0,
                          R);
    std::vector<float> M(static_cast<std::size_t>(n * n));
    getSHRotationMatrix(R, M.data(), order);
    Field out(field.size(), std::vector<float>(field[0].size(), 0.0f));
    for (int c = 0; c < n; ++c) {
        for (int d = 0; d < n; ++d) {
            const float m = M[static_cast<std::size_t>(c * n + d)];
            for (std::size_t t = 0; t < field[0].size(); ++t) {
                out[static_cast<std::size_t>(c)][t] += m * field[static_cast<std::size_t>(d)][t];
            }
        }
    }
    return out;
}

class RenderCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        mDir = fs::temp_directory_path() /
               ("qir-cli-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(mDir / "sets");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(mDir, ec);
    }

    const SyntheticDecoderSet& Set(int order)
    {
        auto& slot = mSets[static_cast<std::size_t>(order)];
        if (!slot) {
            slot = std::make_unique<SyntheticDecoderSet>((order + 1) * (order + 1), 100u + static_cast<uint32_t>(order));
            slot->Write(mDir / "sets" / (std::to_string(order) + "OA-decoder-anechoic.wav"));
        }
        return *slot;
    }

    RunResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--resources", (mDir / "sets").string(), "--quiet"});
        return Finish(mDir, Spawn(mDir, args));
    }

    // Files other than the fixtures: what a render left behind.
    std::vector<std::string> Leftovers(const std::vector<std::string>& fixtures) const
    {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(mDir)) {
            const std::string name = entry.path().filename().string();
            if (name != "sets" && name != "stdout.txt" && name != "stderr.txt" &&
                std::find(fixtures.begin(), fixtures.end(), name) == fixtures.end()) {
                found.push_back(name);
            }
        }
        return found;
    }

    void ExpectDecodes(const Field& output, const Field& field, const SyntheticDecoderSet& set, double tolerance = 1e-4)
    {
        ASSERT_EQ(output.size(), 2u);
        for (int o = 0; o < 2; ++o) {
            ASSERT_EQ(output[static_cast<std::size_t>(o)].size(), field[0].size());
            EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], set.Decode(field, o)), tolerance)
                << "output " << o;
        }
    }

    fs::path mDir;
    std::unique_ptr<SyntheticDecoderSet> mSets[8];
};

struct DecodeCase {
    int mOrder;
    int mBlock;
    bool mTail;
};

class RenderCommandDecodes : public RenderCommand, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(RenderCommandDecodes, EqualsDirectDecodingWithTheSameDecoderSet)
{
    const DecodeCase c = GetParam();
    const int channels = (c.mOrder + 1) * (c.mOrder + 1);
    const std::size_t frames = 6000;
    const Field field = Noise(channels, frames, 11u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(c.mOrder);

    const RunResult run = Run({"--rotation", "off", "--block", std::to_string(c.mBlock), c.mTail ? "--tail" : "--no-tail",
                               "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    // The summary: duration, decoder, order, real-time factor.
    EXPECT_NE(run.mOut.find("s, Anechoic decoder, order " + std::to_string(c.mOrder) + ", real-time factor"),
              std::string::npos)
        << run.mOut;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "out.wav", &rate);
    EXPECT_EQ(rate, kRate);
    ExpectDecodes(output, Padded(field, frames + (c.mTail ? kIRLength : 0)), set);
}

INSTANTIATE_TEST_SUITE_P(Orders, RenderCommandDecodes,
                         ::testing::Values(DecodeCase{1, 512, true}, DecodeCase{3, 512, false},
                                           DecodeCase{3, 100, false}, DecodeCase{7, 512, false}),
                         [](const auto& info) {
                             return "Order" + std::to_string(info.param.mOrder) + "Block" +
                                    std::to_string(info.param.mBlock) + (info.param.mTail ? "Tail" : "NoTail");
                         });

TEST_F(RenderCommand, UhjDecodesTheFirstOrderPartWithItsOwnSet)
{
    const std::size_t frames = 5000;
    const Field field = Noise(16, frames, 17u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet uhj(4, 77u);
    uhj.Write(mDir / "sets" / "AMBIX_2_UHJ.wav");

    const RunResult run = Run({"--mode", "uhj", "--rotation", "off", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mOut.find("UHJ decoder, order 1"), std::string::npos) << run.mOut;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), field, uhj);
}

TEST_F(RenderCommand, VolumeScalesTheOutputFromItsFirstSample)
{
    const std::size_t frames = 3000;
    const Field field = Noise(4, frames, 19u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    const RunResult run = Run({"--volume", "-6", "--rotation", "off", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    const double gain = std::pow(10.0, -6.0 / 20.0);
    for (int o = 0; o < 2; ++o) {
        std::vector<double> expected = set.Decode(field, o);
        for (double& v : expected) {
            v *= gain;
        }
        EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], expected), 1e-4);
        // The first samples too: the volume has settled before the input starts.
        EXPECT_NEAR(output[static_cast<std::size_t>(o)][0], expected[0], 1e-5);
    }
}

struct RotationCase {
    const char* mName;
    std::vector<std::string> mOptions;
    float mYaw, mPitch, mRoll;
    bool mRollPitchYaw;
};

class RenderCommandRotates : public RenderCommand, public ::testing::WithParamInterface<RotationCase> {};

// Rotation on: the output equals the decoding of the field turned by the
// rotation routines' matrix, aligned with the input (the rotator's frame of
// delay compensated). The angle options are degrees of rotation.
TEST_P(RenderCommandRotates, EqualsDecodingOfTheRotatedFieldAligned)
{
    const RotationCase& c = GetParam();
    const std::size_t frames = 6000;
    const Field field = Noise(16, frames, 23u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(3);

    std::vector<std::string> args = c.mOptions;
    args.insert(args.end(), {"--no-tail", "in.wav", "out.wav"});
    const RunResult run = Run(args);
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    ExpectDecodes(ReadSoundFile(mDir / "out.wav"), Rotated(field, 3, c.mYaw, c.mPitch, c.mRoll, c.mRollPitchYaw), set);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandRotates,
    ::testing::Values(RotationCase{"YawPitch", {"--yaw", "90", "--pitch", "20"}, 90.0f, 20.0f, 0.0f, false},
                      RotationCase{"FlippedYaw", {"--yaw", "30", "--flip-yaw"}, -30.0f, 0.0f, 0.0f, false},
                      RotationCase{"RollPitchYawOrder", {"--yaw", "40", "--roll", "15", "--pitch", "-10", "--rpy"},
                                   40.0f, -10.0f, 15.0f, true}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, AutomationTakesEffectInTheProcessingFrameThatHoldsIt)
{
    // 0.1 s is frame 4800, inside the decoder's 128-frame processing frame that
    // starts at 4736: the field turns over that frame, whatever the block size.
    const std::size_t frameStart = 4736;
    const std::size_t frames = 9000;
    const Field field = Noise(4, frames, 31u);
    WriteSoundFile(mDir / "in.wav", field, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SyntheticDecoderSet& set = Set(1);

    // Unrotated before the processing frame, rotated after it, cross-faded
    // linearly over it.
    const Field turned = Rotated(field, 1, 90.0f, 0.0f);
    Field expected = field;
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t t = frameStart; t < frames; ++t) {
            const float fadeIn = t < frameStart + 128 ? static_cast<float>(t - frameStart + 1) / 128.0f : 1.0f;
            expected[c][t] = fadeIn * turned[c][t] + (1.0f - fadeIn) * field[c][t];
        }
    }
    Field before = field;
    for (auto& ch : before) {
        ch.resize(frameStart);
    }
    for (const char* block : {"512", "100"}) {
        SCOPED_TRACE(block);
        const RunResult run = Run({"--set", "Yaw@0.1=90", "--block", block, "--no-tail", "in.wav", "out.wav"});
        ASSERT_EQ(run.mExitCode, 0) << run.mErr;
        const Field output = ReadSoundFile(mDir / "out.wav");
        ExpectDecodes(output, expected, set);
        // And the frames before it are exactly the unrotated decoding.
        for (int o = 0; o < 2; ++o) {
            const std::vector<float> head(output[static_cast<std::size_t>(o)].begin(),
                                          output[static_cast<std::size_t>(o)].begin() + static_cast<long>(frameStart));
            EXPECT_LT(qirtest::relativeError(head, set.Decode(before, o)), 1e-4);
        }
    }
}

TEST_F(RenderCommand, TestSourceNoteSoundsFromItsOwnFrame)
{
    const Field silence(4, std::vector<float>(12000, 0.0f));
    WriteSoundFile(mDir / "in.wav", silence, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);
    const RunResult run = Run({"--note", "2@0.1:0.15", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    // 0.1 s is frame 4800. (Before it, within the decoder's hop, only the
    // convolution's rounding is left: far below the noise's level.)
    std::size_t first = output[0].size();
    for (std::size_t t = 0; t < output[0].size(); ++t) {
        if (std::fabs(output[0][t]) > 1e-6f || std::fabs(output[1][t]) > 1e-6f) {
            first = t;
            break;
        }
    }
    EXPECT_EQ(first, 4800u);
}

// ACN/SN3D (W, Y, Z, X) to FuMa order and weights (W / sqrt 2, X, Y, Z).
Field ToFuMa(const Field& acn)
{
    Field fuma = {acn[0], acn[3], acn[1], acn[2]};
    for (float& v : fuma[0]) {
        v *= 0.70710678f;
    }
    return fuma;
}

// SN3D to N3D: band l scaled by sqrt(2l + 1).
Field ToN3D(const Field& sn3d)
{
    Field n3d = sn3d;
    for (std::size_t c = 0; c < n3d.size(); ++c) {
        const int band = static_cast<int>(std::sqrt(static_cast<double>(c)));
        for (float& v : n3d[c]) {
            v *= static_cast<float>(std::sqrt(2.0 * band + 1.0));
        }
    }
    return n3d;
}

struct ConventionCase {
    const char* mName;
    int mOrder;
    std::vector<std::string> mOptions;
    Field (*mConvert)(const Field&);
};

class RenderCommandConventions : public RenderCommand, public ::testing::WithParamInterface<ConventionCase> {};

TEST_P(RenderCommandConventions, InputEqualsItsAcnSn3dVersion)
{
    const ConventionCase& c = GetParam();
    const std::size_t frames = 6000;
    const Field acn = Noise((c.mOrder + 1) * (c.mOrder + 1), frames, 41u);
    WriteSoundFile(mDir / "acn.wav", acn, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    WriteSoundFile(mDir / "other.wav", c.mConvert(acn), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(c.mOrder);

    const RunResult a = Run({"--yaw", "30", "acn.wav", "acn-out.wav"});
    std::vector<std::string> args{"--yaw", "30"};
    args.insert(args.end(), c.mOptions.begin(), c.mOptions.end());
    args.insert(args.end(), {"other.wav", "other-out.wav"});
    const RunResult b = Run(args);
    ASSERT_EQ(a.mExitCode, 0) << a.mErr;
    ASSERT_EQ(b.mExitCode, 0) << b.mErr;
    const Field fromAcn = ReadSoundFile(mDir / "acn-out.wav");
    const Field fromOther = ReadSoundFile(mDir / "other-out.wav");
    ASSERT_EQ(fromAcn.size(), 2u);
    ASSERT_EQ(fromOther.size(), 2u);
    for (int o = 0; o < 2; ++o) {
        const std::vector<double> reference(fromAcn[static_cast<std::size_t>(o)].begin(),
                                            fromAcn[static_cast<std::size_t>(o)].end());
        EXPECT_LT(qirtest::relativeError(fromOther[static_cast<std::size_t>(o)], reference), 1e-5);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderCommandConventions,
                         ::testing::Values(ConventionCase{"FuMaFuMaFirstOrder", 1, {"--layout", "fuma", "--norm", "fuma"}, ToFuMa},
                                           ConventionCase{"AcnN3DThirdOrder", 3, {"--norm", "n3d"}, ToN3D}),
                         [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, DemoRendersTheBuiltInScene)
{
    (void)Set(1);
    const RunResult run = Run({"--demo", "--order", "1", "--no-tail", "demo.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    double rate = 0.0;
    const Field output = ReadSoundFile(mDir / "demo.wav", &rate);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(output[0].size(), 15u * 48000u);
    // Sound in the moving part and in the test-source part.
    auto energy = [&](double from, double to) {
        double e = 0.0;
        for (std::size_t t = static_cast<std::size_t>(from * rate); t < static_cast<std::size_t>(to * rate); ++t) {
            e += static_cast<double>(output[0][t]) * output[0][t] + static_cast<double>(output[1][t]) * output[1][t];
        }
        return e;
    };
    EXPECT_GT(energy(1.0, 8.0), 1.0);
    EXPECT_GT(energy(9.3, 9.7), 0.1);
}

TEST_F(RenderCommand, HelpExplainsTheAlignment)
{
    const RunResult run = Run({"--help"});
    EXPECT_EQ(run.mExitCode, 0);
    EXPECT_NE(run.mOut.find("latency of 128 frames"), std::string::npos);
    EXPECT_NE(run.mOut.find("compensates"), std::string::npos);
    EXPECT_NE(run.mOut.find("their\nown frames"), std::string::npos);
}

TEST_F(RenderCommand, SampleRateMismatchWarnsAndRenders)
{
    WriteSoundFile(mDir / "in.wav", Noise(4, 4000, 5u), 44100.0, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);
    const RunResult run = Run({"--no-tail", "in.wav", "out.wav"});
    EXPECT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("warning"), std::string::npos) << run.mErr;
    EXPECT_NE(run.mErr.find("48000 Hz"), std::string::npos) << run.mErr;
    double rate = 0.0;
    EXPECT_EQ(ReadSoundFile(mDir / "out.wav", &rate).size(), 2u);
    EXPECT_EQ(rate, 44100.0);
}

struct ErrorCase {
    const char* mName;
    std::vector<std::string> mArgs;
    int mExitCode;
    const char* mMessage;
};

class RenderCommandErrors : public RenderCommand, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(RenderCommandErrors, GiveOneClearMessageAndLeaveNoOutput)
{
    const ErrorCase& c = GetParam();
    WriteSoundFile(mDir / "foa.wav", Noise(4, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    WriteSoundFile(mDir / "five.wav", Noise(5, 3000, 3u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "text.wav") << "not audio\n";
    fs::create_directories(mDir / "folder.wav");
    (void)Set(1);

    const RunResult run = Run(c.mArgs);
    EXPECT_EQ(run.mExitCode, c.mExitCode) << run.mErr;
    EXPECT_NE(run.mErr.find(c.mMessage), std::string::npos) << run.mErr;
    EXPECT_EQ(std::count(run.mErr.begin(), run.mErr.end(), '\n'), 1) << run.mErr;
    EXPECT_EQ(Leftovers({"foa.wav", "five.wav", "text.wav", "folder.wav"}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderCommandErrors,
    ::testing::Values(
        ErrorCase{"UnsupportedChannelCount", {"five.wav", "out.wav"}, 1, "4, 9, 16, 25, 36, 49 or 64"},
        ErrorCase{"MissingInput", {"none.wav", "out.wav"}, 1, "cannot read none.wav"},
        ErrorCase{"UnreadableInput", {"text.wav", "out.wav"}, 1, "cannot read text.wav"},
        ErrorCase{"MissingDecoderSet", {"--mode", "room", "foa.wav", "out.wav"}, 1,
                  "qir-make-decoder-sets --output"},
        ErrorCase{"OrderAboveInput", {"--order", "3", "foa.wav", "out.wav"}, 2, "needs 16 input channels"},
        ErrorCase{"OrderOutOfRange", {"--order", "8", "foa.wav", "out.wav"}, 2, "from 1 to 7"},
        ErrorCase{"VolumeOutOfRange", {"--volume", "12.5", "foa.wav", "out.wav"}, 2, "from -70 to 12"},
        ErrorCase{"YawOutOfRange", {"--yaw", "-181", "foa.wav", "out.wav"}, 2, "from -180 to 180"},
        ErrorCase{"PitchOutOfRange", {"--pitch", "91", "foa.wav", "out.wav"}, 2, "from -90 to 90"},
        ErrorCase{"BlockOutOfRange", {"--block", "4097", "foa.wav", "out.wav"}, 2, "from 1 to 4096"},
        ErrorCase{"UnknownMode", {"--mode", "hall", "foa.wav", "out.wav"}, 2, "anechoic|room|uhj"},
        ErrorCase{"NotANumber", {"--yaw", "left", "foa.wav", "out.wav"}, 2, "needs a number"},
        ErrorCase{"SetValueOutOfRange", {"--set", "Yaw@0=200", "foa.wav", "out.wav"}, 2, "out of range for \"Yaw\""},
        ErrorCase{"SetUnknownParameter", {"--set", "Gain@0=1", "foa.wav", "out.wav"}, 2, "no parameter \"Gain\""},
        ErrorCase{"SetAfterTheEnd", {"--no-tail", "--set", "Yaw@1=10", "foa.wav", "out.wav"}, 2, "after the end"},
        ErrorCase{"SetDecoderMode", {"--set", "0@0=1", "foa.wav", "out.wav"}, 2, "cannot be automated"},
        ErrorCase{"NoteOutOfRange", {"--note", "26@0", "foa.wav", "out.wav"}, 2, "from 0 to 25"},
        ErrorCase{"FuMaAboveFirstOrder", {"--demo", "--layout", "fuma", "demo.wav"}, 2, "first-order"},
        ErrorCase{"UnknownOption", {"--loud", "foa.wav", "out.wav"}, 2, "unknown option --loud"},
        ErrorCase{"OutputFolderMissing", {"foa.wav", "missing/out.wav"}, 1, "cannot write missing/out.wav"},
        ErrorCase{"OutputIsAFolder", {"foa.wav", "folder.wav"}, 1, "it is a folder"},
        ErrorCase{"OutputIsTheInput", {"foa.wav", "foa.wav"}, 1, "it is the input file"},
        ErrorCase{"OutputTypeCannotHoldFloat", {"foa.wav", "out.flac"}, 1, "cannot hold float"}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(RenderCommand, ReadErrorMidRenderLeavesNoOutputAndKeepsAnOldOne)
{
    // A FLAC file cut in half: it opens, then fails to decode part-way.
    const Field field = Noise(4, 96000, 7u);
    WriteSoundFile(mDir / "whole.flac", field, kRate, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    const auto size = fs::file_size(mDir / "whole.flac");
    fs::copy_file(mDir / "whole.flac", mDir / "cut.flac");
    fs::resize_file(mDir / "cut.flac", size / 2);
    std::ofstream(mDir / "out.wav") << "an earlier render";
    (void)Set(1);

    const RunResult run = Run({"cut.flac", "out.wav"});
    EXPECT_EQ(run.mExitCode, 1);
    EXPECT_NE(run.mErr.find("read error in cut.flac"), std::string::npos) << run.mErr;
    EXPECT_EQ(ReadText(mDir / "out.wav"), "an earlier render");
    EXPECT_EQ(Leftovers({"whole.flac", "cut.flac", "out.wav"}), std::vector<std::string>{});
}

TEST_F(RenderCommand, InterruptionRemovesTheTemporaryFileAndKeepsAnOldOutput)
{
    // Block size 1 makes a short file render slowly enough to interrupt.
    WriteSoundFile(mDir / "in.wav", Noise(16, 96000, 9u), kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    std::ofstream(mDir / "out.wav") << "an earlier render";
    (void)Set(3);

    const pid_t pid = Spawn(mDir, {"--resources", (mDir / "sets").string(), "--quiet", "--block", "1", "in.wav",
                                   "out.wav"});
    ASSERT_GT(pid, 0);
    // Wait until the temporary file exists and holds samples.
    bool writing = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!writing && std::chrono::steady_clock::now() < deadline) {
        for (const auto& entry : fs::directory_iterator(mDir)) {
            if (entry.path().filename().string().find(".qir-render-") != std::string::npos &&
                fs::file_size(entry.path()) > 100000) {
                writing = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(writing);
    ::kill(pid, SIGINT);
    const RunResult run = Finish(mDir, pid);
    EXPECT_EQ(run.mExitCode, 128 + SIGINT);
    EXPECT_NE(run.mErr.find("interrupted"), std::string::npos) << run.mErr;
    EXPECT_EQ(ReadText(mDir / "out.wav"), "an earlier render");
    EXPECT_EQ(Leftovers({"in.wav", "out.wav"}), std::vector<std::string>{});
}

TEST_F(RenderCommand, IntegerFormatsClipAndSayHowMany)
{
    Field loud = Noise(4, 4000, 13u);
    for (auto& ch : loud) {
        for (float& v : ch) {
            v *= 4.0f;
        }
    }
    WriteSoundFile(mDir / "in.wav", loud, kRate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    (void)Set(1);
    const RunResult run = Run({"--format", "pcm16", "--volume", "12", "--no-tail", "in.wav", "out.wav"});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("clipped"), std::string::npos) << run.mErr;
    const Field output = ReadSoundFile(mDir / "out.wav");
    ASSERT_EQ(output.size(), 2u);
    for (float v : output[0]) {
        ASSERT_LE(std::fabs(v), 1.0f);
    }
}

} // namespace
