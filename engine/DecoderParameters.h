// engine: the decoder's thirteen parameters: their indices, and the one place
// where their names, ranges, defaults and display texts are defined.
#pragma once

#include "framework/IEditorDelegate.h"

#include <array>

namespace qir {

enum EParams {
    kDecoderMode = 0,
    kDecodeOrder,
    kChannelLayout,
    kNormalizationType,
    kEnableRotation,
    kUseRPY,
    kYaw,
    kPitch,
    kRoll,
    kFlipYaw,
    kFlipPitch,
    kFlipRoll,
    kOutputVolume,
    kNumParams,
};

// The parameters' names, by index.
inline constexpr std::array<const char*, kNumParams> kParamNames{
    "Decoder Mode", "Decode Order", "Channel Layout", "Normalization Type", "Enable Rotation",
    "Use RPY",      "Yaw",          "Pitch",          "Roll",               "Flip Yaw",
    "Flip Pitch",   "Flip Roll",    "Output Volume"};

// The values of the enumerated parameters, each the index of its display text
// in the list that follows it.
enum EDecoderMode { kDecoderModeAnechoic = 0, kDecoderModeRoom, kDecoderModeUHJ, kNumDecoderModes };
inline constexpr std::array<const char*, kNumDecoderModes> kDecoderModeNames{"Anechoic", "Room", "UHJ"};

enum EChannelLayout { kChannelLayoutACN = 0, kChannelLayoutFuMa, kNumChannelLayouts };
inline constexpr std::array<const char*, kNumChannelLayouts> kChannelLayoutNames{"ACN", "FuMa"};

enum ENormalizationType { kNormalizationN3D = 0, kNormalizationSN3D, kNormalizationFuMa, kNumNormalizationTypes };
inline constexpr std::array<const char*, kNumNormalizationTypes> kNormalizationTypeNames{"N3D", "SN3D", "FuMa"};

// Initialises parameters 0..12 of the delegate (which must hold at least
// kNumParams parameters) in index order.
void InitDecoderParameters(plugfw::IEditorDelegate& delegate);

// Any thread: the plain value of parameter paramIdx of delegate (borrowed, may
// be null), 0 when there is no such parameter.
[[nodiscard]] inline double ParamValue(const plugfw::IEditorDelegate* delegate, int paramIdx) noexcept
{
    const plugfw::IParam* param = delegate != nullptr ? delegate->GetParam(paramIdx) : nullptr;
    return param != nullptr ? param->Value() : 0.0;
}

} // namespace qir
