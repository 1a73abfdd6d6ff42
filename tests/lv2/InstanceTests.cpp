// tests/lv2: an instance's life as hosts lead it: instantiation at the rates
// hosts run at (and refusal of rates the decoder cannot serve), a bundle whose
// decoder sets are missing, activation after deactivation, and runs of any
// length, 0 and 1 included.
#include "tests/lv2/LV2TestHost.h"
#include "tests/support/AudioFixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace qirtest {
namespace {

constexpr float kLatency = 128.0f;

// Steady-state input: silence while the first set fades in, then noise.
Field PreRolled(const Field& field)
{
    Field out = field;
    for (auto& channel : out) {
        channel.insert(channel.begin(), kPreRollFrames, 0.0f);
    }
    return out;
}

Field From(const Field& field, std::size_t first)
{
    Field out;
    for (const auto& channel : field) {
        out.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(std::min(first, channel.size())), channel.end());
    }
    return out;
}

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& text)
{
    const auto contains = [&](const std::string& line) { return line.find(text) != std::string::npos; };
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), contains));
}

struct RateCase {
    double rate;
    bool served;
};

class LV2Instantiation : public ::testing::TestWithParam<RateCase> {};

TEST_P(LV2Instantiation, ServesHostRatesAndRefusesRatesTheDecoderCannotServe)
{
    const RateCase& c = GetParam();
    const LV2World world;
    LV2Instance::Setup setup;
    setup.mSampleRate = c.rate;
    LV2Instance instance(world, setup);
    if (!c.served) {
        EXPECT_FALSE(instance.valid());
        EXPECT_EQ(CountContaining(instance.takeLog(), "outside the rates it serves"), 1u);
        return;
    }
    ASSERT_TRUE(instance.valid());
    instance.activate();
    const Field out = instance.render(PreRolled(Noise(4, 4096, 3)), [] { return 512u; });
    EXPECT_EQ(instance.latency(), kLatency);
    const double peak = Peak(From(out, kPreRollFrames + 128));
    EXPECT_TRUE(std::isfinite(peak));
    EXPECT_GT(peak, 1e-3) << "the decoder set plays at " << c.rate << " Hz";
}

INSTANTIATE_TEST_SUITE_P(Rates, LV2Instantiation,
                         ::testing::Values(RateCase{44100.0, true}, RateCase{48000.0, true}, RateCase{96000.0, true},
                                           RateCase{0.0, false}, RateCase{4000.0, false}, RateCase{1.0e6, false},
                                           RateCase{-48000.0, false}),
                         [](const auto& info) {
                             const double r = info.param.rate;
                             return (r < 0 ? std::string("Minus") : std::string()) +
                                    std::to_string(static_cast<long long>(std::fabs(r)));
                         });

TEST(LV2MissingSets, SilenceAndOneLineNamingTheFolderLookedIn)
{
    // The bundle as installed without its decoder-sets folder.
    TempDir prefix;
    const fs::path bundle = fs::path(prefix.path("lib")) / "lv2" / "qir-matrix-decoder.lv2";
    fs::create_directories(bundle);
    for (const auto& entry : fs::directory_iterator(InstalledBundle())) {
        if (entry.is_regular_file()) {
            fs::copy_file(entry.path(), bundle / entry.path().filename());
        }
    }
    const LV2World world(bundle.parent_path());
    LV2Instance instance(world);
    ASSERT_TRUE(instance.valid()) << "instantiation does not depend on the sets";
    instance.activate();
    const Field out = instance.render(Noise(4, 8192, 5), [] { return 480u; });
    EXPECT_EQ(Peak(out), 0.0);
    EXPECT_EQ(instance.latency(), kLatency);

    const std::vector<std::string> log = instance.takeLog();
    const std::string folder = (bundle / "decoder-sets").string() + "/";
    EXPECT_EQ(CountContaining(log, "couldn't load"), 1u);
    EXPECT_EQ(CountContaining(log, folder), 1u) << folder;
}

TEST(LV2Activation, AReactivatedInstanceRendersLikeAFreshOne)
{
    const LV2World world;
    const Field input = PreRolled(Noise(16, 6000, 7));

    LV2Instance fresh(world);
    fresh.set("decode_order", 2);
    fresh.activate();
    const Field expected = fresh.render(input, [] { return 512u; });

    LV2Instance reused(world);
    reused.set("decode_order", 2);
    reused.activate();
    (void)reused.render(Noise(16, 5000, 8), [] { return 333u; });
    reused.deactivate();
    reused.activate();
    const Field out = reused.render(input, [] { return 512u; });

    // Once the fresh instance's first set has faded in, the two agree: the
    // reactivated one starts a new stream with the same delay.
    EXPECT_LT(MaxDifference(From(out, kPreRollFrames), From(expected, kPreRollFrames)), 1e-6);
    EXPECT_GT(Peak(From(expected, kPreRollFrames)), 1e-3);
    EXPECT_EQ(reused.latency(), kLatency);
}

TEST(LV2WithoutWorker, SetsLoadAtActivationAndModeChangesWaitForTheNext)
{
    // A host that offers no worker thread (lv2apply is one): the set of the
    // settings the ports hold at activation plays, and a change of decoder takes
    // effect when the host activates the plug-in again.
    const LV2World world;
    const Field input = PreRolled(Noise(4, 4000, 13));
    const auto reference = [&](float mode, int renders) {
        LV2Instance instance(world);
        instance.set("decoder_mode", mode);
        instance.activate();
        Field out;
        for (int r = 0; r < renders; ++r) {
            out = instance.render(input, [] { return 512u; });
        }
        return From(out, kPreRollFrames);
    };
    const Field anechoic = reference(0.0f, 1);
    const Field anechoicAgain = reference(0.0f, 2);
    const Field uhj = reference(2.0f, 1);
    ASSERT_GT(MaxDifference(anechoic, uhj), 1e-2) << "the two decoders differ";

    LV2Instance::Setup setup;
    setup.mWorker = LV2Instance::Worker::kNone;
    LV2Instance instance(world, setup);
    instance.activate();
    EXPECT_LT(MaxDifference(From(instance.render(input, [] { return 512u; }), kPreRollFrames), anechoic), 1e-6);
    instance.set("decoder_mode", 2.0f);
    EXPECT_LT(MaxDifference(From(instance.render(input, [] { return 512u; }), kPreRollFrames), anechoicAgain),
              1e-6);
    instance.deactivate();
    instance.activate();
    EXPECT_LT(MaxDifference(From(instance.render(input, [] { return 512u; }), kPreRollFrames), uhj), 1e-6);
    EXPECT_EQ(CountContaining(instance.takeLog(), "runs no worker thread"), 1u);
}

TEST(LV2Runs, OfZeroAndOneFrameRenderLikeWholeBlocks)
{
    const LV2World world;
    const Field input = PreRolled(Noise(4, 3000, 9));

    LV2Instance blocks(world);
    blocks.activate();
    const Field expected = blocks.render(input, [] { return 512u; });

    LV2Instance single(world);
    single.activate();
    Field out(2);
    Field none;
    single.run(input, 0, 0, {}, none);
    EXPECT_EQ(single.latency(), kLatency) << "a run of no frames reports the latency";
    for (std::size_t t = 0; t < input[0].size(); ++t) {
        single.run(input, t, 1, {}, out);
        if (t % 7 == 0) {
            single.run(input, t + 1, 0, {}, out);
        }
    }
    EXPECT_EQ(MaxDifference(out, expected), 0.0);
    EXPECT_GT(Peak(From(expected, kPreRollFrames)), 1e-3);
}

} // namespace
} // namespace qirtest
