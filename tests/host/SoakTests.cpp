// tests/host: the soak test. The audio unit is driven as a busy host drives it,
// with every thread at once: a render thread renders blocks of random length
// (1 to 4096 frames, a new length every call) carrying random parameter
// automation and MIDI notes at random frames; a control thread moves parameters
// through the parameter tree, switches decoder mode and order, saves and
// restores the state and selects presets; the main thread runs the run loop, so
// the idle timer loads decoder sets and frees the sets the audio thread has
// handed back. Throughout, the render thread never allocates or frees, every
// output sample is finite and the latency the host reads never changes. When the
// traffic stops and the last set has faded in, an impulse on W comes out
// exactly the reported latency later, as the set's own W responses.
//
// The randomness is seeded and the seed is printed. QIR_SOAK_SEED replays a
// seed's choices (the threads' interleaving is the machine's), and
// QIR_SOAK_SECONDS sets the length of audio (default 30 s at 48 kHz).
#include "tests/support/AllocationCounter.h"
#include "tests/support/HostHarness.h"

#include "engine/platform/ResourceDirectory.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using qirtest::HostHarness;
using qirtest::RenderEventList;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRate = 48000.0;
constexpr AUAudioFrameCount kMaxFrames = 4096;
// The host's input bus: second order. Sets of 4, 9 and 16 inputs meet it.
constexpr UInt32 kChannels = 9;
constexpr int kNumParams = 13;
constexpr AUParameterAddress kDecoderMode = 0;
constexpr AUParameterAddress kDecodeOrder = 1;
constexpr int kResponseLength = qir::QIRMatrixDecoderDSP::kImpulseResponseLength;
// Random taps at the head of every test response.
constexpr int kResponseTaps = 256;
// Decoder-set requests: one per kSwitchInterval of audio on average, in bursts
// of up to kSwitchBurst. A burst puts several loads in flight at once and sets
// in the hand-over slot while a crossfade runs; the average keeps the loader
// threads from piling up, however slowly the machine renders.
constexpr int64_t kSwitchInterval = 3840; // 80 ms
constexpr int kSwitchBurst = 3;
// Sets the soak must see adopted before it stops.
constexpr int kMinAdoptions = 8;
constexpr auto kWallLimit = std::chrono::minutes(12);
// No sample of the decoder's output comes near this (inputs below 0.2, responses
// below 0.5 and the output volume at most +12 dB).
constexpr float kOutputBound = 1.0e4f;
// Input noise, played in a loop; every read of up to kMaxFrames stays inside.
constexpr std::size_t kInputPeriod = 48000;

struct SoakSettings {
    uint64_t seed = 0;
    double seconds = 30.0;
};

SoakSettings SettingsFromEnvironment()
{
    SoakSettings s;
    const char* seed = std::getenv("QIR_SOAK_SEED");
    if (seed != nullptr && *seed != '\0') {
        s.seed = std::strtoull(seed, nullptr, 10);
    } else {
        std::random_device device;
        s.seed = (static_cast<uint64_t>(device()) << 32) ^ device();
    }
    const char* seconds = std::getenv("QIR_SOAK_SECONDS");
    if (seconds != nullptr && *seconds != '\0') {
        s.seconds = std::max(0.1, std::strtod(seconds, nullptr));
    }
    return s;
}

// The decoder sets of the soak. Anechoic orders 4 to 7 and room orders 3 to 7
// are missing on purpose: requesting them keeps the set in use.
struct SoakSet {
    const char* file;
    int mode;
    int orderPosition; // "Decode Order" list position; -1: any (UHJ)
    int inputs;
};

constexpr SoakSet kSets[] = {
    {"1OA-decoder-anechoic.wav", 0, 0, 4}, {"2OA-decoder-anechoic.wav", 0, 1, 9},
    {"3OA-decoder-anechoic.wav", 0, 2, 16}, {"1OA-decoder-room.wav", 1, 0, 4},
    {"2OA-decoder-room.wav", 1, 1, 9},      {"AMBIX_2_UHJ.wav", 2, -1, 4},
};

