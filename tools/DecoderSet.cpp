// tools: decoder-set container and WAV writer.
#include "tools/DecoderSet.h"

#include "engine/DecoderSetResponses.h"

#include <sndfile.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qirtools {

namespace {
constexpr const char* kSoftwareTag = "qir-make-decoder-sets ";
}

DecoderSet::DecoderSet(int inputs, int responseLength, double rate)
    : numInputs(inputs)
    , length(responseLength)
    , sampleRate(rate)
    , left(static_cast<size_t>(inputs) * static_cast<size_t>(responseLength), 0.0f)
    , right(static_cast<size_t>(inputs) * static_cast<size_t>(responseLength), 0.0f)
{
}

float* DecoderSet::response(int input, int ear)
{
    return (ear == 0 ? left : right).data() + static_cast<size_t>(input) * static_cast<size_t>(length);
}

const float* DecoderSet::response(int input, int ear) const
{
    return (ear == 0 ? left : right).data() + static_cast<size_t>(input) * static_cast<size_t>(length);
}

int decoderSetResponseLength(double sampleRate)
{
    return qir::ResponseLengthForRate(sampleRate);
}

std::string decoderSetFileName(DecoderKind kind, int order, int sampleRate)
{
    std::string name = "AMBIX_2_UHJ.wav";
    switch (kind) {
    case DecoderKind::Anechoic:
        name = std::to_string(order) + "OA-decoder-anechoic.wav";
        break;
    case DecoderKind::Room:
        name = std::to_string(order) + "OA-decoder-room.wav";
        break;
    case DecoderKind::Uhj:
        break;
    }
    return sampleRate == static_cast<int>(kDecoderSetSampleRate) ? name : qir::DecoderSetFileNameForRate(name, sampleRate);
}

void writeDecoderSet(const DecoderSet& set, const std::string& path)
{
    namespace fs = std::filesystem;
    if (!qir::IsSupportedSampleRate(set.sampleRate) || std::nearbyint(set.sampleRate) != set.sampleRate ||
        set.length != decoderSetResponseLength(set.sampleRate))
        throw std::runtime_error("a decoder set is written with 16384 samples per response at 48 kHz, or as many as "
                                 "last as long at another rate in whole hertz, not " +
                                 std::to_string(set.length) + " samples at " + std::to_string(set.sampleRate) + " Hz");
    const fs::path finalPath(path);
    // Unique per process, so that two generators filling the same folder do not collide.
    std::string tempName(".");
    tempName.append(finalPath.filename().string());
    tempName.append(".partial-");
    tempName.append(std::to_string(::getpid()));
    const fs::path tempPath = finalPath.parent_path() / tempName;

    SF_INFO info {};
    info.samplerate = static_cast<int>(set.sampleRate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(tempPath.c_str(), SFM_WRITE, &info);
    if (file == nullptr)
        throw std::runtime_error("cannot create " + tempPath.string() + ": " + sf_strerror(nullptr));
    // The peak chunk carries a time stamp, which would make two runs differ in their bytes.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    const std::string software = kSoftwareTag + std::to_string(kDecoderSetGeneratorVersion);
    sf_set_string(file, SF_STR_SOFTWARE, software.c_str());

    const sf_count_t frames = static_cast<sf_count_t>(set.numInputs) * set.length;
    constexpr sf_count_t kChunk = 8192;
    std::vector<float> interleaved(static_cast<size_t>(2 * kChunk));
    bool ok = true;
    for (sf_count_t start = 0; start < frames && ok; start += kChunk) {
        const sf_count_t count = std::min(kChunk, frames - start);
        for (sf_count_t n = 0; n < count; ++n) {
            interleaved[static_cast<size_t>(2 * n)] = set.left[static_cast<size_t>(start + n)];
            interleaved[static_cast<size_t>(2 * n + 1)] = set.right[static_cast<size_t>(start + n)];
        }
        ok = sf_writef_float(file, interleaved.data(), count) == count;
    }
    const int closeStatus = sf_close(file);
    std::error_code ignored;
    if (!ok || closeStatus != 0) {
        fs::remove(tempPath, ignored);
        throw std::runtime_error("writing " + tempPath.string() + " failed");
    }
    std::error_code renameError;
    fs::rename(tempPath, finalPath, renameError);
    if (renameError) {
        fs::remove(tempPath, ignored);
        throw std::runtime_error("cannot rename " + tempPath.string() + " to " + finalPath.string() + ": " + renameError.message());
    }
}

int decoderSetGeneratorVersion(const std::string& path)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr)
        return 0;
    const char* software = sf_get_string(file, SF_STR_SOFTWARE);
    const std::string tag = software != nullptr ? software : "";
    sf_close(file);
    const std::string prefix = kSoftwareTag;
    if (tag.compare(0, prefix.size(), prefix) != 0)
        return 0;
    return std::atoi(tag.c_str() + prefix.size());
}

} // namespace qirtools
