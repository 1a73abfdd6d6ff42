// host/auv3: the audio unit object.
#include "host/auv3/PluginAudioUnit.h"

#include "framework/ITimeInfo.h"
#include "framework/TextBuf.h"
#include "framework/TypedBuf.h"
#include "host/auv3/platform/Dispatch.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kDefaultSampleRate = 48000.0;
constexpr AUAudioUnitStatus kStatusTooManyFrames = kAudioUnitErr_InvalidPropertyValue;
constexpr AUAudioUnitStatus kStatusNoPullInputBlock = kAudioUnitErr_NoConnection;
constexpr AUAudioUnitStatus kStatusInvalidElement = -10877;

AudioUnitParameterUnit UnitForParam(const plugfw::IParam& param, std::string& unitName)
{
    unitName.clear();
    switch (param.Type()) {
    case plugfw::IParam::kParamTypeBool: return kAudioUnitParameterUnit_Boolean;
    case plugfw::IParam::kParamTypeInt: return kAudioUnitParameterUnit_CustomUnit;
    case plugfw::IParam::kParamTypeEnum: return kAudioUnitParameterUnit_Indexed;
    default: break;
    }
    switch (param.Unit()) {
    case plugfw::IParam::kParamUnitPercentage: return kAudioUnitParameterUnit_Percent;
    case plugfw::IParam::kParamUnitSeconds: return kAudioUnitParameterUnit_Seconds;
    case plugfw::IParam::kParamUnitMilliseconds: return kAudioUnitParameterUnit_Milliseconds;
    case plugfw::IParam::kParamUnitSamples: return kAudioUnitParameterUnit_SampleFrames;
    case plugfw::IParam::kParamUnitDB: return kAudioUnitParameterUnit_Decibels;
    case plugfw::IParam::kParamUnitLinearGain: return kAudioUnitParameterUnit_LinearGain;
    case plugfw::IParam::kParamUnitPan: return kAudioUnitParameterUnit_Pan;
    case plugfw::IParam::kParamUnitPhase: return kAudioUnitParameterUnit_Phase;
    case plugfw::IParam::kParamUnitDegrees: return kAudioUnitParameterUnit_Degrees;
    case plugfw::IParam::kParamUnitMeters: return kAudioUnitParameterUnit_Meters;
    case plugfw::IParam::kParamUnitRate: return kAudioUnitParameterUnit_Rate;
    case plugfw::IParam::kParamUnitRatio: return kAudioUnitParameterUnit_Ratio;
    case plugfw::IParam::kParamUnitFrequency: return kAudioUnitParameterUnit_Hertz;
    case plugfw::IParam::kParamUnitOctaves: return kAudioUnitParameterUnit_Octaves;
    case plugfw::IParam::kParamUnitCents: return kAudioUnitParameterUnit_Cents;
    case plugfw::IParam::kParamUnitAbsCents: return kAudioUnitParameterUnit_AbsoluteCents;
    case plugfw::IParam::kParamUnitSemitones: return kAudioUnitParameterUnit_RelativeSemiTones;
    case plugfw::IParam::kParamUnitMIDINote: return kAudioUnitParameterUnit_MIDINoteNumber;
    case plugfw::IParam::kParamUnitMIDICC: return kAudioUnitParameterUnit_MIDIController;
    case plugfw::IParam::kParamUnitBPM: return kAudioUnitParameterUnit_BPM;
    case plugfw::IParam::kParamUnitBeats: return kAudioUnitParameterUnit_Beats;
    case plugfw::IParam::kParamUnitCustom: {
        const char* label = param.GetLabel();
        if (label && label[0] != '\0') {
            unitName = label;
            return kAudioUnitParameterUnit_CustomUnit;
        }
        return kAudioUnitParameterUnit_Generic;
    }
    }
    return kAudioUnitParameterUnit_Generic;
}

// Samples at the plug-in's current rate, in seconds; a rate that is not
// positive (a host's format without one) has no duration to give.
double Seconds(int samples, double sampleRate)
{
    return sampleRate > 0.0 ? static_cast<double>(samples) / sampleRate : 0.0;
}