// A resource folder of its own for the process, removed at the end.
class SoakResources {
public:
    SoakResources() : mPath(std::filesystem::temp_directory_path() / ("qir-soak-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(mPath);
        uint32_t seed = 101;
        for (const SoakSet& set : kSets) {
            qirtest::WriteDecoderSet(mPath / set.file, set.inputs, seed++, kResponseTaps);
        }
    }
    ~SoakResources()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    SoakResources(const SoakResources&) = delete;
    SoakResources& operator=(const SoakResources&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const noexcept { return mPath; }

private:
    std::filesystem::path mPath;
};

// The responses of W (input 0) into both outputs, as libsndfile reads the file.
std::array<std::vector<float>, 2> ReadWResponses(const std::filesystem::path& file)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.c_str(), SFM_READ, &info);
    std::array<std::vector<float>, 2> responses;
    if (sf == nullptr || info.channels != 2) {
        if (sf != nullptr) {
            sf_close(sf);
        }
        ADD_FAILURE() << "cannot read " << file;
        return responses;
    }
    std::vector<float> interleaved(2 * static_cast<std::size_t>(kResponseLength));
    const sf_count_t read = sf_readf_float(sf, interleaved.data(), kResponseLength);
    sf_close(sf);
    EXPECT_EQ(read, kResponseLength);
    for (std::size_t o = 0; o < 2; ++o) {
        responses[o].resize(static_cast<std::size_t>(kResponseLength));
        for (std::size_t t = 0; t < static_cast<std::size_t>(kResponseLength); ++t) {
            responses[o][t] = interleaved[2 * t + o];
        }
    }
    return responses;
}

// Grants the decoder-set requests of every thread at the rate above, on the
// clock of the audio rendered so far.
class SwitchGate {
public:
    // Render thread: the frames rendered so far.
    void setAudioFrames(int64_t frames) noexcept { mAudioFrames.store(frames, std::memory_order_relaxed); }

    // Any thread, audio-safe: true when the caller may request a set now.
    bool take() noexcept
    {
        const int64_t now = mAudioFrames.load(std::memory_order_relaxed);
        // The time at which the bucket would be full again.
        int64_t due = mDue.load(std::memory_order_relaxed);
        do {
            if (due - now > (kSwitchBurst - 1) * kSwitchInterval) {
                return false;
            }
        } while (!mDue.compare_exchange_weak(due, std::max(due, now) + kSwitchInterval, std::memory_order_relaxed));
        mTaken.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    [[nodiscard]] int taken() const noexcept { return mTaken.load(); }

private:
    std::atomic<int64_t> mAudioFrames{0};
    std::atomic<int64_t> mDue{0};
    std::atomic<int> mTaken{0};
};

// A "Decode Order" position: mostly the orders that have sets, sometimes any.
template <typename Rng>
float RandomOrderPosition(Rng& rng)
{
    return static_cast<float>(rng() % 4 == 0 ? rng() % 7 : rng() % 3);
}

struct ParameterRange {
    float min = 0.0f;
    float max = 1.0f;
};

template <typename Rng>
float RandomValue(Rng& rng, const ParameterRange& range)
{
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    return range.min + (range.max - range.min) * unit(rng);
}

// What the render thread saw.
struct RenderReport {
    int64_t frames = 0;
    int64_t calls = 0;
    int64_t events = 0;
    int adoptions = 0;
    std::size_t allocations = 0;
    std::size_t frees = 0;
    AUAudioUnitStatus failure = noErr;
    // The first output frame that was not finite or beyond kOutputBound, or -1.
    int64_t badFrame = -1;
    float badValue = 0.0f;
    bool timedOut = false;
};

// What the control thread did.
struct ControlReport {
    int stateRestores = 0;
    int presetSelections = 0;
    int latencyChanges = 0;
};

class DecoderAudioUnitSoak : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The harness's folder is made first so that the harness keeps this one.
        (void)qirtest::TestResourceDirectory();
        qir::platform::SetResourceDirectory(mResources.path().string());
        mHost = std::make_unique<HostHarness>();
        ASSERT_TRUE(mHost->allocate(kRate, kMaxFrames, kChannels));
        ASSERT_TRUE(mHost->waitForDecoderSet(4));
        mLatencySeconds = mHost->unit().latency();
        for (std::size_t k = 0; k < kNumParams; ++k) {
            mParams[k] = mHost->unit().parameterTree()->parameterWithAddress(k);
            ASSERT_NE(mParams[k], nullptr);
            mRanges[k] = {mParams[k]->minValue(), mParams[k]->maxValue()};
        }
    }

    void TearDown() override
    {
        mHost.reset();
        qir::platform::SetResourceDirectory(qirtest::TestResourceDirectory().string());
    }

    qir::QIRMatrixDecoderDSP& dsp() { return mHost->plugin().GetDSP(); }

    // The host's render thread: calls of random length with random events, in
    // real time, until the audio is long enough and enough sets were adopted.
    void renderTraffic(uint64_t seed, int64_t targetFrames, RenderReport& report);
    // The host's control thread: the parameter tree, state and presets, until stop.
    void controlTraffic(uint64_t seed, const std::atomic<bool>& stop, ControlReport& report);
    // The host's main thread: the run loop, until done.
    void mainLoop(uint64_t seed, const std::atomic<bool>& done, ControlReport& report);
    // Renders the W channel w in calls of random length; returns both outputs.
    std::array<std::vector<float>, 2> renderW(const std::vector<float>& w, std::mt19937_64& lengths);

    SoakResources mResources;
    std::unique_ptr<HostHarness> mHost;
    double mLatencySeconds = 0.0;
    std::array<std::shared_ptr<AUParameter>, kNumParams> mParams;
    std::array<ParameterRange, kNumParams> mRanges;
    SwitchGate mGate;
};

