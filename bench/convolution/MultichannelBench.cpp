// bench/convolution: what a user of the decoder pays for convolution.
//
// For 4, 16, 36 and 64 inputs (ambisonic orders 1, 3, 5, 7) into 2 outputs, with
// 16384-sample impulse responses, white-noise input at 48 kHz and host blocks of
// 64, 128 and 512 frames, prints the CPU seconds spent per second of audio
// (user + system time of the whole process, so that worker threads count) and
// the longest single block (wall time of one process call) for the Convolver on
// its shared-spectrum engine and on its per-pair engine, in the chosen latency
// mode, and, in the same run, for zita-convolver loaded with the same
// impulse-response matrix (quantum and minimum partition equal to the host
// block, so that each block's output comes back in the same call; vector mode
// and FFTW_MEASURE on), and the ratios to the peer. The engines run in turn,
// --repeat rounds of one run each (the order reversed every other round); each
// figure is the median over the rounds, each ratio the median of the rounds'
// ratios. First the time and memory to build and load a 64x2 convolver on
// either engine. Our convolver is told the host block (its segments follow it).
//
// With --sets DIR it runs instead on the decoder sets in DIR (as
// scripts/generate-decoder-sets.sh writes them to build/decoder-sets), read
// by the decoder's own loader at 48 kHz (16384 frames per input, left and
// right output): for the Anechoic and Room
// sets of the chosen orders and the UHJ set, the shared-spectrum engine
// against zita-convolver given each response cut to its true length (up to its
// last non-zero sample), plus the time and heap memory to build and load our
// convolver from the samples read.
//
//   multichannel_bench [--seconds S] [--orders 1,3,5,7] [--blocks 64,128,512]
//                      [--engines shared,perpair,zita] [--latency zero|short|medium]
//                      [--repeat R] [--planning measure|estimate]
//                      [--sets DIR [--kinds anechoic,room,uhj]]
#include "convolution/Convolver.h"
#include "convolution/FFT.h"
#include "engine/DecoderSetResponses.h"

#include <zita-convolver.h>

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned kOutputs = 2;
constexpr std::size_t kTaps = 16384;
constexpr double kSampleRate = 48000.0;
constexpr std::size_t kNoiseLength = 48000;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::size_t heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::vector<float> noise(std::size_t n, std::uint32_t seed, float decay)
{
    std::vector<float> out(n);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        const float v = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
        out[i] = decay > 0.0f ? v * std::exp(-static_cast<float>(i) / decay) : v;
    }
    return out;
}

struct Material {
    std::vector<std::vector<float>> inputs;                 // [input][kNoiseLength]
    std::vector<std::vector<std::vector<float>>> responses; // [output][input][kTaps]
    // zita-convolver takes each response up to its last non-zero sample.
    bool trimForPeer = false;
};

std::size_t trueLength(const std::vector<float>& response)
{
    std::size_t length = response.size();
    while (length > 0 && response[length - 1] == 0.0f) {
        --length;
    }
    return length;
}

// A decoder set as the decoder's loader reads it at 48 kHz, the rate the
// generated sets are made for (kTaps frames per input). Empty, with the
// loader's sentence in error, when it cannot be read.
Material readDecoderSet(const std::string& path, std::string& error)
{
    Material m;
    qir::DecoderSetResponses set;
    if (!qir::ReadDecoderSetResponses(path, kSampleRate, 64, set, error)) {
        return m;
    }
    if (set.mLength != static_cast<int>(kTaps)) {
        error = "responses of " + std::to_string(set.mLength) + " samples, not " + std::to_string(kTaps);
        return m;
    }
    m.responses.resize(kOutputs);
    for (int i = 0; i < set.mNumInputs; ++i) {
        for (unsigned o = 0; o < kOutputs; ++o) {
            const float* response = set.Response(i, static_cast<int>(o));
            m.responses[o].emplace_back(response, response + kTaps);
        }
        m.inputs.push_back(noise(kNoiseLength, 100 + static_cast<std::uint32_t>(i), 0.0f));
    }
    m.trimForPeer = true;
    return m;
}