AudioUnitParameterOptions DisplayFlag(plugfw::IParam::EDisplayType type)
{
    switch (type) {
    case plugfw::IParam::kParamDisplayLog: return kAudioUnitParameterFlag_DisplayLogarithmic;
    case plugfw::IParam::kParamDisplayExp: return kAudioUnitParameterFlag_DisplayExponential;
    case plugfw::IParam::kParamDisplaySquared: return kAudioUnitParameterFlag_DisplaySquared;
    case plugfw::IParam::kParamDisplaySquareRoot: return kAudioUnitParameterFlag_DisplaySquareRoot;
    case plugfw::IParam::kParamDisplayCubed: return kAudioUnitParameterFlag_DisplayCubed;
    case plugfw::IParam::kParamDisplayCubeRoot: return kAudioUnitParameterFlag_DisplayCubeRoot;
    case plugfw::IParam::kParamDisplayLinear: break;
    }
    return 0;
}

} // namespace

std::shared_ptr<PluginAudioUnit> PluginAudioUnit::alloc()
{
    return std::make_shared<PluginAudioUnit>();
}

NSInteger PluginAudioUnit::getChannelLayoutTags(plugfw::ERoute direction, AudioChannelLayoutTag* tags)
{
    plugfw::TypedBuf<uint64_t> found;
    plugfw::TypedBuf<uint64_t> busTypes;
    for (int configIdx = 0; configIdx < mPlug->NIOConfigs(); ++configIdx) {
        const plugfw::IOConfig* config = mPlug->GetIOConfig(configIdx);
        for (int busIdx = 0; busIdx < config->NBuses(direction); ++busIdx) {
            (void)busTypes.Resize(0);
            (void)plugfw::GetAPIBusTypeForChannelIOConfig(configIdx, direction, busIdx, config, &busTypes);
            for (int t = 0; t < busTypes.GetSize(); ++t) {
                const uint64_t tag = busTypes.Get()[t];
                const uint64_t* begin = found.Get();
                if (std::find(begin, begin + found.GetSize(), tag) == begin + found.GetSize()) {
                    (void)found.Add(tag);
                }
            }
        }
    }
    if (!tags) {
        return found.GetSize();
    }
    for (int i = 0; i < found.GetSize(); ++i) {
        tags[i] = static_cast<AudioChannelLayoutTag>(found.Get()[i]);
    }
    return 1;
}

void PluginAudioUnit::populateChannelCapabilitesArray(std::vector<NSInteger>& array)
{
    for (int configIdx = 0; configIdx < mPlug->NIOConfigs(); ++configIdx) {
        const plugfw::IOConfig* config = mPlug->GetIOConfig(configIdx);
        array.push_back(config->ContainsWildcard(plugfw::kRouteInput) ? -1
                                                                 : config->GetTotalNChannels(plugfw::kRouteInput));
        array.push_back(config->ContainsWildcard(plugfw::kRouteOutput) ? -1
                                                                  : config->GetTotalNChannels(plugfw::kRouteOutput));
    }
}

std::shared_ptr<AUAudioUnitBusArray> PluginAudioUnit::makeBusArray(plugfw::ERoute direction, int nBuses)
{
    const NSInteger nTags = getChannelLayoutTags(direction, nullptr);
    std::vector<AudioChannelLayoutTag> tags(static_cast<std::size_t>(std::max<NSInteger>(nTags, 1)), 0);
    (void)getChannelLayoutTags(direction, tags.data());
    auto format = AVAudioFormat::initStandardFormatWithSampleRate(
        kDefaultSampleRate, AVAudioChannelLayout::layoutWithLayoutTag(tags.back()));

    std::vector<std::shared_ptr<AUAudioUnitBus>> busses;
    for (int i = 0; i < nBuses; ++i) {
        const auto maxChannels = static_cast<UInt32>(mPlug->MaxNChannelsForBus(direction, i));
        if (direction == plugfw::kRouteInput) {
            auto* bus = mBufferedInputBuses.Add(new BufferedInputBus);
            bus->init(format, maxChannels);
            busses.push_back(bus->mBus);
        } else {
            auto* bus = mBufferedOutputBuses.Add(new BufferedOutputBus);
            bus->init(format, maxChannels);
            busses.push_back(bus->mBus);
        }
    }
    return AUAudioUnitBusArray::initWithAudioUnit(
        this, direction == plugfw::kRouteInput ? AUAudioUnitBusTypeInput : AUAudioUnitBusTypeOutput,
        std::move(busses));
}

