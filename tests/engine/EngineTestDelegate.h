// tests/engine: a stand-in for the plug-in as the engine sees it: a delegate
// holding the plug-in's thirteen parameters with their ranges and defaults, and
// a way to change one the way the plug-in forwards a host's change.
#pragma once

#include "engine/QIRMatrixDecoderDSP.h"
#include "framework/IEditorDelegate.h"

namespace qirtest {

class EngineTestDelegate : public plugfw::IEditorDelegate {
public:
    EngineTestDelegate() : plugfw::IEditorDelegate(13)
    {
        GetParam(0)->InitEnum("Decoder Mode", 0, {"Anechoic", "Room", "UHJ"});
        GetParam(1)->InitEnum("Decode Order", 0, {"1", "2", "3", "4", "5", "6", "7"});
        GetParam(2)->InitEnum("Channel Layout", 0, {"ACN", "FuMa"});
        GetParam(3)->InitEnum("Normalization Type", 1, {"N3D", "SN3D", "FuMa"});
        GetParam(4)->InitBool("Enable Rotation", true);
        GetParam(5)->InitBool("Use RPY", false);
        GetParam(6)->InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1);
        GetParam(7)->InitDouble("Pitch", 0.0, -180.0, 180.0, 0.1);
        GetParam(8)->InitDouble("Roll", 0.0, -180.0, 180.0, 0.1);
        GetParam(9)->InitBool("Flip Yaw", false);
        GetParam(10)->InitBool("Flip Pitch", false);
        GetParam(11)->InitBool("Flip Roll", false);
        GetParam(12)->InitGain("Output Volume", 0.0, -70.0, 12.0, 0.5);
    }

    void BeginInformHostOfParamChangeFromUI(int) override {}
    void EndInformHostOfParamChangeFromUI(int) override {}

    // Sets the plain value of parameter idx and passes its normalised value to
    // the engine, as the plug-in does for every parameter change.
    void Set(qir::QIRMatrixDecoderDSP& engine, int idx, double plainValue)
    {
        GetParam(idx)->Set(plainValue);
        engine.OnParamChange(idx, GetParam(idx)->GetNormalized());
    }
};

} // namespace qirtest
