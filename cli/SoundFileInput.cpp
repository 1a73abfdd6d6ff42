// cli: reading the input file.
#include "cli/SoundFileInput.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace qircli {

bool IsSupportedChannelCount(int channels) noexcept { return OrderForChannelCount(channels) > 0; }

int OrderForChannelCount(int channels) noexcept
{
    for (int order = 1; order <= 7; ++order) {
        if ((order + 1) * (order + 1) == channels) {
            return order;
        }
    }
    return 0;
}

const char* SupportedChannelCountsText() noexcept { return "4, 9, 16, 25, 36, 49 or 64"; }

struct SoundFileInput::Handle {
    SNDFILE* mFile = nullptr;
    ~Handle()
    {
        if (mFile) {
            sf_close(mFile);
        }
    }
};

SoundFileInput::SoundFileInput(const std::string& path) : mPath(path), mHandle(std::make_unique<Handle>())
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        mError = "cannot read " + path + ": " + std::strerror(errno);
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        mError = "cannot read " + path + ": it is a folder";
        return;
    }
    // A pipe or device would block or have no length; the render needs a file.
    if (!S_ISREG(status.st_mode)) {
        mError = "cannot read " + path + ": not a regular file";
        return;
    }
    SF_INFO info{};
    mHandle->mFile = sf_open(path.c_str(), SFM_READ, &info);
    if (!mHandle->mFile) {
        mError = "cannot read " + path + ": " + sf_strerror(nullptr);
        return;
    }
    mChannels = info.channels;
    mSampleRate = static_cast<double>(info.samplerate);
    mFrames = info.frames;
    if (mFrames < 0 || info.seekable == 0) {
        mError = "cannot read " + path + ": its length is unknown (a stream, not a file)";
    }
}

SoundFileInput::~SoundFileInput() = default;

bool SoundFileInput::read(float* const* destination, int frames)
{
    if (!mError.empty()) {
        return false;
    }
    const std::size_t samples = static_cast<std::size_t>(frames) * static_cast<std::size_t>(mChannels);
    if (mInterleaved.size() < samples) {
        mInterleaved.resize(samples);
    }
    const sf_count_t got = sf_readf_float(mHandle->mFile, mInterleaved.data(), frames);
    if (got != frames) {
        const char* reason = sf_error(mHandle->mFile) != SF_ERR_NO_ERROR ? sf_strerror(mHandle->mFile)
                                                                       : "the file ends early";
        mError = "read error in " + mPath + " after " + std::to_string(mFramesRead + std::max<sf_count_t>(got, 0)) +
                 " of " + std::to_string(mFrames) + " frames: " + reason;
        return false;
    }
    const float* __restrict in = mInterleaved.data();
    for (int c = 0; c < mChannels; ++c) {
        float* __restrict out = destination[c];
        for (int i = 0; i < frames; ++i) {
            out[i] = in[static_cast<std::size_t>(i) * static_cast<std::size_t>(mChannels) + static_cast<std::size_t>(c)];
        }
    }
    mFramesRead += frames;
    return true;
}

} // namespace qircli
