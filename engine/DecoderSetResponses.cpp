// engine: decoder-set responses read and brought to the running rate.
#include "engine/DecoderSetResponses.h"

#include "audiofile/AudioFileReader.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <system_error>

namespace qir {

namespace {

// Samples, at the lower of the two rates, that a response is resampled beyond
// its last non-zero sample: comfortably more than the half-length of the sinc
// converter's filter (about 140 samples at the lower rate), so that every
// output sample that the response's non-zero samples reach is computed, and
// only the exact zeros beyond are left out.
constexpr int kFilterMargin = 1024;

// One past the last sample that is not exactly zero (0 when there is none).
int TrueLength(const float* response, int length) noexcept
{
    while (length > 0 && response[length - 1] == 0.0f) {
        --length;
    }
    return length;
}

std::string RateText(double rate)
{
    std::ostringstream text;
    text << rate << " Hz";
    return text.str();
}

struct ConverterDeleter {
    void operator()(SRC_STATE* state) const noexcept { src_delete(state); }
};

// One response from the file's rate to the running rate, into output, which
// holds outputLength samples (those the converter does not reach are zeros).
// False with the converter's message in error.
bool ResampleResponse(SRC_STATE* converter, const float* input, int inputLength, double ratio, float gain,
                      float* output, int outputLength, std::string& error)
{
    std::fill(output, output + outputLength, 0.0f);
    if (inputLength == 0) {
        return true;
    }
    src_reset(converter);
    SRC_DATA data{};
    data.data_in = input;
    data.input_frames = inputLength;
    data.data_out = output;
    data.output_frames = outputLength;
    data.src_ratio = ratio;
    data.end_of_input = 1;
    while (data.output_frames > 0) {
        const int status = src_process(converter, &data);
        if (status != 0) {
            error = std::string("resampling failed: ") + src_strerror(status);
            return false;
        }
        if (data.output_frames_gen == 0 && data.input_frames_used == 0) {
            break;
        }
        data.data_in += data.input_frames_used;
        data.input_frames -= data.input_frames_used;
        data.data_out += data.output_frames_gen;
        data.output_frames -= data.output_frames_gen;
    }
    for (int n = 0; n < outputLength; ++n) {
        output[n] *= gain;
    }
    return true;
}

} // namespace

const float* DecoderSetResponses::Response(int input, int output) const noexcept
{
    return mResponses[output].data() + static_cast<std::ptrdiff_t>(input) * mLength;
}

bool IsSupportedSampleRate(double sampleRate) noexcept
{
    return std::isfinite(sampleRate) && sampleRate >= DecoderSetResponses::kMinSampleRate &&
           sampleRate <= DecoderSetResponses::kMaxSampleRate;
}

int ResampledLength(int fileLength, double fileRate, double sampleRate) noexcept
{
    const double exact = static_cast<double>(fileLength) * sampleRate / fileRate;
    // A whole number computed with a rounding error stays that number.
    const double nearest = std::round(exact);
    return static_cast<int>(std::abs(exact - nearest) < 1e-6 ? nearest : std::ceil(exact));
}

int ResponseLengthForRate(double sampleRate) noexcept
{
    return ResampledLength(DecoderSetResponses::kFileResponseLength, DecoderSetResponses::kRegularFileSampleRate,
                           sampleRate);
}

std::string DecoderSetFileNameForRate(const std::string& fileName, double sampleRate)
{
    if (!IsSupportedSampleRate(sampleRate) || std::nearbyint(sampleRate) != sampleRate) {
        return {};
    }
    const std::filesystem::path name(fileName);
    return name.stem().string() + "-" + std::to_string(static_cast<long>(sampleRate)) + name.extension().string();
}

DecoderSetFile ChooseDecoderSetFile(const std::string& path, double sampleRate)
{
    // loading thread.
    const std::filesystem::path regular(path);
    const std::string name = DecoderSetFileNameForRate(regular.filename().string(), sampleRate);
    if (!name.empty()) {
        const std::filesystem::path madeForRate = regular.parent_path() / name;
        std::error_code error;
        if (std::filesystem::is_regular_file(madeForRate, error)) {
            return {madeForRate.string(), sampleRate, ResponseLengthForRate(sampleRate)};
        }
    }
    return {path, 0.0, DecoderSetResponses::kFileResponseLength};
}

bool ReadDecoderSetResponses(const std::string& path, double sampleRate, int maxInputs, DecoderSetResponses& set,
                             std::string& error, const std::atomic<bool>* cancel)
{
    // loading thread.
    return ReadDecoderSetResponses(ChooseDecoderSetFile(path, sampleRate), sampleRate, maxInputs, set, error, cancel);
}

bool ReadDecoderSetResponses(const DecoderSetFile& file, double sampleRate, int maxInputs, DecoderSetResponses& set,
                             std::string& error, const std::atomic<bool>* cancel)
{
    // loading thread.
    error.clear();
    const auto cancelled = [cancel] { return cancel != nullptr && cancel->load(std::memory_order_relaxed); };
    if (!IsSupportedSampleRate(sampleRate)) {
        error = "decoder sets are made for rates from 8 kHz to 384 kHz, not " + RateText(sampleRate);
        return false;
    }

    const std::string& path = file.mPath;
    const int segment = std::max(file.mResponseLength, 1);
    dspkit::AudioFileReader reader(path);
    const uint32_t fileFrames = reader.getFrames();
    const int numInputs = static_cast<int>(std::min<uint32_t>(fileFrames / static_cast<uint32_t>(segment),
                                                              static_cast<uint32_t>(std::max(maxInputs, 0))));
    if (numInputs == 0) {
        error = path + " holds no decoder set (not an audio file, unreadable, or shorter than one response of " +
                std::to_string(segment) + " frames)";
        return false;
    }
    const double fileRate = reader.getSamplingRate();
    if (!IsSupportedSampleRate(fileRate)) {
        error = path + " is made for " + RateText(fileRate) + "; decoder sets are made for 8 kHz to 384 kHz";
        return false;
    }
    if (file.mNamedRate != 0.0 && fileRate != file.mNamedRate) {
        error = path + " is named for " + RateText(file.mNamedRate) + " but made for " + RateText(fileRate);
        return false;
    }

    const std::size_t frames = static_cast<std::size_t>(numInputs) * static_cast<std::size_t>(segment);
    std::vector<float> samples[2];
    samples[0].resize(frames);
    // A one-channel file has no right-output responses: they stay silent.
    samples[1].assign(frames, 0.0f);
    reader.readChannel(samples[0].data(), static_cast<unsigned int>(frames), 0);
    if (reader.getChannels() >= 2) {
        reader.seek(0);
        reader.readChannel(samples[1].data(), static_cast<unsigned int>(frames), 1);
    }

    set.mNumInputs = numInputs;
    set.mSampleRate = sampleRate;
    set.mFileSampleRate = fileRate;
    set.mTrueLength = 0;
    if (sampleRate == fileRate) {
        set.mLength = segment;
        for (int o = 0; o < 2; ++o) {
            set.mResponses[o] = std::move(samples[o]);
            for (int i = 0; i < numInputs; ++i) {
                set.mTrueLength = std::max(set.mTrueLength, TrueLength(set.Response(i, o), segment));
            }
        }
        return true;
    }

    const double ratio = sampleRate / fileRate;
    set.mLength = ResampledLength(segment, fileRate, sampleRate);
    const int margin = static_cast<int>(std::ceil(kFilterMargin / std::min(ratio, 1.0)));
    const auto gain = static_cast<float>(fileRate / sampleRate);
    int status = 0;
    const std::unique_ptr<SRC_STATE, ConverterDeleter> converter(src_new(SRC_SINC_BEST_QUALITY, 1, &status));
    if (!converter) {
        error = std::string("resampling failed: ") + src_strerror(status);
        return false;
    }
    for (int o = 0; o < 2; ++o) {
        set.mResponses[o].assign(static_cast<std::size_t>(numInputs) * static_cast<std::size_t>(set.mLength), 0.0f);
        for (int i = 0; i < numInputs; ++i) {
            if (cancelled()) {
                return false;
            }
            // Only the part up to the last non-zero sample (and the margin the
            // filter reaches beyond it) is resampled: the rest is exact zeros,
            // which stay zeros.
            const float* input = samples[o].data() + static_cast<std::ptrdiff_t>(i) * segment;
            const int trueLength = TrueLength(input, segment);
            const int used = trueLength > 0 ? std::min(segment, trueLength + margin) : 0;
            float* output = set.mResponses[o].data() + static_cast<std::ptrdiff_t>(i) * set.mLength;
            if (!ResampleResponse(converter.get(), input, used, ratio, gain, output, set.mLength, error)) {
                return false;
            }
            set.mTrueLength = std::max(set.mTrueLength, TrueLength(output, set.mLength));
        }
    }
    return true;
}

} // namespace qir
