// cli: an ambisonic input file read with libsndfile (WAV, AIFF, FLAC, CAF, ...),
// or standard input for "-". A pipe on standard input is first copied to an
// anonymous temporary file: the render needs the input's length before it
// starts, which a stream's header may not tell.
#pragma once

#include "cli/FieldSource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qircli {

class SoundFileInput final : public FieldSource {
public:
    // Opens path ("-": standard input); on failure the object reports it
    // through openError() and must not be read.
    explicit SoundFileInput(const std::string& path);
    ~SoundFileInput() override;
    SoundFileInput(const SoundFileInput&) = delete;
    SoundFileInput& operator=(const SoundFileInput&) = delete;

    [[nodiscard]] const std::string& openError() const noexcept { return mError; }

    [[nodiscard]] int channels() const noexcept override { return mChannels; }
    [[nodiscard]] double sampleRate() const noexcept override { return mSampleRate; }
    [[nodiscard]] int64_t frames() const noexcept override { return mFrames; }
    [[nodiscard]] std::string name() const override;
    [[nodiscard]] bool read(float* const* destination, int frames) override;
    [[nodiscard]] const std::string& error() const noexcept override { return mError; }

    // The frames the header declares, when it says (see dspkit::declaredFrames): more
    // than frames() when the file was cut short.
    [[nodiscard]] std::optional<int64_t> declaredFrames() const noexcept { return mDeclaredFrames; }
    // True when the file carries the WAVE-EX ambisonic tag for B-format, which
    // means FuMa channel order and normalisation.
    [[nodiscard]] bool hasBFormatTag() const noexcept { return mBFormatTag; }

private:
    struct Handle;
    // Opens fd (owned from here on) with libsndfile and reads its description.
    void OpenDescriptor(int fd);

    std::string mPath;
    std::unique_ptr<Handle> mHandle;
    int mChannels = 0;
    double mSampleRate = 0.0;
    int64_t mFrames = 0;
    int64_t mFramesRead = 0;
    std::optional<int64_t> mDeclaredFrames;
    bool mBFormatTag = false;
    std::vector<float> mInterleaved;
    std::string mError;
};

} // namespace qircli
