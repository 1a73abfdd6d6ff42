// host/auv3/platform: the audio-unit base class stand-in.
#include "host/auv3/platform/AUAudioUnit.h"

namespace {

void fail(NSError* outError, long code)
{
    if (outError) {
        *outError = NSError{"NSOSStatusErrorDomain", code};
    }
}

} // namespace

std::shared_ptr<AUAudioUnitBus> AUAudioUnitBus::initWithFormat(std::shared_ptr<AVAudioFormat> format,
                                                               NSError* outError)
{
    if (!format) {
        fail(outError, kAudioUnitErr_FormatNotSupported);
        return nullptr;
    }
    return std::shared_ptr<AUAudioUnitBus>(new AUAudioUnitBus(std::move(format)));
}

bool AUAudioUnitBus::setFormat(std::shared_ptr<AVAudioFormat> format, NSError* outError)
{
    if (!format || format->channelCount() > mMaximumChannelCount ||
        (mOwner && !mOwner->shouldChangeToFormat(format, this))) {
        fail(outError, kAudioUnitErr_FormatNotSupported);
        return false;
    }
    mFormat = std::move(format);
    return true;
}

std::shared_ptr<AUAudioUnitBusArray>
AUAudioUnitBusArray::initWithAudioUnit(AUAudioUnit* owner, AUAudioUnitBusType busType,
                                       std::vector<std::shared_ptr<AUAudioUnitBus>> busses)
{
    for (std::size_t i = 0; i < busses.size(); ++i) {
        busses[i]->mOwner = owner;
        busses[i]->mBusType = busType;
        busses[i]->mIndex = i;
    }
    return std::shared_ptr<AUAudioUnitBusArray>(new AUAudioUnitBusArray(owner, busType, std::move(busses)));
}

AUAudioUnit::~AUAudioUnit() = default;

bool AUAudioUnit::initWithComponentDescription(const AudioComponentDescription& componentDescription,
                                               AudioComponentInstantiationOptions /*options*/, NSError* outError)
{
    if (componentDescription.componentType == 0) {
        fail(outError, kAudioUnitErr_FailedInitialization);
        return false;
    }
    mDescription = componentDescription;
    mEmptyInputBusses = AUAudioUnitBusArray::initWithAudioUnit(this, AUAudioUnitBusTypeInput, {});
    mEmptyOutputBusses = AUAudioUnitBusArray::initWithAudioUnit(this, AUAudioUnitBusTypeOutput, {});
    return true;
}

std::shared_ptr<AUAudioUnitBusArray> AUAudioUnit::inputBusses() { return mEmptyInputBusses; }
std::shared_ptr<AUAudioUnitBusArray> AUAudioUnit::outputBusses() { return mEmptyOutputBusses; }

bool AUAudioUnit::allocateRenderResourcesAndReturnError(NSError* outError)
{
    const std::vector<NSInteger> capabilities = channelCapabilities();
    if (!capabilities.empty()) {
        const auto inputs = inputBusses();
        const auto outputs = outputBusses();
        const NSInteger nIn = inputs && inputs->count() > 0 ? (*inputs)[0]->format()->channelCount() : 0;
        const NSInteger nOut = outputs && outputs->count() > 0 ? (*outputs)[0]->format()->channelCount() : 0;
        bool supported = false;
        for (std::size_t i = 0; i + 1 < capabilities.size(); i += 2) {
            const NSInteger in = capabilities[i];
            const NSInteger out = capabilities[i + 1];
            if ((in == -1 || in == nIn) && (out == -1 || out == nOut)) {
                supported = true;
                break;
            }
        }
        if (!supported) {
            fail(outError, kAudioUnitErr_FormatNotSupported);
            return false;
        }
    }
    mRenderResourcesAllocated = true;
    return true;
}

void AUAudioUnit::deallocateRenderResources() { mRenderResourcesAllocated = false; }

AUInternalRenderBlock AUAudioUnit::internalRenderBlock() { return {}; }

std::vector<NSInteger> AUAudioUnit::channelCapabilities() { return {}; }

bool AUAudioUnit::shouldChangeToFormat(const std::shared_ptr<AVAudioFormat>& /*format*/, AUAudioUnitBus* /*bus*/)
{
    return !mRenderResourcesAllocated;
}

std::shared_ptr<AUAudioUnitPreset> AUAudioUnit::currentPreset() { return mCurrentPreset; }
void AUAudioUnit::setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset) { mCurrentPreset = std::move(preset); }
std::vector<std::shared_ptr<AUAudioUnitPreset>> AUAudioUnit::factoryPresets() { return {}; }

NSDictionary AUAudioUnit::fullState() { return {}; }
void AUAudioUnit::setFullState(const NSDictionary& /*state*/) {}

std::shared_ptr<AUParameterTree> AUAudioUnit::parameterTree() { return mParameterTree; }
void AUAudioUnit::setParameterTree(std::shared_ptr<AUParameterTree> tree) { mParameterTree = std::move(tree); }

double AUAudioUnit::latency() { return 0.0; }
double AUAudioUnit::tailTime() { return 0.0; }
bool AUAudioUnit::canProcessInPlace() { return false; }
std::vector<std::string> AUAudioUnit::MIDIOutputNames() { return {}; }
bool AUAudioUnit::supportsMPE() { return false; }
std::vector<NSUInteger> AUAudioUnit::parametersForOverviewWithCount(NSInteger /*count*/) { return {}; }

std::vector<NSUInteger>
AUAudioUnit::supportedViewConfigurations(const std::vector<AUAudioUnitViewConfiguration>& availableViewConfigurations)
{
    std::vector<NSUInteger> all(availableViewConfigurations.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    return all;
}

void AUAudioUnit::selectViewConfiguration(const AUAudioUnitViewConfiguration& /*viewConfiguration*/) {}

void AUAudioUnit::setRenderingOffline(bool renderingOffline) { mRenderingOffline = renderingOffline; }

NSKeyValueObserverToken AUAudioUnit::addObserverForKeyPath(std::string keyPath, NSKeyValueObserver observer)
{
    std::lock_guard lock(mObservationMutex);
    const NSKeyValueObserverToken token = mNextObservationToken++;
    mObservations.push_back(KeyValueObservation{token, std::move(keyPath), std::move(observer)});
    return token;
}

void AUAudioUnit::removeObserver(NSKeyValueObserverToken token)
{
    std::lock_guard lock(mObservationMutex);
    std::erase_if(mObservations, [token](const KeyValueObservation& o) { return o.mToken == token; });
}

void AUAudioUnit::didChangeValueForKey(const std::string& key)
{
    // The observers run outside the lock, so that they may read the unit or
    // add and remove observers.
    std::vector<NSKeyValueObserver> observers;
    {
        std::lock_guard lock(mObservationMutex);
        for (const KeyValueObservation& o : mObservations) {
            if (o.mKeyPath == key && o.mObserver) {
                observers.push_back(o.mObserver);
            }
        }
    }
    for (const NSKeyValueObserver& observer : observers) {
        observer();
    }
}
