// tests/lv2: the test host for the LV2 bundle.
#include "tests/lv2/LV2TestHost.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/midi/midi.h>
#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>

#ifndef QIR_LV2_TEST_PREFIX
#error "QIR_LV2_TEST_PREFIX must name the prefix the bundle is installed into"
#endif

namespace qirtest {

namespace {

constexpr std::size_t kSequenceBytes = 16384;

LilvNode* Uri(LilvWorld* world, const char* uri)
{
    return lilv_new_uri(world, uri);
}

bool PortIs(LilvWorld* world, const LilvPlugin* plugin, const LilvPort* port, const char* classUri)
{
    LilvNode* node = Uri(world, classUri);
    const bool is = lilv_port_is_a(plugin, port, node);
    lilv_node_free(node);
    return is;
}

} // namespace

fs::path InstalledPrefix()
{
    return fs::path(QIR_LV2_TEST_PREFIX);
}

fs::path InstalledLV2Path()
{
    return InstalledPrefix() / "lib" / "lv2";
}

fs::path InstalledBundle()
{
    return InstalledLV2Path() / "qir-matrix-decoder.lv2";
}

URIDMap::URIDMap()
{
    mMap.handle = this;
    mMap.map = [](LV2_URID_Map_Handle handle, const char* uri) { return static_cast<URIDMap*>(handle)->map(uri); };
    mUnmap.handle = this;
    mUnmap.unmap = [](LV2_URID_Unmap_Handle handle, LV2_URID urid) {
        return static_cast<URIDMap*>(handle)->unmap(urid);
    };
}

LV2_URID URIDMap::map(const char* uri)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const auto it = mIds.find(uri);
    if (it != mIds.end()) {
        return it->second;
    }
    mUris.push_back(std::make_unique<std::string>(uri));
    const auto id = static_cast<LV2_URID>(mUris.size());
    mIds.emplace(uri, id);
    return id;
}

const char* URIDMap::unmap(LV2_URID urid)
{
    std::lock_guard<std::mutex> lock(mMutex);
    return urid >= 1 && urid <= mUris.size() ? mUris[urid - 1]->c_str() : nullptr;
}

URIDMap& SharedURIDMap()
{
    static URIDMap map;
    return map;
}

LV2World::LV2World(const fs::path& lv2Path) : mWorld(lilv_world_new())
{
    LilvNode* path = lilv_new_string(mWorld, lv2Path.string().c_str());
    lilv_world_set_option(mWorld, LILV_OPTION_LV2_PATH, path);
    lilv_node_free(path);
    lilv_world_load_all(mWorld);
    LilvNode* uri = Uri(mWorld, kDecoderURI);
    mDecoder = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(mWorld), uri);
    lilv_node_free(uri);
}

LV2World::~LV2World()
{
    lilv_world_free(mWorld);
}

