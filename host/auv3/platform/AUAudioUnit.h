// host/auv3/platform: stands in for the Apple AudioToolbox classes AUAudioUnit,
// AUAudioUnitBus, AUAudioUnitBusArray, AUAudioUnitPreset and
// AUAudioUnitViewConfiguration. The base class keeps the properties a host sets
// and reads, checks bus formats against the channel capabilities when render
// resources are allocated (as the real class does), lets a host observe
// changes of a property by its key (as key-value observing does) and otherwise
// answers with the real class's defaults; a subclass overrides what it
// provides.
#pragma once

#include "host/auv3/platform/AUParameterTree.h"
#include "host/auv3/platform/AURenderEvent.h"
#include "host/auv3/platform/AVAudioFormat.h"
#include "host/auv3/platform/CoreAudioTypes.h"
#include "host/auv3/platform/Foundation.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class AUAudioUnit;

// A key-value observer: told, on the thread that made the change, that the
// observed property has changed; it reads the new value itself.
using NSKeyValueObserver = std::function<void()>;
using NSKeyValueObserverToken = uint64_t;

enum AUAudioUnitBusType : NSInteger {
    AUAudioUnitBusTypeInput = 1,
    AUAudioUnitBusTypeOutput = 2,
};

class AUAudioUnitBus {
public:
    // initWithFormat:error: nil (and the error) for a null format.
    [[nodiscard]] static std::shared_ptr<AUAudioUnitBus> initWithFormat(std::shared_ptr<AVAudioFormat> format,
                                                                        NSError* outError);

    [[nodiscard]] const std::shared_ptr<AVAudioFormat>& format() const noexcept { return mFormat; }

    // setFormat:error: refused when the format has more channels than the bus's
    // maximum or when the owning audio unit's shouldChangeToFormat:forBus: says no.
    bool setFormat(std::shared_ptr<AVAudioFormat> format, NSError* outError);

    [[nodiscard]] UInt32 maximumChannelCount() const noexcept { return mMaximumChannelCount; }
    void setMaximumChannelCount(UInt32 count) noexcept { mMaximumChannelCount = count; }
    [[nodiscard]] bool isEnabled() const noexcept { return mEnabled; }
    void setEnabled(bool enabled) noexcept { mEnabled = enabled; }
    [[nodiscard]] NSUInteger index() const noexcept { return mIndex; }
    [[nodiscard]] AUAudioUnitBusType busType() const noexcept { return mBusType; }
    // The audio unit whose bus array holds this bus (not owned), or null.
    [[nodiscard]] AUAudioUnit* ownerAudioUnit() const noexcept { return mOwner; }

private:
    friend class AUAudioUnitBusArray;
    explicit AUAudioUnitBus(std::shared_ptr<AVAudioFormat> format) noexcept : mFormat(std::move(format)) {}

    std::shared_ptr<AVAudioFormat> mFormat;
    UInt32 mMaximumChannelCount = UINT32_MAX;
    bool mEnabled = true;
    NSUInteger mIndex = 0;
    AUAudioUnitBusType mBusType = AUAudioUnitBusTypeInput;
    AUAudioUnit* mOwner = nullptr;
};

class AUAudioUnitBusArray {
public:
    // initWithAudioUnit:busType:busses: takes the busses and tells each its owner,
    // type and index.
    [[nodiscard]] static std::shared_ptr<AUAudioUnitBusArray>
    initWithAudioUnit(AUAudioUnit* owner, AUAudioUnitBusType busType,
                      std::vector<std::shared_ptr<AUAudioUnitBus>> busses);

    [[nodiscard]] NSUInteger count() const noexcept { return mBusses.size(); }
    [[nodiscard]] const std::shared_ptr<AUAudioUnitBus>& operator[](NSUInteger index) const
    {
        return mBusses.at(index);
    }
    [[nodiscard]] AUAudioUnit* ownerAudioUnit() const noexcept { return mOwner; }
    [[nodiscard]] AUAudioUnitBusType busType() const noexcept { return mBusType; }

private:
    AUAudioUnitBusArray(AUAudioUnit* owner, AUAudioUnitBusType busType,
                        std::vector<std::shared_ptr<AUAudioUnitBus>> busses) noexcept
        : mOwner(owner), mBusType(busType), mBusses(std::move(busses))
    {
    }

    AUAudioUnit* mOwner;
    AUAudioUnitBusType mBusType;
    std::vector<std::shared_ptr<AUAudioUnitBus>> mBusses;
};

class AUAudioUnitPreset {
public:
    AUAudioUnitPreset(NSInteger number, std::string name) : mNumber(number), mName(std::move(name)) {}
    [[nodiscard]] NSInteger number() const noexcept { return mNumber; }
    [[nodiscard]] const std::string& name() const noexcept { return mName; }
    void setNumber(NSInteger number) noexcept { mNumber = number; }
    void setName(std::string name) { mName = std::move(name); }

private:
    NSInteger mNumber;
    std::string mName;
};

struct AUAudioUnitViewConfiguration {
    double width = 0.0;
    double height = 0.0;
    bool hostHasController = false;
};