bool PluginAudioUnit::initWithComponentDescription(const AudioComponentDescription& componentDescription,
                                                             AudioComponentInstantiationOptions options,
                                                             NSError* outError)
{
    if (!AUAudioUnit::initWithComponentDescription(componentDescription, options, outError)) {
        return false;
    }

    mPlug = plugfw::MakePlugin(plugfw::InstanceInfo{});
    mPlug->SetAUAudioUnit(this);
    mPlugAccess = std::make_shared<PlugAccess>(mPlug.get());

    std::vector<NSInteger> capabilities;
    populateChannelCapabilitesArray(capabilities);
    mChannelCapabilitiesArray = std::move(capabilities);

    const int nInputBuses = mPlug->MaxNBuses(plugfw::kRouteInput);
    const int nOutputBuses = mPlug->MaxNBuses(plugfw::kRouteOutput);
    if (nOutputBuses == 0) {
        auto stereo = AVAudioFormat::initStandardFormatWithSampleRate(
            kDefaultSampleRate, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_Stereo));
        auto* bus = mBufferedOutputBuses.Add(new BufferedOutputBus);
        bus->init(stereo, 2);
        mOutputBusArray = AUAudioUnitBusArray::initWithAudioUnit(this, AUAudioUnitBusTypeOutput, {bus->mBus});
    }
    if (nInputBuses > 0) {
        mInputBusArray = makeBusArray(plugfw::kRouteInput, nInputBuses);
    }
    if (nOutputBuses > 0) {
        mOutputBusArray = makeBusArray(plugfw::kRouteOutput, nOutputBuses);
    }
    if (!mInputBusArray) {
        mInputBusArray = AUAudioUnit::inputBusses();
    }

    if (mPlug->DoesMIDIOut()) {
        mMidiOutputNames = {"MIDI Output"};
    }

    mParameterTree = buildParameterTree();

    const int nPresets = mPlug->NPresets();
    for (int i = 0; i < nPresets; ++i) {
        mPresets.push_back(std::make_shared<AUAudioUnitPreset>(i, mPlug->GetPresetName(i)));
    }
    if (nPresets == 0) {
        mPresets.push_back(std::make_shared<AUAudioUnitPreset>(0, "Default"));
    }
    mCurrentFactoryPresetIndex = 0;
    mCurrentPreset = mPresets.front();

    // Queued work holds the object weakly: an object released before the main
    // queue gets to it has nothing left to do.
    std::weak_ptr<AUAudioUnit> weakSelf = weak_from_this();
    dispatch_async(dispatch_get_main_queue(), [weakSelf]() {
        auto self = std::static_pointer_cast<PluginAudioUnit>(weakSelf.lock());
        if (self && self->mPlug) {
            self->mPlug->CreateTimer();
        }
    });

    // Any thread: the host's parameter-tree callbacks.
    std::shared_ptr<PlugAccess> access = mPlugAccess;
    mParameterTree->setImplementorValueObserver([access](AUParameter* param, AUValue value) {
        if (const CallbackGate::Use use(access->mGate); use) {
            access->mPlug->SetParameterFromValueObserver(param->address(), value);
        }
    });
    mParameterTree->setImplementorValueProvider([access](AUParameter* param) -> AUValue {
        const CallbackGate::Use use(access->mGate);
        return use ? access->mPlug->GetParameter(param->address()) : 0.0f;
    });
    mParameterTree->setImplementorStringFromValueCallback([access](AUParameter* param, const AUValue* value) {
        const CallbackGate::Use use(access->mGate);
        if (!use) {
            return std::string();
        }
        const AUValue v = value ? *value : access->mPlug->GetParameter(param->address());
        // The host may ask from several threads at once: each call formats into
        // a buffer of its own rather than the plug-in's shared display string.
        plugfw::TextBuf text;
        access->mPlug->GetParamDisplay(param->address(), v, text);
        return std::string(text.Get());
    });
    mParameterTree->setImplementorValueFromStringCallback([access](AUParameter* param, const std::string& text) {
        const CallbackGate::Use use(access->mGate);
        return use ? access->mPlug->GetParamStringToValue(param->address(), text.c_str()) : 0.0f;
    });

    if (mPlug->HasUI()) {
        mUIUpdateParamObserverToken =
            mParameterTree->tokenByAddingParameterObserver([weakSelf](AUParameterAddress address, AUValue value) {
                dispatch_async(dispatch_get_main_queue(), [weakSelf, address, value]() {
                    if (auto strongSelf = std::static_pointer_cast<PluginAudioUnit>(weakSelf.lock());
                        strongSelf && strongSelf->mPlug) {
                        strongSelf->mPlug->SendParameterValueFromObserver(address, value);
                    }
                });
            });
    }

    mReportedLatency.store(latency());
    setCurrentPreset(mPresets.front());
    return true;
}

