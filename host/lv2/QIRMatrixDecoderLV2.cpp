// host/lv2: the decoder's LV2 description.
#include "host/lv2/QIRMatrixDecoderLV2.h"

#include "engine/DecoderParameters.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifndef QIR_RESOURCE_SUBDIR
#error "QIR_RESOURCE_SUBDIR must name the sets' folder relative to an installation's root"
#endif

namespace qir::lv2 {

namespace {

// Pitch and roll parameters span -180 to 180 and act as -90 to 90 degrees.
constexpr double kHalfAngleScale = 2.0;

constexpr std::array<plugfw::LV2ControlPort, kNumParams> kControlPorts = {{
    {"decoder_mode", kDecoderMode, 1.0, nullptr},
    {"decode_order", kDecodeOrder, 1.0, nullptr},
    {"channel_layout", kChannelLayout, 1.0, nullptr},
    {"normalization", kNormalizationType, 1.0, nullptr},
    {"rotation", kEnableRotation, 1.0, nullptr},
    {"use_rpy", kUseRPY, 1.0, nullptr},
    {"yaw", kYaw, 1.0, "degree"},
    {"pitch", kPitch, kHalfAngleScale, "degree"},
    {"roll", kRoll, kHalfAngleScale, "degree"},
    {"flip_yaw", kFlipYaw, 1.0, nullptr},
    {"flip_pitch", kFlipPitch, 1.0, nullptr},
    {"flip_roll", kFlipRoll, 1.0, nullptr},
    {"volume", kOutputVolume, 1.0, nullptr},
}};

} // namespace

std::string AudioInputSymbol(int channel)
{
    return "in_" + std::to_string(channel);
}

std::string AudioInputName(int channel)
{
    return "ACN " + std::to_string(channel);
}

const char* AudioOutputSymbol(int channel)
{
    return channel == 0 ? "out_l" : "out_r";
}

const char* AudioOutputName(int channel)
{
    return channel == 0 ? "Left" : "Right";
}

std::span<const plugfw::LV2ControlPort> ControlPorts()
{
    return kControlPorts;
}

std::string DecoderSetFolder(const char* bundlePath)
{
    namespace fs = std::filesystem;
    // getenv is only read; the plug-in never changes the environment.
    if (const char* env = std::getenv("QIR_RESOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    const fs::path bundle = fs::path(bundlePath != nullptr ? bundlePath : "");
    const fs::path inBundle = (bundle / kDecoderSetFolderName).lexically_normal();
    std::error_code error;
    if (fs::is_directory(inBundle, error)) {
        return inBundle.string();
    }
    // <root>/lib/lv2/<bundle>/ lies three levels below <root>.
    const fs::path inTree = (bundle / ".." / ".." / ".." / QIR_RESOURCE_SUBDIR).lexically_normal();
    if (fs::is_directory(inTree, error)) {
        return inTree.string();
    }
    return inBundle.string();
}

} // namespace qir::lv2
