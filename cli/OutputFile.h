// cli: the 2-channel output. Samples for a named OUTPUT go to a temporary file
// in its folder, which is renamed to OUTPUT only when the render is complete,
// so a failed or interrupted render never leaves a truncated file under the
// requested name. SIGINT, SIGTERM and SIGHUP remove the temporary file before
// the process ends. OUTPUT "-" is standard output: a WAV file, with the sizes
// in its header filled in when standard output is a file, and the placeholder
// sizes of a stream (as sox writes them) when it is a pipe.
//
// The container follows OUTPUT's extension and the sample format defaults to
// what the container holds best: 32-bit float, 24-bit PCM for FLAC, the codec
// itself for Ogg Vorbis and Opus.
#pragma once

#include "cli/RenderOptions.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qircli {

class OutputFile {
public:
    // Installs the signal handlers that remove a pending temporary file. Call
    // once, early in main.
    static void InstallInterruptCleanup();

    // Opens path for 2 channels at sampleRate: a temporary file beside it, or
    // standard output for "-". format: the sample format asked for, or the
    // container's own. Returns null with error set when OUTPUT cannot be
    // written. inputPath, when not empty, must not name the same file.
    [[nodiscard]] static std::unique_ptr<OutputFile> Create(const std::string& path, const std::string& inputPath,
                                                            int sampleRate, std::optional<ESampleFormat> format,
                                                            std::string& error);

    // Removes the temporary file unless Commit succeeded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Appends frames of both channels; false with error() set on a write error.
    [[nodiscard]] bool Write(const float* left, const float* right, int frames);
    // Finishes the file and renames it to the requested path.
    [[nodiscard]] bool Commit();

    [[nodiscard]] const std::string& error() const noexcept { return mError; }
    [[nodiscard]] const std::string& temporaryPath() const noexcept { return mTempPath; }
    [[nodiscard]] int64_t framesWritten() const noexcept { return mFramesWritten; }

    // Levels of the samples handed to Write, before any conversion: the
    // largest magnitude of a channel (0 left, 1 right), and the samples beyond
    // full scale (|x| > 1) in both.
    [[nodiscard]] float peak(int channel) const noexcept { return mPeak[channel == 0 ? 0 : 1]; }
    [[nodiscard]] int64_t overs() const noexcept { return mOvers; }
    // What the file does with samples beyond full scale, as a phrase: integer
    // samples clip them, float samples keep them, Vorbis and Opus encode them.
    [[nodiscard]] const char* oversFate() const noexcept { return mOversFate; }
    // "float", "pcm24", "pcm16", "Vorbis" or "Opus".
    [[nodiscard]] const char* sampleFormatName() const noexcept { return mSampleFormatName; }

private:
    struct Handle;
    OutputFile() = default;
    [[nodiscard]] static std::unique_ptr<OutputFile> OpenStandardOutput(int sampleRate, int subtype, std::string& error);

    std::string mPath;
    std::string mTempPath;
    std::unique_ptr<Handle> mHandle;
    bool mStandardOutput = false;
    bool mCommitted = false;
    int64_t mFramesWritten = 0;
    float mPeak[2] = {0.0f, 0.0f};
    int64_t mOvers = 0;
    const char* mOversFate = "";
    const char* mSampleFormatName = "float";
    std::vector<float> mInterleaved;
    std::string mError;
};

// How messages name an output path: "standard output" for "-".
[[nodiscard]] std::string OutputName(const std::string& path);

} // namespace qircli