void DecoderAudioUnitSoak::renderTraffic(uint64_t seed, int64_t targetFrames, RenderReport& report)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unitDist(0.0, 1.0);
    // Noise on every input channel, below 0.2, in a loop.
    std::vector<std::vector<float>> input(kChannels, std::vector<float>(kInputPeriod + kMaxFrames));
    for (auto& channel : input) {
        std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
        for (std::size_t t = 0; t < kInputPeriod; ++t) {
            channel[t] = noise(rng);
        }
        std::copy_n(channel.begin(), kMaxFrames, channel.begin() + kInputPeriod);
    }
    std::vector<float> out0(kMaxFrames), out1(kMaxFrames);
    float* out[2] = {out0.data(), out1.data()};
    std::array<const float*, kChannels> in{};
    RenderEventList events;
    const Clock::time_point start = Clock::now();
    AUAudioFrameCount previous = 0;

    qirtest::AllocationCounter counter;
    while (report.frames < targetFrames || report.adoptions < kMinAdoptions) {
        const Clock::duration elapsed = Clock::now() - start;
        if (elapsed > kWallLimit) {
            report.timedOut = true;
            break;
        }
        // In real time, as a host renders (or slower, when the machine is slow):
        // loads, crossfades and idle ticks meet the stream as they would in use.
        if (static_cast<double>(report.frames) > std::chrono::duration<double>(elapsed).count() * kRate) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }

        // A new length every call: uniform or log-uniform over 1..4096.
        AUAudioFrameCount frames = previous;
        while (frames == previous) {
            frames = unitDist(rng) < 0.5
                         ? static_cast<AUAudioFrameCount>(1 + rng() % kMaxFrames)
                         : static_cast<AUAudioFrameCount>(std::exp(unitDist(rng) * std::log(double(kMaxFrames))));
            frames = std::clamp<AUAudioFrameCount>(frames, 1, kMaxFrames);
        }
        previous = frames;

        // Events in time order: mostly inside the call, a few late, a few at its
        // very end. Unused entries sort to the end.
        const auto now = static_cast<int64_t>(mHost->sampleTime());
        std::array<int64_t, 12> offsets;
        offsets.fill(std::numeric_limits<int64_t>::max());
        const std::size_t nEvents = unitDist(rng) < 0.4 ? 0 : 1 + rng() % offsets.size();
        for (std::size_t e = 0; e < nEvents; ++e) {
            const double where = unitDist(rng);
            offsets[e] = where < 0.05  ? -static_cast<int64_t>(1 + rng() % 64)
                         : where < 0.1 ? static_cast<int64_t>(frames)
                                       : static_cast<int64_t>(rng() % frames);
        }
        std::sort(offsets.begin(), offsets.end());
        events.clear();
        for (std::size_t e = 0; e < nEvents; ++e) {
            const int64_t t = now + offsets[e];
            const double kind = unitDist(rng);
            if (kind < 0.65) {
                auto address = static_cast<AUParameterAddress>(rng() % kNumParams);
                if ((address == kDecoderMode || address == kDecodeOrder) && !mGate.take()) {
                    address = 2 + rng() % (kNumParams - 2);
                }
                const float value =
                    address == kDecodeOrder ? RandomOrderPosition(rng) : RandomValue(rng, mRanges[address]);
                events.parameter(t, address, value,
                                 unitDist(rng) < 0.2 ? AURenderEventParameterRamp : AURenderEventParameter);
            } else if (kind < 0.9) {
                // Notes 0 to 25 place the test source, others silence it; velocity 0 is a note off.
                const auto note = static_cast<uint8_t>(rng() % 32);
                const auto velocity = static_cast<uint8_t>(rng() % 128);
                events.midi(t, unitDist(rng) < 0.7 ? 0x90 : 0x80, note, velocity);
            } else if (kind < 0.95) {
                events.midi(t, 0xB0, static_cast<uint8_t>(rng() % 128), static_cast<uint8_t>(rng() % 128));
            } else if (kind < 0.98) {
                events.parameter(t, kNumParams + rng() % 4, 1.0f); // no such parameter
            } else {
                events.sysEx(t);
            }
        }
        report.events += static_cast<int64_t>(nEvents);

        const std::size_t offset = static_cast<std::size_t>(report.frames) % kInputPeriod;
        for (std::size_t c = 0; c < kChannels; ++c) {
            in[c] = input[c].data() + offset;
        }
        const bool pendingBefore = dsp().HasPendingDecoderSet();
        report.failure = mHost->render(frames, in.data(), out, events.head());
        if (report.failure != noErr) {
            break;
        }
        // Only the audio thread empties the hand-over slot.
        if (pendingBefore && !dsp().HasPendingDecoderSet()) {
            ++report.adoptions;
        }
        for (AUAudioFrameCount i = 0; i < frames && report.badFrame < 0; ++i) {
            for (const float v : {out0[i], out1[i]}) {
                if (!std::isfinite(v) || std::fabs(v) > kOutputBound) {
                    report.badFrame = report.frames + i;
                    report.badValue = v;
                }
            }
        }
        report.frames += frames;
        ++report.calls;
        mGate.setAudioFrames(report.frames);
    }
    report.allocations = counter.count();
    report.frees = counter.frees();
}

