// engine/platform: stands in for the bundle's resource path (the folder that
// holds the decoder sets), which a desktop build has no bundle to ask for.
#pragma once

#include <string>

namespace qir::platform {

// The folder the decoder sets are read from. In order of precedence: the folder
// last given to SetResourceDirectory (the host's choice, e.g. a command-line
// option), the environment variable QIR_RESOURCE_DIR when set and not empty,
// and the folder into which the build generates its decoder sets.
// Any thread except the audio thread; takes a lock.
[[nodiscard]] std::string GetResourceDirectory();

// Overrides the folder for the whole process. An empty path removes the
// override, so the environment variable and the build default apply again.
// Any thread except the audio thread; takes a lock.
void SetResourceDirectory(const std::string& path);

// The folder the build generates its decoder sets into (fixed at compile time).
[[nodiscard]] const char* GetDefaultResourceDirectory() noexcept;

} // namespace qir::platform
