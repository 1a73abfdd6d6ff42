// tests/vst3: the test host.
#include "tests/vst3/VST3TestHost.h"

#include "host/vst3/QIRMatrixDecoderVST3.h"
#include "tests/support/AllocationCounter.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#ifndef QIR_VST3_TEST_PREFIX
#error "QIR_VST3_TEST_PREFIX must name the prefix the bundle is installed into"
#endif

namespace qirtest {

fs::path InstalledVST3Prefix()
{
    return QIR_VST3_TEST_PREFIX;
}

fs::path InstalledVST3Bundle()
{
    return InstalledVST3Prefix() / "lib" / "vst3" / "qir-matrix-decoder.vst3";
}

fs::path InstalledVST3Module()
{
    return InstalledVST3Bundle() / "Contents" / "x86_64-linux" / "qir-matrix-decoder.so";
}

namespace {

template <typename T>
T& Self(void* self)
{
    return *static_cast<T*>(static_cast<HostObject*>(self));
}

bool SameID(const Steinberg_TUID a, const Steinberg_TUID b)
{
    return std::memcmp(a, b, sizeof(Steinberg_TUID)) == 0;
}

Steinberg_uint32 SMTG_STDMETHODCALLTYPE AddRef(void* self)
{
    return static_cast<HostObject*>(self)->mRefs.fetch_add(1) + 1;
}

// Host objects live on the test's stack: the count only records.
Steinberg_uint32 SMTG_STDMETHODCALLTYPE Release(void* self)
{
    return static_cast<HostObject*>(self)->mRefs.fetch_sub(1) - 1;
}

template <const Steinberg_TUID* kIID>
Steinberg_tresult SMTG_STDMETHODCALLTYPE QueryOne(void* self, const Steinberg_TUID iid, void** obj)
{
    if (SameID(iid, *kIID) || SameID(iid, Steinberg_FUnknown_iid)) {
        AddRef(self);
        *obj = self;
        return Steinberg_kResultOk;
    }
    *obj = nullptr;
    return Steinberg_kNoInterface;
}

// IBStream.
Steinberg_tresult SMTG_STDMETHODCALLTYPE StreamRead(void* self, void* buffer, Steinberg_int32 n, Steinberg_int32* got)
{
    MemoryStream& s = Self<MemoryStream>(self);
    const auto left = static_cast<int64_t>(s.mBytes.size()) - s.mPosition;
    const auto count = static_cast<Steinberg_int32>(std::clamp<int64_t>(left, 0, std::max(n, 0)));
    if (count > 0) {
        std::memcpy(buffer, s.mBytes.data() + s.mPosition, static_cast<std::size_t>(count));
    }
    s.mPosition += count;
    if (got != nullptr) {
        *got = count;
    }
    return Steinberg_kResultOk;
}

Steinberg_tresult SMTG_STDMETHODCALLTYPE StreamWrite(void* self, void* buffer, Steinberg_int32 n,
                                                     Steinberg_int32* written)
{
    MemoryStream& s = Self<MemoryStream>(self);
    const auto end = static_cast<std::size_t>(s.mPosition) + static_cast<std::size_t>(std::max(n, 0));
    if (s.mBytes.size() < end) {
        s.mBytes.resize(end);
    }
    std::memcpy(s.mBytes.data() + s.mPosition, buffer, static_cast<std::size_t>(std::max(n, 0)));
    s.mPosition = static_cast<int64_t>(end);
    if (written != nullptr) {
        *written = n;
    }
    return Steinberg_kResultOk;
}

Steinberg_tresult SMTG_STDMETHODCALLTYPE StreamSeek(void* self, Steinberg_int64 pos, Steinberg_int32 mode,
                                                    Steinberg_int64* result)
{
    MemoryStream& s = Self<MemoryStream>(self);
    const int64_t base = mode == Steinberg_IBStream_IStreamSeekMode_kIBSeekSet   ? 0
                         : mode == Steinberg_IBStream_IStreamSeekMode_kIBSeekCur ? s.mPosition
                                                                                  : static_cast<int64_t>(s.mBytes.size());
    s.mPosition = std::max<int64_t>(base + pos, 0);
    if (result != nullptr) {
        *result = s.mPosition;
    }
    return Steinberg_kResultOk;
}

Steinberg_tresult SMTG_STDMETHODCALLTYPE StreamTell(void* self, Steinberg_int64* pos)
{
    *pos = Self<MemoryStream>(self).mPosition;
    return Steinberg_kResultOk;
}

const Steinberg_IBStreamVtbl kStreamTable = {QueryOne<&Steinberg_IBStream_iid>, AddRef, Release, StreamRead,
                                             StreamWrite, StreamSeek, StreamTell};

// IParamValueQueue.
Steinberg_Vst_ParamID SMTG_STDMETHODCALLTYPE QueueID(void* self)
{
    return Self<ParamQueue>(self).mID;
}
Steinberg_int32 SMTG_STDMETHODCALLTYPE QueueCount(void* self)
{
    return static_cast<Steinberg_int32>(Self<ParamQueue>(self).mPoints.size());
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE QueueGet(void* self, Steinberg_int32 index, Steinberg_int32* offset,
                                                  Steinberg_Vst_ParamValue* value)
{
    const ParamQueue& q = Self<ParamQueue>(self);
    if (index < 0 || static_cast<std::size_t>(index) >= q.mPoints.size()) {
        return Steinberg_kInvalidArgument;
    }
    *offset = q.mPoints[static_cast<std::size_t>(index)].first;
    *value = q.mPoints[static_cast<std::size_t>(index)].second;
    return Steinberg_kResultOk;
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE QueueAdd(void* /*self*/, Steinberg_int32, Steinberg_Vst_ParamValue,
                                                  Steinberg_int32*)
{
    return Steinberg_kResultFalse;
}
const Steinberg_Vst_IParamValueQueueVtbl kQueueTable = {
    QueryOne<&Steinberg_Vst_IParamValueQueue_iid>, AddRef, Release, QueueID, QueueCount, QueueGet, QueueAdd};

// IParameterChanges.
Steinberg_int32 SMTG_STDMETHODCALLTYPE ChangesCount(void* self)
{
    return static_cast<Steinberg_int32>(Self<ParameterChanges>(self).mQueues.size());
}
Steinberg_Vst_IParamValueQueue* SMTG_STDMETHODCALLTYPE ChangesGet(void* self, Steinberg_int32 index)
{
    ParameterChanges& c = Self<ParameterChanges>(self);
    if (index < 0 || static_cast<std::size_t>(index) >= c.mQueues.size()) {
        return nullptr;
    }
    return reinterpret_cast<Steinberg_Vst_IParamValueQueue*>(&c.mQueues[static_cast<std::size_t>(index)]);
}
Steinberg_Vst_IParamValueQueue* SMTG_STDMETHODCALLTYPE ChangesAdd(void*, const Steinberg_Vst_ParamID*,
                                                                  Steinberg_int32*)
{
    return nullptr;
}
const Steinberg_Vst_IParameterChangesVtbl kChangesTable = {
    QueryOne<&Steinberg_Vst_IParameterChanges_iid>, AddRef, Release, ChangesCount, ChangesGet, ChangesAdd};

// IEventList.
Steinberg_int32 SMTG_STDMETHODCALLTYPE EventCount(void* self)
{
    return static_cast<Steinberg_int32>(Self<EventList>(self).mEvents.size());
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE EventGet(void* self, Steinberg_int32 index, Steinberg_Vst_Event* e)
{
    const EventList& l = Self<EventList>(self);
    if (index < 0 || static_cast<std::size_t>(index) >= l.mEvents.size()) {
        return Steinberg_kInvalidArgument;
    }
    *e = l.mEvents[static_cast<std::size_t>(index)];
    return Steinberg_kResultOk;
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE EventAdd(void*, Steinberg_Vst_Event*)
{
    return Steinberg_kResultFalse;
}
const Steinberg_Vst_IEventListVtbl kEventTable = {QueryOne<&Steinberg_Vst_IEventList_iid>, AddRef, Release,
                                                  EventCount, EventGet, EventAdd};

// IComponentHandler.
Steinberg_tresult SMTG_STDMETHODCALLTYPE HandlerEdit(void*, Steinberg_Vst_ParamID)
{
    return Steinberg_kResultOk;
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE HandlerPerform(void*, Steinberg_Vst_ParamID, Steinberg_Vst_ParamValue)
{
    return Steinberg_kResultOk;
}
Steinberg_tresult SMTG_STDMETHODCALLTYPE HandlerRestart(void* self, Steinberg_int32 flags)
{
    Self<ComponentHandler>(self).mRestartFlags.push_back(flags);
    return Steinberg_kResultOk;
}
const Steinberg_Vst_IComponentHandlerVtbl kHandlerTable = {QueryOne<&Steinberg_Vst_IComponentHandler_iid>,
                                                           AddRef,
                                                           Release,
                                                           HandlerEdit,
                                                           HandlerPerform,
                                                           HandlerEdit,
                                                           HandlerRestart};

} // namespace

MemoryStream::MemoryStream()
{
    mTable = &kStreamTable;
}

ParamQueue::ParamQueue()
{
    mTable = &kQueueTable;
}

ParameterChanges::ParameterChanges()
{
    mTable = &kChangesTable;
}

void ParameterChanges::add(Steinberg_Vst_ParamID id, int32_t offset, double normalized)
{
    for (ParamQueue& q : mQueues) {
        if (q.mID == id) {
            q.mPoints.emplace_back(offset, normalized);
            return;
        }
    }
    ParamQueue& q = mQueues.emplace_back();
    q.mID = id;
    q.mPoints.emplace_back(offset, normalized);
}

EventList::EventList()
{
    mTable = &kEventTable;
}

void EventList::noteOn(int32_t offset, int pitch, float velocity)
{
    Steinberg_Vst_Event e{};
    e.sampleOffset = offset;
    e.type = Steinberg_Vst_Event_EventTypes_kNoteOnEvent;
    e.Steinberg_Vst_Event_noteOn.pitch = static_cast<Steinberg_int16>(pitch);
    e.Steinberg_Vst_Event_noteOn.velocity = velocity;
    e.Steinberg_Vst_Event_noteOn.noteId = -1;
    mEvents.push_back(e);
}

void EventList::noteOff(int32_t offset, int pitch)
{
    Steinberg_Vst_Event e{};
    e.sampleOffset = offset;
    e.type = Steinberg_Vst_Event_EventTypes_kNoteOffEvent;
    e.Steinberg_Vst_Event_noteOff.pitch = static_cast<Steinberg_int16>(pitch);
    e.Steinberg_Vst_Event_noteOff.noteId = -1;
    mEvents.push_back(e);
}

ComponentHandler::ComponentHandler()
{
    mTable = &kHandlerTable;
}

VST3Module::VST3Module(const fs::path& module)
{
    mHandle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (mHandle == nullptr) {
        throw std::runtime_error(std::string("dlopen: ") + dlerror());
    }
    using Entry = bool (*)(void*);
    using GetFactory = Steinberg_IPluginFactory* (*)();
    auto entry = reinterpret_cast<Entry>(dlsym(mHandle, "ModuleEntry"));
    auto getFactory = reinterpret_cast<GetFactory>(dlsym(mHandle, "GetPluginFactory"));
    if (entry == nullptr || getFactory == nullptr || !entry(mHandle)) {
        throw std::runtime_error("the module has no VST3 entry points");
    }
    mFactory = getFactory();
    if (mFactory == nullptr) {
        throw std::runtime_error("GetPluginFactory gave no factory");
    }
}

VST3Module::~VST3Module()
{
    if (mFactory != nullptr) {
        mFactory->lpVtbl->release(mFactory);
    }
    if (auto exit = reinterpret_cast<bool (*)()>(dlsym(mHandle, "ModuleExit")); exit != nullptr) {
        exit();
    }
    dlclose(mHandle);
}

void* VST3Module::create(const Steinberg_TUID iid) const
{
    void* obj = nullptr;
    if (mFactory->lpVtbl->createInstance(mFactory, AsFID(qir::vst3::kClassID), AsFID(iid), &obj) != Steinberg_kResultOk) {
        return nullptr;
    }
    return obj;
}

VST3Instance::VST3Instance(const VST3Module& module)
{
    mComponent = static_cast<Steinberg_Vst_IComponent*>(module.create(Steinberg_Vst_IComponent_iid));
    if (mComponent == nullptr) {
        throw std::runtime_error("the factory created no component");
    }
    void* p = nullptr;
    if (mComponent->lpVtbl->queryInterface(mComponent, Steinberg_Vst_IAudioProcessor_iid, &p) != Steinberg_kResultOk) {
        throw std::runtime_error("the component is no audio processor");
    }
    mProcessor = static_cast<Steinberg_Vst_IAudioProcessor*>(p);
    if (mComponent->lpVtbl->queryInterface(mComponent, Steinberg_Vst_IEditController_iid, &p) != Steinberg_kResultOk) {
        throw std::runtime_error("the component is no edit controller");
    }
    mController = static_cast<Steinberg_Vst_IEditController*>(p);
    mComponent->lpVtbl->initialize(mComponent, nullptr);
    mController->lpVtbl->initialize(mController, nullptr);
    mController->lpVtbl->setComponentHandler(mController, mHandler.handler());
}

VST3Instance::~VST3Instance()
{
    if (mActive) {
        mProcessor->lpVtbl->setProcessing(mProcessor, 0);
        mComponent->lpVtbl->setActive(mComponent, 0);
    }
    mController->lpVtbl->setComponentHandler(mController, nullptr);
    mController->lpVtbl->terminate(mController);
    mComponent->lpVtbl->terminate(mComponent);
    mController->lpVtbl->release(mController);
    mProcessor->lpVtbl->release(mProcessor);
    mComponent->lpVtbl->release(mComponent);
}

Steinberg_tresult VST3Instance::arrange(Steinberg_Vst_SpeakerArrangement input)
{
    Steinberg_Vst_SpeakerArrangement output = Steinberg_Vst_SpeakerArr_kStereo;
    return mProcessor->lpVtbl->setBusArrangements(mProcessor, &input, 1, &output, 1);
}

Steinberg_tresult VST3Instance::setup(double rate, int maxBlock, int32_t sampleSize, int32_t mode)
{
    Steinberg_Vst_ProcessSetup s{};
    s.processMode = mode;
    s.symbolicSampleSize = sampleSize;
    s.maxSamplesPerBlock = maxBlock;
    s.sampleRate = rate;
    return mProcessor->lpVtbl->setupProcessing(mProcessor, &s);
}

Steinberg_tresult VST3Instance::activate(bool on)
{
    const Steinberg_tresult r = mComponent->lpVtbl->setActive(mComponent, on ? 1 : 0);
    if (r == Steinberg_kResultOk) {
        mActive = on;
        mProcessor->lpVtbl->setProcessing(mProcessor, on ? 1 : 0);
    }
    return r;
}

void VST3Instance::set(Steinberg_Vst_ParamID id, double normalized)
{
    mController->lpVtbl->setParamNormalized(mController, id, normalized);
    mPending.emplace_back(id, normalized);
}

int VST3Instance::inputChannels() const
{
    Steinberg_Vst_BusInfo info{};
    mComponent->lpVtbl->getBusInfo(mComponent, Steinberg_Vst_MediaTypes_kAudio, Steinberg_Vst_BusDirections_kInput, 0,
                                   &info);
    return info.channelCount;
}

uint32_t VST3Instance::latency() const
{
    return mProcessor->lpVtbl->getLatencySamples(mProcessor);
}

std::vector<uint8_t> VST3Instance::state() const
{
    MemoryStream s;
    if (mComponent->lpVtbl->getState(mComponent, s.stream()) != Steinberg_kResultOk) {
        return {};
    }
    return s.mBytes;
}

Steinberg_tresult VST3Instance::restore(const std::vector<uint8_t>& bytes)
{
    MemoryStream s;
    s.mBytes = bytes;
    const Steinberg_tresult r = mComponent->lpVtbl->setState(mComponent, s.stream());
    if (r != Steinberg_kResultOk) {
        return r;
    }
    MemoryStream again;
    again.mBytes = bytes;
    return mController->lpVtbl->setComponentState(mController, again.stream());
}

Steinberg_tresult VST3Instance::process(const Field& input, std::size_t offset, int32_t n, ParameterChanges* changes,
                                        EventList* events, Field& output)
{
    ParameterChanges pending;
    if (!mPending.empty()) {
        if (changes == nullptr) {
            changes = &pending;
        }
        for (const auto& [id, value] : mPending) {
            changes->mQueues.insert(changes->mQueues.begin(), ParamQueue{});
            changes->mQueues.front().mID = id;
            changes->mQueues.front().mPoints.emplace_back(0, value);
        }
        mPending.clear();
    }
    std::vector<float*> in;
    for (const auto& channel : input) {
        in.push_back(const_cast<float*>(channel.data()) + offset);
    }
    std::vector<float*> out;
    for (auto& channel : output) {
        out.push_back(channel.data() + offset);
    }
    Steinberg_Vst_AudioBusBuffers inBus{};
    inBus.numChannels = static_cast<Steinberg_int32>(in.size());
    inBus.Steinberg_Vst_AudioBusBuffers_channelBuffers32 = in.data();
    Steinberg_Vst_AudioBusBuffers outBus{};
    outBus.numChannels = static_cast<Steinberg_int32>(out.size());
    outBus.Steinberg_Vst_AudioBusBuffers_channelBuffers32 = out.data();
    Steinberg_Vst_ProcessData data{};
    data.processMode = Steinberg_Vst_ProcessModes_kRealtime;
    data.symbolicSampleSize = Steinberg_Vst_SymbolicSampleSizes_kSample32;
    data.numSamples = n;
    data.numInputs = 1;
    data.numOutputs = 1;
    data.inputs = &inBus;
    data.outputs = &outBus;
    data.inputParameterChanges = changes != nullptr ? changes->changes() : nullptr;
    data.inputEvents = events != nullptr ? events->list() : nullptr;
    if (!mCountAllocations) {
        return mProcessor->lpVtbl->process(mProcessor, &data);
    }
    AllocationCounter counter;
    const Steinberg_tresult r = mProcessor->lpVtbl->process(mProcessor, &data);
    mAllocations += counter.count() + counter.frees();
    return r;
}

Field VST3Instance::render(const Field& input, const std::function<int32_t()>& nextBlock,
                           const std::vector<ScheduledChange>& changes, const std::vector<ScheduledNote>& notes)
{
    const std::size_t frames = input.empty() ? 0 : input[0].size();
    Field output(2, std::vector<float>(frames, 0.0f));
    std::size_t nextChange = 0;
    std::size_t nextNote = 0;
    std::size_t done = 0;
    while (done < frames) {
        const auto n = static_cast<int32_t>(std::min<std::size_t>(static_cast<std::size_t>(nextBlock()), frames - done));
        ParameterChanges blockChanges;
        EventList blockEvents;
        const auto end = static_cast<int64_t>(done) + n;
        for (; nextChange < changes.size() && changes[nextChange].mFrame < end; ++nextChange) {
            const ScheduledChange& c = changes[nextChange];
            blockChanges.add(c.mID, static_cast<int32_t>(c.mFrame - static_cast<int64_t>(done)), c.mNormalized);
        }
        for (; nextNote < notes.size() && notes[nextNote].mFrame < end; ++nextNote) {
            const ScheduledNote& note = notes[nextNote];
            const auto at = static_cast<int32_t>(note.mFrame - static_cast<int64_t>(done));
            if (note.mOn) {
                blockEvents.noteOn(at, note.mPitch, 100.0f / 127.0f);
            } else {
                blockEvents.noteOff(at, note.mPitch);
            }
        }
        if (process(input, done, n, &blockChanges, &blockEvents, output) != Steinberg_kResultOk) {
            throw std::runtime_error("process failed");
        }
        done += static_cast<std::size_t>(n);
    }
    return output;
}

} // namespace qirtest
