// framework: the layer between the host-independent plug-in core and a host
// binding: identity and editor limits from the configuration, the queues
// between the render thread and an editor, the 40 ms idle timer, host
// identification, and the entry points by which an editor or the binding
// changes parameters and tells the host.
#pragma once

#include "framework/Config.h"
#include "framework/IMidiMsg.h"
#include "framework/IPluginCore.h"
#include "framework/ISPSCQueue.h"
#include "framework/ISysEx.h"
#include "framework/TextBuf.h"
#include "framework/Timer.h"
#include "framework/TypedBuf.h"

#include <cstdint>
#include <memory>

namespace plugfw {

class MainRunLoop;

// Host applications recognised by SetHost.
enum EHostKind {
    kHostUninit = -1,
    kHostUnknown = 0,
    kHostReaper,
    kHostProTools,
    kHostCubase,
    kHostNuendo,
    kHostSonar,
    kHostVegas,
    kHostFL,
    kHostSamplitude,
    kHostAbletonLive,
    kHostTracktion,
    kHostNTracks,
    kHostMelodyneStudio,
    kHostVSTScanner,
    kHostAULab,
    kHostForte,
    kHostChainer,
    kHostAudition,
    kHostOrion,
    kHostBias,
    kHostSAWStudio,
    kHostLogic,
    kHostGarageBand,
    kHostDigitalPerformer,
    kHostStandalone,
    kHostAudioMulch,
    kHostStudioOne,
    kHostVST3TestHost,
    kHostArdour,
    kHostRenoise,
    kHostOpenMPT,
    kHostWaveLab,
    kHostWaveLabElements,
    kHostTwistedWave,
    kHostBitwig,
    kHostWWW,
    kHostReason,
    kHostGoldWave5x,
    kHostWaveform,
    kHostAudacity,
    kHostAcoustica,
    kHostPluginDoctor,
    kHostIZotopeRX,
    kHostSAVIHost,
    kHostBlueCat,
};

// One parameter change queued for the editor.
struct ParamTuple {
    int32_t idx = 0;
    double value = 0.0;
};

class IHostAPIBase : public IPluginCore {
public:
    static constexpr int kParamsToUICapacity = 512;
    static constexpr int kMidiQueueCapacity = 32;
    static constexpr int kSysExQueueCapacity = 4;
    static constexpr uint32_t kIdleTimerIntervalMs = 40;
    static constexpr int kMaxNameLength = 128;
    static constexpr int kMaxHostNameLength = 255;

    IHostAPIBase(Config config, EAPI api);
    ~IHostAPIBase() override;

    // main thread: (re)starts the 40 ms idle tick on the process's main run loop,
    // or on the given loop.
    void CreateTimer();
    void CreateTimer(MainRunLoop& loop);
    // main thread: one idle tick.
    void OnTimer(Timer& timer);

    // Host identification from the host application's name.
    void SetHost(const char* hostName, int version);
    // Editor sets a parameter from a normalised value and tells the host.
    void SetParameterValue(int paramIdx, double normalizedValue);

    [[nodiscard]] bool HasUI() const noexcept { return mHasUI; }
    [[nodiscard]] bool GetHostResizable() const noexcept { return mHostResize; }
    [[nodiscard]] int GetEditorWidth() const noexcept { return mEditorWidth; }
    [[nodiscard]] int GetEditorHeight() const noexcept { return mEditorHeight; }
    [[nodiscard]] int GetMinWidth() const noexcept { return mMinWidth; }
    [[nodiscard]] int GetMaxWidth() const noexcept { return mMaxWidth; }
    [[nodiscard]] int GetMinHeight() const noexcept { return mMinHeight; }
    [[nodiscard]] int GetMaxHeight() const noexcept { return mMaxHeight; }
    [[nodiscard]] bool HasTimer() const noexcept { return static_cast<bool>(mTimer); }