void DecoderAudioUnitSoak::controlTraffic(uint64_t seed, const std::atomic<bool>& stop, ControlReport& report)
{
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unitDist(0.0, 1.0);
    PluginAudioUnit& unit = mHost->unit();
    const std::shared_ptr<AUAudioUnitPreset> factory = unit.factoryPresets().front();
    const auto user = std::make_shared<AUAudioUnitPreset>(-1, "Soak");
    std::vector<NSDictionary> saved;
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        const double action = unitDist(rng);
        if (action < 0.45) {
            const auto k = static_cast<std::size_t>(2 + rng() % (kNumParams - 2));
            mParams[k]->setValue(RandomValue(rng, mRanges[k]));
        } else if (action < 0.55) {
            if (mGate.take()) {
                if (rng() % 3 != 0) {
                    mParams[kDecoderMode]->setValue(static_cast<float>(rng() % 3));
                }
                if (rng() % 3 != 0) {
                    mParams[kDecodeOrder]->setValue(RandomOrderPosition(rng));
                }
            }
        } else if (action < 0.62) {
            saved.push_back(unit.fullState());
            if (saved.size() > 8) {
                saved.erase(saved.begin());
            }
        } else if (action < 0.7) {
            if (!mGate.take()) {
                continue;
            }
            NSDictionary state = unit.fullState();
            const double form = unitDist(rng);
            if (form < 0.4 && !saved.empty()) {
                state = saved[rng() % saved.size()];
            } else if (form < 0.9) {
                // Random values, as another session of the host saved them.
                auto& data = std::get<NSData>(state["data"]);
                for (std::size_t k = 0; k < kNumParams && (k + 1) * sizeof(double) <= data.size(); ++k) {
                    const double value = k == kDecoderMode   ? static_cast<double>(rng() % 3)
                                         : k == kDecodeOrder ? static_cast<double>(RandomOrderPosition(rng))
                                                             : static_cast<double>(RandomValue(rng, mRanges[k]));
                    std::memcpy(data.data() + k * sizeof(double), &value, sizeof value);
                }
            } else if (form < 0.95) {
                // Cut short, mid-value, as from an older version with fewer parameters.
                auto& data = std::get<NSData>(state["data"]);
                data.resize(std::min(data.size(), (1 + rng() % kNumParams) * sizeof(double) - 3));
            } else {
                state.erase("data");
            }
            unit.setFullState(state);
            ++report.stateRestores;
        } else if (action < 0.74) {
            // A factory preset resets "Decoder Mode" and "Decode Order"; a user preset changes nothing.
            const bool factoryPreset = rng() % 2 == 0 && mGate.take();
            unit.setCurrentPreset(factoryPreset ? factory : user);
            ++report.presetSelections;
        } else {
            if (unit.latency() != mLatencySeconds) {
                ++report.latencyChanges;
            }
            (void)unit.currentPreset();
            const auto& param = mParams[rng() % kNumParams];
            (void)param->value();
            (void)param->stringFromValue(nullptr);
            (void)param->valueFromString("1");
        }
    }
}

