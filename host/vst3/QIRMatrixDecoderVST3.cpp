// host/vst3: the decoder's VST3 description.
#include "host/vst3/QIRMatrixDecoderVST3.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef QIR_RESOURCE_SUBDIR
#error "QIR_RESOURCE_SUBDIR must name the sets' folder relative to an installation's root"
#endif

namespace qir::vst3 {

std::string VersionText(int vendorVersion)
{
    return std::to_string((vendorVersion >> 16) & 0xFFFF) + "." + std::to_string((vendorVersion >> 8) & 0xFF) + "." +
           std::to_string(vendorVersion & 0xFF);
}

std::string BundleOfModule(const std::string& modulePath)
{
    namespace fs = std::filesystem;
    const fs::path module = fs::path(modulePath).lexically_normal();
    const fs::path architecture = module.parent_path();
    const fs::path contents = architecture.parent_path();
    if (contents.filename() != "Contents") {
        return {};
    }
    return contents.parent_path().string();
}

std::string DecoderSetFolder(const std::string& bundlePath)
{
    namespace fs = std::filesystem;
    // getenv is only read; the plug-in never changes the environment.
    if (const char* env = std::getenv("QIR_RESOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    const fs::path bundle = fs::path(bundlePath);
    const fs::path inBundle = (bundle / "Contents" / "Resources" / kDecoderSetFolderName).lexically_normal();
    std::error_code error;
    if (fs::is_directory(inBundle, error)) {
        return inBundle.string();
    }
    // <root>/lib/vst3/<bundle>/ lies three levels below <root>.
    const fs::path inTree = (bundle / ".." / ".." / ".." / QIR_RESOURCE_SUBDIR).lexically_normal();
    if (fs::is_directory(inTree, error)) {
        return inTree.string();
    }
    return inBundle.string();
}

} // namespace qir::vst3
