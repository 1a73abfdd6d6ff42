// engine/platform: the process-wide resource folder that stands in for the
// bundle's resource path.
#include "engine/platform/ResourceDirectory.h"

#include <cstdlib>
#include <mutex>

#ifndef QIR_DEFAULT_RESOURCE_DIR
#error "QIR_DEFAULT_RESOURCE_DIR must name the folder of the generated decoder sets"
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
    return QIR_DEFAULT_RESOURCE_DIR;
}

} // namespace qir::platform
