// tests/vst3: the plug-in as a VST3 host drives it: the arrangements it takes
// (and the decode order following an ambisonic input), the setups it refuses,
// its parameters and their conversions, its state chunk, and its sound: with
// random blocks, automation points and notes at their frames the output is
// qir-render's, bypass plays the first channel at the reported latency, and
// processing allocates nothing.
#include "tests/support/AudioFixtures.h"
#include "tests/support/ChildProcess.h"
#include "tests/vst3/VST3TestHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace qirtest {
namespace {

constexpr double kRate = 48000.0;
// Parameter IDs: the plug-in's table in order, bypass after it.
constexpr Steinberg_Vst_ParamID kDecoderMode = 0, kDecodeOrder = 1, kUseRPY = 5, kYaw = 6, kPitch = 7, kRoll = 8,
                                kFlipYaw = 9, kFlipPitch = 11, kVolume = 12, kBypass = 13;

std::string UTF8(const Steinberg_char16* text)
{
    std::string out;
    for (; *text != 0; ++text) {
        out += static_cast<char>(*text);
    }
    return out;
}

void ToUTF16(const char* text, Steinberg_Vst_String128 out)
{
    std::size_t k = 0;
    for (; text[k] != '\0'; ++k) {
        out[k] = static_cast<Steinberg_char16>(text[k]);
    }
    out[k] = 0;
}

Field Slice(const Field& field, std::size_t first, std::size_t count)
{
    Field out;
    for (const auto& channel : field) {
        out.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(first),
                         channel.begin() + static_cast<std::ptrdiff_t>(first + count));
    }
    return out;
}

Field PreRolled(const Field& field, std::size_t after)
{
    Field out = field;
    for (auto& channel : out) {
        channel.insert(channel.begin(), kVST3PreRollFrames, 0.0f);
        channel.insert(channel.end(), after, 0.0f);
    }
    return out;
}

struct ArrangementCase {
    const char* name;
    Steinberg_Vst_SpeakerArrangement arrangement;
    bool accepted;
    int channels;
    int order; // 0: the decode order stays
};

class VST3Arrangements : public ::testing::TestWithParam<ArrangementCase> {};

