// host/lv2: the LV2 binding.
#include "host/lv2/ILV2Binding.h"

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

namespace plugfw {

namespace {

const void* FindFeature(const LV2_Feature* const* features, const char* uri) noexcept
{
    if (features == nullptr) {
        return nullptr;
    }
    for (const LV2_Feature* const* f = features; *f != nullptr; ++f) {
        if ((*f)->URI != nullptr && std::strcmp((*f)->URI, uri) == 0) {
            return (*f)->data;
        }
    }
    return nullptr;
}

void WriteToLog(LV2_Log_Log* log, LV2_URID type, const char* line)
{
    if (log != nullptr && type != 0) {
        log->printf(log->handle, type, "%s\n", line);
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
}

} // namespace

LV2PortLayout::LV2PortLayout(int nAudioInputs, int nAudioOutputs, bool midiInput, int nControlInputs) noexcept
    : mAudioInputs(std::max(nAudioInputs, 0))
    , mAudioOutputs(std::max(nAudioOutputs, 0))
    , mMidiInput(midiInput)
    , mControlInputs(std::max(nControlInputs, 0))
{
}

LV2PortLayout::EPortKind LV2PortLayout::KindOf(uint32_t port, int& index) const noexcept
{
    const auto p = static_cast<int64_t>(port);
    if (p < mAudioInputs) {
        index = static_cast<int>(p);
        return kAudioInput;
    }
    if (p < static_cast<int64_t>(AudioOutput(mAudioOutputs))) {
        index = static_cast<int>(p - mAudioInputs);
        return kAudioOutput;
    }
    if (mMidiInput && port == MidiInput()) {
        index = 0;
        return kMidiInput;
    }
    if (p < static_cast<int64_t>(LatencyOutput())) {
        index = static_cast<int>(p - ControlInput(0));
        return kControlInput;
    }
    if (port == LatencyOutput()) {
        index = 0;
        return kLatencyOutput;
    }
    index = -1;
    return kNoPort;
}

ILV2Binding::ILV2Binding(const InstanceInfo& info, const Config& config)
    : IHostAPIBase(config, kAPILV2)
    , IAudioProcessor(config, kAPILV2)
    , mLayout(MaxNChannels(kRouteInput), MaxNChannels(kRouteOutput), DoesMIDIIn(), info.mNumControlPorts)
    , mControlPortInfo(info.mControlPorts, info.mControlPorts + std::max(info.mNumControlPorts, 0))
    , mBundlePath(info.mBundlePath != nullptr ? info.mBundlePath : "")
    , mInstanceSampleRate(info.mSampleRate)
{
    mMap = static_cast<LV2_URID_Map*>(const_cast<void*>(FindFeature(info.mFeatures, LV2_URID__map)));
    mLog = static_cast<LV2_Log_Log*>(const_cast<void*>(FindFeature(info.mFeatures, LV2_LOG__log)));
    mSchedule = static_cast<LV2_Worker_Schedule*>(const_cast<void*>(FindFeature(info.mFeatures, LV2_WORKER__schedule)));
    if (mMap != nullptr) {
        const auto map = [this](const char* uri) { return mMap->map(mMap->handle, uri); };
        mURIDs.atomChunk = map(LV2_ATOM__Chunk);
        mURIDs.atomInt = map(LV2_ATOM__Int);
        mURIDs.atomSequence = map(LV2_ATOM__Sequence);
        mURIDs.atomFrameTime = map(LV2_ATOM__frameTime);
        mURIDs.midiEvent = map(LV2_MIDI__MidiEvent);
        mURIDs.maxBlockLength = map(LV2_BUF_SIZE__maxBlockLength);
        mURIDs.nominalBlockLength = map(LV2_BUF_SIZE__nominalBlockLength);
        mURIDs.logError = map(LV2_LOG__Error);
        mURIDs.logWarning = map(LV2_LOG__Warning);
        mURIDs.logNote = map(LV2_LOG__Note);
        const std::string stateKey = std::string(info.mPluginURI != nullptr ? info.mPluginURI : "") + "#state";
        mURIDs.stateKey = map(stateKey.c_str());
    }
    ReadOptions(info.mFeatures);

    const auto nIn = static_cast<std::size_t>(mLayout.NumAudioInputs());
    const auto nOut = static_cast<std::size_t>(mLayout.NumAudioOutputs());
    const auto nControls = static_cast<std::size_t>(mLayout.NumControlInputs());
    const auto frames = static_cast<std::size_t>(mMaxFrames);
    mAudioInputPorts.assign(nIn, nullptr);
    mAudioOutputPorts.assign(nOut, nullptr);
    mControlInputPorts.assign(nControls, nullptr);
    mLastPortValues.assign(nControls, std::numeric_limits<float>::quiet_NaN());
    mInputPointers.assign(nIn, nullptr);
    mOutputPointers.assign(nOut, nullptr);
    mSilence.assign(frames, 0.0f);
    mDiscard.assign(frames * std::max<std::size_t>(nOut, 1), 0.0f);
}

ILV2Binding::~ILV2Binding() = default;

void ILV2Binding::ReadOptions(const LV2_Feature* const* features) noexcept
{
    const auto* options = static_cast<const LV2_Options_Option*>(FindFeature(features, LV2_OPTIONS__options));
    if (options == nullptr || mMap == nullptr) {
        return;
    }
    int maxBlock = 0;
    int nominalBlock = 0;
    for (const LV2_Options_Option* o = options; o->key != 0; ++o) {
        if (o->context != LV2_OPTIONS_INSTANCE || o->type != mURIDs.atomInt || o->size != sizeof(int32_t) ||
            o->value == nullptr) {
            continue;
        }
        int32_t value = 0;
        std::memcpy(&value, o->value, sizeof value);
        if (o->key == mURIDs.maxBlockLength) {
            maxBlock = value;
        } else if (o->key == mURIDs.nominalBlockLength) {
            nominalBlock = value;
        }
    }
    // Runs longer than this are processed in pieces, so a host that states no
    // maximum (or exceeds it) still gets every frame.
    const int frames = maxBlock > 0 ? maxBlock : nominalBlock;
    if (frames > 0) {
        mMaxFrames = std::clamp(frames, 1, kMaxFramesLimit);
    }
}

void ILV2Binding::ConnectPort(uint32_t port, void* data) noexcept
{
    // audio thread (or instantiation): stores the pointer only. Port indices
    // outside the layout are ignored.
    int index = 0;
    switch (mLayout.KindOf(port, index)) {
    case LV2PortLayout::kAudioInput:
        mAudioInputPorts[static_cast<std::size_t>(index)] = static_cast<const float*>(data);
        break;
    case LV2PortLayout::kAudioOutput:
        mAudioOutputPorts[static_cast<std::size_t>(index)] = static_cast<float*>(data);
        break;
    case LV2PortLayout::kMidiInput: mMidiPort = static_cast<const LV2_Atom_Sequence*>(data); break;
    case LV2PortLayout::kControlInput:
        mControlInputPorts[static_cast<std::size_t>(index)] = static_cast<const float*>(data);
        break;
    case LV2PortLayout::kLatencyOutput: mLatencyPort = static_cast<float*>(data); break;
    case LV2PortLayout::kNoPort: break;
    }
}

void ILV2Binding::Activate()
{
    // Every channel record stays connected: the plug-in's channel count comes
    // from its settings, never from which ports the host connected. Absent
    // inputs read silence (see ProcessFrames).
    SetChannelConnections(kRouteInput, 0, mLayout.NumAudioInputs(), true);
    SetChannelConnections(kRouteOutput, 0, mLayout.NumAudioOutputs(), true);
    SetBlockSize(mMaxFrames);
    mSampleRate = mInstanceSampleRate;
    OnReset();
    mActive = true;

    // Without a worker thread the work waits for no one: the settings the
    // ports hold now are applied and the work is done here, off the audio
    // thread. Later changes that need work take effect at the next activation.
    if (mSchedule == nullptr && mWork != nullptr) {
        if (!mToldNoWorker) {
            mToldNoWorker = true;
            char line[256];
            std::snprintf(line, sizeof line,
                          "%s: the host runs no worker thread; background work (such as loading) is done when "
                          "the plug-in is activated",
                          GetPluginName());
            LogLine(LV2_LOG__Note, line);
        }
        ApplyControlPorts();
        if (mWork->IsWorkWaiting()) {
            mWork->DoWork();
        }
    }
}

void ILV2Binding::Deactivate() noexcept
{
    mActive = false;
}

void ILV2Binding::ApplyControlPorts() noexcept
{
    // audio thread (or activation): a port whose value changed is a host
    // parameter change at the first frame of the run.
    const bool all = mReapplyPorts.exchange(false);
    for (std::size_t k = 0; k < mControlInputPorts.size(); ++k) {
        const float* port = mControlInputPorts[k];
        if (port == nullptr) {
            continue;
        }
        const float value = *port;
        if (!std::isfinite(value) || (!all && value == mLastPortValues[k])) {
            continue;
        }
        mLastPortValues[k] = value;
        const LV2ControlPort& info = mControlPortInfo[k];
        IParam* param = GetParam(info.mParamIdx);
        if (param == nullptr) {
            continue;
        }
        param->Set(static_cast<double>(value) * info.mScale);
        OnParamChange(info.mParamIdx, kHost, 0);
    }
}

void ILV2Binding::ScheduleWaitingWork() noexcept
{
    // audio thread. The flag is set before the call: a host may run the work
    // inside schedule_work, and the work clears it when done.
    if (mSchedule == nullptr || mWork == nullptr || !mWork->IsWorkWaiting() || mWorkScheduled.exchange(true)) {
        return;
    }
    static constexpr uint32_t kWorkToken = 1;
    if (mSchedule->schedule_work(mSchedule->handle, sizeof kWorkToken, &kWorkToken) != LV2_WORKER_SUCCESS) {
        mWorkScheduled.store(false);
    }
}

void ILV2Binding::Run(uint32_t nFrames) noexcept
{
    // audio thread: never waits, allocates nothing.
    if (mLatencyPort != nullptr) {
        *mLatencyPort = static_cast<float>(GetLatency());
    }
    if (!mActive) {
        for (float* out : mAudioOutputPorts) {
            if (out != nullptr) {
                std::memset(out, 0, sizeof(float) * nFrames);
            }
        }
        return;
    }

    // Port changes first, then the work they call for: a host that runs the
    // work at once has it take effect in this very run.
    ApplyControlPorts();
    ScheduleWaitingWork();

    uint32_t done = 0;
    if (mMidiPort != nullptr && mMap != nullptr && mMidiPort->atom.type == mURIDs.atomSequence) {
        // Events in beat time carry no frame: they take effect at the start.
        const bool frameTime = mMidiPort->body.unit == 0 || mMidiPort->body.unit == mURIDs.atomFrameTime;
        LV2_ATOM_SEQUENCE_FOREACH(mMidiPort, event)
        {
            // Events arrive in time order; one stamped earlier than the
            // previous one, or after the run's end, is taken at the nearest
            // frame the run can still give it.
            const int64_t stamped = frameTime ? event->time.frames : 0;
            const auto at = static_cast<uint32_t>(std::clamp<int64_t>(stamped, done, nFrames));
            if (at > done) {
                ProcessFrames(done, at);
                done = at;
            }
            HandleMidiEvent(*event);
        }
    }
    if (done < nFrames) {
        ProcessFrames(done, nFrames);
    }
}

void ILV2Binding::ProcessFrames(uint32_t start, uint32_t end) noexcept
{
    // audio thread: frames [start, end) of the run, in stretches of at most
    // mMaxFrames. The processor only reads its inputs, so the host's input
    // buffers are handed over as they are.
    const auto maxFrames = static_cast<uint32_t>(mMaxFrames);
    while (start < end) {
        const uint32_t n = std::min(end - start, maxFrames);
        for (std::size_t c = 0; c < mAudioInputPorts.size(); ++c) {
            const float* port = mAudioInputPorts[c];
            mInputPointers[c] = port != nullptr ? const_cast<float*>(port + start) : mSilence.data();
        }
        for (std::size_t c = 0; c < mAudioOutputPorts.size(); ++c) {
            float* port = mAudioOutputPorts[c];
            mOutputPointers[c] = port != nullptr ? port + start : mDiscard.data() + c * maxFrames;
        }
        AttachBuffers(kRouteInput, 0, mLayout.NumAudioInputs(), mInputPointers.data(), static_cast<int>(n));
        AttachBuffers(kRouteOutput, 0, mLayout.NumAudioOutputs(), mOutputPointers.data(), static_cast<int>(n));
        ProcessBuffersWithOffset(0.0f, 0, static_cast<int>(n));
        start += n;
    }
}

void ILV2Binding::HandleMidiEvent(const LV2_Atom_Event& event) noexcept
{
    // audio thread: the event's frame is the start of the stretch that follows.
    if (event.body.type != mURIDs.midiEvent || event.body.size == 0) {
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(LV2_ATOM_BODY_CONST(&event.body));
    const uint32_t size = event.body.size;
    const IMidiMsg msg(0, bytes[0], size > 1 ? bytes[1] : 0, size > 2 ? bytes[2] : 0);
    ProcessMidiMsg(msg);
}

LV2_Worker_Status ILV2Binding::Work(LV2_Worker_Respond_Function /*respond*/, LV2_Worker_Respond_Handle /*handle*/,
                                    uint32_t /*size*/, const void* /*data*/)
{
    // worker thread. Cleared after the work, so a request that arrived while it
    // ran is scheduled by the next run.
    mWorkInProgress.fetch_add(1);
    LV2_Worker_Status status = LV2_WORKER_SUCCESS;
    if (mWork != nullptr) {
        try {
            mWork->DoWork();
        } catch (const std::exception&) {
            status = LV2_WORKER_ERR_UNKNOWN;
        }
    }
    mWorkScheduled.store(false);
    mWorkInProgress.fetch_sub(1);
    return status;
}

LV2_Worker_Status ILV2Binding::WorkResponse(uint32_t /*size*/, const void* /*body*/) noexcept
{
    // audio thread: the work sends no responses; its result waits in the
    // plug-in's own hand-over slot.
    return LV2_WORKER_SUCCESS;
}

void ILV2Binding::WaitForWork() const noexcept
{
    while (mWorkInProgress.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::vector<uint8_t> ILV2Binding::MakeStateBlob() const
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

bool ILV2Binding::ApplyStateBlob(const void* data, std::size_t size)
{
    char why[160];
    const auto refuse = [this, &why]() {
        char line[256];
        std::snprintf(line, sizeof line, "%s: state refused, settings unchanged: %s", GetPluginName(), why);
        LogLine(LV2_LOG__Error, line);
        return false;
    };
    if (data == nullptr || size < static_cast<std::size_t>(kStateHeaderBytes)) {
        std::snprintf(why, sizeof why, "%zu bytes are too few for a state", data == nullptr ? 0 : size);
        return refuse();
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    int32_t id = 0;
    uint32_t version = 0;
    std::memcpy(&id, bytes, sizeof id);
    std::memcpy(&version, bytes + sizeof id, sizeof version);
    if (id != GetUniqueID()) {
        std::snprintf(why, sizeof why, "it belongs to another plug-in (ID %08x)", static_cast<unsigned>(id));
        return refuse();
    }
    if (version != kStateVersion) {
        std::snprintf(why, sizeof why, "it has version %u, this plug-in reads version %u", version, kStateVersion);
        return refuse();
    }
    const uint8_t* payload = bytes + kStateHeaderBytes;
    const std::size_t payloadSize = size - kStateHeaderBytes;
    if (payloadSize > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        std::snprintf(why, sizeof why, "%zu bytes are too many for a state", size);
        return refuse();
    }
    if (!DoesStateChunks()) {
        // The parameters' state: one double per parameter, every one a number.
        const auto expected = static_cast<std::size_t>(NParams()) * sizeof(double);
        if (payloadSize != expected) {
            std::snprintf(why, sizeof why, "it holds %zu bytes of settings where %zu were expected", payloadSize,
                          expected);
            return refuse();
        }
        for (int i = 0; i < NParams(); ++i) {
            double value = 0.0;
            std::memcpy(&value, payload + static_cast<std::size_t>(i) * sizeof value, sizeof value);
            if (!std::isfinite(value)) {
                std::snprintf(why, sizeof why, "the value of \"%s\" is not a number", GetParam(i)->GetName());
                return refuse();
            }
        }
    }

    if (!RestoreStateBytes(payload, payloadSize, why, sizeof why)) {
        return refuse();
    }
    mReapplyPorts.store(true);
    return true;
}

LV2_State_Status ILV2Binding::SaveState(LV2_State_Store_Function store, LV2_State_Handle handle, uint32_t /*flags*/,
                                        const LV2_Feature* const* /*features*/)
{
    if (mMap == nullptr) {
        return LV2_STATE_ERR_NO_FEATURE;
    }
    const std::vector<uint8_t> blob = MakeStateBlob();
    if (blob.empty()) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    return store(handle, mURIDs.stateKey, blob.data(), blob.size(), mURIDs.atomChunk,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status ILV2Binding::RestoreState(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                                           uint32_t /*flags*/, const LV2_Feature* const* /*features*/)
{
    if (mMap == nullptr) {
        return LV2_STATE_ERR_NO_FEATURE;
    }
    std::size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* data = retrieve(handle, mURIDs.stateKey, &size, &type, &flags);
    if (data == nullptr) {
        return LV2_STATE_ERR_NO_PROPERTY;
    }
    if (type != mURIDs.atomChunk) {
        char line[256];
        std::snprintf(line, sizeof line, "%s: state refused, settings unchanged: it is not a chunk of bytes",
                      GetPluginName());
        LogLine(LV2_LOG__Error, line);
        return LV2_STATE_ERR_BAD_TYPE;
    }
    return ApplyStateBlob(data, size) ? LV2_STATE_SUCCESS : LV2_STATE_ERR_UNKNOWN;
}

LV2_URID ILV2Binding::LogLevel(const char* level) const noexcept
{
    if (std::strcmp(level, LV2_LOG__Error) == 0) {
        return mURIDs.logError;
    }
    if (std::strcmp(level, LV2_LOG__Warning) == 0) {
        return mURIDs.logWarning;
    }
    return mURIDs.logNote;
}

void ILV2Binding::LogLine(const char* level, const char* line) const
{
    WriteToLog(mLog, LogLevel(level), line);
}

void ILV2Binding::WriteConsoleLine(const char* line)
{
    LogLine(LV2_LOG__Note, line != nullptr ? line : "");
}

void ILV2Binding::LogLine(const LV2_Feature* const* features, const char* level, const char* line)
{
    auto* map = static_cast<LV2_URID_Map*>(const_cast<void*>(FindFeature(features, LV2_URID__map)));
    auto* log = static_cast<LV2_Log_Log*>(const_cast<void*>(FindFeature(features, LV2_LOG__log)));
    WriteToLog(log, map != nullptr ? map->map(map->handle, level) : 0, line);
}

} // namespace plugfw
