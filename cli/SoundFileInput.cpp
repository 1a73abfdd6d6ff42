// cli: reading the input file.
#include "cli/SoundFileInput.h"

#include "audiofile/DeclaredLength.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

std::string TemporaryFolder()
{
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

// Copies standard input to an unnamed temporary file and returns it, at its
// start, or -1 with error set. The file has no name from the start, so nothing
// is left behind whatever ends the process.
int SpoolStandardInput(std::string& error)
{
    std::string path = TemporaryFolder() + "/qir-render-input-XXXXXX";
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read standard input: no temporary file in " + TemporaryFolder() + ": " + std::strerror(errno);
        return -1;
    }
    ::unlink(path.c_str());
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(fd, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put <= 0) {
                error = "cannot read standard input: writing its copy in " + TemporaryFolder() + " failed: " +
                        std::strerror(errno);
                ::close(fd);
                return -1;
            }
            done += put;
        }
    }
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

// Frames of channels interleaved samples into one buffer per channel, in
// tiles of 8 frames by 8 channels: each tile's reads and writes stay within a
// few cache lines, where a pass per channel would stride through every frame
// once per channel (a quarter of a 64-channel render's reading time).
void Deinterleave(const float* __restrict in, int channels, float* const* destination, int frames) noexcept
{
    constexpr int kTile = 8;
    const auto stride = static_cast<std::size_t>(channels);
    int i = 0;
    for (; i + kTile <= frames; i += kTile) {
        const float* rows = in + static_cast<std::size_t>(i) * stride;
        int c = 0;
        for (; c + kTile <= channels; c += kTile) {
            float tile[kTile][kTile];
            for (int f = 0; f < kTile; ++f) {
                for (int k = 0; k < kTile; ++k) {
                    tile[k][f] = rows[static_cast<std::size_t>(f) * stride + static_cast<std::size_t>(c + k)];
                }
            }
            for (int k = 0; k < kTile; ++k) {
                float* __restrict out = destination[c + k] + i;
                for (int f = 0; f < kTile; ++f) {
                    out[f] = tile[k][f];
                }
            }
        }
        for (; c < channels; ++c) {
            for (int f = 0; f < kTile; ++f) {
                destination[c][i + f] = rows[static_cast<std::size_t>(f) * stride + static_cast<std::size_t>(c)];
            }
        }
    }
    for (; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            destination[c][i] = in[static_cast<std::size_t>(i) * stride + static_cast<std::size_t>(c)];
        }
    }
}

} // namespace

SoundFileInput::SoundFileInput(const std::string& path) : mPath(path), mHandle(std::make_unique<Handle>())
{
    if (path == "-") {
        struct stat status {};
        if (::fstat(STDIN_FILENO, &status) != 0) {
            mError = "cannot read standard input: it is closed";
            return;
        }
        if (::isatty(STDIN_FILENO) == 1) {
            mError = "cannot read standard input: it is a terminal; pipe a sound file into qir-render";
            return;
        }
        if (S_ISREG(status.st_mode)) {
            const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) {
                mError = std::string("cannot read standard input: ") + std::strerror(errno);
                return;
            }
            OpenDescriptor(fd);
            return;
        }
        const int fd = SpoolStandardInput(mError);
        if (fd >= 0) {
            OpenDescriptor(fd);
        }
        return;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        mError = "cannot read " + path + ": " + std::strerror(errno);
        return;
    }
    if (S_ISDIR(status.st_mode)) {
        mError = "cannot read " + path + ": it is a folder";
        return;
    }
    // A named pipe or device would block or have no length; "-" is the way to
    // read a stream.
    if (!S_ISREG(status.st_mode)) {
        mError = "cannot read " + path + ": not a regular file";
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        mError = "cannot read " + path + ": " + std::strerror(errno);
        return;
    }
    OpenDescriptor(fd);
}

void SoundFileInput::OpenDescriptor(int fd)
{
    // Read with pread, so the descriptor's position stays where libsndfile
    // expects it.
    mDeclaredFrames = dspkit::declaredFrames([fd](uint64_t offset, char* data, std::size_t size) {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    });
    SF_INFO info{};
    mHandle->mFile = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!mHandle->mFile) {
        ::close(fd);
        mError = "cannot read " + name() + ": " + sf_strerror(nullptr);
        return;
    }
    mChannels = info.channels;
    mSampleRate = static_cast<double>(info.samplerate);
    mFrames = info.frames;
    mBFormatTag = sf_command(mHandle->mFile, SFC_WAVEX_GET_AMBISONIC, nullptr, 0) == SF_AMBISONIC_B_FORMAT;
    if (mFrames < 0 || info.seekable == 0) {
        mError = "cannot read " + name() + ": its length is unknown (a stream, not a file)";
    }
}

std::string SoundFileInput::name() const { return mPath == "-" ? "standard input" : mPath; }

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
        mError = "read error in " + name() + " after " + std::to_string(mFramesRead + std::max<sf_count_t>(got, 0)) +
                 " of " + std::to_string(mFrames) + " frames: " + reason;
        return false;
    }
    Deinterleave(mInterleaved.data(), mChannels, destination, frames);
    mFramesRead += frames;
    return true;
}

} // namespace qircli
