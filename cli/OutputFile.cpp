// cli: the output file, written beside OUTPUT and renamed into place.
#include "cli/OutputFile.h"

#include "cli/AsciiCase.h"
#include "cli/StandardStreams.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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

struct Container {
    int mMajor;
    int mDefaultSubtype;
    // Ogg Vorbis and Opus encode the samples themselves; --format has no say.
    bool mCompressed;
    const char* mName;
};

const Container* ContainerFor(const std::string& path)
{
    static const std::map<std::string, Container> containers = {
        {".wav", {SF_FORMAT_WAV, SF_FORMAT_FLOAT, false, "WAV"}},
        {".wave", {SF_FORMAT_WAV, SF_FORMAT_FLOAT, false, "WAV"}},
        {".aif", {SF_FORMAT_AIFF, SF_FORMAT_FLOAT, false, "AIFF"}},
        {".aiff", {SF_FORMAT_AIFF, SF_FORMAT_FLOAT, false, "AIFF"}},
        {".aifc", {SF_FORMAT_AIFF, SF_FORMAT_FLOAT, false, "AIFF"}},
        {".caf", {SF_FORMAT_CAF, SF_FORMAT_FLOAT, false, "CAF"}},
        {".flac", {SF_FORMAT_FLAC, SF_FORMAT_PCM_24, false, "FLAC"}},
        {".w64", {SF_FORMAT_W64, SF_FORMAT_FLOAT, false, "W64"}},
        {".rf64", {SF_FORMAT_RF64, SF_FORMAT_FLOAT, false, "RF64"}},
        {".ogg", {SF_FORMAT_OGG, SF_FORMAT_VORBIS, true, "Ogg Vorbis"}},
        {".oga", {SF_FORMAT_OGG, SF_FORMAT_VORBIS, true, "Ogg Vorbis"}},
        {".opus", {SF_FORMAT_OGG, SF_FORMAT_OPUS, true, "Opus"}},
    };
    if (path == "-") {
        return &containers.at(".wav");
    }
    const auto it = containers.find(Lower(std::filesystem::path(path).extension().string()));
    return it == containers.end() ? nullptr : &it->second;
}

int SubtypeFor(ESampleFormat format)
{
    switch (format) {
    case ESampleFormat::kFloat:
        return SF_FORMAT_FLOAT;
    case ESampleFormat::kPCM24:
        return SF_FORMAT_PCM_24;
    case ESampleFormat::kPCM16:
        return SF_FORMAT_PCM_16;
    }
    return SF_FORMAT_FLOAT;
}

const char* SubtypeName(int subtype)
{
    switch (subtype) {
    case SF_FORMAT_FLOAT:
        return "float";
    case SF_FORMAT_PCM_24:
        return "pcm24";
    case SF_FORMAT_PCM_16:
        return "pcm16";
    case SF_FORMAT_VORBIS:
        return "Vorbis";
    case SF_FORMAT_OPUS:
        return "Opus";
    }
    return "?";
}

bool IsIntegerSubtype(int subtype) { return subtype == SF_FORMAT_PCM_24 || subtype == SF_FORMAT_PCM_16; }

const char* OversFate(int subtype)
{
    if (IsIntegerSubtype(subtype)) {
        return "clips them";
    }
    if (subtype == SF_FORMAT_FLOAT) {
        return "keeps them, but players and conversions to fixed point will clip them";
    }
    return "encodes them as they are, and decoders will clip them";
}

