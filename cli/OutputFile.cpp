// cli: the output file, written beside OUTPUT and renamed into place.
#include "cli/OutputFile.h"

#include <sndfile.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qircli {

namespace {

// The pending temporary file, for the signal handler: a fixed buffer, because
// a handler may only use async-signal-safe calls (unlink, write, _exit).
char gPendingPath[PATH_MAX];
volatile std::sig_atomic_t gHavePending = 0;

extern "C" void RemovePendingAndExit(int signal)
{
    if (gHavePending) {
        ::unlink(gPendingPath);
    }
    static const char message[] = "\nqir-render: interrupted; no output written\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(128 + signal);
}

// Blocks the handled signals for a scope, so that the pending path and the file
// it names change together.
class SignalBlock {
public:
    SignalBlock()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        sigaddset(&set, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set, &mPrevious);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &mPrevious, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t mPrevious;
};

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

int ContainerFor(const std::string& path)
{
    static const std::map<std::string, int> containers = {
        {".wav", SF_FORMAT_WAV},   {".wave", SF_FORMAT_WAV}, {".aif", SF_FORMAT_AIFF},
        {".aiff", SF_FORMAT_AIFF}, {".aifc", SF_FORMAT_AIFF}, {".caf", SF_FORMAT_CAF},
        {".flac", SF_FORMAT_FLAC}, {".w64", SF_FORMAT_W64},  {".rf64", SF_FORMAT_RF64},
    };
    const auto it = containers.find(Lower(std::filesystem::path(path).extension().string()));
    return it == containers.end() ? 0 : it->second;
}

const char* FormatName(ESampleFormat format)
{
    switch (format) {
    case ESampleFormat::kFloat:
        return "float";
    case ESampleFormat::kPCM24:
        return "pcm24";
    case ESampleFormat::kPCM16:
        return "pcm16";
    }
    return "?";
}

mode_t DefaultFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

} // namespace

struct OutputFile::Handle {
    SNDFILE* mFile = nullptr;
    ~Handle()
    {
        if (mFile) {
            sf_close(mFile);
        }
    }
};

void OutputFile::InstallInterruptCleanup()
{
    struct sigaction action {};
    action.sa_handler = RemovePendingAndExit;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, const std::string& inputPath,
                                               int sampleRate, ESampleFormat format, std::string& error)
{
    namespace fs = std::filesystem;
    const int container = ContainerFor(path);
    if (container == 0) {
        error = "cannot write " + path + ": unknown file type; use .wav, .aiff, .caf, .flac, .w64 or .rf64";
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 2;
    info.format = container | (format == ESampleFormat::kFloat   ? SF_FORMAT_FLOAT
                               : format == ESampleFormat::kPCM24 ? SF_FORMAT_PCM_24
                                                                 : SF_FORMAT_PCM_16);
    if (!sf_format_check(&info)) {
        error = "cannot write " + path + ": that file type cannot hold " + FormatName(format) +
                " samples; choose another --format";
        return nullptr;
    }

    struct stat outStatus {};
    const bool outExists = ::stat(path.c_str(), &outStatus) == 0;
    if (outExists && S_ISDIR(outStatus.st_mode)) {
        error = "cannot write " + path + ": it is a folder";
        return nullptr;
    }
    struct stat inStatus {};
    if (outExists && !inputPath.empty() && ::stat(inputPath.c_str(), &inStatus) == 0 &&
        inStatus.st_dev == outStatus.st_dev && inStatus.st_ino == outStatus.st_ino) {
        error = "cannot write " + path + ": it is the input file";
        return nullptr;
    }
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::string name = ".";
    name += fs::path(path).filename().string();
    name += ".qir-render-XXXXXX";
    std::string templ = (folder / name).string();
    if (templ.size() >= PATH_MAX) {
        error = "cannot write " + path + ": the path is too long";
        return nullptr;
    }

    std::unique_ptr<OutputFile> file(new OutputFile());
    file->mPath = path;
    file->mHandle = std::make_unique<Handle>();
    file->mInteger = format != ESampleFormat::kFloat;
    int fd = -1;
    {
        SignalBlock block;
        fd = ::mkstemp(templ.data());
        if (fd < 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        std::memcpy(gPendingPath, templ.c_str(), templ.size() + 1);
        gHavePending = 1;
        file->mTempPath = templ;
    }
    // mkstemp makes the file private; the finished file gets the usual mode.
    (void)::fchmod(fd, DefaultFileMode());
    file->mHandle->mFile = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!file->mHandle->mFile) {
        ::close(fd);
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    if (file->mInteger) {
        // Without clipping, integer formats would wrap samples beyond full scale.
        sf_command(file->mHandle->mFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    }
    return file;
}

OutputFile::~OutputFile()
{
    mHandle.reset();
    if (!mCommitted && !mTempPath.empty()) {
        SignalBlock block;
        ::unlink(mTempPath.c_str());
        gHavePending = 0;
    }
}

bool OutputFile::Write(const float* left, const float* right, int frames)
{
    if (frames <= 0) {
        return true;
    }
    const std::size_t n = static_cast<std::size_t>(frames);
    if (mInterleaved.size() < 2 * n) {
        mInterleaved.resize(2 * n);
    }
    float* __restrict out = mInterleaved.data();
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = left[i];
        out[2 * i + 1] = right[i];
    }
    if (mInteger) {
        for (std::size_t i = 0; i < 2 * n; ++i) {
            mClipped += (out[i] > 1.0f || out[i] < -1.0f) ? 1 : 0;
        }
    }
    const sf_count_t written = sf_writef_float(mHandle->mFile, out, frames);
    if (written != frames) {
        mError = "cannot write " + mPath + ": " + sf_strerror(mHandle->mFile);
        return false;
    }
    mFramesWritten += frames;
    return true;
}

bool OutputFile::Commit()
{
    sf_write_sync(mHandle->mFile);
    const int status = sf_close(mHandle->mFile);
    mHandle->mFile = nullptr;
    if (status != 0) {
        mError = "cannot write " + mPath + ": " + sf_error_number(status);
        return false;
    }
    SignalBlock block;
    if (::rename(mTempPath.c_str(), mPath.c_str()) != 0) {
        mError = "cannot write " + mPath + ": " + std::strerror(errno);
        return false;
    }
    mCommitted = true;
    gHavePending = 0;
    return true;
}

} // namespace qircli