LV2Instance::LV2Instance(const LV2World& world, const Setup& setup)
    : mWorld(world), mPlugin(world.decoder()), mSetup(setup)
{
    if (mPlugin == nullptr) {
        return;
    }
    URIDMap& map = SharedURIDMap();
    mLog.handle = this;
    mLog.printf = logPrintf;
    mLog.vprintf = logVprintf;
    mSchedule.handle = this;
    mSchedule.schedule_work = scheduleWork;
    mMaxBlockOption = setup.mMaxBlock;
    mNominalBlockOption = setup.mMaxBlock;
    const LV2_URID atomInt = map.map(LV2_ATOM__Int);
    mOptions[0] = {LV2_OPTIONS_INSTANCE, 0, map.map(LV2_BUF_SIZE__maxBlockLength), sizeof(int32_t), atomInt,
                   &mMaxBlockOption};
    mOptions[1] = {LV2_OPTIONS_INSTANCE, 0, map.map(LV2_BUF_SIZE__nominalBlockLength), sizeof(int32_t), atomInt,
                   &mNominalBlockOption};
    mOptions[2] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
    mMapFeature = {LV2_URID__map, map.mapFeatureData()};
    mUnmapFeature = {LV2_URID__unmap, map.unmapFeatureData()};
    mLogFeature = {LV2_LOG__log, &mLog};
    mScheduleFeature = {LV2_WORKER__schedule, &mSchedule};
    mOptionsFeature = {LV2_OPTIONS__options, mOptions.data()};
    mFeatures = {&mMapFeature, &mUnmapFeature, &mLogFeature, &mOptionsFeature};
    if (setup.mWorker != Worker::kNone) {
        mFeatures.push_back(&mScheduleFeature);
    }
    mFeatures.push_back(nullptr);

    // Ports, found by their symbols and classes as a host finds them.
    LilvWorld* w = world.get();
    mNumPorts = lilv_plugin_get_num_ports(mPlugin);
    mControlValues.assign(mNumPorts, 0.0f);
    std::vector<float> defaults(mNumPorts, 0.0f);
    lilv_plugin_get_port_ranges_float(mPlugin, nullptr, nullptr, defaults.data());
    mAudioInputPorts.assign(kAudioInputs, -1);
    mAudioOutputPorts.assign(2, -1);
    for (uint32_t p = 0; p < mNumPorts; ++p) {
        const LilvPort* port = lilv_plugin_get_port_by_index(mPlugin, p);
        const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(mPlugin, port));
        const bool input = PortIs(w, mPlugin, port, LV2_CORE__InputPort);
        if (PortIs(w, mPlugin, port, LV2_CORE__AudioPort)) {
            if (input && symbol.rfind("in_", 0) == 0) {
                const int channel = std::stoi(symbol.substr(3));
                if (channel >= 0 && channel < kAudioInputs) {
                    mAudioInputPorts[static_cast<std::size_t>(channel)] = static_cast<int>(p);
                }
            } else if (!input) {
                mAudioOutputPorts[symbol == "out_l" ? 0 : 1] = static_cast<int>(p);
            }
        } else if (PortIs(w, mPlugin, port, LV2_CORE__ControlPort)) {
            if (input) {
                mControlPorts[symbol] = p;
                mControlValues[p] = std::isnan(defaults[p]) ? 0.0f : defaults[p];
            } else if (symbol == "latency") {
                mLatencyPort = static_cast<int>(p);
                mControlValues[p] = -1.0f;
            }
        } else if (PortIs(w, mPlugin, port, LV2_ATOM__AtomPort) && input) {
            mMidiPort = static_cast<int>(p);
        }
    }

    const auto block = static_cast<std::size_t>(std::max(setup.mMaxBlock, 1));
    mInputBuffers.assign(kAudioInputs, std::vector<float>(block, 0.0f));
    mOutputBuffers.assign(2, std::vector<float>(block, 0.0f));
    mSequence.assign(kSequenceBytes / sizeof(uint64_t), 0);

    mInstance = lilv_plugin_instantiate(mPlugin, setup.mSampleRate, mFeatures.data());
    if (mInstance == nullptr) {
        return;
    }
    mWorkerInterface =
        static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(mInstance, LV2_WORKER__interface));
    for (const auto& [symbol, p] : mControlPorts) {
        lilv_instance_connect_port(mInstance, p, &mControlValues[p]);
    }
    if (mLatencyPort >= 0) {
        lilv_instance_connect_port(mInstance, static_cast<uint32_t>(mLatencyPort),
                                   &mControlValues[static_cast<std::size_t>(mLatencyPort)]);
    }
    if (mMidiPort >= 0) {
        buildSequence({}, 0);
        lilv_instance_connect_port(mInstance, static_cast<uint32_t>(mMidiPort),
                                   setup.mConnectMidi ? mSequence.data() : nullptr);
    }
    connectAudio(static_cast<uint32_t>(block));
    if (setup.mWorker == Worker::kThread) {
        mWorkerThread = std::thread([this] { workerLoop(); });
    }
}