Material makeMaterial(unsigned maxInputs)
{
    Material m;
    for (unsigned i = 0; i < maxInputs; ++i) {
        m.inputs.push_back(noise(kNoiseLength, 100 + i, 0.0f));
    }
    m.responses.resize(kOutputs);
    for (unsigned o = 0; o < kOutputs; ++o) {
        for (unsigned i = 0; i < maxInputs; ++i) {
            m.responses[o].push_back(noise(kTaps, 1000 + 64 * o + i, 4000.0f));
        }
    }
    return m;
}

struct Figure {
    double cpu = 0.0;     // CPU seconds per second of audio
    double worstMs = 0.0; // longest process call, milliseconds
    double p999Ms = 0.0;  // 99.9th percentile of the process calls, milliseconds
};

// Wall times of single process calls; the longest can be a preemption by
// another process on a shared machine, the 99.9th percentile rarely is.
struct BlockTimes {
    std::vector<double> seconds;
    void clear(std::size_t expected)
    {
        seconds.clear();
        seconds.reserve(expected);
    }
    [[nodiscard]] double worstMs() const
    {
        return seconds.empty() ? 0.0 : 1e3 * *std::max_element(seconds.begin(), seconds.end());
    }
    [[nodiscard]] double percentileMs(double fraction) const
    {
        if (seconds.empty()) {
            return 0.0;
        }
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return 1e3 * sorted[static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1))];
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

Figure medianOf(const std::vector<Figure>& figures)
{
    std::vector<double> cpu;
    std::vector<double> worst;
    std::vector<double> p999;
    for (const Figure& f : figures) {
        if (f.cpu < 0.0) {
            return f;
        }
        cpu.push_back(f.cpu);
        worst.push_back(f.worstMs);
        p999.push_back(f.p999Ms);
    }
    return {median(cpu), median(worst), median(p999)};
}

// Median over the rounds of ours/peer, each round's runs taken close together
// in time: steadier than the ratio of the medians when the machine's speed
// drifts.
double medianRatio(const std::vector<Figure>& ours, const std::vector<Figure>& peer)
{
    std::vector<double> ratios;
    for (std::size_t r = 0; r < ours.size() && r < peer.size(); ++r) {
        if (ours[r].cpu < 0.0 || peer[r].cpu <= 0.0) {
            return 0.0;
        }
        ratios.push_back(ours[r].cpu / peer[r].cpu);
    }
    return median(ratios);
}

std::unique_ptr<dspkit::Convolver> buildOurs(const Material& m, unsigned inputs, dspkit::LatencyMode mode,
                                             dspkit::EConvolverEngine engine, unsigned block)
{
    auto convolver = std::make_unique<dspkit::Convolver>(inputs, kOutputs, mode, engine, block);
    for (unsigned o = 0; o < kOutputs; ++o) {
        for (unsigned i = 0; i < inputs; ++i) {
            if (convolver->set(i, o, m.responses[o][i].data(), kTaps, false) != dspkit::kConvolveOk) {
                std::fprintf(stderr, "set failed\n");
                std::exit(1);
            }
        }
    }
    convolver->reset();
    return convolver;
}

// CPU seconds per second of audio and the longest block for our convolver.
Figure runOurs(const Material& m, unsigned inputs, unsigned block, dspkit::LatencyMode mode,
               dspkit::EConvolverEngine engine, double seconds)
{
    auto convolver = buildOurs(m, inputs, mode, engine, block);
    std::vector<std::vector<float>> outputs(kOutputs, std::vector<float>(block));
    std::vector<const float*> ins(inputs);
    std::vector<float*> outs(kOutputs);
    for (unsigned o = 0; o < kOutputs; ++o) {
        outs[o] = outputs[o].data();
    }
    std::size_t position = 0;
    BlockTimes times;
    const auto run = [&](std::size_t blocks) {
        for (std::size_t b = 0; b < blocks; ++b) {
            if (position + block > kNoiseLength) {
                position = 0;
            }
            for (unsigned i = 0; i < inputs; ++i) {
                ins[i] = m.inputs[i].data() + position;
            }
            const double before = wallSeconds();
            convolver->process(ins.data(), outs.data(), inputs, kOutputs, block);
            times.seconds.push_back(wallSeconds() - before);
            position += block;
        }
    };
    run(static_cast<std::size_t>(0.25 * kSampleRate / block)); // settle caches and phases
    const std::size_t blocks = static_cast<std::size_t>(seconds * kSampleRate / block);
    times.clear(blocks);
    const double start = cpuSeconds();
    run(blocks);
    const double used = cpuSeconds() - start;
    return {used / (static_cast<double>(blocks * block) / kSampleRate), times.worstMs(), times.percentileMs(0.999)};
}