std::shared_ptr<AUParameterTree> PluginAudioUnit::buildParameterTree()
{
    std::vector<std::shared_ptr<AUParameterNode>> topLevel;
    std::vector<std::string> groupNames;
    std::vector<std::vector<std::shared_ptr<AUParameterNode>>> groupChildren;

    for (int k = 0; k < mPlug->NParams(); ++k) {
        const plugfw::IParam& param = *mPlug->GetParam(k);
        std::string unitName;
        const AudioUnitParameterUnit unit = UnitForParam(param, unitName);

        AudioUnitParameterOptions flags = kAudioUnitParameterFlag_IsReadable | kAudioUnitParameterFlag_IsWritable |
                                          kAudioUnitParameterFlag_IsHighResolution;
        if (!param.GetCanAutomate()) {
            flags |= kAudioUnitParameterFlag_NonRealTime;
        }
        if (param.GetMeta()) {
            flags |= kAudioUnitParameterFlag_IsElementMeta;
        }
        flags |= DisplayFlag(param.DisplayType());
        std::vector<std::string> valueStrings;
        if (param.NDisplayTexts() > 0) {
            flags |= kAudioUnitParameterFlag_ValuesHaveStrings;
            for (int j = 0; j < param.NDisplayTexts(); ++j) {
                valueStrings.emplace_back(param.GetDisplayText(static_cast<double>(j)));
            }
        }
        const std::string group = param.GetGroup();
        if (!group.empty()) {
            flags |= kAudioUnitParameterFlag_HasClump;
        }

        char identifier[16];
        std::snprintf(identifier, sizeof identifier, "%d", k);
        auto node = AUParameterTree::createParameterWithIdentifier(
            identifier, param.GetName(), static_cast<AUParameterAddress>(k), static_cast<AUValue>(param.GetMin()),
            static_cast<AUValue>(param.GetMax()), unit, unitName, flags, std::move(valueStrings), {});
        node->setValue(static_cast<AUValue>(param.GetDefault()));
        mPlug->AddParamAddress(k, static_cast<uint64_t>(k));

        if (group.empty()) {
            topLevel.push_back(node);
        } else {
            auto it = std::find(groupNames.begin(), groupNames.end(), group);
            if (it == groupNames.end()) {
                groupNames.push_back(group);
                groupChildren.emplace_back();
                it = groupNames.end() - 1;
            }
            groupChildren[static_cast<std::size_t>(it - groupNames.begin())].push_back(node);
        }
    }

    for (std::size_t g = 0; g < groupNames.size(); ++g) {
        char identifier[32];
        std::snprintf(identifier, sizeof identifier, "Group %d", static_cast<int>(g));
        topLevel.push_back(
            AUParameterTree::createGroupWithIdentifier(identifier, groupNames[g], std::move(groupChildren[g])));
    }
    return AUParameterTree::createTreeWithChildren(std::move(topLevel));
}

PluginAudioUnit::~PluginAudioUnit()
{
    mBufferedInputBuses.Empty(true);
    mBufferedOutputBuses.Empty(true);
    if (mUIUpdateParamObserverToken && mParameterTree) {
        mParameterTree->removeParameterObserver(mUIUpdateParamObserverToken);
    }
    // Parameter-tree callbacks may be running on host threads: they finish, and
    // later ones find the plug-in gone, before it is deleted.
    if (mPlugAccess) {
        mPlugAccess->mGate.Close();
    }
    mPlug.reset();
}