void DecoderAudioUnitSoak::mainLoop(uint64_t seed, const std::atomic<bool>& done, ControlReport& report)
{
    // The idle timer and the queued preset selections, and what a host's
    // interface reads. Now and then the thread is busy elsewhere for a while, so
    // that requests pile up and handed-back sets wait.
    std::mt19937_64 rng(seed);
    while (!done.load()) {
        if (rng() % 100 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 200));
        }
        HostHarness::pumpMainLoop(std::chrono::milliseconds(10));
        (void)mHost->unit().fullState();
        if (mHost->unit().latency() != mLatencySeconds) {
            ++report.latencyChanges;
        }
    }
}

std::array<std::vector<float>, 2> DecoderAudioUnitSoak::renderW(const std::vector<float>& w, std::mt19937_64& lengths)
{
    std::array<std::vector<float>, 2> y{std::vector<float>(w.size()), std::vector<float>(w.size())};
    std::vector<float> padded(w.size() + kMaxFrames, 0.0f);
    std::copy(w.begin(), w.end(), padded.begin());
    float* out[2] = {y[0].data(), y[1].data()};
    for (std::size_t pos = 0; pos < w.size();) {
        const auto n = static_cast<AUAudioFrameCount>(std::min<std::size_t>(1 + lengths() % kMaxFrames, w.size() - pos));
        std::array<const float*, kChannels> in{};
        in[0] = padded.data() + pos;
        float* at[2] = {out[0] + pos, out[1] + pos};
        EXPECT_EQ(mHost->render(n, in.data(), at), noErr);
        pos += n;
    }
    return y;
}

