// tests/framework: a concrete plug-in core with the decoder's thirteen
// parameters, one preset and its identity, recording the notifications it gets.
#pragma once

#include "framework/Config.h"
#include "framework/IPluginCore.h"

#include <string>
#include <vector>

namespace frameworktest {

inline void initDecoderParams(plugfw::IEditorDelegate& d)
{
    using plugfw::IParam;
    d.GetParam(0)->InitEnum("Decoder Mode", 0, {"Anechoic", "Room", "UHJ"});
    d.GetParam(1)->InitEnum("Decode Order", 0, {"1", "2", "3", "4", "5", "6", "7"});
    d.GetParam(2)->InitEnum("Channel Layout", 0, {"ACN", "FuMa"});
    d.GetParam(3)->InitEnum("Normalization Type", 1, {"N3D", "SN3D", "FuMa"});
    d.GetParam(4)->InitBool("Enable Rotation", true, "", 0, "", "off", "on");
    d.GetParam(5)->InitBool("Use RPY", false, "", 0, "", "off", "on");
    d.GetParam(6)->InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1);
    d.GetParam(7)->InitDouble("Pitch", 0.0, -180.0, 180.0, 0.1);
    d.GetParam(8)->InitDouble("Roll", 0.0, -180.0, 180.0, 0.1);
    d.GetParam(9)->InitBool("Flip Yaw", false, "", 0, "", "off", "on");
    d.GetParam(10)->InitBool("Flip Pitch", false, "", 0, "", "off", "on");
    d.GetParam(11)->InitBool("Flip Roll", false, "", 0, "", "off", "on");
    d.GetParam(12)->InitGain("Output Volume", 0.0, -70.0, 12.0, 0.5);
}

class DecoderLikeCore : public plugfw::IPluginCore {
public:
    static constexpr int kUniqueID = plugfw::MakeFourCC("QiR1");

    explicit DecoderLikeCore(int nParams = 13, int nPresets = 1, bool stateChunks = false)
        : IPluginCore(nParams, nPresets)
    {
        mUniqueID = kUniqueID;
        mMfrID = plugfw::MakeFourCC("Mrwf");
        mVersion = 0x00010001;
        mAPI = plugfw::kAPIAUv3;
        mStateChunks = stateChunks;
        if (nParams == 13) {
            initDecoderParams(*this);
        } else {
            for (int i = 0; i < nParams; ++i) {
                GetParam(i)->InitDouble("P", 0.0, 0.0, 1.0, 0.001);
            }
        }
    }

    void BeginInformHostOfParamChangeFromUI(int) override {}
    void EndInformHostOfParamChangeFromUI(int) override {}

    void OnParamChange(int paramIdx, plugfw::EParamSource source, int sampleOffset) override
    {
        mChanges.push_back({paramIdx, source, sampleOffset});
    }
    void SendParameterValueFromDelegate(int paramIdx, double value, bool normalized) override
    {
        mRestored.push_back({paramIdx, value, normalized});
    }
    void InformHostOfPresetChange() override { ++mPresetChangeCalls; }

    void SetCurrentPresetIdx(int index) { mCurrentPresetIdx = index; }

    struct Change {
        int index;
        plugfw::EParamSource source;
        int offset;
    };
    struct Restored {
        int index;
        double value;
        bool normalized;
    };
    std::vector<Change> mChanges;
    std::vector<Restored> mRestored;
    int mPresetChangeCalls = 0;
};

} // namespace frameworktest
