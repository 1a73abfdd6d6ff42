// cli: standard output kept for audio.
#include "cli/StandardStreams.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace qircli {

namespace {

int gAudioOutput = -1;

} // namespace

bool SeparateAudioFromMessages(bool discardConsoleLines, std::string& error)
{
    std::fflush(stdout);
    // Above the standard three, and not inherited by anything the process starts.
    gAudioOutput = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int messages = STDERR_FILENO;
    if (discardConsoleLines) {
        messages = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (messages < 0) {
            error = std::string("cannot open /dev/null: ") + std::strerror(errno);
            return false;
        }
    }
    const bool moved = ::dup2(messages, STDOUT_FILENO) == STDOUT_FILENO;
    const int dupError = errno;
    if (discardConsoleLines) {
        ::close(messages);
    }
    if (!moved) {
        error = std::string("cannot redirect standard output: ") + std::strerror(dupError);
        return false;
    }
    // Line by line, so the plug-in's lines keep their place among qir-render's.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return true;
}

int AudioOutputDescriptor() noexcept { return gAudioOutput; }

} // namespace qircli