LV2Instance::~LV2Instance()
{
    if (mWorkerThread.joinable()) {
        waitForWork();
        mStopWorker.store(true);
        mWorkerThread.join();
    }
    freeInstance();
}

void LV2Instance::freeInstance()
{
    if (mInstance == nullptr) {
        return;
    }
    if (mActive) {
        lilv_instance_deactivate(mInstance);
        mActive = false;
    }
    lilv_instance_free(mInstance);
    mInstance = nullptr;
}

void LV2Instance::activate()
{
    lilv_instance_activate(mInstance);
    mActive = true;
}

void LV2Instance::deactivate()
{
    lilv_instance_deactivate(mInstance);
    mActive = false;
}

void LV2Instance::set(const std::string& symbol, float value)
{
    const auto it = mControlPorts.find(symbol);
    if (it == mControlPorts.end()) {
        throw std::invalid_argument("no control input " + symbol);
    }
    mControlValues[it->second] = value;
}

float LV2Instance::get(const std::string& symbol) const
{
    const auto it = mControlPorts.find(symbol);
    if (it == mControlPorts.end()) {
        throw std::invalid_argument("no control input " + symbol);
    }
    return mControlValues[it->second];
}

std::vector<std::string> LV2Instance::controlSymbols() const
{
    std::vector<std::string> symbols;
    for (const auto& [symbol, p] : mControlPorts) {
        symbols.push_back(symbol);
    }
    return symbols;
}

float LV2Instance::latency() const
{
    return mLatencyPort >= 0 ? mControlValues[static_cast<std::size_t>(mLatencyPort)] : -1.0f;
}

void LV2Instance::connectAudio(uint32_t /*n*/)
{
    for (int c = 0; c < kAudioInputs; ++c) {
        const int p = mAudioInputPorts[static_cast<std::size_t>(c)];
        if (p < 0) {
            continue;
        }
        const bool absent = mSetup.mBuffers == Buffers::kOptionalInputsAbsent && c >= 4 && c >= mFieldChannels;
        lilv_instance_connect_port(mInstance, static_cast<uint32_t>(p),
                                   absent ? nullptr : mInputBuffers[static_cast<std::size_t>(c)].data());
    }
    for (int o = 0; o < 2; ++o) {
        const int p = mAudioOutputPorts[static_cast<std::size_t>(o)];
        if (p >= 0) {
            lilv_instance_connect_port(mInstance, static_cast<uint32_t>(p),
                                       const_cast<float*>(outputBuffer(o)));
        }
    }
}

const float* LV2Instance::outputBuffer(int channel) const
{
    const auto c = static_cast<std::size_t>(channel);
    return mSetup.mBuffers == Buffers::kInPlace ? mInputBuffers[c].data() : mOutputBuffers[c].data();
}

void LV2Instance::buildSequence(const std::vector<MidiEvent>& events, uint32_t /*n*/)
{
    URIDMap& map = SharedURIDMap();
    static const LV2_URID midiEvent = map.map(LV2_MIDI__MidiEvent);
    static LV2_Atom_Forge forge = [&map] {
        LV2_Atom_Forge f;
        lv2_atom_forge_init(&f, map.mapFeatureData());
        return f;
    }();
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(mSequence.data()), kSequenceBytes);
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_sequence_head(&forge, &frame, 0);
    for (const MidiEvent& event : events) {
        lv2_atom_forge_frame_time(&forge, event.mFrame);
        lv2_atom_forge_atom(&forge, 3, midiEvent);
        lv2_atom_forge_write(&forge, event.mBytes, 3);
    }
    lv2_atom_forge_pop(&forge, &frame);
}

