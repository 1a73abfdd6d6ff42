// Loading an order-7 decoder set: a 2-channel 32-bit float WAV of 64 x 16384
// frames, read the way the decoder-set loader does it (channel 0, seek to frame 0,
// channel 1), and the same file read interleaved for comparison.

#include "audiofile/AudioFileReader.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kFrames = 64 * 16384;
constexpr uint16_t kChannels = 2;

void putU16(std::ofstream& out, uint16_t v)
{
    const char b[2] = {char(v & 0xFF), char(v >> 8)};
    out.write(b, 2);
}

void putU32(std::ofstream& out, uint32_t v)
{
    const char b[4] = {char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
    out.write(b, 4);
}

// Writes the decoder-set-shaped file once per process and removes it at exit.
class DecoderSetFile
{
public:
    DecoderSetFile()
        : mPath((std::filesystem::temp_directory_path() / ("qir-audiofile-bench-" + std::to_string(::getpid()) + ".wav"))
                    .string())
    {
        const uint32_t dataBytes = kFrames * kChannels * 4;
        std::ofstream out(mPath, std::ios::binary);
        out.write("RIFF", 4);
        putU32(out, 36 + dataBytes);
        out.write("WAVEfmt ", 8);
        putU32(out, 16);
        putU16(out, 3);
        putU16(out, kChannels);
        putU32(out, 48000);
        putU32(out, 48000 * kChannels * 4);
        putU16(out, kChannels * 4);
        putU16(out, 32);
        out.write("data", 4);
        putU32(out, dataBytes);
        std::vector<float> samples(size_t(kFrames) * kChannels);
        uint32_t state = 12345;
        for (float& s : samples)
        {
            state = state * 1664525u + 1013904223u;
            s = float(int32_t(state)) * 0x1p-31f * 0.1f;
        }
        out.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
    }
    ~DecoderSetFile() { std::remove(mPath.c_str()); }

    const std::string& path() const { return mPath; }

private:
    std::string mPath;
};

const DecoderSetFile& decoderSet()
{
    static const DecoderSetFile file;
    return file;
}

// The time column is the time of one whole load; the rate is the file's sample bytes per second.
void setCounters(benchmark::State& state)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFrames) * kChannels * 4);
}

// Open, read channel 0, seek 0, read channel 1, close: the loader's sequence.
void BM_LoadDecoderSetChannelByChannel(benchmark::State& state)
{
    const std::string& path = decoderSet().path();
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    for (auto _ : state)
    {
        dspkit::AudioFileReader reader(path);
        const uint32_t frames = reader.getFrames();
        reader.readChannel(left.data(), frames, 0);
        reader.seek(0);
        reader.readChannel(right.data(), frames, 1);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
    }
    setCounters(state);
}
BENCHMARK(BM_LoadDecoderSetChannelByChannel)->Unit(benchmark::kMillisecond);

void BM_ReadDecoderSetInterleaved(benchmark::State& state)
{
    const std::string& path = decoderSet().path();
    std::vector<float> both(size_t(kFrames) * kChannels);
    for (auto _ : state)
    {
        dspkit::AudioFileReader reader(path);
        reader.readInterleaved(both.data(), reader.getFrames());
        benchmark::DoNotOptimize(both.data());
    }
    setCounters(state);
}
BENCHMARK(BM_ReadDecoderSetInterleaved)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