bool PluginAudioUnit::allocateRenderResourcesAndReturnError(NSError* outError)
{
    if (!AUAudioUnit::allocateRenderResourcesAndReturnError(outError)) {
        return false;
    }
    const AUAudioFrameCount maxFrames = maximumFramesToRender();
    mMidiOutputEventBlock = MIDIOutputEventBlock();
    for (int i = 0; i < mBufferedInputBuses.GetSize(); ++i) {
        mBufferedInputBuses.Get(i)->allocateRenderResources(maxFrames);
    }
    for (int i = 0; i < mBufferedOutputBuses.GetSize(); ++i) {
        mBufferedOutputBuses.Get(i)->allocateRenderResources(maxFrames);
    }
    mPlug->Prepare((*mOutputBusArray)[0]->format()->sampleRate(), maxFrames);
    mPlug->OnReset();
    // The same latency in samples at a new rate is a new latency in seconds.
    informHostOfLatencyChange();
    return true;
}

void PluginAudioUnit::deallocateRenderResources()
{
    for (int i = 0; i < mBufferedInputBuses.GetSize(); ++i) {
        mBufferedInputBuses.Get(i)->deallocateRenderResources();
    }
    for (int i = 0; i < mBufferedOutputBuses.GetSize(); ++i) {
        mBufferedOutputBuses.Get(i)->deallocateRenderResources();
    }
    mMidiOutputEventBlock = nullptr;
    AUAudioUnit::deallocateRenderResources();
}

AUInternalRenderBlock PluginAudioUnit::internalRenderBlock()
{
    plugfw::IAUv3Binding* plug = mPlug.get();
    plugfw::PtrList<BufferedInputBus>* inputBuses = &mBufferedInputBuses;
    plugfw::PtrList<BufferedOutputBus>* outputBuses = &mBufferedOutputBuses;
    const AUHostMusicalContextBlock musicalContext = musicalContextBlock();
    const AUHostTransportStateBlock transportState = transportStateBlock();

    // Render thread: never waits, allocates nothing.
    return [plug, inputBuses, outputBuses, musicalContext, transportState](
               AudioUnitRenderActionFlags* /*actionFlags*/, const AudioTimeStamp* timestamp,
               AUAudioFrameCount frameCount, NSInteger outputBusNumber, AudioBufferList* outputData,
               const AURenderEvent* realtimeEventListHead,
               const AURenderPullInputBlock& pullInputBlock) noexcept -> AUAudioUnitStatus {
        if (frameCount > static_cast<AUAudioFrameCount>(std::max(plug->GetBlockSize(), 0))) {
            return kStatusTooManyFrames;
        }
        BufferedOutputBus* outputBus = outputBuses->Get(static_cast<int>(outputBusNumber));
        if (!outputBus || !outputData) {
            return kStatusInvalidElement;
        }
        // Render resources released (or never allocated): there are no buffers.
        if (!outputBus->mOwnBufferList) {
            return kAudioUnitErr_Uninitialized;
        }

        const int nInputBuses = inputBuses->GetSize();
        if (nInputBuses > 0) {
            if (!pullInputBlock) {
                return kStatusNoPullInputBlock;
            }
            AUAudioUnitStatus pullStatus = noErr;
            AudioUnitRenderActionFlags pullFlags = 0;
            for (int j = 0; j < nInputBuses; ++j) {
                BufferedInputBus* bus = inputBuses->Get(j);
                if (!bus->mMutableBufferList) {
                    return kAudioUnitErr_Uninitialized;
                }
                bus->prepareInputBufferList(frameCount);
                pullStatus = pullInputBlock(&pullFlags, timestamp, frameCount, j, bus->mMutableBufferList);
            }
            if (pullStatus != noErr) {
                return pullStatus;
            }
            plug->AttachInputBuffers(inputBuses->Get(0)->mMutableBufferList);
        }

        outputBus->prepareOutputBufferList(outputData, frameCount);
        plug->AttachOutputBuffers(outputData, static_cast<uint32_t>(outputBusNumber));

        if (outputBusNumber == outputBuses->GetSize() - 1) {
            plugfw::ITimeInfo timeInfo;
            if (musicalContext) {
                double tempo = timeInfo.mTempo;
                double numerator = timeInfo.mNumerator;
                NSInteger denominator = timeInfo.mDenominator;
                double beatPosition = timeInfo.mPPQPos;
                NSInteger sampleOffsetToNextBeat = 0;
                double downbeatPosition = timeInfo.mLastBar;
                (void)musicalContext(&tempo, &numerator, &denominator, &beatPosition, &sampleOffsetToNextBeat,
                                     &downbeatPosition);
                timeInfo.mTempo = tempo;
                timeInfo.mNumerator = static_cast<int>(numerator);
                timeInfo.mDenominator = static_cast<int>(denominator);
                timeInfo.mPPQPos = beatPosition;
                timeInfo.mLastBar = downbeatPosition;
            }
            if (transportState) {
                AUHostTransportStateFlags flags = 0;
                double samplePosition = timeInfo.mSamplePos;
                double cycleStart = timeInfo.mCycleStart;
                double cycleEnd = timeInfo.mCycleEnd;
                (void)transportState(&flags, &samplePosition, &cycleStart, &cycleEnd);
                timeInfo.mSamplePos = samplePosition;
                timeInfo.mCycleStart = cycleStart;
                timeInfo.mCycleEnd = cycleEnd;
                // Whole-value comparisons: a combination such as changed | moving
                // reads as stopped.
                timeInfo.mTransportIsRunning =
                    flags == AUHostTransportStateMoving || flags == AUHostTransportStateRecording;
                timeInfo.mTransportLoopEnabled = flags == AUHostTransportStateCycling;
            }
            plug->ProcessWithEvents(timestamp, frameCount, realtimeEventListHead, timeInfo);
        }
        return noErr;
    };
}