// CPU seconds per second of audio and the longest block for zita-convolver, -1
// when it refuses the configuration.
Figure runZita(const Material& m, unsigned inputs, unsigned block, double seconds)
{
    Convproc convproc;
    convproc.set_options(Convproc::OPT_VECTOR_MODE | Convproc::OPT_FFTW_MEASURE);
    std::size_t longest = 0;
    for (unsigned o = 0; o < kOutputs; ++o) {
        for (unsigned i = 0; i < inputs; ++i) {
            longest = std::max(longest, m.trimForPeer ? trueLength(m.responses[o][i]) : kTaps);
        }
    }
    if (convproc.configure(inputs, kOutputs, static_cast<uint32_t>(std::max<std::size_t>(longest, 1)), block, block,
                           Convproc::MAXPART, 1.0f) != 0) {
        return {-1.0, 0.0};
    }
    for (unsigned o = 0; o < kOutputs; ++o) {
        for (unsigned i = 0; i < inputs; ++i) {
            std::vector<float> copy = m.responses[o][i];
            const std::size_t length = m.trimForPeer ? trueLength(copy) : kTaps;
            if (length > 0 &&
                convproc.impdata_create(i, o, 1, copy.data(), 0, static_cast<int32_t>(length)) != 0) {
                return {-1.0, 0.0};
            }
        }
    }
    if (convproc.start_process(0, SCHED_OTHER) != 0) {
        return {-1.0, 0.0};
    }
    std::size_t position = 0;
    std::vector<float> sink(kOutputs);
    int lateFlags = 0;
    BlockTimes times;
    const auto run = [&](std::size_t blocks) {
        for (std::size_t b = 0; b < blocks; ++b) {
            if (position + block > kNoiseLength) {
                position = 0;
            }
            for (unsigned i = 0; i < inputs; ++i) {
                std::memcpy(convproc.inpdata(i), m.inputs[i].data() + position, block * sizeof(float));
            }
            // Synchronous: waits for its worker threads, so the work of every
            // block is done (and counted) however fast the loop runs.
            const double before = wallSeconds();
            lateFlags |= convproc.process(true);
            times.seconds.push_back(wallSeconds() - before);
            for (unsigned o = 0; o < kOutputs; ++o) {
                sink[o] += convproc.outdata(o)[block - 1];
            }
            position += block;
        }
    };
    run(static_cast<std::size_t>(0.25 * kSampleRate / block));
    const std::size_t blocks = static_cast<std::size_t>(seconds * kSampleRate / block);
    times.clear(blocks);
    const double start = cpuSeconds();
    run(blocks);
    const double used = cpuSeconds() - start;
    convproc.stop_process();
    while (!convproc.check_stop()) {
        sched_yield();
    }
    convproc.cleanup();
    if (lateFlags & Convproc::FL_LATE) {
        std::fprintf(stderr, "zita reported late blocks\n");
    }
    return {used / (static_cast<double>(blocks * block) / kSampleRate), times.worstMs(), times.percentileMs(0.999)};
}

std::vector<unsigned> parseList(const char* text)
{
    std::vector<unsigned> values;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        values.push_back(static_cast<unsigned>(std::stoul(item)));
    }
    return values;
}