class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    AUAudioUnit() = default;
    AUAudioUnit(const AUAudioUnit&) = delete;
    AUAudioUnit& operator=(const AUAudioUnit&) = delete;
    virtual ~AUAudioUnit();

    // initWithComponentDescription:options:error: fails, with the error filled in,
    // for a description without a component type, which names no audio unit.
    virtual bool initWithComponentDescription(const AudioComponentDescription& componentDescription,
                                              AudioComponentInstantiationOptions options, NSError* outError);
    [[nodiscard]] const AudioComponentDescription& componentDescription() const noexcept { return mDescription; }

    [[nodiscard]] virtual std::shared_ptr<AUAudioUnitBusArray> inputBusses();
    [[nodiscard]] virtual std::shared_ptr<AUAudioUnitBusArray> outputBusses();

    [[nodiscard]] AUAudioFrameCount maximumFramesToRender() const noexcept { return mMaximumFramesToRender; }
    void setMaximumFramesToRender(AUAudioFrameCount frames) noexcept { mMaximumFramesToRender = frames; }
    [[nodiscard]] bool renderResourcesAllocated() const noexcept { return mRenderResourcesAllocated; }

    // Checks the channel counts of the first input and output bus against the
    // channel capabilities (when there are any) and marks the resources allocated.
    virtual bool allocateRenderResourcesAndReturnError(NSError* outError);
    virtual void deallocateRenderResources();
    [[nodiscard]] virtual AUInternalRenderBlock internalRenderBlock();

    [[nodiscard]] const AUHostMusicalContextBlock& musicalContextBlock() const noexcept { return mMusicalContextBlock; }
    void setMusicalContextBlock(AUHostMusicalContextBlock block) { mMusicalContextBlock = std::move(block); }
    [[nodiscard]] const AUHostTransportStateBlock& transportStateBlock() const noexcept { return mTransportStateBlock; }
    void setTransportStateBlock(AUHostTransportStateBlock block) { mTransportStateBlock = std::move(block); }
    [[nodiscard]] const AUMIDIOutputEventBlock& MIDIOutputEventBlock() const noexcept { return mMIDIOutputEventBlock; }
    void setMIDIOutputEventBlock(AUMIDIOutputEventBlock block) { mMIDIOutputEventBlock = std::move(block); }

    // Pairs of (input, output) channel counts, -1 for any; empty when the unit
    // declares none.
    [[nodiscard]] virtual std::vector<NSInteger> channelCapabilities();
    // The base answer: a format may change while render resources are not
    // allocated.
    [[nodiscard]] virtual bool shouldChangeToFormat(const std::shared_ptr<AVAudioFormat>& format,
                                                    AUAudioUnitBus* bus);

    [[nodiscard]] virtual std::shared_ptr<AUAudioUnitPreset> currentPreset();
    virtual void setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset);
    [[nodiscard]] virtual std::vector<std::shared_ptr<AUAudioUnitPreset>> factoryPresets();

    [[nodiscard]] virtual NSDictionary fullState();
    virtual void setFullState(const NSDictionary& state);

    [[nodiscard]] virtual std::shared_ptr<AUParameterTree> parameterTree();
    virtual void setParameterTree(std::shared_ptr<AUParameterTree> tree);

    [[nodiscard]] virtual double latency();
    [[nodiscard]] virtual double tailTime();
    [[nodiscard]] virtual bool canProcessInPlace();
    [[nodiscard]] virtual std::vector<std::string> MIDIOutputNames();
    [[nodiscard]] virtual bool supportsMPE();
    [[nodiscard]] virtual std::vector<NSUInteger> parametersForOverviewWithCount(NSInteger count);
    // Indices of the configurations the unit supports; the base supports all.
    [[nodiscard]] virtual std::vector<NSUInteger>
    supportedViewConfigurations(const std::vector<AUAudioUnitViewConfiguration>& availableViewConfigurations);
    virtual void selectViewConfiguration(const AUAudioUnitViewConfiguration& viewConfiguration);

    [[nodiscard]] bool isRenderingOffline() const noexcept { return mRenderingOffline; }
    virtual void setRenderingOffline(bool renderingOffline);

    // Any thread. Observes the property named keyPath (such as "latency") until
    // the token is removed; unknown tokens are ignored.
    [[nodiscard]] NSKeyValueObserverToken addObserverForKeyPath(std::string keyPath, NSKeyValueObserver observer);
    void removeObserver(NSKeyValueObserverToken token);
    // Tells the observers of key, in the order they were added, that its value
    // has changed. Not on the render thread: observers are the host's code.
    void didChangeValueForKey(const std::string& key);

private:
    struct KeyValueObservation {
        NSKeyValueObserverToken mToken;
        std::string mKeyPath;
        NSKeyValueObserver mObserver;
    };

    AudioComponentDescription mDescription;
    AUAudioFrameCount mMaximumFramesToRender = 512;
    bool mRenderResourcesAllocated = false;
    bool mRenderingOffline = false;
    AUHostMusicalContextBlock mMusicalContextBlock;
    AUHostTransportStateBlock mTransportStateBlock;
    AUMIDIOutputEventBlock mMIDIOutputEventBlock;
    std::shared_ptr<AUParameterTree> mParameterTree;
    std::shared_ptr<AUAudioUnitPreset> mCurrentPreset;
    std::shared_ptr<AUAudioUnitBusArray> mEmptyInputBusses;
    std::shared_ptr<AUAudioUnitBusArray> mEmptyOutputBusses;
    std::mutex mObservationMutex;
    std::vector<KeyValueObservation> mObservations;
    NSKeyValueObserverToken mNextObservationToken = 1;
};
