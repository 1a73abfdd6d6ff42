// tests/engine: a stand-in for the plug-in as the engine sees it: a delegate
// holding the plug-in's thirteen parameters with their ranges and defaults, and
// a way to change one the way the plug-in forwards a host's change.
#pragma once

#include "engine/QIRMatrixDecoderDSP.h"
#include "framework/IEditorDelegate.h"

namespace qirtest {

class EngineTestDelegate : public plugfw::IEditorDelegate {
public:
    EngineTestDelegate() : plugfw::IEditorDelegate(qir::kNumParams)
    {
        qir::InitDecoderParameters(*this);
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
