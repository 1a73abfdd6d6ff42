// host/lv2: the LV2 entry points of the decoder plug-in. An instance is the
// plug-in object on the LV2 binding together with the work the binding passes
// to the host's worker thread: reading and building decoder sets, and freeing
// the ones the audio thread has handed back.
#include "plugin/QIRMatrixDecoder.h"
#include "host/lv2/QIRMatrixDecoderLV2.h"

#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <string_view>

namespace {

// Decoder-set loading on the host's worker thread: the audio thread only asks
// whether a load or a release waits; the worker does it.
class DecoderSetWork final : public plugfw::ILV2Work {
public:
    explicit DecoderSetWork(qir::QIRMatrixDecoderDSP& engine) noexcept : mEngine(engine) {}

    bool IsWorkWaiting() const noexcept override { return mEngine.IsLoadRequested() || mEngine.HasRetiredSets(); }

    void DoWork() override
    {
        // worker thread: a request made while this load runs is scheduled again
        // by the next run.
        (void)mEngine.LoadRequestedSet();
        mEngine.ReleaseRetiredSets();
    }

private:
    qir::QIRMatrixDecoderDSP& mEngine;
};

struct Instance {
    std::unique_ptr<plugfw::ILV2Binding> mPlug;
    std::unique_ptr<DecoderSetWork> mWork;

    ~Instance()
    {
        // A worker thread still inside the work reads the engine: it finishes
        // before the plug-in goes.
        if (mPlug) {
            mPlug->WaitForWork();
        }
    }
};

plugfw::ILV2Binding& Plug(LV2_Handle handle) noexcept
{
    return *static_cast<Instance*>(handle)->mPlug;
}

LV2_Handle Instantiate(const LV2_Descriptor* /*descriptor*/, double sampleRate, const char* bundlePath,
                       const LV2_Feature* const* features)
{
    if (!(sampleRate >= qir::lv2::kMinSampleRate && sampleRate <= qir::lv2::kMaxSampleRate)) {
        char line[160];
        std::snprintf(line, sizeof line, "QIRMatrixDecoder: %g Hz is outside the rates it serves (%g to %g Hz)",
                      sampleRate, qir::lv2::kMinSampleRate, qir::lv2::kMaxSampleRate);
        plugfw::ILV2Binding::LogLine(features, LV2_LOG__Error, line);
        return nullptr;
    }
    try {
        const auto ports = qir::lv2::ControlPorts();
        plugfw::InstanceInfo info;
        info.mSampleRate = sampleRate;
        info.mBundlePath = bundlePath;
        info.mFeatures = features;
        info.mPluginURI = qir::lv2::kPluginURI;
        info.mControlPorts = ports.data();
        info.mNumControlPorts = static_cast<int>(ports.size());

        auto instance = std::make_unique<Instance>();
        instance->mPlug = plugfw::MakePlugin(info);
        qir::QIRMatrixDecoderDSP& engine = static_cast<QIRMatrixDecoder&>(*instance->mPlug).GetDSP();
        engine.SetDecoderSetFolder(qir::lv2::DecoderSetFolder(bundlePath));
        instance->mWork = std::make_unique<DecoderSetWork>(engine);
        instance->mPlug->SetWork(instance->mWork.get());
        return instance.release();
    } catch (const std::exception& e) {
        char line[256];
        std::snprintf(line, sizeof line, "QIRMatrixDecoder: cannot be instantiated: %s", e.what());
        plugfw::ILV2Binding::LogLine(features, LV2_LOG__Error, line);
        return nullptr;
    }
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data)
{
    // audio thread: never waits.
    Plug(handle).ConnectPort(port, data);
}

void Activate(LV2_Handle handle)
{
    try {
        Plug(handle).Activate();
    } catch (const std::exception& e) {
        // Out of memory for the processing buffers: the instance stays
        // inactive and its runs write silence.
        char line[256];
        std::snprintf(line, sizeof line, "QIRMatrixDecoder: cannot be activated: %s", e.what());
        Plug(handle).LogLine(LV2_LOG__Error, line);
    }
}

void Run(LV2_Handle handle, uint32_t nFrames)
{
    // audio thread: never waits, allocates nothing.
    Plug(handle).Run(nFrames);
}

void Deactivate(LV2_Handle handle)
{
    Plug(handle).Deactivate();
}

void Cleanup(LV2_Handle handle)
{
    delete static_cast<Instance*>(handle);
}

LV2_Worker_Status Work(LV2_Handle handle, LV2_Worker_Respond_Function respond, LV2_Worker_Respond_Handle respondHandle,
                       uint32_t size, const void* data)
{
    return Plug(handle).Work(respond, respondHandle, size, data);
}

LV2_Worker_Status WorkResponse(LV2_Handle handle, uint32_t size, const void* body)
{
    // audio thread: never waits.
    return Plug(handle).WorkResponse(size, body);
}

LV2_State_Status SaveState(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle stateHandle,
                           uint32_t flags, const LV2_Feature* const* features)
{
    try {
        return Plug(handle).SaveState(store, stateHandle, flags, features);
    } catch (const std::exception&) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

LV2_State_Status RestoreState(LV2_Handle handle, LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle,
                              uint32_t flags, const LV2_Feature* const* features)
{
    try {
        return Plug(handle).RestoreState(retrieve, stateHandle, flags, features);
    } catch (const std::exception&) {
        return LV2_STATE_ERR_UNKNOWN;
    }
}

const void* ExtensionData(const char* uri)
{
    static const LV2_Worker_Interface worker = {Work, WorkResponse, nullptr};
    static const LV2_State_Interface state = {SaveState, RestoreState};
    if (std::string_view(uri) == LV2_WORKER__interface) {
        return &worker;
    }
    if (std::string_view(uri) == LV2_STATE__interface) {
        return &state;
    }
    return nullptr;
}

const LV2_Descriptor kDescriptor = {
    qir::lv2::kPluginURI, Instantiate, ConnectPort, Activate, Run, Deactivate, Cleanup, ExtensionData,
};

} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    return index == 0 ? &kDescriptor : nullptr;
}