std::shared_ptr<AUAudioUnitPreset> PluginAudioUnit::currentPreset()
{
    std::lock_guard lock(mPresetMutex);
    if (mCurrentPreset && mCurrentPreset->number() < 0) {
        return mCurrentPreset;
    }
    const int idx = mPlug->GetCurrentPresetIdx();
    if (idx >= 0 && static_cast<std::size_t>(idx) < mPresets.size()) {
        return mPresets[static_cast<std::size_t>(idx)];
    }
    return mCurrentPreset;
}

void PluginAudioUnit::setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset)
{
    if (!preset) {
        NSLog("nil passed to setCurrentPreset!");
        return;
    }
    std::weak_ptr<AUAudioUnit> weakSelf = weak_from_this();
    dispatch_async(dispatch_get_main_queue(), [weakSelf, preset]() {
        auto self = std::static_pointer_cast<PluginAudioUnit>(weakSelf.lock());
        if (!self || !self->mPlug) {
            return;
        }
        if (preset->number() < 0) {
            if (!preset->name().empty()) {
                std::lock_guard lock(self->mPresetMutex);
                self->mCurrentPreset = preset;
            }
            return;
        }
        for (const auto& factoryPreset : self->mPresets) {
            if (factoryPreset->number() != preset->number()) {
                continue;
            }
            {
                std::lock_guard lock(self->mPresetMutex);
                (void)self->mPlug->RestorePreset(static_cast<int>(preset->number()));
                self->mCurrentPreset = factoryPreset;
            }
            // The tree is told outside the lock: its observers are the host's
            // code, which may wait on threads that ask for the current preset.
            for (int k = 0; k < self->mPlug->NParams(); ++k) {
                if (auto param = self->mParameterTree->parameterWithAddress(static_cast<AUParameterAddress>(k))) {
                    param->setValue(static_cast<AUValue>(self->mPlug->GetParam(k)->Value()));
                }
            }
            return;
        }
    });
}

std::vector<NSUInteger> PluginAudioUnit::parametersForOverviewWithCount(NSInteger count)
{
    plugfw::TypedBuf<int> results;
    mPlug->OnHostRequestingImportantParameters(static_cast<int>(count), results);
    std::vector<NSUInteger> addresses;
    for (int i = 0; i < results.GetSize(); ++i) {
        addresses.push_back(static_cast<NSUInteger>(results.Get()[i]));
    }
    return addresses;
}

void PluginAudioUnit::setRenderingOffline(bool renderingOffline)
{
    AUAudioUnit::setRenderingOffline(renderingOffline);
    mPlug->mRenderingOffline = renderingOffline;
}

double PluginAudioUnit::latency()
{
    return Seconds(mPlug->GetLatency(), mPlug->GetSampleRate());
}

double PluginAudioUnit::tailTime()
{
    return Seconds(mPlug->GetTailSize(), mPlug->GetSampleRate());
}

void PluginAudioUnit::informHostOfLatencyChange()
{
    const double seconds = latency();
    if (mReportedLatency.exchange(seconds) != seconds) {
        didChangeValueForKey("latency");
    }
}

