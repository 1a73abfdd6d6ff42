// framework: host API base.
#include "framework/IHostAPIBase.h"

#include "framework/platform/MainRunLoop.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

namespace plugfw {
namespace {

struct HostText {
    const char* text;
    EHostKind kind;
};

// Tested in this order; the first text contained in the name wins, so the
// longer "wavelab elements" precedes "wavelab".
constexpr HostText kHostTexts[] = {
    {"reaper", kHostReaper},
    {"protools", kHostProTools},
    {"cubase", kHostCubase},
    {"nuendo", kHostNuendo},
    {"cakewalk", kHostSonar},
    {"vegas", kHostVegas},
    {"fruity", kHostFL},
    {"samplitude", kHostSamplitude},
    {"live", kHostAbletonLive},
    {"tracktion", kHostTracktion},
    {"ntracks", kHostNTracks},
    {"melodyne", kHostMelodyneStudio},
    {"vstmanlib", kHostVSTScanner},
    {"aulab", kHostAULab},
    {"forte", kHostForte},
    {"chainer", kHostChainer},
    {"audition", kHostAudition},
    {"orion", kHostOrion},
    {"bias", kHostBias},
    {"sawstudio", kHostSAWStudio},
    {"logic", kHostLogic},
    {"garageband", kHostGarageBand},
    {"digital", kHostDigitalPerformer},
    {"audiomulch", kHostAudioMulch},
    {"presonus", kHostStudioOne},
    {"vst3plugintesthost", kHostVST3TestHost},
    {"ardour", kHostArdour},
    {"renoise", kHostRenoise},
    {"openmpt", kHostOpenMPT},
    {"wavelab elements", kHostWaveLabElements},
    {"wavelab", kHostWaveLab},
    {"twistedwave", kHostTwistedWave},
    {"bitwig studio", kHostBitwig},
    {"reason", kHostReason},
    {"gwvst", kHostGoldWave5x},
    {"waveform", kHostWaveform},
    {"audacity", kHostAudacity},
    {"acoustica", kHostAcoustica},
    {"plugindoctor", kHostPluginDoctor},
    {"izotope rx", kHostIZotopeRX},
    {"savihost", kHostSAVIHost},
    {"blue cat's vst host", kHostBlueCat},
    {"standalone", kHostStandalone},
    {"www", kHostWWW},
};

std::string limited(const char* text, std::size_t maxLength)
{
    return text ? std::string(text, strnlen(text, maxLength)) : std::string();
}

} // namespace

IHostAPIBase::IHostAPIBase(Config config, EAPI api) : IPluginCore(config.nParams, config.nPresets)
{
    mPluginName = limited(config.pluginName, kMaxNameLength);
    mProductName = limited(config.productName, kMaxNameLength);
    mMfrName = limited(config.mfrName, kMaxNameLength);
    mUniqueID = config.uniqueID;
    mMfrID = config.mfrID;
    mVersion = config.vendorVersion;
    mBundleID = config.bundleID ? config.bundleID : "";
    mHasUI = config.plugHasUI;
    mHostResize = config.plugHostResize;
    mStateChunks = config.plugDoesChunks;
    mEditorWidth = config.plugWidth;
    mEditorHeight = config.plugHeight;
    mMinWidth = std::min(config.plugMinWidth, config.plugMaxWidth);
    mMaxWidth = std::max(config.plugMinWidth, config.plugMaxWidth);
    mMinHeight = std::min(config.plugMinHeight, config.plugMaxHeight);
    mMaxHeight = std::max(config.plugMinHeight, config.plugMaxHeight);
    mAPI = api;
}

IHostAPIBase::~IHostAPIBase()
{
    // No tick may run once destruction has begun. A derived plug-in has
    // already stopped it if its ticks reach its own parts.
    StopTimer();
}

void IHostAPIBase::StopTimer() noexcept
{
    if (mTimer) {
        mTimer->Stop();
    }
}

void IHostAPIBase::CreateTimer()
{
    CreateTimer(MainRunLoop::Main());
}

void IHostAPIBase::CreateTimer(MainRunLoop& loop)
{
    mTimer.reset();
    mTimer = Timer::Create(loop, [this](Timer& timer) { OnTimer(timer); }, kIdleTimerIntervalMs);
}

void IHostAPIBase::OnTimer(Timer& /*timer*/)
{
    if (mHasUI) {
        ParamTuple change;
        while (mParamsToUI.ElementsAvailable() > 0 && mParamsToUI.Pop(change)) {
            SendParameterValueFromDelegate(change.idx, change.value, false);
        }
        IMidiMsg msg;
        while (mMidiToUI.ElementsAvailable() > 0 && mMidiToUI.Pop(msg)) {
            SendMidiMsgFromDelegate(msg);
        }
        // A buffer of the tick's own: the render thread unpacks the editor's
        // messages into mSysExScratch at the same time.
        SysExData sysEx;
        while (mSysExToUI.ElementsAvailable() > 0 && mSysExToUI.Pop(sysEx)) {
            SendSysexMsgFromDelegate(ISysEx(sysEx.mOffset, sysEx.mData, sysEx.mSize));
        }
    }
    OnIdle();
}

void IHostAPIBase::SetHost(const char* hostName, int version)
{
    std::string name = limited(hostName, kMaxHostNameLength);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    EHostKind kind = kHostUnknown;
    for (const HostText& entry : kHostTexts) {
        if (name.find(entry.text) != std::string::npos) {
            kind = entry.kind;
            break;
        }
    }
    mHost = kind;
    mHostVersion = version;
    HostSpecificInit();
    OnHostIdentified();
}

void IHostAPIBase::SetParameterValue(int paramIdx, double normalizedValue)
{
    IParam* param = GetParam(paramIdx);
    if (!param) {
        return;
    }
    param->SetNormalized(normalizedValue);
    InformHostOfParamChange(paramIdx, normalizedValue);
    OnParamChange(paramIdx, kUI, -1);
}

bool IHostAPIBase::CompareState(const uint8_t* data, int startPos) const
{
    if (NParams() == 0) {
        return true;
    }
    if (!data || startPos < 0) {
        return false;
    }
    for (int i = 0; i < NParams(); ++i) {
        double stored = 0.0;
        std::memcpy(&stored, data + (static_cast<std::size_t>(startPos) + static_cast<std::size_t>(i)) * sizeof(double),
                    sizeof(double));
        const float difference = static_cast<float>(stored) - static_cast<float>(GetParam(i)->Value());
        if (!(std::fabs(difference) < 1e-5f)) {
            return false;
        }
    }
    return true;
}

void IHostAPIBase::OnHostRequestingImportantParameters(int count, TypedBuf<int>& results)
{
    if (count >= 1 && count < NParams()) {
        for (int i = 0; i < count; ++i) {
            (void)results.Add(i);
        }
    }
}

void IHostAPIBase::SendParameterValueFromAPI(int paramIdx, double value, bool normalized)
{
    const IParam* param = GetParam(paramIdx);
    if (!param) {
        return;
    }
    ParamTuple change;
    change.idx = paramIdx;
    change.value = normalized ? param->FromNormalized(value) : value;
    (void)mParamsToUI.Push(change);
}

void IHostAPIBase::DirtyParametersFromUI()
{
    for (int i = 0; i < NParams(); ++i) {
        InformHostOfParamChange(i, GetParam(i)->GetNormalized());
    }
}

void IHostAPIBase::SendParameterValueFromUI(int paramIdx, double normalizedValue)
{
    IParam* param = GetParam(paramIdx);
    if (!param) {
        return;
    }
    SetParameterValue(paramIdx, normalizedValue);
    param->SetNormalized(normalizedValue);
    OnParamChangeUI(paramIdx, kUI);
}

bool IHostAPIBase::EditorResizeFromUI(int viewWidth, int viewHeight, bool needsPlatformResize)
{
    if (!needsPlatformResize) {
        return true;
    }
    return EditorResize(viewWidth, viewHeight);
}

void IHostAPIBase::SendArbitraryMsgFromUI(int msgTag, int ctrlTag, int dataSize, const void* data)
{
    (void)OnMessage(msgTag, ctrlTag, dataSize, data);
}

void IHostAPIBase::DeferSysexMsg(const ISysEx& msg)
{
    if (msg.mSize < 0 || msg.mSize > SysExData::kMaxBytes) {
        return;
    }
    (void)mSysExFromUI.Push(SysExData(msg.mOffset, msg.mSize, msg.mData));
}

} // namespace plugfw
