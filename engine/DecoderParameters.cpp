// engine: the decoder's parameter table.
#include "engine/DecoderParameters.h"

namespace qir {

void InitDecoderParameters(plugfw::IEditorDelegate& delegate)
{
    delegate.GetParam(kDecoderMode)->InitEnum("Decoder Mode", 0, {"Anechoic", "Room", "UHJ"});
    delegate.GetParam(kDecodeOrder)->InitEnum("Decode Order", 0, {"1", "2", "3", "4", "5", "6", "7"});
    delegate.GetParam(kChannelLayout)->InitEnum("Channel Layout", 0, {"ACN", "FuMa"});
    delegate.GetParam(kNormalizationType)->InitEnum("Normalization Type", 1, {"N3D", "SN3D", "FuMa"});
    delegate.GetParam(kEnableRotation)->InitBool("Enable Rotation", true);
    delegate.GetParam(kUseRPY)->InitBool("Use RPY", false);
    delegate.GetParam(kYaw)->InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kPitch)->InitDouble("Pitch", 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kRoll)->InitDouble("Roll", 0.0, -180.0, 180.0, 0.1);
    delegate.GetParam(kFlipYaw)->InitBool("Flip Yaw", false);
    delegate.GetParam(kFlipPitch)->InitBool("Flip Pitch", false);
    delegate.GetParam(kFlipRoll)->InitBool("Flip Roll", false);
    delegate.GetParam(kOutputVolume)->InitGain("Output Volume", 0.0, -70.0, 12.0, 0.5);
}

} // namespace qir
