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

} // namespace qir
