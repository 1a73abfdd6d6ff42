// tests/cli: the command-test fixture.
#include "tests/cli/RenderCommandFixture.h"

#include "soundfield/RotationMatrices.h"
#include "tests/support/ReferenceConvolution.h"

#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qirclitest {

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<char> ReadBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t Spawn(const fs::path& dir, const std::vector<std::string>& args, const SpawnSetup& setup,
            const std::string& program)
{
    std::vector<std::string> all{program.empty() ? std::string(QIR_RENDER_PATH) : program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (std::find(setup.mUnset.begin(), setup.mUnset.end(), name) == setup.mUnset.end()) {
            environment.push_back(entry);
        }
    }
    environment.insert(environment.end(), setup.mSet.begin(), setup.mSet.end());
    std::vector<char*> envp;
    for (auto& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                     setup.mStdin.empty() ? "/dev/null" : (dir / setup.mStdin).c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (dir / "stdout.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

RunResult Finish(const fs::path& dir, pid_t pid)
{
    RunResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) {
            result.mExitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.mExitCode = 128 + WTERMSIG(status);
        }
    }
    result.mOut = ReadText(dir / "stdout.txt");
    result.mErr = ReadText(dir / "stderr.txt");
    return result;
}

void WriteSoundFile(const fs::path& file, const Field& field, double rate, int format, bool ambisonicTag)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(field.size());
    info.format = format;
    SNDFILE* sf = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    if (ambisonicTag) {
        ASSERT_EQ(sf_command(sf, SFC_WAVEX_SET_AMBISONIC, nullptr, SF_AMBISONIC_B_FORMAT), SF_AMBISONIC_B_FORMAT);
    }
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

Field ReadSoundFile(const fs::path& file, double* rate)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    if (!sf) {
        ADD_FAILURE() << "cannot read " << file << ": " << sf_strerror(nullptr);
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

Field Scaled(Field field, float gain)
{
    for (auto& channel : field) {
        for (float& v : channel) {
            v *= gain;
        }
    }
    return field;
}

SyntheticDecoderSet::SyntheticDecoderSet(int inputs, uint32_t seed, int length) : mInputs(inputs), mLength(length)
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
            mSparse[o].push_back(
                {{1000 + 37 * i + o, value(rng)}, {9000 + 11 * i, value(rng)}, {length - 1, value(rng)}});
        }
    }
}

void SyntheticDecoderSet::Write(const fs::path& file, double rate) const
{
    const auto length = static_cast<std::size_t>(mLength);
    Field set(2, std::vector<float>(static_cast<std::size_t>(mInputs) * length, 0.0f));
    for (int o = 0; o < 2; ++o) {
        for (int i = 0; i < mInputs; ++i) {
            float* ir = set[static_cast<std::size_t>(o)].data() + static_cast<std::size_t>(i) * length;
            std::copy(mHead[o][i].begin(), mHead[o][i].end(), ir);
            for (const Tap& tap : mSparse[o][i]) {
                ir[tap.mPosition] = tap.mValue;
            }
        }
    }
    WriteSoundFile(file, set, rate, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

std::vector<double> SyntheticDecoderSet::Decode(const Field& field, int o) const
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

Field Rotated(const Field& field, int order, float yawDegrees, float pitchDegrees, float rollDegrees,
              bool rollPitchYaw)
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

Field ToFuMa(const Field& acn)
{
    Field fuma = {acn[0], acn[3], acn[1], acn[2]};
    for (float& v : fuma[0]) {
        v *= 0.70710678f;
    }
    return fuma;
}

void RenderCommand::SetUp()
{
    static std::atomic<int> counter{0};
    mDir = fs::temp_directory_path() / ("qir-cli-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(mDir / "sets");
}

void RenderCommand::TearDown()
{
    std::error_code ec;
    fs::remove_all(mDir, ec);
}

const SyntheticDecoderSet& RenderCommand::Set(int order)
{
    auto& slot = mSets[static_cast<std::size_t>(order)];
    if (!slot) {
        slot = std::make_unique<SyntheticDecoderSet>((order + 1) * (order + 1), 100u + static_cast<uint32_t>(order));
        slot->Write(mDir / "sets" / (std::to_string(order) + "OA-decoder-anechoic.wav"));
    }
    return *slot;
}

RunResult RenderCommand::Run(std::vector<std::string> args)
{
    args.insert(args.begin(), {"--resources", (mDir / "sets").string(), "--quiet"});
    return Finish(mDir, Spawn(mDir, args));
}

RunResult RenderCommand::RunWithNotes(std::vector<std::string> args)
{
    args.insert(args.begin(), {"--resources", (mDir / "sets").string()});
    return Finish(mDir, Spawn(mDir, args));
}

RunResult RenderCommand::RunShell(const std::string& script)
{
    SpawnSetup setup;
    setup.mSet = {std::string("QIR_RENDER=") + QIR_RENDER_PATH, "SETS=" + (mDir / "sets").string()};
    return Finish(mDir, Spawn(mDir, {"-c", script}, setup, "/bin/sh"));
}

std::vector<std::string> RenderCommand::Leftovers(const std::vector<std::string>& fixtures) const
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

void RenderCommand::ExpectDecodes(const Field& output, const Field& field, const SyntheticDecoderSet& set,
                                  double tolerance)
{
    ASSERT_EQ(output.size(), 2u);
    for (int o = 0; o < 2; ++o) {
        ASSERT_EQ(output[static_cast<std::size_t>(o)].size(), field[0].size());
        EXPECT_LT(qirtest::relativeError(output[static_cast<std::size_t>(o)], set.Decode(field, o)), tolerance)
            << "output " << o;
    }
}

} // namespace qirclitest