NSDictionary PluginAudioUnit::fullState()
{
    NSDictionary state;
    state["version"] = static_cast<int64_t>(mPlug->GetPluginVersion(false));
    state["type"] = static_cast<int64_t>(mPlug->GetAUPluginType());
    state["subtype"] = static_cast<int64_t>(mPlug->GetUniqueID());
    state["manufacturer"] = static_cast<int64_t>(mPlug->GetMfrID());
    {
        std::lock_guard lock(mPresetMutex);
        state["name"] = std::string(mPlug->GetPresetName(mPlug->GetCurrentPresetIdx()));
    }
    plugfw::IByteChunk chunk;
    (void)mPlug->SerializeState(chunk);
    const uint8_t* bytes = chunk.GetData();
    state["data"] = bytes ? NSData(bytes, bytes + chunk.Size()) : NSData();
    return state;
}

void PluginAudioUnit::setFullState(const NSDictionary& state)
{
    plugfw::IByteChunk chunk;
    const auto it = state.find("data");
    if (it != state.end()) {
        if (const auto* data = std::get_if<NSData>(&it->second); data && !data->empty()) {
            (void)chunk.PutBytes(data->data(), static_cast<int>(data->size()));
        }
    }
    (void)mPlug->UnserializeState(chunk, 0);
}

std::vector<NSUInteger> PluginAudioUnit::supportedViewConfigurations(
    const std::vector<AUAudioUnitViewConfiguration>& availableViewConfigurations)
{
    std::vector<NSUInteger> supported;
    for (std::size_t i = 0; i < availableViewConfigurations.size(); ++i) {
        const auto& config = availableViewConfigurations[i];
        if (mPlug->OnHostRequestingSupportedViewConfiguration(static_cast<int>(config.width),
                                                              static_cast<int>(config.height))) {
            supported.push_back(i);
        }
    }
    return supported;
}

void PluginAudioUnit::selectViewConfiguration(const AUAudioUnitViewConfiguration& viewConfiguration)
{
    mPlug->OnHostSelectedViewConfiguration(static_cast<int>(viewConfiguration.width),
                                           static_cast<int>(viewConfiguration.height));
}

void PluginAudioUnit::beginInformHostOfParamChange(uint64_t address)
{
    if (auto param = mParameterTree->parameterWithAddress(address)) {
        param->setValue(param->value(), mUIUpdateParamObserverToken, 0, AUParameterAutomationEventTypeTouch);
    }
}

void PluginAudioUnit::endInformHostOfParamChange(uint64_t address)
{
    if (auto param = mParameterTree->parameterWithAddress(address)) {
        param->setValue(param->value(), mUIUpdateParamObserverToken, 0, AUParameterAutomationEventTypeRelease);
    }
}

void PluginAudioUnit::informHostOfParamChange(uint64_t address, float value)
{
    if (auto param = mParameterTree->parameterWithAddress(address)) {
        if (mUIUpdateParamObserverToken) {
            param->setValue(value, mUIUpdateParamObserverToken);
        } else {
            param->setValue(value);
        }
    }
}

void* PluginAudioUnit::openWindow(void* parent) { return mPlug->OpenWindow(parent); }

void PluginAudioUnit::closeWindow() { mPlug->CloseWindow(); }

NSInteger PluginAudioUnit::width() const { return mPlug->GetEditorWidth(); }

NSInteger PluginAudioUnit::height() const { return mPlug->GetEditorHeight(); }

void PluginAudioUnit::hostResized(CGSize newSize)
{
    if (mPlug->GetHostResizable()) {
        mPlug->OnParentWindowResize(static_cast<int>(newSize.width), static_cast<int>(newSize.height));
    }
}

// Render thread: never waits.
bool PluginAudioUnit::sendMidiData(int64_t sampleTime, NSInteger length, const uint8_t* bytes)
{
    if (!mMidiOutputEventBlock) {
        return false;
    }
    return mMidiOutputEventBlock(sampleTime, 0, length, bytes) == noErr;
}

bool PluginAudioUnit::supportsMPE() { return mPlug->DoesMPE(); }

NSData PluginAudioUnit::getDataFromExternal()
{
    int size = 0;
    const uint8_t* data = mPlug->GetDataFromExternal(size);
    return data && size > 0 ? NSData(data, data + size) : NSData();
}
