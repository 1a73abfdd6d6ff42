// engine/platform: stands in for the bundle's resource path (the folder that
// holds the decoder sets), which a desktop build has no bundle to ask for. An
// installation keeps its programs in <prefix>/bin and the sets in
// <prefix>/share/qir-matrix-decoder/decoder-sets; a build tree mirrors that
// layout, with its programs one or two folders below its root (cli/,
// tools/, tests/engine/, ...) and the sets generated into
// <build>/share/qir-matrix-decoder/decoder-sets. So a program finds the sets
// from where its own executable is, built or installed.
#pragma once

#include <string>

namespace qir::platform {

// The folder the decoder sets are read from. In order of precedence: the folder
// last given to SetResourceDirectory (the host's choice, e.g. a command-line
// option), the environment variable QIR_RESOURCE_DIR when set and not empty,
// and the folder beside the running executable (GetDefaultResourceDirectory).
// Any thread except the audio thread; takes a lock.
[[nodiscard]] std::string GetResourceDirectory();

// Overrides the folder for the whole process. An empty path removes the
// override, so the environment variable and the default apply again.
// Any thread except the audio thread; takes a lock.
void SetResourceDirectory(const std::string& path);

// The sets' folder found from the executable's own folder E: the first of
// E/../<sets> and E/../../<sets> that exists, where <sets> is
// share/qir-matrix-decoder/decoder-sets; when neither exists, the first (so
// messages name where an installation keeps them). Worked out once per
// process. Any thread except the audio thread.
[[nodiscard]] const char* GetDefaultResourceDirectory() noexcept;

} // namespace qir::platform
