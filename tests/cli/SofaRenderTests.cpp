// qir-render --sofa: decoder sets fitted to a SOFA file on first use, kept in the cache
// folder and reused, and the errors of files that are no usable HRTF set. The cache is a
// fresh folder per test (XDG_CACHE_HOME); the HRTF set is the KEMAR file that libmysofa
// ships.
#include "tests/support/ChildProcess.h"
#include "tools/DecoderSet.h"
#include "tools/DecoderSetGenerator.h"
#include "tools/HrtfSet.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kKemar = qirtools::kDefaultSofaPath;

std::string FileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The samples of a sound file (its header may carry a time stamp).
std::vector<float> Samples(const fs::path& path)
{
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

// Files in a folder and below it, by path relative to it.
std::vector<std::string> FilesBelow(const fs::path& folder)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ec)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), folder).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class SofaRender : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        mDir = fs::temp_directory_path() / ("qir-sofa-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(mDir);
        // Half a second of first-order noise.
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 4;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open((mDir / "in.wav").c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        std::minstd_rand rng(5);
        std::uniform_real_distribution<float> value(-0.1f, 0.1f);
        std::vector<float> frames(4 * 24000);
        for (float& v : frames) {
            v = value(rng);
        }
        sf_writef_float(file, frames.data(), 24000);
        sf_close(file);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(mDir, ec);
    }

    fs::path Cache() const { return mDir / "cache"; }

    // qir-render with environment added to the cache's variables.
    qirtest::ProcessResult Render(std::vector<std::string> args, std::vector<std::string> environment = {})
    {
        args.insert(args.end(), {"--rotation", "off", "--no-tail"});
        environment.insert(environment.end(),
                           {"XDG_CACHE_HOME=" + Cache().string(), "HOME=" + (mDir / "home").string()});
        return qirtest::RunProcess(QIR_RENDER_PATH, args, mDir, environment);
    }

    // The cache folder of a SOFA file's sets: its SHA-256 as sha256sum computes it and the
    // generator's version.
    fs::path SetsFolderOf(const std::string& sofa)
    {
        const qirtest::ProcessResult sum = qirtest::RunProcess("/usr/bin/sha256sum", {sofa}, mDir);
        EXPECT_EQ(sum.mExitCode, 0) << sum.mErr;
        return Cache() / "qir-matrix-decoder" /
               (sum.mOut.substr(0, 64) + "-v" + std::to_string(qirtools::kDecoderSetGeneratorVersion));
    }

    // The set as the generator's own code fits it.
    std::string GeneratedSet(const std::string& name)
    {
        const fs::path folder = mDir / "reference";
        const qirtools::HrtfSet hrtf = qirtools::HrtfSet::load(kKemar, qirtools::kDecoderSetSampleRate);
        qirtools::writeDecoderSets(&hrtf, folder.string(), {name}, [](const std::string&) {});
        return FileBytes(folder / name);
    }

    fs::path mDir;
};

TEST_F(SofaRender, FitsTheSetOnceIntoTheCacheAndReusesIt)
{
    const std::string set = "1OA-decoder-room.wav";
    const qirtest::ProcessResult first = Render({"--mode", "room", "--sofa", kKemar, "in.wav", "first.wav"});
    ASSERT_EQ(first.mExitCode, 0) << first.mErr;
    EXPECT_NE(first.mErr.find("fitting " + set + " to " + kKemar), std::string::npos) << first.mErr;

    // Only the set the render needs, complete, in the folder of the file's content; the
    // generator's own fit, byte for byte.
    const fs::path folder = SetsFolderOf(kKemar);
    EXPECT_EQ(FilesBelow(Cache()), std::vector<std::string>{fs::relative(folder / set, Cache()).string()});
    EXPECT_TRUE(FileBytes(folder / set) == GeneratedSet(set));

    // The second render generates nothing and decodes the same.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(1);
    fs::last_write_time(folder / set, stamp);
    const qirtest::ProcessResult second = Render({"--mode", "room", "--sofa", kKemar, "in.wav", "second.wav"});
    ASSERT_EQ(second.mExitCode, 0) << second.mErr;
    EXPECT_EQ(second.mErr.find("fitting"), std::string::npos) << second.mErr;
    EXPECT_EQ(fs::last_write_time(folder / set), stamp);
    EXPECT_EQ(FilesBelow(Cache()).size(), 1u);
    const std::vector<float> output = Samples(mDir / "first.wav");
    EXPECT_EQ(output.size(), 2u * 24000u);
    EXPECT_TRUE(Samples(mDir / "second.wav") == output);

    // It is that set that decodes: the same render from the cache folder as resources.
    const qirtest::ProcessResult direct = Render({"--quiet", "--mode", "room", "--resources", folder.string(), "in.wav", "direct.wav"});
    ASSERT_EQ(direct.mExitCode, 0) << direct.mErr;
    EXPECT_TRUE(Samples(mDir / "direct.wav") == output);

    // --quiet: no progress, and another mode of the same file adds its own set.
    const qirtest::ProcessResult quiet = Render({"--quiet", "--mode", "anechoic", "--sofa", kKemar, "in.wav", "third.wav"});
    ASSERT_EQ(quiet.mExitCode, 0) << quiet.mErr;
    EXPECT_EQ(quiet.mErr.find("fitting"), std::string::npos) << quiet.mErr;
    EXPECT_EQ(quiet.mErr.find(kKemar), std::string::npos) << quiet.mErr;
    EXPECT_TRUE(fs::is_regular_file(folder / "1OA-decoder-anechoic.wav"));
}