void LV2Instance::prepareRun(const Field& input, std::size_t offset, uint32_t n, const std::vector<MidiEvent>& events)
{
    if (n > static_cast<uint32_t>(mSetup.mMaxBlock)) {
        throw std::invalid_argument("a run longer than the maximum block");
    }
    mFieldChannels = static_cast<int>(input.size());
    for (int c = 0; c < kAudioInputs; ++c) {
        std::vector<float>& buffer = mInputBuffers[static_cast<std::size_t>(c)];
        std::fill(buffer.begin(), buffer.end(), 0.0f);
        if (c < mFieldChannels) {
            const std::vector<float>& source = input[static_cast<std::size_t>(c)];
            for (uint32_t i = 0; i < n && offset + i < source.size(); ++i) {
                buffer[i] = source[offset + i];
            }
        }
    }
    if (mSetup.mBuffers != Buffers::kInPlace) {
        for (auto& buffer : mOutputBuffers) {
            // Anything the plug-in leaves unwritten shows.
            std::fill(buffer.begin(), buffer.end(), 1.0e6f);
        }
    }
    buildSequence(events, n);
    connectAudio(n);
}

void LV2Instance::run(const Field& input, std::size_t offset, uint32_t n, const std::vector<MidiEvent>& events,
                      Field& out)
{
    prepareRun(input, offset, n, events);
    lilv_instance_run(mInstance, n);
    out.resize(2);
    for (int o = 0; o < 2; ++o) {
        const float* buffer = outputBuffer(o);
        out[static_cast<std::size_t>(o)].insert(out[static_cast<std::size_t>(o)].end(), buffer, buffer + n);
    }
}

Field LV2Instance::render(const Field& input, const std::function<uint32_t()>& nextBlock,
                          const std::vector<PortChange>& changes, const std::vector<MidiEvent>& events)
{
    const std::size_t total = input.empty() ? 0 : input[0].size();
    Field out(2);
    std::size_t pos = 0;
    std::size_t nextChange = 0;
    while (pos < total) {
        while (nextChange < changes.size() && changes[nextChange].mFrame <= static_cast<int64_t>(pos)) {
            set(changes[nextChange].mSymbol, changes[nextChange].mValue);
            ++nextChange;
        }
        auto n = static_cast<std::size_t>(std::min<uint32_t>(nextBlock(), static_cast<uint32_t>(mSetup.mMaxBlock)));
        n = std::min(n, total - pos);
        // The host cuts its block at the next port change.
        if (nextChange < changes.size()) {
            n = std::min(n, static_cast<std::size_t>(changes[nextChange].mFrame) - pos);
        }
        std::vector<MidiEvent> inRun;
        for (const MidiEvent& event : events) {
            if (event.mFrame >= static_cast<int64_t>(pos) && event.mFrame < static_cast<int64_t>(pos + n)) {
                MidiEvent relative = event;
                relative.mFrame -= static_cast<int64_t>(pos);
                inRun.push_back(relative);
            }
        }
        run(input, pos, static_cast<uint32_t>(n), inRun, out);
        pos += n;
    }
    return out;
}