bool WriteAll(int fd, const unsigned char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The header of a WAV stream whose length is not known when it starts: the
// RIFF and data sizes hold the placeholder sox writes to a pipe (2^31 - 4096
// bytes of data, rounded down to whole frames), which sox, libsndfile and
// ffmpeg read up to the end of the stream without complaint.
std::vector<unsigned char> StreamingWaveHeader(int sampleRate, int subtype)
{
    const bool isFloat = subtype == SF_FORMAT_FLOAT;
    const uint16_t bits = subtype == SF_FORMAT_PCM_16 ? 16 : subtype == SF_FORMAT_PCM_24 ? 24 : 32;
    const uint16_t channels = 2;
    const uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
    // Non-PCM formats carry the extension size (0) in their format chunk.
    const uint32_t formatSize = isFloat ? 18 : 16;
    const uint32_t dataSize = 0x7FFFF000u / blockAlign * blockAlign;
    std::vector<unsigned char> header;
    const auto u16 = [&](uint16_t v) {
        header.push_back(static_cast<unsigned char>(v & 0xFF));
        header.push_back(static_cast<unsigned char>(v >> 8));
    };
    const auto u32 = [&](uint32_t v) {
        u16(static_cast<uint16_t>(v & 0xFFFF));
        u16(static_cast<uint16_t>(v >> 16));
    };
    const auto tag = [&](const char* t) { header.insert(header.end(), t, t + 4); };
    tag("RIFF");
    u32(4 + 8 + formatSize + 8 + dataSize);
    tag("WAVE");
    tag("fmt ");
    u32(formatSize);
    u16(isFloat ? 3 : 1);
    u16(channels);
    u32(static_cast<uint32_t>(sampleRate));
    u32(static_cast<uint32_t>(sampleRate) * blockAlign);
    u16(blockAlign);
    u16(bits);
    if (isFloat) {
        u16(0);
    }
    tag("data");
    u32(dataSize);
    return header;
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

std::string OutputName(const std::string& path) { return path == "-" ? "standard output" : path; }

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, const std::string& inputPath,
                                               int sampleRate, std::optional<ESampleFormat> format,
                                               std::string& error)
{
    namespace fs = std::filesystem;
    const Container* container = ContainerFor(path);
    if (!container) {
        error = "cannot write " + path +
                ": unknown file type; use .wav, .aiff, .caf, .flac, .w64, .rf64, .ogg (Vorbis) or .opus";
        return nullptr;
    }
    if (container->mCompressed && format) {
        error = "cannot write " + path + ": " + container->mName + " is compressed and has no sample format to choose; " +
                "drop --format " + SubtypeName(SubtypeFor(*format));
        return nullptr;
    }
    const int subtype = format ? SubtypeFor(*format) : container->mDefaultSubtype;
    if (subtype == SF_FORMAT_OPUS && sampleRate != 48000 && sampleRate != 24000 && sampleRate != 16000 &&
        sampleRate != 12000 && sampleRate != 8000) {
        error = "cannot write " + path + ": Opus holds 8, 12, 16, 24 or 48 kHz, and this render is at " +
                std::to_string(sampleRate) + " Hz; choose another file type";
        return nullptr;
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 2;
    info.format = container->mMajor | subtype;
    if (!sf_format_check(&info)) {
        error = "cannot write " + OutputName(path) + ": " +
                (format ? std::string("that file type cannot hold ") + SubtypeName(SubtypeFor(*format)) +
                              " samples; choose another --format"
                        : std::string("this libsndfile cannot write ") + container->mName + " files");
        return nullptr;
    }
    if (path == "-") {
        return OpenStandardOutput(sampleRate, subtype, error);
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
    file->mSampleFormatName = SubtypeName(subtype);
    file->mOversFate = OversFate(subtype);
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
    // Without clipping, integer formats would wrap samples beyond full scale.
    sf_command(file->mHandle->mFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    return file;
}

std::unique_ptr<OutputFile> OutputFile::OpenStandardOutput(int sampleRate, int subtype, std::string& error)
{
    const int fd = AudioOutputDescriptor();
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        error = "cannot write standard output: it is closed";
        return nullptr;
    }
    if (::isatty(fd) == 1) {
        error = "will not write audio to a terminal; redirect standard output, or name an OUTPUT file";
        return nullptr;
    }
    std::unique_ptr<OutputFile> file(new OutputFile());
    file->mPath = "-";
    file->mStandardOutput = true;
    file->mHandle = std::make_unique<Handle>();
    file->mSampleFormatName = SubtypeName(subtype);
    file->mOversFate = OversFate(subtype);
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 2;
    if (S_ISREG(status.st_mode)) {
        // A file can be sought in, so libsndfile writes the true sizes at the end.
        info.format = SF_FORMAT_WAV | subtype;
        file->mHandle->mFile = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    } else {
        // libsndfile writes no WAV header to a pipe: the stream's header is
        // written here and libsndfile converts the samples that follow it.
        const std::vector<unsigned char> header = StreamingWaveHeader(sampleRate, subtype);
        if (!WriteAll(fd, header.data(), header.size())) {
            error = std::string("cannot write standard output: ") + std::strerror(errno);
            return nullptr;
        }
        info.format = SF_FORMAT_RAW | subtype | SF_ENDIAN_LITTLE;
        file->mHandle->mFile = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
    }
    if (!file->mHandle->mFile) {
        error = std::string("cannot write standard output: ") + sf_strerror(nullptr);
        return nullptr;
    }
    sf_command(file->mHandle->mFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
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
    float peakLeft = mPeak[0];
    float peakRight = mPeak[1];
    int64_t overs = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const float l = std::fabs(left[i]);
        const float r = std::fabs(right[i]);
        peakLeft = std::max(peakLeft, l);
        peakRight = std::max(peakRight, r);
        overs += (l > 1.0f ? 1 : 0) + (r > 1.0f ? 1 : 0);
    }
    mPeak[0] = peakLeft;
    mPeak[1] = peakRight;
    mOvers += overs;
    const sf_count_t written = sf_writef_float(mHandle->mFile, out, frames);
    if (written != frames) {
        mError = "cannot write " + OutputName(mPath) + ": " + sf_strerror(mHandle->mFile);
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
        mError = "cannot write " + OutputName(mPath) + ": " + sf_error_number(status);
        return false;
    }
    if (mStandardOutput) {
        mCommitted = true;
        return true;
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
