// cli: the 2-channel output file. Samples go to a temporary file in OUTPUT's
// folder, which is renamed to OUTPUT only when the render is complete, so a
// failed or interrupted render never leaves a truncated file under the
// requested name. SIGINT, SIGTERM and SIGHUP remove the temporary file before
// the process ends.
#pragma once

#include "cli/RenderOptions.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qircli {

class OutputFile {
public:
    // Installs the signal handlers that remove a pending temporary file. Call
    // once, early in main.
    static void InstallInterruptCleanup();

    // Creates the temporary file for path (container from its extension, the
    // given sample format, 2 channels). Returns null with error set when OUTPUT
    // cannot be written. inputPath, when not empty, must not name the same file.
    [[nodiscard]] static std::unique_ptr<OutputFile> Create(const std::string& path, const std::string& inputPath,
                                                            int sampleRate, ESampleFormat format, std::string& error);

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
    // Samples beyond full scale that an integer format had to clip.
    [[nodiscard]] int64_t clippedSamples() const noexcept { return mClipped; }

private:
    struct Handle;
    OutputFile() = default;

    std::string mPath;
    std::string mTempPath;
    std::unique_ptr<Handle> mHandle;
    bool mInteger = false;
    bool mCommitted = false;
    int64_t mFramesWritten = 0;
    int64_t mClipped = 0;
    std::vector<float> mInterleaved;
    std::string mError;
};

} // namespace qircli
