// tests/lv2: Debian's lv2apply, a host that offers no features at all (no
// worker, no URID map), renders a file through the installed bundle, and its
// output is qir-render's once the first decoder set has faded in.
#include "tests/lv2/LV2TestHost.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QIR_LV2_SANITIZED 1
#endif

namespace qirtest {
namespace {

TEST(Lv2apply, RendersAFileThroughTheInstalledBundle)
{
#ifdef QIR_LV2_SANITIZED
    GTEST_SKIP() << "lv2apply cannot load a module built with a sanitizer";
#endif
    constexpr double kRate = 48000.0;
    constexpr std::size_t kFrames = 24000;
    TempDir dir;
    // lv2apply feeds one file channel to each audio input: all 64 of them.
    WriteSoundFile(dir.path("field.wav"), Noise(kAudioInputs, kFrames, 41), kRate);

    const ProcessResult apply =
        RunProcess(QIR_LV2APPLY,
                   {"-i", dir.path("field.wav"), "-o", dir.path("applied.wav"), "-c", "decode_order", "2", "-c",
                    "yaw", "30", "-c", "pitch", "-10", kDecoderURI},
                   dir.path(""), {"LV2_PATH=" + InstalledLV2Path().string()});
    ASSERT_EQ(apply.mExitCode, 0) << apply.mOut << apply.mErr;
    const Field applied = ReadSoundFile(dir.path("applied.wav"));
    ASSERT_EQ(applied.size(), 2u);
    ASSERT_EQ(applied[0].size(), kFrames);

    // qir-render: the first 16 channels at order 3, the pitch parameter at
    // twice the port's degrees.
    const ProcessResult render = RunProcess(
        QIR_RENDER_PATH,
        {"-q", "--resources", (InstalledBundle() / "decoder-sets").string(), "--order", "3", "--yaw", "30", "--pitch",
         "-10", "--no-tail", dir.path("field.wav"), dir.path("reference.wav")},
        dir.path(""));
    ASSERT_EQ(render.mExitCode, 0) << render.mErr;
    const Field reference = ReadSoundFile(dir.path("reference.wav"));
    ASSERT_EQ(reference.size(), 2u);

    // lv2apply starts at the plug-in's first frame: its output lags by the
    // latency, and matches once the set has faded in and the volume settled.
    constexpr std::size_t kLatency = 128;
    Field late(2), early(2);
    for (int o = 0; o < 2; ++o) {
        const auto c = static_cast<std::size_t>(o);
        late[c].assign(applied[c].begin() + kPreRollFrames + kLatency, applied[c].end());
        early[c].assign(reference[c].begin() + kPreRollFrames, reference[c].end() - kLatency);
    }
    const double peak = Peak(early);
    ASSERT_GT(peak, 1e-2);
    EXPECT_LT(MaxDifference(late, early), 1e-6 * peak) << "peak " << peak;
}

} // namespace
} // namespace qirtest