TEST_P(VST3Arrangements, AmbisonicAndSquareChannelCountsAreTakenAndSetTheDecodeOrder)
{
    const ArrangementCase& c = GetParam();
    VST3Module module;
    VST3Instance instance(module);
    const int before = instance.inputChannels();
    EXPECT_EQ(instance.arrange(c.arrangement), c.accepted ? Steinberg_kResultTrue : Steinberg_kResultFalse);
    EXPECT_EQ(instance.inputChannels(), c.accepted ? c.channels : before);
    Steinberg_Vst_SpeakerArrangement now = 0;
    instance.processor()->lpVtbl->getBusArrangement(instance.processor(), Steinberg_Vst_BusDirections_kInput, 0, &now);
    if (c.accepted) {
        EXPECT_EQ(now, c.arrangement);
        auto* ctl = instance.controller();
        const double plain = ctl->lpVtbl->normalizedParamToPlain(ctl, kDecodeOrder,
                                                                 ctl->lpVtbl->getParamNormalized(ctl, kDecodeOrder));
        EXPECT_EQ(plain, c.order - 1);
        // The host hears of the changed value.
        ASSERT_FALSE(instance.handler().mRestartFlags.empty());
        EXPECT_TRUE(instance.handler().mRestartFlags.back() & Steinberg_Vst_RestartFlags_kParamValuesChanged);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VST3Arrangements,
    ::testing::Values(ArrangementCase{"first", Steinberg_Vst_SpeakerArr_kAmbi1stOrderACN, true, 4, 1},
                      ArrangementCase{"second", Steinberg_Vst_SpeakerArr_kAmbi2cdOrderACN, true, 9, 2},
                      ArrangementCase{"third", Steinberg_Vst_SpeakerArr_kAmbi3rdOrderACN, true, 16, 3},
                      ArrangementCase{"fourth", Steinberg_Vst_SpeakerArr_kAmbi4thOrderACN, true, 25, 4},
                      ArrangementCase{"fifth", Steinberg_Vst_SpeakerArr_kAmbi5thOrderACN, true, 36, 5},
                      ArrangementCase{"sixth", Steinberg_Vst_SpeakerArr_kAmbi6thOrderACN, true, 49, 6},
                      ArrangementCase{"seventh", Steinberg_Vst_SpeakerArr_kAmbi7thOrderACN, true, 64, 7},
                      // A plain arrangement of 16 speakers (7.1.4 plus 4).
                      ArrangementCase{"plain16", (Steinberg_Vst_SpeakerArrangement{1} << 16) - 1, true, 16, 3},
                      ArrangementCase{"stereo", Steinberg_Vst_SpeakerArr_kStereo, false, 0, 0},
                      ArrangementCase{"five", 0x1F, false, 0, 0},
                      ArrangementCase{"empty", Steinberg_Vst_SpeakerArr_kEmpty, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VST3Setup, RefusesDoublePrecisionAndRatesOutsideTheDecodersRange)
{
    VST3Module module;
    VST3Instance instance(module);
    auto* p = instance.processor();
    EXPECT_EQ(p->lpVtbl->canProcessSampleSize(p, Steinberg_Vst_SymbolicSampleSizes_kSample32), Steinberg_kResultTrue);
    EXPECT_EQ(p->lpVtbl->canProcessSampleSize(p, Steinberg_Vst_SymbolicSampleSizes_kSample64), Steinberg_kResultFalse);
    EXPECT_EQ(instance.setup(kRate, 512, Steinberg_Vst_SymbolicSampleSizes_kSample64), Steinberg_kResultFalse);
    EXPECT_EQ(instance.setup(4000.0, 512), Steinberg_kResultFalse);
    EXPECT_EQ(instance.setup(768000.0, 512), Steinberg_kResultFalse);
    for (double rate : {8000.0, 44100.0, 96000.0, 384000.0}) {
        EXPECT_EQ(instance.setup(rate, 512), Steinberg_kResultOk) << rate;
    }
    // Not a stereo output: refused.
    Steinberg_Vst_SpeakerArrangement in = Steinberg_Vst_SpeakerArr_kAmbi1stOrderACN;
    Steinberg_Vst_SpeakerArrangement out = Steinberg_Vst_SpeakerArr_kMono;
    EXPECT_EQ(p->lpVtbl->setBusArrangements(p, &in, 1, &out, 1), Steinberg_kResultFalse);
}

TEST(VST3Parameters, TitlesStepsAndConversionsFollowThePluginsTable)
{
    VST3Module module;
    VST3Instance instance(module);
    auto* c = instance.controller();
    ASSERT_EQ(c->lpVtbl->getParameterCount(c), 14);
    const struct {
        Steinberg_Vst_ParamID id;
        const char* title;
        int steps;
        double plain;
        const char* text;
    } table[] = {
        {kDecoderMode, "Decoder Mode", 2, 2.0, "UHJ"},
        {kDecodeOrder, "Decode Order", 6, 2.0, "3"},
        {2, "Channel Layout", 1, 1.0, "FuMa"},
        {3, "Normalization Type", 2, 0.0, "N3D"},
        {4, "Enable Rotation", 1, 0.0, "off"},
        {kUseRPY, "Use RPY", 1, 1.0, "on"},
        {kYaw, "Yaw", 0, -90.0, nullptr},
        {kPitch, "Pitch", 0, 45.0, nullptr},
        {kRoll, "Roll", 0, 180.0, nullptr},
        {kFlipYaw, "Flip Yaw", 1, 1.0, "on"},
        {10, "Flip Pitch", 1, 0.0, "off"},
        {kFlipPitch, "Flip Roll", 1, 1.0, "on"},
        {kVolume, "Output Volume", 0, -6.0, nullptr},
    };
    for (const auto& row : table) {
        Steinberg_Vst_ParameterInfo info{};
        ASSERT_EQ(c->lpVtbl->getParameterInfo(c, static_cast<Steinberg_int32>(row.id), &info), Steinberg_kResultOk);
        EXPECT_EQ(info.id, row.id);
        EXPECT_EQ(UTF8(info.title), row.title);
        EXPECT_EQ(info.stepCount, row.steps) << row.title;
        EXPECT_TRUE(info.flags & Steinberg_Vst_ParameterInfo_ParameterFlags_kCanAutomate) << row.title;
        const double normalized = c->lpVtbl->plainParamToNormalized(c, row.id, row.plain);
        EXPECT_GE(normalized, 0.0);
        EXPECT_LE(normalized, 1.0);
        EXPECT_NEAR(c->lpVtbl->normalizedParamToPlain(c, row.id, normalized), row.plain, 1e-9) << row.title;
        Steinberg_Vst_String128 text{};
        ASSERT_EQ(c->lpVtbl->getParamStringByValue(c, row.id, normalized, text), Steinberg_kResultOk);
        if (row.text != nullptr) {
            EXPECT_EQ(UTF8(text), row.text) << row.title;
        }
        // The text reads back as the same value.
        Steinberg_Vst_ParamValue back = -1.0;
        ASSERT_EQ(c->lpVtbl->getParamValueByString(c, row.id, text, &back), Steinberg_kResultOk) << UTF8(text);
        EXPECT_NEAR(c->lpVtbl->normalizedParamToPlain(c, row.id, back), row.plain, 0.051) << row.title;
    }
    Steinberg_Vst_ParameterInfo bypass{};
    ASSERT_EQ(c->lpVtbl->getParameterInfo(c, kBypass, &bypass), Steinberg_kResultOk);
    EXPECT_EQ(UTF8(bypass.title), "Bypass");
    EXPECT_EQ(bypass.stepCount, 1);
    EXPECT_TRUE(bypass.flags & Steinberg_Vst_ParameterInfo_ParameterFlags_kIsBypass);
    Steinberg_Vst_String128 volume{};
    ToUTF16("-12", volume);
    Steinberg_Vst_ParamValue v = 0.0;
    ASSERT_EQ(c->lpVtbl->getParamValueByString(c, kVolume, volume, &v), Steinberg_kResultOk);
    EXPECT_NEAR(c->lpVtbl->normalizedParamToPlain(c, kVolume, v), -12.0, 1e-9);
}

TEST(VST3State, SavesRestoresAndRefusesChunksAsDocumented)
{
    VST3Module module;
    std::vector<uint8_t> saved;
    {
        VST3Instance instance(module);
        instance.setup(kRate, 256);
        instance.activate();
        auto* c = instance.controller();
        instance.set(kDecoderMode, c->lpVtbl->plainParamToNormalized(c, kDecoderMode, 1.0));
        instance.set(kYaw, c->lpVtbl->plainParamToNormalized(c, kYaw, 33.5));
        instance.set(kVolume, c->lpVtbl->plainParamToNormalized(c, kVolume, -7.5));
        Field in(16, std::vector<float>(256, 0.0f));
        Field out(2, std::vector<float>(256, 0.0f));
        ASSERT_EQ(instance.process(in, 0, 256, nullptr, nullptr, out), Steinberg_kResultOk);
        saved = instance.state();
    }
    // The documented layout: ID "QiR1", version 1, thirteen doubles.
    ASSERT_EQ(saved.size(), 8u + 13u * sizeof(double));
    int32_t id = 0;
    uint32_t version = 0;
    std::memcpy(&id, saved.data(), 4);
    std::memcpy(&version, saved.data() + 4, 4);
    EXPECT_EQ(id, 0x51695231);
    EXPECT_EQ(version, 1u);
    double yaw = 0.0;
    std::memcpy(&yaw, saved.data() + 8 + kYaw * sizeof(double), sizeof yaw);
    EXPECT_DOUBLE_EQ(yaw, 33.5);

    VST3Instance restored(module);
    ASSERT_EQ(restored.restore(saved), Steinberg_kResultOk);
    EXPECT_EQ(restored.state(), saved);
    auto* c = restored.controller();
    EXPECT_NEAR(c->lpVtbl->normalizedParamToPlain(c, kVolume, c->lpVtbl->getParamNormalized(c, kVolume)), -7.5, 1e-9);

    // Refused: another version, another plug-in, cut short, not a number. The settings stay.
    std::vector<std::vector<uint8_t>> bad(4, saved);
    bad[0][4] = 2;
    bad[1][0] ^= 0xFF;
    bad[2].resize(saved.size() - 3);
    const double nan = std::nan("");
    std::memcpy(bad[3].data() + 8 + kVolume * sizeof(double), &nan, sizeof nan);
    for (const auto& chunk : bad) {
        VST3Instance other(module);
        const std::vector<uint8_t> before = other.state();
        EXPECT_EQ(other.restore(chunk), Steinberg_kResultFalse);
        EXPECT_EQ(other.state(), before);
    }
}

// The same render through qir-render (the audio-unit host path) and through
// the VST3 object, with the same settings, automation and notes; the decode
// order comes from the input's ambisonic arrangement.
TEST(VST3AgainstQirRender, SameOutputWithRandomBlocksAutomationPointsAndNotes)
{
    constexpr int kChannels = 16;
    constexpr std::size_t kFrames = 48000;
    const Field field = Noise(kChannels, kFrames, 31);

    VST3Module module;
    VST3Instance instance(module);
    ASSERT_EQ(instance.arrange(Steinberg_Vst_SpeakerArr_kAmbi3rdOrderACN), Steinberg_kResultTrue);
    auto* c = instance.controller();

    std::mt19937 rng(37);
    std::uniform_int_distribution<int64_t> frame(1, kFrames - 1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    struct Change {
        int64_t frame;
        Steinberg_Vst_ParamID id;
        const char* parameter;
        double plain;
    };
    std::vector<Change> changes;
    for (int k = 0; k < 21; ++k) {
        const int64_t f = frame(rng);
        switch (k % 7) {
        case 0: changes.push_back({f, kYaw, "Yaw", std::round((-180.0 + 360.0 * unit(rng)) * 10.0) / 10.0}); break;
        case 1: changes.push_back({f, kPitch, "Pitch", std::round((-180.0 + 360.0 * unit(rng)) * 10.0) / 10.0}); break;
        case 2: changes.push_back({f, kRoll, "Roll", std::round((-180.0 + 360.0 * unit(rng)) * 10.0) / 10.0}); break;
        case 3: changes.push_back({f, kVolume, "Output Volume", std::round((-40.0 + 52.0 * unit(rng)) * 2.0) / 2.0}); break;
        case 4: changes.push_back({f, kFlipYaw, "Flip Yaw", k % 2 == 0 ? 1.0 : 0.0}); break;
        case 5: changes.push_back({f, kUseRPY, "Use RPY", k % 2 == 0 ? 0.0 : 1.0}); break;
        default: changes.push_back({f, kFlipPitch - 1, "Flip Pitch", 1.0}); break;
        }
    }
    std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.frame < b.frame; });
    const int64_t on1 = 9000, off1 = 21000, on2 = 30011;

    TempDir dir;
    WriteSoundFile(dir.path("field.wav"), field, kRate);
    const auto seconds = [](int64_t f) {
        char text[64];
        std::snprintf(text, sizeof text, "%.10f", static_cast<double>(f) / kRate);
        return std::string(text);
    };
    const fs::path sets = InstalledVST3Bundle() / "Contents" / "Resources" / "decoder-sets";
    std::vector<std::string> args = {"-q", "--resources", sets.string(), "--order", "3", "--no-tail", "--host-path"};
    for (const Change& ch : changes) {
        char value[64];
        std::snprintf(value, sizeof value, "%.9g", ch.plain);
        args.push_back("--set");
        args.push_back(std::string(ch.parameter) + "@" + seconds(ch.frame) + "=" + value);
    }
    args.insert(args.end(), {"--note", "1@" + seconds(on1) + ":" + seconds(off1), "--note", "4@" + seconds(on2),
                             dir.path("field.wav"), dir.path("reference.wav")});
    const ProcessResult run = RunProcess(QIR_RENDER_PATH, args, dir.path(""));
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field reference = ReadSoundFile(dir.path("reference.wav"));
    ASSERT_EQ(reference.size(), 2u);
    ASSERT_EQ(reference[0].size(), kFrames);

    ASSERT_EQ(instance.setup(kRate, 512), Steinberg_kResultOk);
    ASSERT_EQ(instance.activate(), Steinberg_kResultOk);
    const auto at = [](int64_t f) { return static_cast<int64_t>(kVST3PreRollFrames) + f; };
    std::vector<ScheduledChange> scheduled;
    for (const Change& ch : changes) {
        scheduled.push_back({at(ch.frame), ch.id, c->lpVtbl->plainParamToNormalized(c, ch.id, ch.plain)});
    }
    const std::vector<ScheduledNote> notes = {{at(on1), 1, true}, {at(off1), 1, false}, {at(on2), 4, true}};
    std::uniform_int_distribution<int32_t> block(1, 512);
    const Field out = instance.render(PreRolled(field, 128), [&] { return block(rng); }, scheduled, notes);
    const auto latency = static_cast<std::size_t>(instance.latency());
    ASSERT_EQ(latency, 128u);

    const Field aligned = Slice(out, kVST3PreRollFrames + latency, kFrames);
    const double peak = Peak(reference);
    ASSERT_GT(peak, 1e-2);
    EXPECT_LT(MaxDifference(aligned, reference), 1e-6 * peak) << "peak " << peak;
}

TEST(VST3Bypass, PlaysTheFirstChannelAtTheReportedLatencyAndAllocatesNothing)
{
    VST3Module module;
    VST3Instance instance(module);
    ASSERT_EQ(instance.arrange(Steinberg_Vst_SpeakerArr_kAmbi1stOrderACN), Steinberg_kResultTrue);
    ASSERT_EQ(instance.setup(kRate, 256), Steinberg_kResultOk);
    ASSERT_EQ(instance.activate(), Steinberg_kResultOk);
    const std::size_t frames = 8192;
    const Field in = Noise(4, frames, 41);
    Field out(2, std::vector<float>(frames, 0.0f));
    ParameterChanges bypassOn;
    bypassOn.add(kBypass, 100, 1.0);
    EventList none;
    ParameterChanges empty;
    // Warm-up, then every call counted.
    ASSERT_EQ(instance.process(in, 0, 256, &bypassOn, &none, out), Steinberg_kResultOk);
    instance.countAllocations(true);
    for (std::size_t done = 256; done < frames; done += 256) {
        ASSERT_EQ(instance.process(in, done, 256, &empty, &none, out), Steinberg_kResultOk);
    }
    EXPECT_EQ(instance.allocations(), 0u);
    const std::size_t latency = instance.latency();
    // After the fade, both outputs are channel 0, latency frames late.
    for (std::size_t t = 100 + 128 + 1; t < frames; ++t) {
        ASSERT_EQ(out[0][t], in[0][t - latency]) << t;
        ASSERT_EQ(out[1][t], in[0][t - latency]) << t;
    }
}

} // namespace
} // namespace qirtest