LV2_Worker_Status LV2Instance::scheduleWork(LV2_Worker_Schedule_Handle handle, uint32_t size, const void* data)
{
    // audio thread: neither locks nor allocates for the threaded worker.
    auto* self = static_cast<LV2Instance*>(handle);
    if (self->mWorkerInterface == nullptr) {
        return LV2_WORKER_ERR_UNKNOWN;
    }
    if (self->mSetup.mWorker == Worker::kSynchronous) {
        return self->mWorkerInterface->work(lilv_instance_get_handle(self->mInstance), respond, self, size, data);
    }
    self->mWorkRequests.fetch_add(1);
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status LV2Instance::respond(LV2_Worker_Respond_Handle handle, uint32_t size, const void* data)
{
    // Responses go straight back, as a host running the worker inside
    // schedule_work delivers them.
    auto* self = static_cast<LV2Instance*>(handle);
    if (self->mWorkerInterface->work_response != nullptr) {
        return self->mWorkerInterface->work_response(lilv_instance_get_handle(self->mInstance), size, data);
    }
    return LV2_WORKER_SUCCESS;
}

void LV2Instance::workerLoop()
{
    static constexpr uint32_t kToken = 0;
    while (!mStopWorker.load()) {
        if (mWorkRequests.load() > 0) {
            mWorkRunning.store(true);
            mWorkRequests.fetch_sub(1);
            mWorkerInterface->work(lilv_instance_get_handle(mInstance), respond, this, sizeof kToken, &kToken);
            mWorkRunning.store(false);
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

void LV2Instance::waitForWork()
{
    while (mWorkRequests.load() > 0 || mWorkRunning.load()) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

int LV2Instance::logPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = logVprintf(handle, type, format, args);
    va_end(args);
    return n;
}

int LV2Instance::logVprintf(LV2_Log_Handle handle, LV2_URID /*type*/, const char* format, va_list args)
{
    auto* self = static_cast<LV2Instance*>(handle);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(static_cast<std::size_t>(std::max(n, 0)) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(std::max(n, 0)));
    std::lock_guard<std::mutex> lock(self->mLogMutex);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        self->mLogLines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return n;
}

std::vector<std::string> LV2Instance::takeLog()
{
    std::lock_guard<std::mutex> lock(mLogMutex);
    std::vector<std::string> lines;
    lines.swap(mLogLines);
    return lines;
}

LilvState* LV2Instance::saveState()
{
    const auto getValue = [](const char* symbol, void* userData, uint32_t* size, uint32_t* type) -> const void* {
        auto* self = static_cast<LV2Instance*>(userData);
        const auto it = self->mControlPorts.find(symbol);
        if (it == self->mControlPorts.end()) {
            *size = 0;
            *type = 0;
            return nullptr;
        }
        *size = sizeof(float);
        *type = SharedURIDMap().map(LV2_ATOM__Float);
        return &self->mControlValues[it->second];
    };
    return lilv_state_new_from_instance(mPlugin, mInstance, SharedURIDMap().mapFeatureData(), nullptr, nullptr,
                                        nullptr, nullptr, getValue, this, 0, mFeatures.data());
}

void LV2Instance::restoreState(const LilvState* state)
{
    const auto setValue = [](const char* symbol, void* userData, const void* value, uint32_t size, uint32_t type) {
        auto* self = static_cast<LV2Instance*>(userData);
        URIDMap& map = SharedURIDMap();
        float v = 0.0f;
        if (type == map.map(LV2_ATOM__Float) && size == sizeof(float)) {
            std::memcpy(&v, value, sizeof v);
        } else if (type == map.map(LV2_ATOM__Double) && size == sizeof(double)) {
            double d = 0.0;
            std::memcpy(&d, value, sizeof d);
            v = static_cast<float>(d);
        } else if (type == map.map(LV2_ATOM__Int) && size == sizeof(int32_t)) {
            int32_t i = 0;
            std::memcpy(&i, value, sizeof i);
            v = static_cast<float>(i);
        } else {
            return;
        }
        self->set(symbol, v);
    };
    lilv_state_restore(state, mInstance, setValue, this, 0, mFeatures.data());
}

DecoderSetResponses ReadDecoderSet(const fs::path& file)
{
    DecoderSetResponses set;
    SF_INFO info{};
    SNDFILE* sf = sf_open(file.string().c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        return set;
    }
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    sf_readf_float(sf, interleaved.data(), info.frames);
    sf_close(sf);
    const auto channels = static_cast<std::size_t>(info.channels);
    const int inputs = static_cast<int>(info.frames / kIRLength);
    for (int o = 0; o < 2 && o < info.channels; ++o) {
        for (int i = 0; i < inputs; ++i) {
            std::vector<float> response(kIRLength);
            for (int t = 0; t < kIRLength; ++t) {
                response[static_cast<std::size_t>(t)] =
                    interleaved[(static_cast<std::size_t>(i) * kIRLength + static_cast<std::size_t>(t)) * channels +
                                static_cast<std::size_t>(o)];
            }
            set.ir[o].push_back(std::move(response));
        }
    }
    return set;
}

} // namespace qirtest
