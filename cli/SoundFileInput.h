// cli: an ambisonic input file read with libsndfile (WAV, AIFF, FLAC, CAF, ...).
#pragma once

#include "cli/FieldSource.h"

#include <memory>
#include <string>
#include <vector>

namespace qircli {

class SoundFileInput final : public FieldSource {
public:
    // Opens path; on failure the object reports it through openError() and
    // must not be read.
    explicit SoundFileInput(const std::string& path);
    ~SoundFileInput() override;
    SoundFileInput(const SoundFileInput&) = delete;
    SoundFileInput& operator=(const SoundFileInput&) = delete;

    [[nodiscard]] const std::string& openError() const noexcept { return mError; }

    [[nodiscard]] int channels() const noexcept override { return mChannels; }
    [[nodiscard]] double sampleRate() const noexcept override { return mSampleRate; }
    [[nodiscard]] int64_t frames() const noexcept override { return mFrames; }
    [[nodiscard]] std::string name() const override { return mPath; }
    [[nodiscard]] bool read(float* const* destination, int frames) override;
    [[nodiscard]] const std::string& error() const noexcept override { return mError; }

private:
    struct Handle;

    std::string mPath;
    std::unique_ptr<Handle> mHandle;
    int mChannels = 0;
    double mSampleRate = 0.0;
    int64_t mFrames = 0;
    int64_t mFramesRead = 0;
    std::vector<float> mInterleaved;
    std::string mError;
};

} // namespace qircli