void reportLoad(const Material& m, dspkit::EConvolverEngine engine, const char* label)
{
    const std::size_t heapBefore = heapBytes();
    const double wallStart = wallSeconds();
    const double cpuStart = cpuSeconds();
    auto convolver = buildOurs(m, 64, dspkit::ZeroLatency, engine, 128);
    const double wall = wallSeconds() - wallStart;
    const double cpu = cpuSeconds() - cpuStart;
    const std::size_t heapAfter = heapBytes();
    std::printf("build+load 64x2, 16384 taps, ZeroLatency, %s engine (%s): %.1f ms wall, %.1f ms CPU, "
                "%.1f MB heap (%.0f kB per pair)\n",
                engine == dspkit::kSharedSpectrumEngine ? "shared" : "per-pair", label, 1e3 * wall, 1e3 * cpu, static_cast<double>(heapAfter - heapBefore) / 1048576.0,
                static_cast<double>(heapAfter - heapBefore) / 1024.0 / 128.0);
}

void reportZitaLoad(const Material& m)
{
    const std::size_t heapBefore = heapBytes();
    const double wallStart = wallSeconds();
    const double cpuStart = cpuSeconds();
    auto convproc = std::make_unique<Convproc>();
    convproc->set_options(Convproc::OPT_VECTOR_MODE | Convproc::OPT_FFTW_MEASURE);
    if (convproc->configure(64, kOutputs, kTaps, 128, 128, Convproc::MAXPART, 1.0f) != 0) {
        return;
    }
    for (unsigned o = 0; o < kOutputs; ++o) {
        for (unsigned i = 0; i < 64; ++i) {
            std::vector<float> copy = m.responses[o][i];
            (void)convproc->impdata_create(i, o, 1, copy.data(), 0, static_cast<int32_t>(kTaps));
        }
    }
    const double wall = wallSeconds() - wallStart;
    const double cpu = cpuSeconds() - cpuStart;
    const std::size_t heapAfter = heapBytes();
    std::printf("zita-convolver configure+load 64x2, block 128: %.1f ms wall, %.1f ms CPU, %.1f MB heap\n",
                1e3 * wall, 1e3 * cpu, static_cast<double>(heapAfter - heapBefore) / 1048576.0);
    convproc->cleanup();
}

// Build and load of our convolver from a set's samples in memory: wall time
// and heap growth (what the convolver holds), and whether every pair loaded.
void reportSetLoad(const Material& m, const char* name)
{
    const unsigned inputs = static_cast<unsigned>(m.inputs.size());
    const std::size_t heapBefore = heapBytes();
    const double wallStart = wallSeconds();
    auto convolver = buildOurs(m, inputs, dspkit::ZeroLatency, dspkit::kSharedSpectrumEngine, 128);
    const double wall = wallSeconds() - wallStart;
    const std::size_t heapAfter = heapBytes();
    std::size_t longest = 0;
    for (const auto& output : m.responses) {
        for (const auto& response : output) {
            longest = std::max(longest, trueLength(response));
        }
    }
    std::printf("%-26s %2u inputs, true length %5zu: build+load %.1f ms, %.1f MB heap\n", name, inputs, longest,
                1e3 * wall, static_cast<double>(heapAfter - heapBefore) / 1048576.0);
}

