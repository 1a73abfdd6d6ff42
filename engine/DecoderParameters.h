// engine: the decoder's thirteen parameters: their indices, and the one place
// where their names, ranges, defaults and display texts are defined.
#pragma once

#include "framework/IEditorDelegate.h"

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