    // Host callbacks with neutral defaults.
    // Compares NParams() doubles of data, from double index startPos on, with
    // the current values, in single precision. data must hold them all.
    [[nodiscard]] virtual bool CompareState(const uint8_t* data, int startPos) const;
    virtual bool OnHostRequestingAboutBox() { return false; }
    virtual bool OnHostRequestingProductHelp() { return false; }
    virtual void OnHostIdentified() {}
    virtual void OnHostRequestingImportantParameters(int count, TypedBuf<int>& results);
    virtual bool OnHostRequestingSupportedViewConfiguration(int width, int height) { return width + height == 0; }
    virtual void OnHostSelectedViewConfiguration(int /*width*/, int /*height*/) {}
    virtual bool GetMidiNoteText(int /*noteNumber*/, char* text) const
    {
        if (text) {
            text[0] = '\0';
        }
        return false;
    }
    virtual void* GetAAXViewInterface() { return nullptr; }
    // main thread, from the idle tick; must not block.
    virtual void OnIdle() {}
    virtual void GetTrackColor(int& r, int& g, int& b) { r = g = b = 0; }
    virtual void GetTrackName(TextBuf& /*name*/) {}
    virtual int GetTrackIndex() { return 0; }
    virtual void GetTrackNamespace(TextBuf& /*name*/) {}
    virtual int GetTrackNamespaceIndex() { return 0; }
    // Queues (paramIdx, value) for the editor; a normalised value is converted
    // first. The parameter itself is not changed.
    virtual void SendParameterValueFromAPI(int paramIdx, double value, bool normalized);
    virtual void HostSpecificInit() {}
    virtual bool EditorResize(int /*width*/, int /*height*/) { return false; }
    virtual void BeginInformHostOfParamChange(int /*paramIdx*/) {}
    virtual void EndInformHostOfParamChange(int /*paramIdx*/) {}
    virtual void InformHostOfParamChange(int /*paramIdx*/, double /*normalizedValue*/) {}
    virtual void TransmitMidiMsgFromProcessor(const IMidiMsg& /*msg*/) {}
    virtual void TransmitSysExDataFromProcessor(const SysExData& /*data*/) {}

    // IEditorDelegate operations an editor calls.
    void DirtyParametersFromUI() override;
    void BeginInformHostOfParamChangeFromUI(int paramIdx) override { BeginInformHostOfParamChange(paramIdx); }
    void EndInformHostOfParamChangeFromUI(int paramIdx) override { EndInformHostOfParamChange(paramIdx); }
    void SendParameterValueFromUI(int paramIdx, double normalizedValue) override;
    bool EditorResizeFromUI(int viewWidth, int viewHeight, bool needsPlatformResize) override;
    void SendMidiMsgFromUI(const IMidiMsg& msg) override { DeferMidiMsg(msg); }
    void SendSysexMsgFromUI(const ISysEx& msg) override { DeferSysexMsg(msg); }
    void SendArbitraryMsgFromUI(int msgTag, int ctrlTag = -1, int dataSize = 0, const void* data = nullptr) override;
    void DeferMidiMsg(const IMidiMsg& msg) override { (void)mMidiFromUI.Push(msg); }
    // Messages longer than 512 bytes (or of negative size) are refused.
    void DeferSysexMsg(const ISysEx& msg) override;

protected:
    // Stops the idle timer and waits for a tick in progress on another thread to
    // finish: no tick runs once this returns (a tick that calls it completes).
    // A plug-in whose ticks reach parts of its own calls it first thing in its
    // destructor, before those parts go; the base destructor calls it again.
    void StopTimer() noexcept;

    TextBuf mParamDisplayStr;
    std::unique_ptr<Timer> mTimer;
    ISPSCQueue<ParamTuple> mParamsToUI{kParamsToUICapacity};
    ISPSCQueue<IMidiMsg> mMidiFromUI{kMidiQueueCapacity};
    ISPSCQueue<IMidiMsg> mMidiToUI{kMidiQueueCapacity};
    ISPSCQueue<SysExData> mSysExFromUI{kSysExQueueCapacity};
    ISPSCQueue<SysExData> mSysExToUI{kSysExQueueCapacity};
    // Render thread only: unpacks the editor's system-exclusive messages.
    SysExData mSysExScratch;
};

} // namespace plugfw
