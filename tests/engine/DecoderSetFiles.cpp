// tests/engine: decoder-set files for the engine tests.
#include "tests/engine/DecoderSetFiles.h"

#include <sndfile.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace qirtest {

namespace {
constexpr int kLength = 16384;
}

DecoderSetIRs makeSparseSet(int numInputs, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> tap(1, kLength - 2);
    std::uniform_real_distribution<float> gain(-0.8f, 0.8f);
    DecoderSetIRs set;
    for (auto& out : set.ir) {
        out.assign(static_cast<std::size_t>(numInputs), std::vector<float>(kLength, 0.0f));
        for (auto& h : out) {
            h[0] = gain(rng);
            h[static_cast<std::size_t>(tap(rng))] += gain(rng);
            h[static_cast<std::size_t>(tap(rng) % 600)] += gain(rng);
            h[kLength - 1] = gain(rng);
        }
    }
    return set;
}

void writeDecoderSet(const std::string& path, const DecoderSetIRs& set, int numChannels, int extraFrames,
                     int sampleRate)
{
    const int n = set.numInputs();
    const std::size_t length = n > 0 ? set.ir[0][0].size() : static_cast<std::size_t>(kLength);
    const std::size_t frames = static_cast<std::size_t>(n) * length + static_cast<std::size_t>(extraFrames);
    std::vector<float> interleaved(frames * static_cast<std::size_t>(numChannels), 0.0f);
    for (int i = 0; i < n; ++i) {
        for (std::size_t t = 0; t < length; ++t) {
            const std::size_t frame = static_cast<std::size_t>(i) * length + t;
            for (int ch = 0; ch < numChannels; ++ch) {
                interleaved[frame * static_cast<std::size_t>(numChannels) + static_cast<std::size_t>(ch)] =
                    set.ir[ch][static_cast<std::size_t>(i)][t];
            }
        }
    }
    for (std::size_t f = static_cast<std::size_t>(n) * length; f < frames; ++f) {
        for (int ch = 0; ch < numChannels; ++ch) {
            interleaved[f * static_cast<std::size_t>(numChannels) + static_cast<std::size_t>(ch)] =
                static_cast<float>((f * 7 + static_cast<std::size_t>(ch)) % 13) / 13.0f - 0.5f;
        }
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = numChannels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    const sf_count_t written = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
    if (written != static_cast<sf_count_t>(frames)) {
        throw std::runtime_error("short write to " + path);
    }
}

DecoderSetIRs readDecoderSet(const std::string& path)
{
    DecoderSetIRs set;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return set;
    }
    const std::size_t channels = static_cast<std::size_t>(info.channels);
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * channels);
    const sf_count_t read = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    const std::size_t n = static_cast<std::size_t>(read) / kLength;
    for (std::size_t o = 0; o < 2; ++o) {
        set.ir[o].assign(n, std::vector<float>(kLength, 0.0f));
        for (std::size_t i = 0; i < n && o < channels; ++i) {
            for (std::size_t t = 0; t < kLength; ++t) {
                set.ir[o][i][t] = interleaved[(i * kLength + t) * channels + o];
            }
        }
    }
    return set;
}

void writeGarbage(const std::string& path, std::size_t bytes)
{
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < bytes; ++i) {
        out.put(static_cast<char>((i * 31 + 7) & 0xFF));
    }
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "qir-engine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    mPath = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(mPath, ignored);
}

} // namespace qirtest
