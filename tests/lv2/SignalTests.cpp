// tests/lv2: what the LV2 plug-in sounds like: each input's impulse comes out
// as the decoder set's responses, delayed by exactly what the latency port
// says; the host's ways of handing over buffers (in place, optional inputs
// absent) change nothing; MIDI notes start the test source at their own frame
// whatever the runs; and with random host blocks, port changes at random frames
// and notes, the output is qir-render's.
#include "tests/lv2/LV2TestHost.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace qirtest {
namespace {

constexpr double kRate = 48000.0;

Field PreRolled(const Field& field, std::size_t after = 0)
{
    Field out = field;
    for (auto& channel : out) {
        channel.insert(channel.begin(), kPreRollFrames, 0.0f);
        channel.insert(channel.end(), after, 0.0f);
    }
    return out;
}

Field Slice(const Field& field, std::size_t first, std::size_t count)
{
    Field out;
    for (const auto& channel : field) {
        const std::size_t begin = std::min(first, channel.size());
        const std::size_t end = std::min(first + count, channel.size());
        out.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(begin),
                         channel.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return out;
}

struct ImpulseCase {
    const char* name;
    float mode;
    float orderPosition;
    const char* file;
    int inputs;
};

class LV2Impulses : public ::testing::TestWithParam<ImpulseCase> {};

TEST_P(LV2Impulses, EachInputGivesTheSetsResponsesDelayedByTheLatencyPort)
{
    const ImpulseCase& c = GetParam();
    const DecoderSetResponses set = ReadDecoderSet(InstalledBundle() / "decoder-sets" / c.file);
    ASSERT_EQ(set.numInputs(), c.inputs) << c.file;

    // One impulse per input, far enough apart that their responses do not meet.
    constexpr std::size_t kSpacing = kIRLength + 512;
    const std::size_t frames = kPreRollFrames + kSpacing * static_cast<std::size_t>(c.inputs) + 512;
    Field input = Silence(c.inputs, frames);
    for (int i = 0; i < c.inputs; ++i) {
        input[static_cast<std::size_t>(i)][kPreRollFrames + kSpacing * static_cast<std::size_t>(i)] = 1.0f;
    }

    const LV2World world;
    LV2Instance instance(world);
    ASSERT_TRUE(instance.valid());
    instance.set("decoder_mode", c.mode);
    instance.set("decode_order", c.orderPosition);
    instance.activate();
    const Field out = instance.render(input, [] { return 384u; });
    const auto latency = static_cast<std::size_t>(instance.latency());
    EXPECT_EQ(latency, 128u);

    Field expected = Silence(2, frames);
    for (int i = 0; i < c.inputs; ++i) {
        const std::size_t start = kPreRollFrames + kSpacing * static_cast<std::size_t>(i) + latency;
        for (int o = 0; o < 2; ++o) {
            const std::vector<float>& response = set.ir[o][static_cast<std::size_t>(i)];
            for (std::size_t t = 0; t < response.size() && start + t < frames; ++t) {
                expected[static_cast<std::size_t>(o)][start + t] = response[t];
            }
        }
    }
    const double peak = Peak(expected);
    ASSERT_GT(peak, 0.0);
    // The FFT convolution's rounding, around 1e-7 of the peak; a response a
    // frame early or late, or cut, is off by the peak itself.
    EXPECT_LT(MaxDifference(out, expected), 1e-6 * peak) << "peak " << peak;
}

INSTANTIATE_TEST_SUITE_P(Sets, LV2Impulses,
                         ::testing::Values(ImpulseCase{"AnechoicOrder3", 0, 2, "3OA-decoder-anechoic.wav", 16},
                                           ImpulseCase{"RoomOrder7", 1, 6, "7OA-decoder-room.wav", 64},
                                           ImpulseCase{"Uhj", 2, 0, "AMBIX_2_UHJ.wav", 4}),
                         [](const auto& info) { return std::string(info.param.name); });

struct BufferCase {
    const char* name;
    LV2Instance::Buffers buffers;
    float orderPosition;
};

class LV2HostBuffers : public ::testing::TestWithParam<BufferCase> {};

TEST_P(LV2HostBuffers, RenderAsBuffersOfTheirOwn)
{
    const BufferCase& c = GetParam();
    // A first-order field: a host that leaves the inputs above it unconnected
    // must hear what silence on them gives, even when the order set asks for more.
    const Field input = PreRolled(Noise(4, 5000, 11));
    const LV2World world;
    const auto render = [&](LV2Instance::Buffers buffers) {
        LV2Instance::Setup setup;
        setup.mBuffers = buffers;
        LV2Instance instance(world, setup);
        instance.set("decode_order", c.orderPosition);
        instance.set("yaw", 30.0f);
        instance.activate();
        std::mt19937 rng(3);
        std::uniform_int_distribution<uint32_t> block(1, 512);
        return instance.render(input, [&] { return block(rng); });
    };
    const Field expected = render(LV2Instance::Buffers::kSeparate);
    EXPECT_EQ(MaxDifference(render(c.buffers), expected), 0.0);
    EXPECT_GT(Peak(Slice(expected, kPreRollFrames, 5000)), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, LV2HostBuffers,
    ::testing::Values(BufferCase{"InPlace", LV2Instance::Buffers::kInPlace, 0},
                      BufferCase{"InPlaceOrder3", LV2Instance::Buffers::kInPlace, 2},
                      BufferCase{"OptionalInputsAbsent", LV2Instance::Buffers::kOptionalInputsAbsent, 0},
                      BufferCase{"OptionalInputsAbsentOrder3", LV2Instance::Buffers::kOptionalInputsAbsent, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LV2Midi, ANoteStartsTheTestSourceAtItsFrameWhateverTheRuns)
{
    // Note 2 (the source on the left) at frame 300 of a 512-frame block.
    const std::size_t noteFrame = kPreRollFrames + 300;
    const Field input = Silence(4, kPreRollFrames + 4096);
    const std::vector<MidiEvent> events = {MidiEvent{static_cast<int64_t>(noteFrame), {0x90, 2, 100}},
                                           MidiEvent{static_cast<int64_t>(noteFrame + 2000), {0x80, 2, 0}}};
    struct Cut {
        const char* name;
        std::function<uint32_t()> next;
    };
    std::mt19937 rng(17);
    std::uniform_int_distribution<uint32_t> random(1, 512);
    const std::vector<Cut> cuts = {
        {"blocks of 512, the note inside one", [] { return 512u; }},
        {"blocks of 300, the note at a block's start", [] { return 300u; }},
        {"random blocks", [&] { return random(rng); }},
    };
    const LV2World world;
    Field first;
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.name);
        LV2Instance instance(world);
        instance.activate();
        const Field out = instance.render(input, cut.next, {}, events);
        const auto latency = static_cast<std::size_t>(instance.latency());
        // The frame that holds the onset carries the convolution's rounding
        // (around 1e-9) before it; the source itself is 1e-4 and more.
        std::size_t onset = out[0].size();
        for (std::size_t t = 0; t < out[0].size(); ++t) {
            if (std::fabs(out[0][t]) > 1e-6f || std::fabs(out[1][t]) > 1e-6f) {
                onset = t;
                break;
            }
        }
        EXPECT_EQ(onset, noteFrame + latency);
        if (first.empty()) {
            first = out;
        } else {
            EXPECT_EQ(MaxDifference(out, first), 0.0);
        }
    }
    // The left source is louder on the left.
    double left = 0.0, right = 0.0;
    for (std::size_t t = noteFrame; t < noteFrame + 2000; ++t) {
        left += first[0][t] * first[0][t];
        right += first[1][t] * first[1][t];
    }
    EXPECT_GT(left, 2.0 * right);
}

// The same render through qir-render (the audio-unit host path) and through
// lilv, with the same settings, automation and notes.
TEST(LV2AgainstQirRender, SameOutputWithRandomBlocksPortChangesAndNotes)
{
    constexpr int kOrder = 3;
    constexpr int kChannels = (kOrder + 1) * (kOrder + 1);
    constexpr std::size_t kFrames = 48000;
    const Field field = Noise(kChannels, kFrames, 23);

    std::mt19937 rng(29);
    std::uniform_int_distribution<int64_t> frame(1, kFrames - 1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    // Port changes at random frames (the frames of the field), and what
    // qir-render is told for each: the parameter's own value.
    struct Change {
        int64_t frame;
        const char* symbol;
        const char* parameter;
        float portValue;
        float parameterValue;
    };
    std::vector<Change> changes;
    for (int k = 0; k < 14; ++k) {
        const int64_t f = frame(rng);
        switch (k % 7) {
        case 0: {
            const float v = -180.0f + 360.0f * unit(rng);
            changes.push_back({f, "yaw", "Yaw", v, v});
            break;
        }
        case 1: {
            const float v = -90.0f + 180.0f * unit(rng);
            changes.push_back({f, "pitch", "Pitch", v, 2.0f * v});
            break;
        }
        case 2: {
            const float v = -90.0f + 180.0f * unit(rng);
            changes.push_back({f, "roll", "Roll", v, 2.0f * v});
            break;
        }
        case 3: {
            const float v = -20.0f + 26.0f * unit(rng);
            changes.push_back({f, "volume", "Output Volume", v, v});
            break;
        }
        case 4: {
            const float v = k % 2 == 0 ? 1.0f : 0.0f;
            changes.push_back({f, "flip_yaw", "Flip Yaw", v, v});
            break;
        }
        case 5: {
            const float v = k % 2 == 0 ? 0.0f : 1.0f;
            changes.push_back({f, "use_rpy", "Use RPY", v, v});
            break;
        }
        default: changes.push_back({f, "flip_pitch", "Flip Pitch", 1.0f, 1.0f}); break;
        }
    }
    std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.frame < b.frame; });
    // Two notes: a source behind, released, then one above, held.
    const int64_t on1 = 9000, off1 = 21000, on2 = 30011;

    TempDir dir;
    WriteSoundFile(dir.path("field.wav"), field, kRate);
    const auto seconds = [](int64_t f) {
        char text[64];
        std::snprintf(text, sizeof text, "%.10f", static_cast<double>(f) / kRate);
        return std::string(text);
    };
    std::vector<std::string> args = {"-q",      "--resources", (InstalledBundle() / "decoder-sets").string(),
                                     "--order", "3",           "--no-tail", "--host-path"};
    for (const Change& c : changes) {
        char value[64];
        std::snprintf(value, sizeof value, "%.9g", static_cast<double>(c.parameterValue));
        args.push_back("--set");
        args.push_back(std::string(c.parameter) + "@" + seconds(c.frame) + "=" + value);
    }
    args.push_back("--note");
    args.push_back("1@" + seconds(on1) + ":" + seconds(off1));
    args.push_back("--note");
    args.push_back("4@" + seconds(on2));
    args.push_back(dir.path("field.wav"));
    args.push_back(dir.path("reference.wav"));
    const ProcessResult run = RunProcess(QIR_RENDER_PATH, args, dir.path(""));
    ASSERT_EQ(run.mExitCode, 0) << run.mErr;
    const Field reference = ReadSoundFile(dir.path("reference.wav"));
    ASSERT_EQ(reference.size(), 2u);
    ASSERT_EQ(reference[0].size(), kFrames);

    const LV2World world;
    LV2Instance instance(world);
    instance.set("decode_order", static_cast<float>(kOrder - 1));
    instance.activate();
    std::vector<PortChange> portChanges;
    for (const Change& c : changes) {
        portChanges.push_back({static_cast<int64_t>(kPreRollFrames) + c.frame, c.symbol, c.portValue});
    }
    const auto at = [](int64_t f) { return static_cast<int64_t>(kPreRollFrames) + f; };
    const std::vector<MidiEvent> events = {MidiEvent{at(on1), {0x90, 1, 100}}, MidiEvent{at(off1), {0x80, 1, 0}},
                                           MidiEvent{at(on2), {0x90, 4, 100}}};
    std::uniform_int_distribution<uint32_t> block(1, 512);
    const Field out = instance.render(PreRolled(field, 128), [&] { return block(rng); }, portChanges, events);
    const auto latency = static_cast<std::size_t>(instance.latency());
    ASSERT_EQ(latency, 128u);

    const Field aligned = Slice(out, kPreRollFrames + latency, kFrames);
    const double peak = Peak(reference);
    ASSERT_GT(peak, 1e-2);
    // The same engine on the same frames gives the same samples (the two agree
    // to the bit); the margin only lets the convolver's rounding depend on
    // where calls are cut.
    EXPECT_LT(MaxDifference(aligned, reference), 1e-6 * peak) << "peak " << peak;
}

} // namespace
} // namespace qirtest