int runDecoderSets(const std::string& folder, const std::string& kinds, const std::vector<unsigned>& orders,
                   const std::vector<unsigned>& blocks, dspkit::LatencyMode mode, double seconds, int repeats,
                   bool withPeer)
{
    std::vector<std::pair<std::string, std::string>> sets;
    for (const unsigned order : orders) {
        if (kinds.find("anechoic") != std::string::npos) {
            sets.emplace_back(std::to_string(order) + "OA Anechoic", std::to_string(order) + "OA-decoder-anechoic.wav");
        }
        if (kinds.find("room") != std::string::npos) {
            sets.emplace_back(std::to_string(order) + "OA Room", std::to_string(order) + "OA-decoder-room.wav");
        }
    }
    if (kinds.find("uhj") != std::string::npos) {
        sets.emplace_back("UHJ", "AMBIX_2_UHJ.wav");
    }
    std::vector<std::pair<std::string, Material>> loaded;
    for (const auto& [label, file] : sets) {
        std::string error;
        Material m = readDecoderSet(folder + "/" + file, error);
        if (m.inputs.empty()) {
            std::fprintf(stderr, "cannot read %s/%s: %s (run scripts/generate-decoder-sets.sh)\n", folder.c_str(),
                         file.c_str(), error.c_str());
            return 1;
        }
        // Twice: the first builds the FFT plans of the process.
        reportSetLoad(m, (label + " (first)").c_str());
        reportSetLoad(m, label.c_str());
        loaded.emplace_back(label, std::move(m));
    }
    double load[3] = {};
    if (getloadavg(load, 3) < 0) {
        load[0] = load[1] = load[2] = -1.0;
    }
    std::printf("\nDecoder sets; load average before the runs %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::printf("CPU seconds per second of audio (user+sys, whole process); median of %d rounds, the engines in turn, "
                "of %.1f s of audio each; ratio: median of the rounds' ratios (min-max of the rounds' ratios)\n",
                repeats, seconds);
    std::printf("%-14s %5s | %8s %8s | %7s %13s | %8s %8s\n", "set", "block", "shared", "zita", "sh/zita",
                "spread", "worst-sh", "worst-z");
    for (const auto& [label, m] : loaded) {
        const unsigned inputs = static_cast<unsigned>(m.inputs.size());
        for (const unsigned block : blocks) {
            std::vector<Figure> ours;
            std::vector<Figure> peer;
            for (int r = 0; r < repeats; ++r) {
                const auto runPeer = [&] {
                    peer.push_back(withPeer ? runZita(m, inputs, block, seconds) : Figure{});
                };
                if (r % 2 == 0) {
                    ours.push_back(runOurs(m, inputs, block, mode, dspkit::kSharedSpectrumEngine, seconds));
                    runPeer();
                } else {
                    runPeer();
                    ours.push_back(runOurs(m, inputs, block, mode, dspkit::kSharedSpectrumEngine, seconds));
                }
            }
            double low = 1e9;
            double high = 0.0;
            for (std::size_t r = 0; r < ours.size(); ++r) {
                const double ratio = peer[r].cpu > 0.0 ? ours[r].cpu / peer[r].cpu : 0.0;
                low = std::min(low, ratio);
                high = std::max(high, ratio);
            }
            const Figure a = medianOf(ours);
            const Figure b = medianOf(peer);
            std::printf("%-14s %5u | %8.4f %8.4f | %7.2f   %5.2f-%5.2f | %8.3f %8.3f\n", label.c_str(), block, a.cpu,
                        b.cpu, medianRatio(ours, peer), low, high, a.worstMs, b.worstMs);
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 4.0;
    int repeats = 3;
    std::vector<unsigned> orders = {1, 3, 5, 7};
    std::vector<unsigned> blocks = {64, 128, 512};
    std::string engines = "shared,perpair,zita";
    std::string latency = "zero";
    std::string planning = "measure";
    std::string setsFolder;
    std::string kinds = "anechoic,room,uhj";
    for (int a = 1; a + 1 < argc; a += 2) {
        const std::string key = argv[a];
        if (key == "--seconds") {
            seconds = std::atof(argv[a + 1]);
        } else if (key == "--repeat") {
            repeats = std::max(1, std::atoi(argv[a + 1]));
        } else if (key == "--orders") {
            orders = parseList(argv[a + 1]);
        } else if (key == "--blocks") {
            blocks = parseList(argv[a + 1]);
        } else if (key == "--engines") {
            engines = argv[a + 1];
        } else if (key == "--latency") {
            latency = argv[a + 1];
        } else if (key == "--planning") {
            planning = argv[a + 1];
        } else if (key == "--sets") {
            setsFolder = argv[a + 1];
        } else if (key == "--kinds") {
            kinds = argv[a + 1];
        } else {
            std::fprintf(stderr, "unknown option %s\n", key.c_str());
            return 2;
        }
    }
    const bool wantShared = engines.find("shared") != std::string::npos;
    const bool wantPerPair = engines.find("perpair") != std::string::npos;
    const bool wantZita = engines.find("zita") != std::string::npos;
    const dspkit::LatencyMode mode = latency == "short"    ? dspkit::ShortLatency
                                     : latency == "medium" ? dspkit::MediumLatency
                                                           : dspkit::ZeroLatency;

    dspkit::dspkit_set_fft_planning(planning == "estimate" ? dspkit::FFTPlanning::Estimate
                                                           : dspkit::FFTPlanning::Measure);
    if (!setsFolder.empty()) {
        return runDecoderSets(setsFolder, kinds, orders, blocks, mode, seconds, repeats,
                              engines.find("zita") != std::string::npos);
    }
    const Material material = makeMaterial(64);

    reportLoad(material, dspkit::kPerPairEngine,
               planning == "estimate" ? "first, FFT plans estimated" : "first, FFT plans measured");
    reportLoad(material, dspkit::kPerPairEngine, "again, plans cached");
    reportLoad(material, dspkit::kSharedSpectrumEngine, "first, its own sizes planned");
    reportLoad(material, dspkit::kSharedSpectrumEngine, "plans cached");
    if (wantZita) {
        reportZitaLoad(material);
    }

    double load[3] = {};
    if (getloadavg(load, 3) < 0) {
        load[0] = load[1] = load[2] = -1.0;
    }
    std::printf("\nLatency mode %s; load average before the runs %.2f %.2f %.2f\n", latency.c_str(), load[0],
                load[1], load[2]);
    std::printf("CPU seconds per second of audio (user+sys, whole process) and the longest block in ms; median of "
                "%d rounds, the engines in turn, of %.1f s of audio each; ratios: median of the rounds' ratios\n",
                repeats, seconds);
    std::printf("%5s %6s %5s | %8s %8s %8s | %7s %7s | %8s %8s %8s | %8s %8s %8s\n", "order", "inputs", "block",
                "shared", "perpair", "zita", "sh/zita", "pp/zita", "worst-sh", "worst-pp", "worst-z", "p999-sh",
                "p999-pp", "p999-z");
    for (const unsigned order : orders) {
        const unsigned inputs = (order + 1) * (order + 1);
        for (const unsigned block : blocks) {
            std::vector<Figure> sharedRuns;
            std::vector<Figure> perPairRuns;
            std::vector<Figure> zitaRuns;
            for (int r = 0; r < repeats; ++r) {
                const auto runShared = [&] {
                    if (wantShared) {
                        sharedRuns.push_back(
                            runOurs(material, inputs, block, mode, dspkit::kSharedSpectrumEngine, seconds));
                    }
                };
                const auto runPerPair = [&] {
                    if (wantPerPair) {
                        perPairRuns.push_back(runOurs(material, inputs, block, mode, dspkit::kPerPairEngine, seconds));
                    }
                };
                const auto runPeer = [&] {
                    if (wantZita) {
                        zitaRuns.push_back(runZita(material, inputs, block, seconds));
                    }
                };
                if (r % 2 == 0) {
                    runShared();
                    runPerPair();
                    runPeer();
                } else {
                    runPeer();
                    runPerPair();
                    runShared();
                }
            }
            const Figure shared = medianOf(sharedRuns);
            const Figure perPair = medianOf(perPairRuns);
            const Figure zita = medianOf(zitaRuns);
            std::printf("%5u %6u %5u | %8.4f %8.4f %8.4f | %7.2f %7.2f | %8.3f %8.3f %8.3f | %8.3f %8.3f %8.3f\n",
                        order, inputs, block, shared.cpu, perPair.cpu, zita.cpu,
                        medianRatio(sharedRuns, zitaRuns), medianRatio(perPairRuns, zitaRuns),
                        shared.worstMs, perPair.worstMs, zita.worstMs, shared.p999Ms, perPair.p999Ms, zita.p999Ms);
            std::fflush(stdout);
        }
    }
    return 0;
}
