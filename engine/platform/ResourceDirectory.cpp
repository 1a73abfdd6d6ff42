// engine/platform: the process-wide resource folder that stands in for the
// bundle's resource path.
#include "engine/platform/ResourceDirectory.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#ifndef QIR_RESOURCE_SUBDIR
#error "QIR_RESOURCE_SUBDIR must name the sets' folder relative to an installation's root"
#endif

namespace qir::platform {

namespace {

struct Override {
    std::mutex mutex;
    std::string path;
};

Override& GetOverride()
{
    static Override instance;
    return instance;
}

std::string FindBesideExecutable()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path executable = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return QIR_RESOURCE_SUBDIR;
    }
    const fs::path folder = executable.parent_path();
    // Installed programs sit one level below the root (bin/); in a build tree,
    // the programs are one (cli/, tools/) or two (tests/engine/, bench/engine/)
    // levels down.
    const fs::path candidates[] = {
        (folder / ".." / QIR_RESOURCE_SUBDIR).lexically_normal(),
        (folder / ".." / ".." / QIR_RESOURCE_SUBDIR).lexically_normal(),
    };
    for (const fs::path& candidate : candidates) {
        if (fs::is_directory(candidate, ec)) {
            return candidate.string();
        }
    }
    return candidates[0].string();
}

} // namespace

std::string GetResourceDirectory()
{
    Override& o = GetOverride();
    {
        std::lock_guard<std::mutex> lock(o.mutex);
        if (!o.path.empty()) {
            return o.path;
        }
    }
    // getenv is read-only here; nothing in this program changes the environment
    // after start-up.
    if (const char* env = std::getenv("QIR_RESOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    return GetDefaultResourceDirectory();
}

void SetResourceDirectory(const std::string& path)
{
    Override& o = GetOverride();
    std::lock_guard<std::mutex> lock(o.mutex);
    o.path = path;
}

const char* GetDefaultResourceDirectory() noexcept
{
    // A failure to allocate the path here leaves nothing sensible to return;
    // it ends the process as any allocation failure at start-up would.
    static const std::string folder = FindBesideExecutable();
    return folder.c_str();
}

} // namespace qir::platform
