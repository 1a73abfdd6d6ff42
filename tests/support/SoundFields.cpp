// tests/support: sound fields.
#include "tests/support/SoundFields.h"

#include <sndfile.h>

#include <cmath>
#include <random>
#include <stdexcept>
#include <string>

namespace qirtest {

namespace fs = std::filesystem;

void WriteSoundFile(const fs::path& file, const Field& field, double rate)
{
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(field.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sf = sf_open(file.string().c_str(), SFM_WRITE, &info);
    if (sf == nullptr) {
        throw std::runtime_error("cannot write " + file.string() + ": " + sf_strerror(nullptr));
    }
    const std::size_t frames = field.empty() ? 0 : field[0].size();
    std::vector<float> interleaved(frames * field.size());
    for (std::size_t t = 0; t < frames; ++t) {
        for (std::size_t c = 0; c < field.size(); ++c) {
            interleaved[t * field.size() + c] = field[c][t];
        }
    }
    sf_writef_float(sf, interleaved.data(), static_cast<sf_count_t>(frames));
    sf_close(sf);
}

Field ReadSoundFile(const fs::path& file)
{
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.string().c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        return {};
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    sf_readf_float(sf, interleaved.data(), info.frames);
    sf_close(sf);
    Field field(static_cast<std::size_t>(info.channels), std::vector<float>(static_cast<std::size_t>(info.frames)));
    for (std::size_t t = 0; t < static_cast<std::size_t>(info.frames); ++t) {
        for (std::size_t c = 0; c < field.size(); ++c) {
            field[c][t] = interleaved[t * field.size() + c];
        }
    }
    return field;
}

Field Noise(int channels, std::size_t frames, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-0.25f, 0.25f);
    Field field(static_cast<std::size_t>(channels), std::vector<float>(frames));
    for (auto& channel : field) {
        for (float& v : channel) {
            v = dist(rng);
        }
    }
    return field;
}

Field Silence(int channels, std::size_t frames)
{
    return Field(static_cast<std::size_t>(channels), std::vector<float>(frames, 0.0f));
}

double Peak(const Field& field)
{
    double peak = 0.0;
    for (const auto& channel : field) {
        for (const float v : channel) {
            const double a = std::fabs(static_cast<double>(v));
            if (!(a <= peak)) {
                peak = a; // a NaN sticks
            }
        }
    }
    return peak;
}

} // namespace qirtest
