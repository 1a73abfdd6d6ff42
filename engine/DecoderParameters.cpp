// engine: the decoder's parameter table.
#include "engine/DecoderParameters.h"

#include <cstddef>

namespace qir {

namespace {

template <std::size_t N>
void InitChoices(plugfw::IParam& param, EParams index, int defaultValue, const std::array<const char*, N>& choices)
{
    param.InitEnum(kParamNames[index], defaultValue, static_cast<int>(N));
    for (std::size_t i = 0; i < N; ++i) {
        param.SetDisplayText(static_cast<double>(i), choices[i]);
    }
}

} // namespace

void InitDecoderParameters(plugfw::IEditorDelegate& delegate)
{
    InitChoices(*delegate.GetParam(kDecoderMode), kDecoderMode, kDecoderModeAnechoic, kDecoderModeNames);
    delegate.GetParam(kDecodeOrder)->InitEnum(kParamNames[kDecodeOrder], 0, {"1", "2", "3", "4", "5", "6", "7"});
    InitChoices(*delegate.GetParam(kChannelLayout), kChannelLayout, kChannelLayoutACN, kChannelLayoutNames);
    InitChoices(*delegate.GetParam(kNormalizationType), kNormalizationType, kNormalizationSN3D,
                kNormalizationTypeNames);
    delegate.GetParam(kEnableRotation)->InitBool(kParamNames[kEnableRotation], true);
    delegate.GetParam(kUseRPY)->InitBool(kParamNames[kUseRPY], false);
    delegate.GetParam(kYaw)->InitDouble(kParamNames[kYaw], 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kPitch)->InitDouble(kParamNames[kPitch], 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kRoll)->InitDouble(kParamNames[kRoll], 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kFlipYaw)->InitBool(kParamNames[kFlipYaw], false);
    delegate.GetParam(kFlipPitch)->InitBool(kParamNames[kFlipPitch], false);
    delegate.GetParam(kFlipRoll)->InitBool(kParamNames[kFlipRoll], false);
    delegate.GetParam(kOutputVolume)->InitGain(kParamNames[kOutputVolume], 0.0, -70.0, 12.0, 0.5);
}

} // namespace qir