// Two first renders at once both fit the set; each writes under a temporary name and renames,
// so neither reads the other's half-written file and one whole set remains.
TEST_F(SofaRender, TwoFirstRendersAtOnceBothDecodeWithTheWholeSet)
{
    qirtest::ProcessResult runs[2];
    std::thread other([&] { runs[1] = Render({"--quiet", "--sofa", kKemar, "in.wav", "b.wav"}); });
    runs[0] = Render({"--quiet", "--sofa", kKemar, "in.wav", "a.wav"});
    other.join();
    for (const auto& run : runs) {
        EXPECT_EQ(run.mExitCode, 0) << run.mErr;
    }
    const fs::path folder = SetsFolderOf(kKemar);
    EXPECT_EQ(FilesBelow(Cache()), std::vector<std::string>{fs::relative(folder / "1OA-decoder-anechoic.wav", Cache()).string()});
    const qirtest::ProcessResult later = Render({"--quiet", "--sofa", kKemar, "in.wav", "c.wav"});
    ASSERT_EQ(later.mExitCode, 0) << later.mErr;
    const std::vector<float> output = Samples(mDir / "c.wav");
    EXPECT_FALSE(output.empty());
    EXPECT_TRUE(Samples(mDir / "a.wav") == output);
    EXPECT_TRUE(Samples(mDir / "b.wav") == output);
}

// The UHJ decoder uses no HRTF: with --sofa it decodes with the sets of the regular folder,
// the one made for the input's rate among them, and the cache stays empty.
TEST_F(SofaRender, UhjDecodesWithTheRegularFolderSetsAndLeavesTheCacheEmpty)
{
    const fs::path sets = mDir / "sets";
    qirtools::writeDecoderSets(nullptr, sets.string(), {"AMBIX_2_UHJ.wav", "AMBIX_2_UHJ-44100.wav"},
                               [](const std::string&) {});
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 4;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open((mDir / "in44.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    const std::vector<float> frames(4 * 4410, 0.05f);
    sf_writef_float(file, frames.data(), 4410);
    sf_close(file);

    const qirtest::ProcessResult run =
        Render({"--mode", "uhj", "--sofa", kKemar, "in44.wav", "out.wav"}, {"QIR_RESOURCE_DIR=" + sets.string()});
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    EXPECT_NE(run.mErr.find("QIRMatrixDecoder loaded " + (sets / "AMBIX_2_UHJ-44100.wav").string() + "\n"),
              std::string::npos)
        << run.mErr;
    EXPECT_NE(run.mErr.find("uses no HRTF set"), std::string::npos) << run.mErr;
    EXPECT_EQ(run.mErr.find("fitting"), std::string::npos) << run.mErr;
    EXPECT_EQ(FilesBelow(Cache()), std::vector<std::string>{});
}

struct BadSofaCase {
    const char* mName;
    const char* mFile; // in the test's folder, made by MakeBadSofaFiles
    const char* mMessage;
};

void PrintTo(const BadSofaCase& c, std::ostream* os) { *os << c.mName; }

class SofaRenderErrors : public SofaRender, public ::testing::WithParamInterface<BadSofaCase> {
protected:
    // A WAV file, a KEMAR set cut to a third, an empty file.
    void MakeBadSofaFiles()
    {
        fs::copy_file(mDir / "in.wav", mDir / "noise.wav");
        const std::string kemar = FileBytes(kKemar);
        ASSERT_FALSE(kemar.empty());
        std::ofstream(mDir / "cut.sofa", std::ios::binary) << kemar.substr(0, kemar.size() / 3);
        std::ofstream(mDir / "empty.sofa");
    }
};

TEST_P(SofaRenderErrors, GiveOneSentenceNamingTheFileAndExitCode1)
{
    const BadSofaCase& c = GetParam();
    MakeBadSofaFiles();
    const qirtest::ProcessResult run = Render({"--quiet", "--sofa", c.mFile, "in.wav", "out.wav"});
    EXPECT_EQ(run.mExitCode, 1) << run.mErr;
    EXPECT_NE(run.mErr.find(std::string("qir-render: the SOFA file ") + c.mFile + c.mMessage), std::string::npos)
        << run.mErr;
    EXPECT_EQ(std::count(run.mErr.begin(), run.mErr.end(), '\n'), 1) << run.mErr;
    EXPECT_FALSE(fs::exists(mDir / "out.wav"));
    EXPECT_EQ(FilesBelow(Cache()), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SofaRenderErrors,
    ::testing::Values(BadSofaCase{"Missing", "missing.sofa", " does not exist"},
                      BadSofaCase{"WavFile", "noise.wav", " is a WAV audio file, not a SOFA file"},
                      BadSofaCase{"TruncatedKemar", "cut.sofa", " is damaged or truncated"},
                      BadSofaCase{"Empty", "empty.sofa", " is empty"}),
    [](const auto& info) { return std::string(info.param.mName); });

TEST_F(SofaRender, SofaAndResourcesTogetherAreAUsageError)
{
    const qirtest::ProcessResult run = Render({"--sofa", kKemar, "--resources", mDir.string(), "in.wav", "out.wav"});
    EXPECT_EQ(run.mExitCode, 2);
    EXPECT_NE(run.mErr.find("--sofa and --resources"), std::string::npos) << run.mErr;
}

} // namespace