TEST_F(DecoderAudioUnitSoak, RandomHostTrafficOnEveryThreadKeepsTheLatencyAndNeverAllocatesOnTheAudioThread)
{
    const SoakSettings settings = SettingsFromEnvironment();
    std::printf("soak: seed %llu, %.1f s of audio (replay with QIR_SOAK_SEED=%llu QIR_SOAK_SECONDS=%g)\n",
                static_cast<unsigned long long>(settings.seed), settings.seconds,
                static_cast<unsigned long long>(settings.seed), settings.seconds);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(settings.seed));
    ASSERT_EQ(std::lround(mLatencySeconds * kRate), qir::QIRMatrixDecoderDSP::kLatency);

    const Clock::time_point start = Clock::now();
    RenderReport render;
    ControlReport control;
    ControlReport main;
    std::atomic<bool> renderDone{false};
    std::atomic<bool> stopControl{false};
    std::thread renderThread([&] {
        renderTraffic(settings.seed + 2, static_cast<int64_t>(settings.seconds * kRate), render);
        renderDone.store(true);
    });
    std::thread controlThread([&] { controlTraffic(settings.seed + 1, stopControl, control); });
    mainLoop(settings.seed + 5, renderDone, main);
    renderThread.join();
    stopControl.store(true);
    controlThread.join();
    // The selections still queued run now, before the final settings.
    HostHarness::pumpMainQueue();

    std::printf("soak: %.1f s of audio in %.1f s, %lld calls, %lld events, %d set requests, %d sets adopted, "
                "%d state restores, %d preset selections\n",
                static_cast<double>(render.frames) / kRate,
                std::chrono::duration<double>(Clock::now() - start).count(), static_cast<long long>(render.calls),
                static_cast<long long>(render.events), mGate.taken(), render.adoptions, control.stateRestores,
                control.presetSelections);
    std::fflush(stdout);
    EXPECT_FALSE(render.timedOut) << "the soak stopped after " << render.frames << " frames and " << render.adoptions
                                  << " adoptions";
    EXPECT_EQ(render.failure, noErr);
    EXPECT_EQ(render.badFrame, -1) << "output frame " << render.badFrame << " is " << render.badValue;
    EXPECT_EQ(render.allocations, 0U) << "allocations on the render thread";
    EXPECT_EQ(render.frees, 0U) << "frees on the render thread";
    EXPECT_EQ(control.latencyChanges + main.latencyChanges, 0) << "the latency the host reads changed";

    // The end: settings for one of the sets (the rotation may stay on: it leaves
    // W alone), the test source silenced, the last set faded in and every tail
    // gone. Then an impulse on W comes out the reported latency later as the
    // set's own W responses.
    std::mt19937_64 rng(settings.seed + 3);
    const SoakSet& last = kSets[rng() % std::size(kSets)];
    const float finalValues[kNumParams] = {
        static_cast<float>(last.mode),
        static_cast<float>(last.orderPosition >= 0 ? last.orderPosition : static_cast<int>(rng() % 7)),
        0.0f, // ACN
        1.0f, // SN3D
        static_cast<float>(rng() % 2),
        static_cast<float>(rng() % 2),
        RandomValue(rng, mRanges[6]),
        RandomValue(rng, mRanges[7]),
        RandomValue(rng, mRanges[8]),
        static_cast<float>(rng() % 2),
        static_cast<float>(rng() % 2),
        static_cast<float>(rng() % 2),
        0.0f, // 0 dB
    };
    for (std::size_t k = 0; k < kNumParams; ++k) {
        mParams[k]->setValue(finalValues[k]);
    }
    RenderEventList silenceSource;
    silenceSource.midi(static_cast<int64_t>(mHost->sampleTime()), 0x90, 30, 100);
    ASSERT_EQ(mHost->render(1, nullptr, nullptr, silenceSource.head()), noErr);
    ASSERT_TRUE(mHost->waitForDecoderSet(last.inputs)) << "the set for the final settings, " << last.file
                                                       << ", was not adopted";

    std::mt19937_64 lengths(settings.seed + 4);
    const int reported = static_cast<int>(std::lround(mHost->unit().latency() * kRate));
    EXPECT_EQ(reported, mHost->plugin().GetLatency());
    const std::size_t silence = static_cast<std::size_t>(kResponseLength) + 2 * kMaxFrames;
    const std::size_t impulseAt = silence + 1 + 2 * (lengths() % 1000);
    std::vector<float> w(impulseAt + static_cast<std::size_t>(reported + kResponseLength), 0.0f);
    w[impulseAt] = 1.0f;
    const std::array<std::vector<float>, 2> y = renderW(w, lengths);

    const std::array<std::vector<float>, 2> responses = ReadWResponses(mResources.path() / last.file);
    for (std::size_t o = 0; o < 2; ++o) {
        SCOPED_TRACE(testing::Message() << "output " << o << ", final set " << last.file);
        const std::vector<float>& h = responses[o];
        // The delay: the lag at which the output best matches the response.
        int bestLag = -1;
        double best = -1.0;
        for (int lag = 0; lag <= 4 * qir::QIRMatrixDecoderDSP::kSubBlockFrames; ++lag) {
            double dot = 0.0;
            for (std::size_t t = 0; t < static_cast<std::size_t>(kResponseTaps); ++t) {
                dot += static_cast<double>(y[o][impulseAt + static_cast<std::size_t>(lag) + t]) * h[t];
            }
            if (dot > best) {
                best = dot;
                bestLag = lag;
            }
        }
        EXPECT_EQ(bestLag, reported);
        // Nothing before (but the round-off of the convolver's transforms), and
        // the whole response from exactly the reported latency on.
        const std::size_t onset = impulseAt + static_cast<std::size_t>(reported);
        double before = 0.0, error = 0.0, energy = 0.0, peak = 0.0;
        for (std::size_t t = silence; t < onset; ++t) {
            before = std::max(before, static_cast<double>(std::fabs(y[o][t])));
        }
        for (std::size_t t = 0; t < static_cast<std::size_t>(kResponseLength); ++t) {
            const double d = static_cast<double>(y[o][onset + t]) - h[t];
            error += d * d;
            energy += static_cast<double>(h[t]) * h[t];
            peak = std::max(peak, static_cast<double>(std::fabs(h[t])));
        }
        ASSERT_GT(energy, 0.0);
        EXPECT_LT(before, 1e-5 * peak);
        EXPECT_LT(std::sqrt(error / energy), 1e-5);
    }
}

} // namespace
