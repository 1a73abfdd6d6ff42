// tests/lv2: the LV2 run function is fit for a real-time thread: over runs of
// random lengths with port changes (decoder switches among them, loaded by the
// host's worker thread meanwhile), MIDI notes and a state restore between runs,
// it allocates nothing, frees nothing and takes no lock, and its output stays
// finite.
#include "tests/lv2/LV2TestHost.h"
#include "tests/lv2/LockCounter.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <lv2/atom/atom.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace qirtest {
namespace {

bool Finite(const float* samples, uint32_t n)
{
    return std::all_of(samples, samples + n, [](float v) { return std::isfinite(v); });
}

TEST(LV2RealTime, RunsAllocateFreeAndLockNothingWhileTheWorkerLoadsSets)
{
    const LV2World world;
    LV2Instance::Setup setup;
    setup.mWorker = LV2Instance::Worker::kThread;
    setup.mMaxBlock = 512;
    LV2Instance instance(world, setup);
    ASSERT_TRUE(instance.valid());
    instance.activate();

    const Field input = Noise(kAudioInputs, 48000, 53);
    std::mt19937 rng(59);
    std::uniform_int_distribution<uint32_t> length(1, 512);
    std::uniform_real_distribution<float> angle(-90.0f, 90.0f);

    // The first set, loaded and faded in before counting starts.
    Field out;
    std::size_t pos = 0;
    const auto advance = [&](uint32_t n) { pos = (pos + n) % (input[0].size() - 512); };
    instance.run(input, pos, 512, {}, out);
    instance.waitForWork();
    for (int i = 0; i < 8; ++i) {
        instance.run(input, pos, 512, {}, out);
        advance(512);
    }

    // Settings the host switches between: decoder mode and order pairs.
    const std::vector<std::pair<float, float>> decoders = {{1, 2}, {0, 6}, {2, 0}, {1, 6}, {0, 0}};
    std::size_t allocations = 0, frees = 0, locks = 0;
    int switches = 0;
    for (int r = 0; r < 1500; ++r) {
        if (r % 250 == 100) {
            // The previous switch's set has had its runs to load in; time in
            // this test is counted in runs, which take a few microseconds, so
            // the host's control thread lets the worker finish before the next
            // switch (which would otherwise make the earlier load moot).
            instance.waitForWork();
            const auto& [mode, order] = decoders[static_cast<std::size_t>(switches++) % decoders.size()];
            instance.set("decoder_mode", mode);
            instance.set("decode_order", order);
        }
        if (r % 7 == 0) {
            instance.set("yaw", 2.0f * angle(rng));
            instance.set("pitch", angle(rng));
            instance.set("rotation", r % 140 == 0 ? 0.0f : 1.0f);
            instance.set("use_rpy", r % 21 == 0 ? 1.0f : 0.0f);
            instance.set("volume", angle(rng) / 10.0f);
        }
        const uint32_t n = length(rng);
        std::vector<MidiEvent> events;
        if (r % 40 == 0) {
            events.push_back({static_cast<int64_t>(n / 2), {0x90, static_cast<uint8_t>(r % 26), 100}});
        } else if (r % 40 == 20) {
            events.push_back({0, {0x80, 0, 0}});
        }
        if (r == 700) {
            // A session reloaded between two runs: the host's control thread
            // restores a state, then the runs go on.
            LilvState* state = instance.saveState();
            instance.restoreState(state);
            lilv_state_free(state);
        }
        instance.prepareRun(input, pos, n, events);
        {
            const AllocationCounter allocationCounter;
            const LockCounter lockCounter;
            instance.runOnly(n);
            allocations += allocationCounter.count();
            frees += allocationCounter.frees();
            locks += lockCounter.count();
        }
        ASSERT_TRUE(Finite(instance.outputBuffer(0), n) && Finite(instance.outputBuffer(1), n)) << "run " << r;
        advance(n);
    }
    instance.waitForWork();
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(frees, 0u);
    if (LockCounter::counts()) {
        EXPECT_EQ(locks, 0u);
    }

    // Every switch was loaded by the worker while the runs went on.
    int loaded = 0;
    std::string log;
    for (const std::string& line : instance.takeLog()) {
        loaded += line.find("QIRMatrixDecoder loaded") != std::string::npos ? 1 : 0;
        log += line + "\n";
    }
    EXPECT_EQ(loaded, 1 + switches) << log;
}

TEST(LV2RealTime, AnInstanceFreedWhileItsWorkRunsWaitsForTheWork)
{
    // A host that frees the instance while its worker thread is still loading
    // the largest set, brought to 96 kHz (a load of a few tenths of a second):
    // the work must not outlive what it reads.
    const LV2World world;
    LV2Instance::Setup setup;
    setup.mWorker = LV2Instance::Worker::kThread;
    setup.mSampleRate = 96000.0;
    LV2Instance instance(world, setup);
    ASSERT_TRUE(instance.valid());
    instance.set("decoder_mode", 1.0f);
    instance.set("decode_order", 6.0f);
    instance.activate();
    Field out;
    instance.run(Silence(4, 64), 0, 64, {}, out);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!instance.isWorking() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(instance.isWorking());
    // The host's flag rises just before it calls the work: give the call time
    // to begin (the load itself takes far longer).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    instance.freeInstance();
    // The work finished its load before the instance went: its line is logged.
    bool loaded = false;
    std::string log;
    for (const std::string& line : instance.takeLog()) {
        log += line + "\n";
        if (line.find("loaded") != std::string::npos && line.find("7OA-decoder-room.wav") != std::string::npos) {
            loaded = true;
        }
    }
    EXPECT_TRUE(loaded) << "freeing returns once the work has\n" << log;
}

} // namespace
} // namespace qirtest
