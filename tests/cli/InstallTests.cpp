// qir-render finds its decoder sets from where it is, in the build tree and
// installed with cmake --install, with no folder given anywhere; the installed
// generator and report work on those same sets by default.
#include "tests/cli/RenderCommandFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qirclitest {
namespace {

class RenderCommandInstalled : public RenderCommand {
protected:
    void SetUp() override
    {
        RenderCommand::SetUp();
        if (!fs::exists(fs::path(QIR_DECODER_SET_DIR) / "1OA-decoder-anechoic.wav")) {
            GTEST_SKIP() << "the build has not generated its decoder sets in " << QIR_DECODER_SET_DIR;
        }
    }

    // --demo with the sets found by the program alone: no --resources, no
    // QIR_RESOURCE_DIR. Checks the loader's line names setFolder.
    void ExpectDemoFindsSets(const std::string& program, const fs::path& setFolder)
    {
        SpawnSetup setup;
        setup.mUnset = {"QIR_RESOURCE_DIR"};
        const RunResult run =
            Finish(mDir, Spawn(mDir, {"--demo", "--order", "1", "--no-tail", "demo.wav"}, setup, program));
        ASSERT_EQ(run.mExitCode, 0) << run.mErr;
        const std::string loaded =
            "QIRMatrixDecoder loaded " + (fs::canonical(setFolder) / "1OA-decoder-anechoic.wav").string() + "\n";
        EXPECT_NE(run.mErr.find(loaded), std::string::npos) << loaded << run.mErr;
        double rate = 0.0;
        const Field demo = ReadSoundFile(mDir / "demo.wav", &rate);
        ASSERT_EQ(demo.size(), 2u);
        EXPECT_EQ(demo[0].size(), 15u * 48000u);
    }
};

TEST_F(RenderCommandInstalled, BuildTreeProgramFindsTheBuildsSets)
{
    ExpectDemoFindsSets(QIR_RENDER_PATH, QIR_DECODER_SET_DIR);
}

// The installed programs find the installed sets: the build tree is nowhere
// in their search, so the loader's line must name the prefix, and so must the
// generator's and the report's default folder.
TEST_F(RenderCommandInstalled, InstalledProgramsFindTheInstalledSets)
{
    const fs::path prefix = mDir / "prefix";
    const RunResult install =
        Finish(mDir, Spawn(mDir, {"--install", QIR_BUILD_DIR, "--prefix", prefix.string()}, {}, QIR_CMAKE_COMMAND));
    ASSERT_EQ(install.mExitCode, 0) << install.mOut << install.mErr;

    for (const char* program : {"qir-render", "qir-make-decoder-sets", "qir-decoder-set-report"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix / "bin" / program)) << program;
    }
    const fs::path sets = prefix / "share" / "qir-matrix-decoder" / "decoder-sets";
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(QIR_DECODER_SET_DIR))) {
        if (entry.path().extension() == ".wav") {
            ++count;
            EXPECT_EQ(fs::file_size(sets / entry.path().filename()), fs::file_size(entry.path()))
                << entry.path().filename();
        }
    }
    // The fifteen sets and the UHJ set made for seven other rates.
    EXPECT_EQ(count, 22u);
    EXPECT_TRUE(fs::is_regular_file(sets / "AMBIX_2_UHJ-44100.wav"));
    const std::string manual = ReadText(prefix / "share" / "man" / "man1" / "qir-render.1");
    EXPECT_EQ(manual.rfind(".TH QIR-RENDER 1", 0), 0u) << manual.substr(0, 80);

    ExpectDemoFindsSets((prefix / "bin" / "qir-render").string(), sets);

    // The generator checks (and would fill) the folder the installed
    // qir-render reads, not the build tree's; the report reads that folder.
    SpawnSetup setup;
    setup.mUnset = {"QIR_RESOURCE_DIR"};
    const RunResult generator =
        Finish(mDir, Spawn(mDir, {"--if-missing"}, setup, (prefix / "bin" / "qir-make-decoder-sets").string()));
    ASSERT_EQ(generator.mExitCode, 0) << generator.mErr;
    EXPECT_EQ(generator.mOut, "qir-make-decoder-sets: all decoder sets present in " + fs::canonical(sets).string() + "\n");
    const RunResult report =
        Finish(mDir, Spawn(mDir, {"--help"}, setup, (prefix / "bin" / "qir-decoder-set-report").string()));
    ASSERT_EQ(report.mExitCode, 0) << report.mErr;
    EXPECT_NE(report.mOut.find("(default " + fs::canonical(sets).string() + ")"), std::string::npos) << report.mOut;
}

} // namespace
} // namespace qirclitest
