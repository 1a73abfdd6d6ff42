// host/vst3: the VST3 binding.
#include "host/vst3/IVST3Binding.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

namespace plugfw {

namespace {

bool SameID(const Steinberg_TUID a, const Steinberg_TUID b) noexcept
{
    return std::memcmp(a, b, sizeof(Steinberg_TUID)) == 0;
}

// UTF-8 text into a NUL-terminated UTF-16 field of n units (characters
// beyond the basic plane become '?').
void CopyToUTF16(const char* text, Steinberg_char16* out, std::size_t n) noexcept
{
    std::size_t k = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text != nullptr ? text : "");
    while (*s != 0 && k + 1 < n) {
        char32_t c = *s++;
        if (c >= 0xC0 && c < 0xE0 && (*s & 0xC0) == 0x80) {
            c = ((c & 0x1F) << 6) | (*s++ & 0x3F);
        } else if (c >= 0xE0 && c < 0xF0 && (s[0] & 0xC0) == 0x80 && (s[1] & 0xC0) == 0x80) {
            c = ((c & 0x0F) << 12) | ((s[0] & 0x3F) << 6) | (s[1] & 0x3F);
            s += 2;
        } else if (c >= 0x80) {
            c = '?';
        }
        out[k++] = static_cast<Steinberg_char16>(c);
    }
    out[k] = 0;
}

// A NUL-terminated UTF-16 text as UTF-8 (at most max units read).
std::string ToUTF8(const Steinberg_char16* text, std::size_t max)
{
    std::string out;
    for (std::size_t k = 0; text != nullptr && k < max && text[k] != 0; ++k) {
        const auto c = static_cast<char32_t>(static_cast<uint16_t>(text[k]));
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

constexpr Steinberg_Vst_SpeakerArrangement kAmbisonicArrangements[] = {
    Steinberg_Vst_SpeakerArr_kAmbi1stOrderACN, Steinberg_Vst_SpeakerArr_kAmbi2cdOrderACN,
    Steinberg_Vst_SpeakerArr_kAmbi3rdOrderACN, Steinberg_Vst_SpeakerArr_kAmbi4thOrderACN,
    Steinberg_Vst_SpeakerArr_kAmbi5thOrderACN, Steinberg_Vst_SpeakerArr_kAmbi6thOrderACN,
    Steinberg_Vst_SpeakerArr_kAmbi7thOrderACN,
};

} // namespace

// The interface tables: each entry recovers the object from the slot the host
// called through and forwards to the member of the same name. Exceptions end
// here: a call that throws answers kInternalError (or the neutral value).
struct IVST3Binding::Thunks {
    static IVST3Binding& Self(void* thisInterface) noexcept
    {
        return *static_cast<InterfaceSlot*>(thisInterface)->mOwner;
    }

    // FUnknown.
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE QueryInterface(void* self, const Steinberg_TUID iid, void** obj)
    {
        return Self(self).QueryInterface(iid, obj);
    }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE AddRef(void* self) { return Self(self).AddRef(); }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE Release(void* self) { return Self(self).Release(); }

    // IPluginBase.
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE Initialize(void* self, Steinberg_FUnknown* context)
    {
        return Self(self).Initialize(context);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE Terminate(void* self) { return Self(self).Terminate(); }

    // IComponent.
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetControllerClassId(void* /*self*/, Steinberg_TUID classId)
    {
        // The component is its own controller: there is no class to create.
        if (classId != nullptr) {
            std::memset(classId, 0, sizeof(Steinberg_TUID));
        }
        return Steinberg_kResultFalse;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetIoMode(void* /*self*/, Steinberg_Vst_IoMode /*mode*/)
    {
        return Steinberg_kResultOk;
    }
    static Steinberg_int32 SMTG_STDMETHODCALLTYPE GetBusCount(void* self, Steinberg_Vst_MediaType type,
                                                              Steinberg_Vst_BusDirection dir)
    {
        return Self(self).GetBusCount(type, dir);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetBusInfo(void* self, Steinberg_Vst_MediaType type,
                                                               Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                                               Steinberg_Vst_BusInfo* bus)
    {
        return Self(self).GetBusInfo(type, dir, index, bus);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetRoutingInfo(void* /*self*/, Steinberg_Vst_RoutingInfo* /*in*/,
                                                                   Steinberg_Vst_RoutingInfo* /*out*/)
    {
        return Steinberg_kNotImplemented;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE ActivateBus(void* self, Steinberg_Vst_MediaType type,
                                                                Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                                                Steinberg_TBool state)
    {
        return Self(self).ActivateBus(type, dir, index, state);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetActive(void* self, Steinberg_TBool state)
    {
        return Self(self).SetActive(state);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetState(void* self, Steinberg_IBStream* stream)
    {
        return Self(self).SetState(stream);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetState(void* self, Steinberg_IBStream* stream)
    {
        return Self(self).GetState(stream);
    }

    // IAudioProcessor.
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetBusArrangements(void* self,
                                                                       Steinberg_Vst_SpeakerArrangement* inputs,
                                                                       Steinberg_int32 numIns,
                                                                       Steinberg_Vst_SpeakerArrangement* outputs,
                                                                       Steinberg_int32 numOuts)
    {
        return Self(self).SetBusArrangements(inputs, numIns, outputs, numOuts);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetBusArrangement(void* self, Steinberg_Vst_BusDirection dir,
                                                                      Steinberg_int32 index,
                                                                      Steinberg_Vst_SpeakerArrangement* arrangement)
    {
        return Self(self).GetBusArrangement(dir, index, arrangement);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE CanProcessSampleSize(void* /*self*/, Steinberg_int32 size)
    {
        // 32-bit only: the plug-in processes floats.
        return size == Steinberg_Vst_SymbolicSampleSizes_kSample32 ? Steinberg_kResultTrue : Steinberg_kResultFalse;
    }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE GetLatencySamples(void* self)
    {
        return static_cast<Steinberg_uint32>(std::max(Self(self).GetLatency(), 0));
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetupProcessing(void* self, Steinberg_Vst_ProcessSetup* setup)
    {
        return Self(self).SetupProcessing(setup);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetProcessing(void* /*self*/, Steinberg_TBool /*state*/)
    {
        return Steinberg_kResultOk;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE Process(void* self, Steinberg_Vst_ProcessData* data)
    {
        // audio thread: never waits, allocates nothing.
        return Self(self).Process(data);
    }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE GetTailSamples(void* self)
    {
        return static_cast<Steinberg_uint32>(std::max(Self(self).GetTailSize(), 0));
    }

    // IEditController.
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetComponentState(void* self, Steinberg_IBStream* stream)
    {
        return Self(self).SetComponentState(stream);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetControllerState(void* /*self*/, Steinberg_IBStream* /*stream*/)
    {
        // The controller keeps nothing of its own: the component's state is all.
        return Steinberg_kResultOk;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetControllerState(void* /*self*/, Steinberg_IBStream* /*stream*/)
    {
        return Steinberg_kResultOk;
    }
    static Steinberg_int32 SMTG_STDMETHODCALLTYPE GetParameterCount(void* self) { return Self(self).NParams() + 1; }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetParameterInfo(void* self, Steinberg_int32 index,
                                                                     Steinberg_Vst_ParameterInfo* info)
    {
        return Self(self).GetParameterInfo(index, info);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetParamStringByValue(void* self, Steinberg_Vst_ParamID id,
                                                                          Steinberg_Vst_ParamValue normalized,
                                                                          Steinberg_Vst_String128 text)
    {
        return Self(self).GetParamStringByValue(id, normalized, text);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetParamValueByString(void* self, Steinberg_Vst_ParamID id,
                                                                          Steinberg_Vst_TChar* text,
                                                                          Steinberg_Vst_ParamValue* normalized)
    {
        return Self(self).GetParamValueByString(id, text, normalized);
    }
    static Steinberg_Vst_ParamValue SMTG_STDMETHODCALLTYPE NormalizedParamToPlain(void* self, Steinberg_Vst_ParamID id,
                                                                                  Steinberg_Vst_ParamValue value)
    {
        return Self(self).NormalizedParamToPlain(id, value);
    }
    static Steinberg_Vst_ParamValue SMTG_STDMETHODCALLTYPE PlainParamToNormalized(void* self, Steinberg_Vst_ParamID id,
                                                                                  Steinberg_Vst_ParamValue value)
    {
        return Self(self).PlainParamToNormalized(id, value);
    }
    static Steinberg_Vst_ParamValue SMTG_STDMETHODCALLTYPE GetParamNormalized(void* self, Steinberg_Vst_ParamID id)
    {
        return Self(self).GetParamNormalized(id);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetParamNormalized(void* self, Steinberg_Vst_ParamID id,
                                                                       Steinberg_Vst_ParamValue value)
    {
        return Self(self).SetParamNormalized(id, value);
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetComponentHandler(void* self,
                                                                        Steinberg_Vst_IComponentHandler* handler)
    {
        return Self(self).SetComponentHandler(handler);
    }
    static Steinberg_IPlugView* SMTG_STDMETHODCALLTYPE CreateView(void* /*self*/, Steinberg_FIDString /*name*/)
    {
        // No editor: hosts show their generic controls.
        return nullptr;
    }

    // IProcessContextRequirements: the plug-in needs no transport information.
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE GetProcessContextRequirements(void* /*self*/) { return 0; }

    static const Steinberg_Vst_IComponentVtbl kComponent;
    static const Steinberg_Vst_IAudioProcessorVtbl kProcessor;
    static const Steinberg_Vst_IEditControllerVtbl kController;
    static const Steinberg_Vst_IProcessContextRequirementsVtbl kContextRequirements;
};

const Steinberg_Vst_IComponentVtbl IVST3Binding::Thunks::kComponent = {
    QueryInterface, AddRef,      Release,   Initialize, Terminate, GetControllerClassId, SetIoMode,
    GetBusCount,    GetBusInfo,  GetRoutingInfo, ActivateBus, SetActive, SetState,  GetState,
};

const Steinberg_Vst_IAudioProcessorVtbl IVST3Binding::Thunks::kProcessor = {
    QueryInterface,    AddRef,          Release,       SetBusArrangements, GetBusArrangement, CanProcessSampleSize,
    GetLatencySamples, SetupProcessing, SetProcessing, Process,            GetTailSamples,
};

const Steinberg_Vst_IEditControllerVtbl IVST3Binding::Thunks::kController = {
    QueryInterface,         AddRef,
    Release,                Initialize,
    Terminate,              SetComponentState,
    SetControllerState,     GetControllerState,
    GetParameterCount,      GetParameterInfo,
    GetParamStringByValue,  GetParamValueByString,
    NormalizedParamToPlain, PlainParamToNormalized,
    GetParamNormalized,     SetParamNormalized,
    SetComponentHandler,    CreateView,
};

const Steinberg_Vst_IProcessContextRequirementsVtbl IVST3Binding::Thunks::kContextRequirements = {
    QueryInterface,
    AddRef,
    Release,
    GetProcessContextRequirements,
};

IVST3Binding::IVST3Binding(const InstanceInfo& info, const Config& config)
    : IHostAPIBase(config, kAPIVST3)
    , IAudioProcessor(config, kAPIVST3)
    , mComponentSlot{&Thunks::kComponent, this}
    , mProcessorSlot{&Thunks::kProcessor, this}
    , mControllerSlot{&Thunks::kController, this}
    , mContextRequirementsSlot{&Thunks::kContextRequirements, this}
    , mBundlePath(info.mBundlePath != nullptr ? info.mBundlePath : "")
    , mMinSampleRate(info.mMinSampleRate)
    , mMaxSampleRate(info.mMaxSampleRate)
    , mOrderParamIdx(info.mOrderParamIdx)
{
    // The widest input the plug-in takes until the host sets another: every
    // channel a host connects reaches it.
    mInputChannels = MaxNChannels(kRouteInput);
    const int order = static_cast<int>(std::lround(std::sqrt(static_cast<double>(mInputChannels)))) - 1;
    mInputArrangement = order >= 1 && order <= 7 && (order + 1) * (order + 1) == mInputChannels
                            ? kAmbisonicArrangements[order - 1]
                            : (mInputChannels >= 64 ? ~Steinberg_Vst_SpeakerArrangement{0}
                                                    : (Steinberg_Vst_SpeakerArrangement{1} << mInputChannels) - 1);
    mControllerValues.assign(static_cast<std::size_t>(NParams()) + 1, 0.0);
    mCursors.resize(kMaxParameterQueues);
    mInputPointers.assign(static_cast<std::size_t>(MaxNChannels(kRouteInput)), nullptr);
    mOutputPointers.assign(static_cast<std::size_t>(MaxNChannels(kRouteOutput)), nullptr);
}

IVST3Binding::~IVST3Binding()
{
    StopWorker();
    if (mComponentHandler != nullptr) {
        mComponentHandler->lpVtbl->release(mComponentHandler);
    }
}

Steinberg_FUnknown* IVST3Binding::GetUnknown() noexcept
{
    return reinterpret_cast<Steinberg_FUnknown*>(&mComponentSlot);
}

Steinberg_tresult IVST3Binding::QueryInterface(const Steinberg_TUID iid, void** obj) noexcept
{
    if (obj == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    InterfaceSlot* slot = nullptr;
    if (SameID(iid, Steinberg_FUnknown_iid) || SameID(iid, Steinberg_IPluginBase_iid) ||
        SameID(iid, Steinberg_Vst_IComponent_iid)) {
        slot = &mComponentSlot;
    } else if (SameID(iid, Steinberg_Vst_IAudioProcessor_iid)) {
        slot = &mProcessorSlot;
    } else if (SameID(iid, Steinberg_Vst_IEditController_iid)) {
        slot = &mControllerSlot;
    } else if (SameID(iid, Steinberg_Vst_IProcessContextRequirements_iid)) {
        slot = &mContextRequirementsSlot;
    }
    if (slot == nullptr) {
        *obj = nullptr;
        return Steinberg_kNoInterface;
    }
    AddRef();
    *obj = slot;
    return Steinberg_kResultOk;
}

Steinberg_uint32 IVST3Binding::AddRef() noexcept
{
    return mRefCount.fetch_add(1) + 1;
}

Steinberg_uint32 IVST3Binding::Release() noexcept
{
    const Steinberg_uint32 left = mRefCount.fetch_sub(1) - 1;
    if (left == 0) {
        // The worker reaches the derived plug-in: it ends before that goes.
        StopWorker();
        delete this;
    }
    return left;
}

Steinberg_tresult IVST3Binding::Initialize(Steinberg_FUnknown* /*context*/) noexcept
{
    // Hosts initialise the object once as component and may do so again as
    // controller: the second call finds everything in place.
    if (mInitializeCount++ == 0) {
        SyncControllerFromParams();
    }
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::Terminate() noexcept
{
    if (mInitializeCount > 0) {
        --mInitializeCount;
    }
    return Steinberg_kResultOk;
}

Steinberg_int32 IVST3Binding::GetBusCount(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir) const noexcept
{
    if (type == Steinberg_Vst_MediaTypes_kAudio) {
        return 1;
    }
    if (type == Steinberg_Vst_MediaTypes_kEvent && dir == Steinberg_Vst_BusDirections_kInput) {
        return DoesMIDIIn() ? 1 : 0;
    }
    return 0;
}

Steinberg_tresult IVST3Binding::GetBusInfo(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir,
                                           Steinberg_int32 index, Steinberg_Vst_BusInfo* bus) const noexcept
{
    if (bus == nullptr || index < 0 || index >= GetBusCount(type, dir)) {
        return Steinberg_kInvalidArgument;
    }
    std::memset(bus, 0, sizeof *bus);
    bus->mediaType = type;
    bus->direction = dir;
    bus->busType = Steinberg_Vst_BusTypes_kMain;
    bus->flags = Steinberg_Vst_BusInfo_BusFlags_kDefaultActive;
    const char* name = "";
    if (type == Steinberg_Vst_MediaTypes_kAudio && dir == Steinberg_Vst_BusDirections_kInput) {
        bus->channelCount = mInputChannels;
        name = "Ambisonic In";
    } else if (type == Steinberg_Vst_MediaTypes_kAudio) {
        bus->channelCount = MaxNChannels(kRouteOutput);
        name = "Stereo Out";
    } else {
        bus->channelCount = 16; // MIDI channels
        name = "MIDI In";
    }
    CopyToUTF16(name, bus->name, 128);
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::ActivateBus(Steinberg_Vst_MediaType type, Steinberg_Vst_BusDirection dir,
                                            Steinberg_int32 index, Steinberg_TBool state) noexcept
{
    if (index < 0 || index >= GetBusCount(type, dir)) {
        return Steinberg_kInvalidArgument;
    }
    const int which = type == Steinberg_Vst_MediaTypes_kEvent ? 2 : (dir == Steinberg_Vst_BusDirections_kInput ? 0 : 1);
    mBusActive[which] = state != 0;
    return Steinberg_kResultOk;
}

int IVST3Binding::AmbisonicOrderOf(Steinberg_Vst_SpeakerArrangement arrangement) noexcept
{
    for (int order = 1; order <= 7; ++order) {
        if (arrangement == kAmbisonicArrangements[order - 1]) {
            return order;
        }
    }
    const int channels = std::popcount(arrangement);
    for (int order = 1; order <= 7; ++order) {
        if ((order + 1) * (order + 1) == channels) {
            return order;
        }
    }
    return 0;
}

Steinberg_tresult IVST3Binding::SetBusArrangements(const Steinberg_Vst_SpeakerArrangement* inputs,
                                                   Steinberg_int32 numIns,
                                                   const Steinberg_Vst_SpeakerArrangement* outputs,
                                                   Steinberg_int32 numOuts) noexcept
{
    // control thread, while inactive. Refused arrangements leave the buses as
    // they were; the host then asks which ones they are.
    if (mActive || numIns != 1 || numOuts != 1 || inputs == nullptr || outputs == nullptr ||
        outputs[0] != Steinberg_Vst_SpeakerArr_kStereo) {
        return Steinberg_kResultFalse;
    }
    const int order = AmbisonicOrderOf(inputs[0]);
    const int channels = std::popcount(inputs[0]);
    if (order == 0 || channels > MaxNChannels(kRouteInput)) {
        return Steinberg_kResultFalse;
    }
    mInputArrangement = inputs[0];
    mInputChannels = channels;
    if (mOrderParamIdx >= 0) {
        try {
            SetParameterFromProcessor(mOrderParamIdx, static_cast<double>(order - 1));
        } catch (const std::exception&) {
            return Steinberg_kInternalError;
        }
    }
    return Steinberg_kResultTrue;
}

Steinberg_tresult IVST3Binding::GetBusArrangement(Steinberg_Vst_BusDirection dir, Steinberg_int32 index,
                                                  Steinberg_Vst_SpeakerArrangement* arrangement) const noexcept
{
    if (arrangement == nullptr || index != 0) {
        return Steinberg_kInvalidArgument;
    }
    *arrangement = dir == Steinberg_Vst_BusDirections_kInput ? mInputArrangement : Steinberg_Vst_SpeakerArr_kStereo;
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::SetupProcessing(const Steinberg_Vst_ProcessSetup* setup) noexcept
{
    // control thread, while inactive.
    if (setup == nullptr || mActive) {
        return Steinberg_kResultFalse;
    }
    if (setup->symbolicSampleSize != Steinberg_Vst_SymbolicSampleSizes_kSample32) {
        WriteConsoleLine("QIRMatrixDecoder: 64-bit processing refused; the plug-in processes 32-bit samples");
        return Steinberg_kResultFalse;
    }
    if (!(setup->sampleRate >= mMinSampleRate && setup->sampleRate <= mMaxSampleRate)) {
        char line[160];
        std::snprintf(line, sizeof line, "%s: %g Hz is outside the rates it serves (%g to %g Hz)", GetPluginName(),
                      setup->sampleRate, mMinSampleRate, mMaxSampleRate);
        WriteConsoleLine(line);
        return Steinberg_kResultFalse;
    }
    mSetupSampleRate = setup->sampleRate;
    mMaxFrames = setup->maxSamplesPerBlock > 0 ? std::min<int>(setup->maxSamplesPerBlock, kMaxFramesLimit)
                                               : kDefaultMaxFrames;
    mProcessMode = setup->processMode;
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::SetActive(Steinberg_TBool state) noexcept
{
    // control thread.
    if (state == 0) {
        mActive = false;
        return Steinberg_kResultOk;
    }
    try {
        const auto frames = static_cast<std::size_t>(mMaxFrames);
        const auto nOut = static_cast<std::size_t>(MaxNChannels(kRouteOutput));
        mSilence.assign(frames, 0.0f);
        mDiscard.assign(frames * std::max<std::size_t>(nOut, 1), 0.0f);
        mDryInput.assign(frames, 0.0f);

        SetChannelConnections(kRouteInput, 0, MaxNChannels(kRouteInput), false);
        SetChannelConnections(kRouteInput, 0, mInputChannels, true);
        SetChannelConnections(kRouteOutput, 0, MaxNChannels(kRouteOutput), true);
        SetBlockSize(mMaxFrames);
        mSampleRate = mSetupSampleRate;
        OnReset();

        mDryDelay.assign(static_cast<std::size_t>(std::max(GetLatency(), 0)) + 1, 0.0f);
        mDryDelayHead = 0;
        mBypassGain = mBypassTarget.load();

        // The settings in place now are loaded before the first call, so that
        // the first call plays them; later changes load on the worker.
        DoWaitingWork();
        StartWorker();
    } catch (const std::exception& e) {
        char line[256];
        std::snprintf(line, sizeof line, "%s: cannot be activated: %s", GetPluginName(), e.what());
        WriteConsoleLine(line);
        return Steinberg_kOutOfMemory;
    }
    mActive = true;
    return Steinberg_kResultOk;
}

void IVST3Binding::SetLatency(int samples)
{
    IAudioProcessor::SetLatency(samples);
    if (mReportedLatency >= 0 && samples != mReportedLatency) {
        RestartComponent(Steinberg_Vst_RestartFlags_kLatencyChanged);
    }
    mReportedLatency = samples;
}

void IVST3Binding::RestartComponent(Steinberg_int32 flags) noexcept
{
    if (mComponentHandler != nullptr) {
        (void)mComponentHandler->lpVtbl->restartComponent(mComponentHandler, flags);
    }
}

Steinberg_tresult IVST3Binding::Process(Steinberg_Vst_ProcessData* data) noexcept
{
    // audio thread: never waits, allocates nothing. The call is cut at the
    // frames of its parameter points and events, so that each acts at its
    // own frame.
    if (data == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    if (data->symbolicSampleSize != Steinberg_Vst_SymbolicSampleSizes_kSample32) {
        return Steinberg_kResultFalse;
    }
    const int32_t nFrames = std::max<int32_t>(data->numSamples, 0);
    if (!mActive) {
        for (int32_t b = 0; b < data->numOutputs && data->outputs != nullptr; ++b) {
            Steinberg_Vst_AudioBusBuffers& bus = data->outputs[b];
            for (int32_t c = 0; c < bus.numChannels && bus.Steinberg_Vst_AudioBusBuffers_channelBuffers32; ++c) {
                if (float* out = bus.Steinberg_Vst_AudioBusBuffers_channelBuffers32[c]; out != nullptr) {
                    std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(nFrames));
                }
            }
        }
        return Steinberg_kResultOk;
    }


    int nQueues = 0;
    if (Steinberg_Vst_IParameterChanges* changes = data->inputParameterChanges; changes != nullptr) {
        const int count = changes->lpVtbl->getParameterCount(changes);
        for (int q = 0; q < count; ++q) {
            Steinberg_Vst_IParamValueQueue* queue = changes->lpVtbl->getParameterData(changes, q);
            if (queue == nullptr) {
                continue;
            }
            QueueCursor cursor;
            cursor.mQueue = queue;
            cursor.mID = queue->lpVtbl->getParameterId(queue);
            cursor.mCount = queue->lpVtbl->getPointCount(queue);
            if (cursor.mCount <= 0 ||
                queue->lpVtbl->getPoint(queue, 0, &cursor.mOffset, &cursor.mValue) != Steinberg_kResultOk) {
                continue;
            }
            if (nQueues < static_cast<int>(mCursors.size())) {
                mCursors[static_cast<std::size_t>(nQueues++)] = cursor;
            } else {
                // Beyond the queues followed frame by frame: the last point at the start.
                double last = cursor.mValue;
                int32_t offset = 0;
                (void)queue->lpVtbl->getPoint(queue, cursor.mCount - 1, &offset, &last);
                ApplyPoint(cursor.mID, last, 0);
            }
        }
    }
    Steinberg_Vst_IEventList* events = mBusActive[2] ? data->inputEvents : nullptr;
    const int32_t nEvents = events != nullptr ? events->lpVtbl->getEventCount(events) : 0;
    int32_t nextEvent = 0;
    Steinberg_Vst_Event event{};
    bool haveEvent = false;
    const auto fetchEvent = [&]() {
        haveEvent = false;
        while (nextEvent < nEvents && !haveEvent) {
            haveEvent = events->lpVtbl->getEvent(events, nextEvent++, &event) == Steinberg_kResultOk &&
                        event.busIndex == 0;
        }
    };
    fetchEvent();

    int32_t done = 0;
    for (;;) {
        // The next frame at which something happens; what is stamped before
        // the frames already processed happens now.
        int32_t next = nFrames;
        for (int q = 0; q < nQueues; ++q) {
            const QueueCursor& cursor = mCursors[static_cast<std::size_t>(q)];
            if (cursor.mIndex < cursor.mCount) {
                next = std::min(next, std::max(cursor.mOffset, done));
            }
        }
        if (haveEvent) {
            next = std::min(next, std::max(event.sampleOffset, done));
        }
        if (next > done) {
            ProcessFrames(*data, done, next);
            done = next;
        }
        bool pending = false;
        for (int q = 0; q < nQueues; ++q) {
            QueueCursor& cursor = mCursors[static_cast<std::size_t>(q)];
            while (cursor.mIndex < cursor.mCount && (cursor.mOffset <= done || done >= nFrames)) {
                ApplyPoint(cursor.mID, cursor.mValue, done);
                if (++cursor.mIndex < cursor.mCount &&
                    cursor.mQueue->lpVtbl->getPoint(cursor.mQueue, cursor.mIndex, &cursor.mOffset, &cursor.mValue) !=
                        Steinberg_kResultOk) {
                    cursor.mIndex = cursor.mCount;
                }
            }
            pending = pending || cursor.mIndex < cursor.mCount;
        }
        while (haveEvent && (event.sampleOffset <= done || done >= nFrames)) {
            HandleEvent(event);
            fetchEvent();
        }
        if (!pending && !haveEvent && done >= nFrames) {
            break;
        }
    }
    for (int q = 0; q < nQueues; ++q) {
        mCursors[static_cast<std::size_t>(q)] = QueueCursor{};
    }

    if (mProcessMode == Steinberg_Vst_ProcessModes_kOffline && mWork != nullptr && mWork->IsWorkWaiting()) {
        // An offline render may wait: the change loads before the next call.
        try {
            DoWaitingWork();
        } catch (const std::exception&) {
            ScheduleWaitingWork();
        }
    } else {
        ScheduleWaitingWork();
    }
    return Steinberg_kResultOk;
}

void IVST3Binding::ApplyPoint(Steinberg_Vst_ParamID id, double value, int32_t offset) noexcept
{
    // audio thread.
    value = std::clamp(value, 0.0, 1.0);
    if (id == BypassParamID()) {
        mBypassTarget.store(value >= 0.5 ? 1.0 : 0.0);
        return;
    }
    IParam* param = id < static_cast<Steinberg_Vst_ParamID>(NParams()) ? GetParam(static_cast<int>(id)) : nullptr;
    if (param == nullptr) {
        return;
    }
    param->SetNormalized(value);
    OnParamChange(static_cast<int>(id), kHost, offset);
}

void IVST3Binding::HandleEvent(const Steinberg_Vst_Event& event) noexcept
{
    // audio thread: the event's frame is the start of the stretch that follows.
    const auto velocity = [](float v) {
        return static_cast<uint8_t>(std::clamp(static_cast<int>(std::lround(v * 127.0f)), 0, 127));
    };
    switch (event.type) {
    case Steinberg_Vst_Event_EventTypes_kNoteOnEvent: {
        const auto& on = event.Steinberg_Vst_Event_noteOn;
        // A note-on of velocity 0 would read as a note-off: the softest is 1.
        const uint8_t v = std::max<uint8_t>(velocity(on.velocity), 1);
        ProcessMidiMsg(IMidiMsg(0, static_cast<uint8_t>(0x90 | (on.channel & 0x0F)),
                                static_cast<uint8_t>(on.pitch & 0x7F), v));
        break;
    }
    case Steinberg_Vst_Event_EventTypes_kNoteOffEvent: {
        const auto& off = event.Steinberg_Vst_Event_noteOff;
        ProcessMidiMsg(IMidiMsg(0, static_cast<uint8_t>(0x80 | (off.channel & 0x0F)),
                                static_cast<uint8_t>(off.pitch & 0x7F), velocity(off.velocity)));
        break;
    }
    case Steinberg_Vst_Event_EventTypes_kPolyPressureEvent: {
        const auto& pressure = event.Steinberg_Vst_Event_polyPressure;
        ProcessMidiMsg(IMidiMsg(0, static_cast<uint8_t>(0xA0 | (pressure.channel & 0x0F)),
                                static_cast<uint8_t>(pressure.pitch & 0x7F), velocity(pressure.pressure)));
        break;
    }
    default: break;
    }
}

void IVST3Binding::ProcessFrames(const Steinberg_Vst_ProcessData& data, int32_t start, int32_t end) noexcept
{
    // audio thread: frames [start, end) of the call, in stretches of at most
    // mMaxFrames. Channels the host does not give read silence or write into
    // the discard buffer.
    const Steinberg_Vst_AudioBusBuffers* in = data.numInputs > 0 && mBusActive[0] ? data.inputs : nullptr;
    const Steinberg_Vst_AudioBusBuffers* out = data.numOutputs > 0 ? data.outputs : nullptr;
    float* const* inChannels = in != nullptr ? in->Steinberg_Vst_AudioBusBuffers_channelBuffers32 : nullptr;
    float* const* outChannels = out != nullptr ? out->Steinberg_Vst_AudioBusBuffers_channelBuffers32 : nullptr;
    const int nInHost = inChannels != nullptr ? std::min(in->numChannels, mInputChannels) : 0;
    const int nOutHost = outChannels != nullptr ? out->numChannels : 0;
    const int nIn = mInputChannels;
    const int nOut = MaxNChannels(kRouteOutput);
    const auto maxFrames = static_cast<int32_t>(mMaxFrames);
    while (start < end) {
        const int32_t n = std::min(end - start, maxFrames);
        for (int c = 0; c < nIn; ++c) {
            float* p = c < nInHost ? inChannels[c] : nullptr;
            mInputPointers[static_cast<std::size_t>(c)] = p != nullptr ? p + start : mSilence.data();
        }
        for (int c = 0; c < nOut; ++c) {
            float* p = c < nOutHost ? outChannels[c] : nullptr;
            mOutputPointers[static_cast<std::size_t>(c)] =
                p != nullptr ? p + start : mDiscard.data() + static_cast<std::size_t>(c) * mSilence.size();
        }
        // The dry channel is kept before processing: the host may process in place.
        std::memcpy(mDryInput.data(), mInputPointers[0], sizeof(float) * static_cast<std::size_t>(n));
        AttachBuffers(kRouteInput, 0, nIn, mInputPointers.data(), static_cast<int>(n));
        AttachBuffers(kRouteOutput, 0, nOut, mOutputPointers.data(), static_cast<int>(n));
        ProcessBuffersWithOffset(0.0f, 0, static_cast<int>(n));
        MixBypass(mOutputPointers.data(), mDryInput.data(), n);
        start += n;
    }
    if (out != nullptr) {
        const_cast<Steinberg_Vst_AudioBusBuffers*>(out)->silenceFlags = 0;
    }
}

void IVST3Binding::MixBypass(float* const* outputs, const float* dry, int32_t n) noexcept
{
    // audio thread: the dry channel goes through a delay of the latency, so
    // that bypass keeps the timing; while not bypassed and not fading, only
    // the delay line is fed.
    const double target = mBypassTarget.load(std::memory_order_relaxed);
    const std::size_t size = mDryDelay.size();
    const int nOut = MaxNChannels(kRouteOutput);
    const double step = 1.0 / kBypassFadeFrames;
    for (int32_t i = 0; i < n; ++i) {
        // The ring holds the latency's frames and the new one: the slot after
        // the one written is the frame written a latency ago.
        mDryDelay[mDryDelayHead] = dry[i];
        mDryDelayHead = mDryDelayHead + 1 == size ? 0 : mDryDelayHead + 1;
        const float delayed = mDryDelay[mDryDelayHead];
        if (mBypassGain == 0.0 && target == 0.0) {
            continue;
        }
        mBypassGain = target > mBypassGain ? std::min(target, mBypassGain + step) : std::max(target, mBypassGain - step);
        const auto g = static_cast<float>(mBypassGain);
        for (int c = 0; c < nOut; ++c) {
            outputs[c][i] = outputs[c][i] * (1.0f - g) + delayed * g;
        }
    }
}

void IVST3Binding::ScheduleWaitingWork() noexcept
{
    // any thread: never waits. The worker clears the signal when it starts.
    if (mWork == nullptr || !mWork->IsWorkWaiting() || mWorkSignal.exchange(1) != 0) {
        return;
    }
    mWorkSignal.notify_one();
}

void IVST3Binding::DoWaitingWork()
{
    std::lock_guard<std::mutex> lock(mWorkMutex);
    if (mWork != nullptr && mWork->IsWorkWaiting()) {
        mWork->DoWork();
    }
}

void IVST3Binding::StartWorker()
{
    if (mWorker.joinable() || mWork == nullptr) {
        return;
    }
    mWorkerQuit.store(false);
    mWorker = std::thread([this] { WorkerLoop(); });
}

void IVST3Binding::StopWorker() noexcept
{
    if (!mWorker.joinable()) {
        return;
    }
    mWorkerQuit.store(true);
    mWorkSignal.store(1);
    mWorkSignal.notify_one();
    mWorker.join();
}

void IVST3Binding::WorkerLoop()
{
    // worker thread.
    for (;;) {
        mWorkSignal.wait(0);
        if (mWorkerQuit.load()) {
            return;
        }
        mWorkSignal.store(0);
        try {
            DoWaitingWork();
        } catch (const std::exception& e) {
            char line[256];
            std::snprintf(line, sizeof line, "%s: background work failed: %s", GetPluginName(), e.what());
            WriteConsoleLine(line);
        }
    }
}

bool IVST3Binding::ReadStream(Steinberg_IBStream* stream, std::vector<uint8_t>& bytes)
{
    bytes.clear();
    if (stream == nullptr) {
        return false;
    }
    uint8_t buffer[4096];
    for (;;) {
        Steinberg_int32 got = 0;
        if (stream->lpVtbl->read(stream, buffer, sizeof buffer, &got) != Steinberg_kResultOk || got <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + got);
        if (bytes.size() > (64u << 20)) {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> IVST3Binding::MakeStateChunk() const
{
    IByteChunk chunk;
    const int32_t id = GetUniqueID();
    const uint32_t version = kStateVersion;
    chunk.Put(&id);
    chunk.Put(&version);
    IByteChunk state;
    if (!SerializeState(state)) {
        return {};
    }
    chunk.PutChunk(state);
    return std::vector<uint8_t>(chunk.GetData(), chunk.GetData() + chunk.Size());
}

bool IVST3Binding::ParseStateChunk(const void* data, std::size_t size, const uint8_t*& payload,
                                   std::size_t& payloadSize, char* why, std::size_t whySize) const
{
    if (data == nullptr || size < static_cast<std::size_t>(kStateHeaderBytes)) {
        std::snprintf(why, whySize, "%zu bytes are too few for a state", data == nullptr ? 0 : size);
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    int32_t id = 0;
    uint32_t version = 0;
    std::memcpy(&id, bytes, sizeof id);
    std::memcpy(&version, bytes + sizeof id, sizeof version);
    if (id != GetUniqueID()) {
        std::snprintf(why, whySize, "it belongs to another plug-in (ID %08x)", static_cast<unsigned>(id));
        return false;
    }
    if (version != kStateVersion) {
        std::snprintf(why, whySize, "it has version %u, this plug-in reads version %u", version, kStateVersion);
        return false;
    }
    payload = bytes + kStateHeaderBytes;
    payloadSize = size - static_cast<std::size_t>(kStateHeaderBytes);
    if (!DoesStateChunks()) {
        const std::size_t expected = static_cast<std::size_t>(NParams()) * sizeof(double);
        if (payloadSize != expected) {
            std::snprintf(why, whySize, "it holds %zu bytes of settings where %zu were expected", payloadSize,
                          expected);
            return false;
        }
        for (int i = 0; i < NParams(); ++i) {
            double value = 0.0;
            std::memcpy(&value, payload + static_cast<std::size_t>(i) * sizeof value, sizeof value);
            if (!std::isfinite(value)) {
                std::snprintf(why, whySize, "the value of \"%s\" is not a number", GetParam(i)->GetName());
                return false;
            }
        }
    }
    return true;
}

bool IVST3Binding::ApplyStateChunk(const void* data, std::size_t size)
{
    char why[160] = "";
    const auto refuse = [this, &why]() {
        char line[256];
        std::snprintf(line, sizeof line, "%s: state refused, settings unchanged: %s", GetPluginName(), why);
        WriteConsoleLine(line);
        return false;
    };
    const uint8_t* payload = nullptr;
    std::size_t payloadSize = 0;
    if (!ParseStateChunk(data, size, payload, payloadSize, why, sizeof why)) {
        return refuse();
    }
    if (!RestoreStateBytes(payload, payloadSize, why, sizeof why)) {
        return refuse();
    }
    return true;
}

Steinberg_tresult IVST3Binding::SetState(Steinberg_IBStream* stream) noexcept
{
    try {
        std::vector<uint8_t> bytes;
        if (!ReadStream(stream, bytes)) {
            return Steinberg_kResultFalse;
        }
        if (!ApplyStateChunk(bytes.data(), bytes.size())) {
            return Steinberg_kResultFalse;
        }
        SyncControllerFromParams();
        ScheduleWaitingWork();
        return Steinberg_kResultOk;
    } catch (const std::exception&) {
        return Steinberg_kInternalError;
    }
}

Steinberg_tresult IVST3Binding::GetState(Steinberg_IBStream* stream) const noexcept
{
    if (stream == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    try {
        std::vector<uint8_t> bytes = MakeStateChunk();
        if (bytes.empty()) {
            return Steinberg_kInternalError;
        }
        Steinberg_int32 written = 0;
        const auto size = static_cast<Steinberg_int32>(bytes.size());
        if (stream->lpVtbl->write(stream, bytes.data(), size, &written) != Steinberg_kResultOk || written != size) {
            return Steinberg_kResultFalse;
        }
        return Steinberg_kResultOk;
    } catch (const std::exception&) {
        return Steinberg_kInternalError;
    }
}

Steinberg_tresult IVST3Binding::SetComponentState(Steinberg_IBStream* stream) noexcept
{
    // The controller's values from the component's state, without touching
    // the processor's (a plug-in with a format of its own is read from its
    // parameters, which the component's setState has set).
    try {
        std::vector<uint8_t> bytes;
        if (!ReadStream(stream, bytes)) {
            return Steinberg_kResultFalse;
        }
        char why[160] = "";
        const uint8_t* payload = nullptr;
        std::size_t payloadSize = 0;
        if (!ParseStateChunk(bytes.data(), bytes.size(), payload, payloadSize, why, sizeof why)) {
            return Steinberg_kResultFalse;
        }
        if (DoesStateChunks()) {
            SyncControllerFromParams();
            return Steinberg_kResultOk;
        }
        for (int i = 0; i < NParams(); ++i) {
            double value = 0.0;
            std::memcpy(&value, payload + static_cast<std::size_t>(i) * sizeof value, sizeof value);
            mControllerValues[static_cast<std::size_t>(i)] = GetParam(i)->ToNormalized(value);
        }
        return Steinberg_kResultOk;
    } catch (const std::exception&) {
        return Steinberg_kInternalError;
    }
}

void IVST3Binding::SyncControllerFromParams() noexcept
{
    for (int i = 0; i < NParams(); ++i) {
        mControllerValues[static_cast<std::size_t>(i)] = GetParam(i)->GetNormalized();
    }
    mControllerValues.back() = mBypassTarget.load();
}

void IVST3Binding::SetParameterFromProcessor(int paramIdx, double value)
{
    IParam* param = GetParam(paramIdx);
    if (param == nullptr) {
        return;
    }
    param->Set(value);
    OnParamChange(paramIdx, kHost, 0);
    mControllerValues[static_cast<std::size_t>(paramIdx)] = param->GetNormalized();
    RestartComponent(Steinberg_Vst_RestartFlags_kParamValuesChanged);
}

Steinberg_tresult IVST3Binding::GetParameterInfo(Steinberg_int32 paramIndex,
                                                 Steinberg_Vst_ParameterInfo* info) const noexcept
{
    if (info == nullptr || paramIndex < 0 || paramIndex > NParams()) {
        return Steinberg_kInvalidArgument;
    }
    std::memset(info, 0, sizeof *info);
    info->id = static_cast<Steinberg_Vst_ParamID>(paramIndex);
    if (paramIndex == NParams()) {
        CopyToUTF16("Bypass", info->title, 128);
        CopyToUTF16("Bypass", info->shortTitle, 128);
        info->stepCount = 1;
        info->defaultNormalizedValue = 0.0;
        info->flags = Steinberg_Vst_ParameterInfo_ParameterFlags_kCanAutomate |
                      Steinberg_Vst_ParameterInfo_ParameterFlags_kIsBypass;
        return Steinberg_kResultOk;
    }
    const IParam& param = *GetParam(paramIndex);
    CopyToUTF16(param.GetName(), info->title, 128);
    CopyToUTF16(param.GetName(), info->shortTitle, 128);
    CopyToUTF16(param.GetLabel(), info->units, 128);
    switch (param.Type()) {
    case IParam::kParamTypeBool: info->stepCount = 1; break;
    case IParam::kParamTypeInt:
    case IParam::kParamTypeEnum: info->stepCount = static_cast<Steinberg_int32>(std::lround(param.GetRange())); break;
    default:
        info->stepCount = param.GetStepped() && param.GetStep() > 0.0
                              ? static_cast<Steinberg_int32>(std::lround(param.GetRange() / param.GetStep()))
                              : 0;
        break;
    }
    info->defaultNormalizedValue = param.GetDefault(true);
    if (param.GetCanAutomate()) {
        info->flags |= Steinberg_Vst_ParameterInfo_ParameterFlags_kCanAutomate;
    }
    if (param.Type() == IParam::kParamTypeEnum) {
        info->flags |= Steinberg_Vst_ParameterInfo_ParameterFlags_kIsList;
    }
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::GetParamStringByValue(Steinberg_Vst_ParamID id, Steinberg_Vst_ParamValue normalized,
                                                      Steinberg_Vst_String128 text) const noexcept
{
    if (text == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    if (id == BypassParamID()) {
        CopyToUTF16(normalized >= 0.5 ? "on" : "off", text, 128);
        return Steinberg_kResultOk;
    }
    const IParam* param = id < static_cast<Steinberg_Vst_ParamID>(NParams()) ? GetParam(static_cast<int>(id)) : nullptr;
    if (param == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    try {
        TextBuf display;
        param->GetDisplay(std::clamp(normalized, 0.0, 1.0), true, display);
        CopyToUTF16(display.Get(), text, 128);
        return Steinberg_kResultOk;
    } catch (const std::exception&) {
        return Steinberg_kInternalError;
    }
}

Steinberg_tresult IVST3Binding::GetParamValueByString(Steinberg_Vst_ParamID id, const Steinberg_Vst_TChar* text,
                                                      Steinberg_Vst_ParamValue* normalized) const noexcept
{
    if (text == nullptr || normalized == nullptr) {
        return Steinberg_kInvalidArgument;
    }
    try {
        const std::string utf8 = ToUTF8(text, 128);
        if (id == BypassParamID()) {
            if (utf8 == "on" || utf8 == "1") {
                *normalized = 1.0;
            } else if (utf8 == "off" || utf8 == "0") {
                *normalized = 0.0;
            } else {
                return Steinberg_kResultFalse;
            }
            return Steinberg_kResultOk;
        }
        const IParam* param =
            id < static_cast<Steinberg_Vst_ParamID>(NParams()) ? GetParam(static_cast<int>(id)) : nullptr;
        if (param == nullptr) {
            return Steinberg_kInvalidArgument;
        }
        double value = 0.0;
        if (!param->MapDisplayText(utf8.c_str(), &value)) {
            char* end = nullptr;
            value = std::strtod(utf8.c_str(), &end);
            if (end == utf8.c_str()) {
                return Steinberg_kResultFalse;
            }
        }
        *normalized = param->ToNormalized(param->Constrain(value));
        return Steinberg_kResultOk;
    } catch (const std::exception&) {
        return Steinberg_kInternalError;
    }
}

Steinberg_Vst_ParamValue IVST3Binding::NormalizedParamToPlain(Steinberg_Vst_ParamID id,
                                                              Steinberg_Vst_ParamValue normalized) const noexcept
{
    if (id == BypassParamID()) {
        return normalized >= 0.5 ? 1.0 : 0.0;
    }
    const IParam* param = id < static_cast<Steinberg_Vst_ParamID>(NParams()) ? GetParam(static_cast<int>(id)) : nullptr;
    return param != nullptr ? param->FromNormalized(std::clamp(normalized, 0.0, 1.0)) : normalized;
}

Steinberg_Vst_ParamValue IVST3Binding::PlainParamToNormalized(Steinberg_Vst_ParamID id,
                                                              Steinberg_Vst_ParamValue plain) const noexcept
{
    if (id == BypassParamID()) {
        return plain >= 0.5 ? 1.0 : 0.0;
    }
    const IParam* param = id < static_cast<Steinberg_Vst_ParamID>(NParams()) ? GetParam(static_cast<int>(id)) : nullptr;
    return param != nullptr ? param->ToNormalized(param->Constrain(plain)) : plain;
}

Steinberg_Vst_ParamValue IVST3Binding::GetParamNormalized(Steinberg_Vst_ParamID id) const noexcept
{
    return id < mControllerValues.size() ? mControllerValues[id] : 0.0;
}

Steinberg_tresult IVST3Binding::SetParamNormalized(Steinberg_Vst_ParamID id, Steinberg_Vst_ParamValue value) noexcept
{
    // The controller's value only: the processor takes changes through
    // process, as the host sends them.
    if (id >= mControllerValues.size()) {
        return Steinberg_kInvalidArgument;
    }
    mControllerValues[id] = std::clamp(value, 0.0, 1.0);
    return Steinberg_kResultOk;
}

Steinberg_tresult IVST3Binding::SetComponentHandler(Steinberg_Vst_IComponentHandler* handler) noexcept
{
    if (handler == mComponentHandler) {
        return Steinberg_kResultOk;
    }
    if (mComponentHandler != nullptr) {
        mComponentHandler->lpVtbl->release(mComponentHandler);
    }
    mComponentHandler = handler;
    if (mComponentHandler != nullptr) {
        mComponentHandler->lpVtbl->addRef(mComponentHandler);
    }
    return Steinberg_kResultOk;
}

void IVST3Binding::WriteConsoleLine(const char* line)
{
    std::fprintf(stderr, "%s\n", line != nullptr ? line : "");
}

} // namespace plugfw
