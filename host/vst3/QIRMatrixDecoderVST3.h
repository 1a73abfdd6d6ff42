// host/vst3: the decoder as a VST3 plug-in: its class ID (kept for good: hosts
// and sessions know the plug-in by it), bundle, category, the sample rates it
// serves and the folder an instance reads its decoder sets from.
#pragma once

#include <vst3_c_api.h>

#include <string>

namespace qir::vst3 {

inline constexpr Steinberg_TUID kClassID = SMTG_INLINE_UID(0x5149524D, 0x61747269, 0x78446563, 0x6F646572);
inline constexpr const char* kBundleName = "qir-matrix-decoder.vst3";
inline constexpr const char* kBinaryName = "qir-matrix-decoder.so";
inline constexpr const char* kSubCategories = "Fx|Spatial";
// The folder inside the bundle's Contents/Resources that holds the decoder sets.
inline constexpr const char* kDecoderSetFolderName = "decoder-sets";

inline constexpr double kMinSampleRate = 8000.0;
inline constexpr double kMaxSampleRate = 384000.0;

// "major.minor.revision" of a configuration's vendor version
// (major << 16 | minor << 8 | revision).
[[nodiscard]] std::string VersionText(int vendorVersion);

// The bundle that holds the module at modulePath
// (<bundle>/Contents/x86_64-linux/<module>), or "" when it is not in one.
[[nodiscard]] std::string BundleOfModule(const std::string& modulePath);

// The folder an instance in bundlePath reads its decoder sets from: the one
// named by QIR_RESOURCE_DIR when that is set; else the bundle's own
// Contents/Resources/decoder-sets; else, when the bundle has none, the sets
// folder of the tree the bundle sits in (<root>/lib/vst3/<bundle> beside
// <root>/share/qir-matrix-decoder/decoder-sets) when that exists; else the
// bundle's (which then names the missing folder).
[[nodiscard]] std::string DecoderSetFolder(const std::string& bundlePath);

} // namespace qir::vst3
