// cli: keeps standard output for audio. The plug-in prints its banner and the
// decoder-set loader's lines to standard output (puts, printf), while
// qir-render's standard output carries audio only, when OUTPUT is "-". So at
// start-up the process's standard output is pointed at standard error (or
// discarded with --quiet) and a private descriptor keeps the original one for
// the audio.
#pragma once

#include <string>

namespace qircli {

// Call once, before anything is printed to standard output. False with error
// set when the descriptors cannot be rearranged.
[[nodiscard]] bool SeparateAudioFromMessages(bool discardConsoleLines, std::string& error);

// The original standard output, or -1 (not separated yet, or it was closed).
[[nodiscard]] int AudioOutputDescriptor() noexcept;

} // namespace qircli
