// bench/lv2: the LV2 plug-in as hosts run it. Instances are loaded through lilv from the bundle
// the build installs for its tests, one per decoder mode (Anechoic, Room) and host block (64 to
// 2048 frames), each told its block as the nominal and maximum block length, at 48 kHz, order 7,
// with 64 channels of noise. The plug-in's run is all that is timed (the binding, the plug-in
// class with its output volume, the engine), in CPU seconds per second of audio.
//
// Every instance runs three times per round: rotation on and moving (a new yaw at every block, as
// a host automating it sends), rotation on at yaw = pitch = roll = 0, and rotation off. The runs
// alternate, their order reversed every other round, and each figure is the median over the
// rounds. The stage's share is the median of the rounds' differences between a rotating run and
// the run with rotation off of the same instance (what turning the field costs on top of the
// rest); the rest, rotation off, is the engine with the binding around it.
//
// Usage: lv2_bench [--quick] [--rounds N] [--seconds S] [--lv2-path DIR]
//   --quick    blocks 128 and 512, 3 rounds of 1 s of audio per run
//   --rounds   rounds (default 5); --seconds: seconds of audio per run (default 2)
//   --lv2-path the LV2 folder to load the plug-in from (default: this build's test install), to
//              compare with another build of it
#include "tests/lv2/LV2TestHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using qirtest::LV2Instance;
using qirtest::LV2World;

constexpr double kSampleRate = 48000.0;
constexpr int kOrder = 7;

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

struct Options {
    std::vector<uint32_t> blocks = {64, 128, 256, 512, 1024, 2048};
    int rounds = 5;
    double seconds = 2.0;
    std::string lv2Path = qirtest::InstalledLV2Path().string();
};

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--quick") == 0) {
            options.blocks = {128, 512};
            options.rounds = 3;
            options.seconds = 1.0;
        } else if (std::strcmp(argv[i], "--rounds") == 0 && hasValue) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
            options.seconds = std::max(0.05, std::atof(argv[++i]));
        } else if (std::strcmp(argv[i], "--lv2-path") == 0 && hasValue) {
            options.lv2Path = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--rounds N] [--seconds S] [--lv2-path DIR]\n", argv[0]);
            return false;
        }
    }
    return true;
}

// One instance of the plug-in with its input, ready to run blocks of its size.
enum ERun { kMoving = 0, kZero = 1, kOff = 2, kNumRuns = 3 };

// One instance of the plug-in with its input, ready to run blocks of its size.
struct Bench {
    const char* mode = "";
    uint32_t block = 0;
    std::unique_ptr<LV2Instance> instance;
    qirtest::Field input;
    float yaw = 0.0f;
    std::vector<double> cost[kNumRuns]; // CPU s/s per round
    std::vector<double> stage[2];       // kMoving and kZero less kOff, per round

    void runUntimed(uint32_t frames)
    {
        for (uint32_t done = 0; done < frames; done += block)
            instance->runOnly(block);
    }

    // CPU seconds per second of audio for `seconds` of audio of one kind of run.
    double measure(ERun run, double seconds)
    {
        instance->set("rotation", run == kOff ? 0.0f : 1.0f);
        if (run == kZero)
            instance->set("yaw", 0.0f);
        runUntimed(4096); // past the crossfade a change starts
        const auto runs = static_cast<long>(seconds * kSampleRate / block) + 1;
        const double start = processCpuSeconds();
        for (long r = 0; r < runs; ++r) {
            if (run == kMoving) {
                yaw = yaw >= 179.0f ? -179.0f : yaw + 1.0f;
                instance->set("yaw", yaw);
            }
            instance->runOnly(block);
        }
        const double cpu = processCpuSeconds() - start;
        return cpu / (static_cast<double>(runs) * block / kSampleRate);
    }
};

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    const LV2World world(options.lv2Path);
    if (world.decoder() == nullptr) {
        std::fprintf(stderr, "lv2_bench: the plug-in is not installed in %s\n", options.lv2Path.c_str());
        return 1;
    }

    std::vector<Bench> benches;
    for (const char* mode : {"Anechoic", "Room"}) {
        for (const uint32_t block : options.blocks) {
            Bench b;
            b.mode = mode;
            b.block = block;
            LV2Instance::Setup setup;
            setup.mMaxBlock = static_cast<int>(block);
            // The host runs the worker inside schedule_work: the set loads in the first run.
            setup.mWorker = LV2Instance::Worker::kSynchronous;
            b.instance = std::make_unique<LV2Instance>(world, setup);
            b.instance->set("decoder_mode", std::strcmp(mode, "Room") == 0 ? 1.0f : 0.0f);
            b.instance->set("decode_order", static_cast<float>(kOrder - 1));
            b.instance->activate();
            b.input = qirtest::Noise((kOrder + 1) * (kOrder + 1), block, 1);
            qirtest::Field out;
            // Adopt the set and let it fade in.
            for (uint32_t frames = 0; frames < 8192; frames += block)
                b.instance->run(b.input, 0, block, {}, out);
            for (const std::string& line : b.instance->takeLog()) {
                if (line.find("couldn't load") != std::string::npos) {
                    std::fprintf(stderr, "lv2_bench: %s\n", line.c_str());
                    return 1;
                }
            }
            b.instance->prepareRun(b.input, 0, block, {});
            benches.push_back(std::move(b));
        }
    }

    for (int round = 0; round < options.rounds; ++round) {
        const bool reverse = round % 2 == 1;
        for (std::size_t k = 0; k < benches.size(); ++k) {
            Bench& b = benches[reverse ? benches.size() - 1 - k : k];
            double costs[kNumRuns];
            for (int i = 0; i < kNumRuns; ++i) {
                const auto run = static_cast<ERun>(reverse ? kNumRuns - 1 - i : i);
                costs[run] = b.measure(run, options.seconds);
            }
            for (int run = 0; run < kNumRuns; ++run)
                b.cost[run].push_back(costs[run]);
            b.stage[kMoving].push_back(costs[kMoving] - costs[kOff]);
            b.stage[kZero].push_back(costs[kZero] - costs[kOff]);
        }
    }

    std::printf("lv2_bench: %s\norder %d, 64 channels of noise, 48 kHz; CPU s per s of audio, median of %d "
                "alternating rounds of %.2f s\n",
                options.lv2Path.c_str(), kOrder, options.rounds, options.seconds);
    std::printf("%-9s %6s %10s %10s %10s %12s %8s %12s\n", "mode", "block", "moving", "at zero", "off",
                "stage moving", "share", "stage zero");
    for (const Bench& b : benches) {
        const double moving = median(b.cost[kMoving]);
        const double stage = median(b.stage[kMoving]);
        std::printf("%-9s %6u %10.5f %10.5f %10.5f %12.5f %7.1f%% %12.5f\n", b.mode, b.block, moving,
                    median(b.cost[kZero]), median(b.cost[kOff]), stage, moving > 0.0 ? 100.0 * stage / moving : 0.0,
                    median(b.stage[kZero]));
    }
    return 0;
}
