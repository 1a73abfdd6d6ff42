// host/auv3/platform: stands in for the Apple AudioToolbox parameter classes
// AUParameterNode, AUParameter, AUParameterGroup and AUParameterTree, with the
// implementor callbacks an audio unit installs and the observers a host adds.
// Nodes are shared objects; a node's implementor callbacks, when it has none of
// its own, are those of its nearest ancestor.
#pragma once

#include "host/auv3/platform/CoreAudioTypes.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

using AudioUnitParameterUnit = uint32_t;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Generic = 0;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Indexed = 1;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Boolean = 2;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Percent = 3;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Seconds = 4;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_SampleFrames = 5;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Phase = 6;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Rate = 7;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Hertz = 8;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Cents = 9;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_RelativeSemiTones = 10;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MIDINoteNumber = 11;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_MIDIController = 12;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Decibels = 13;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_LinearGain = 14;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Degrees = 15;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Pan = 18;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Meters = 19;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_AbsoluteCents = 20;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Octaves = 21;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_BPM = 22;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Beats = 23;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Milliseconds = 24;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_Ratio = 25;
constexpr AudioUnitParameterUnit kAudioUnitParameterUnit_CustomUnit = 26;

using AudioUnitParameterOptions = uint32_t;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplaySquareRoot = 1U << 16;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplaySquared = 2U << 16;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayCubed = 3U << 16;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayCubeRoot = 4U << 16;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayExponential = 5U << 16;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_HasClump = 1U << 20;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_ValuesHaveStrings = 1U << 21;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_DisplayLogarithmic = 1U << 22;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsHighResolution = 1U << 23;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_NonRealTime = 1U << 24;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsElementMeta = 1U << 29;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsReadable = 1U << 30;
constexpr AudioUnitParameterOptions kAudioUnitParameterFlag_IsWritable = 1U << 31;

enum AUParameterAutomationEventType : uint32_t {
    AUParameterAutomationEventTypeValue = 0,
    AUParameterAutomationEventTypeTouch = 1,
    AUParameterAutomationEventTypeRelease = 2,
};

class AUParameter;
class AUParameterGroup;

using AUParameterObserverToken = void*;
using AUParameterObserver = std::function<void(AUParameterAddress address, AUValue value)>;

using AUImplementorValueObserver = std::function<void(AUParameter* param, AUValue value)>;
using AUImplementorValueProvider = std::function<AUValue(AUParameter* param)>;
using AUImplementorStringFromValueCallback = std::function<std::string(AUParameter* param, const AUValue* value)>;
using AUImplementorValueFromStringCallback = std::function<AUValue(AUParameter* param, const std::string& string)>;

class AUParameterNode : public std::enable_shared_from_this<AUParameterNode> {
public:
    AUParameterNode(const AUParameterNode&) = delete;
    AUParameterNode& operator=(const AUParameterNode&) = delete;
    virtual ~AUParameterNode();

    [[nodiscard]] const std::string& identifier() const noexcept { return mIdentifier; }
    [[nodiscard]] const std::string& displayName() const noexcept { return mDisplayName; }
    [[nodiscard]] std::string keyPath() const;

    // Implementor callbacks. Setting them is a set-up step, done before the node
    // is shared with other threads.
    void setImplementorValueObserver(AUImplementorValueObserver block) { mValueObserver = std::move(block); }
    void setImplementorValueProvider(AUImplementorValueProvider block) { mValueProvider = std::move(block); }
    void setImplementorStringFromValueCallback(AUImplementorStringFromValueCallback block)
    {
        mStringFromValue = std::move(block);
    }
    void setImplementorValueFromStringCallback(AUImplementorValueFromStringCallback block)
    {
        mValueFromString = std::move(block);
    }

    // Observers see every change of a parameter at or below this node, except
    // changes made with their own token as originator.
    [[nodiscard]] AUParameterObserverToken tokenByAddingParameterObserver(AUParameterObserver observer);
    void removeParameterObserver(AUParameterObserverToken token);

protected:
    AUParameterNode(std::string identifier, std::string displayName);

    friend class AUParameter;
    friend class AUParameterGroup;

    // An implementor callback found on this node or an ancestor, with the node
    // that holds it: a caller keeps it for the call, so the callback stays alive
    // even if another thread releases the tree meanwhile.
    template <typename Callback>
    struct Implementor {
        std::shared_ptr<const AUParameterNode> mHolder;
        const Callback* mCallback = nullptr;
    };

    Implementor<AUImplementorValueObserver> findValueObserver() const noexcept;
    Implementor<AUImplementorValueProvider> findValueProvider() const noexcept;
    Implementor<AUImplementorStringFromValueCallback> findStringFromValue() const noexcept;
    Implementor<AUImplementorValueFromStringCallback> findValueFromString() const noexcept;
    void notifyObservers(AUParameterAddress address, AUValue value, AUParameterObserverToken originator) const;
    template <typename Callback>
    Implementor<Callback> findImplementor(Callback AUParameterNode::*member) const noexcept;

    std::string mIdentifier;
    std::string mDisplayName;
    std::weak_ptr<AUParameterNode> mParent;

private:
    struct Observer {
        std::unique_ptr<int> mToken;
        AUParameterObserver mBlock;
    };

    AUImplementorValueObserver mValueObserver;
    AUImplementorValueProvider mValueProvider;
    AUImplementorStringFromValueCallback mStringFromValue;
    AUImplementorValueFromStringCallback mValueFromString;
    mutable std::mutex mObserverMutex;
    std::vector<Observer> mObservers;
};

class AUParameter final : public AUParameterNode {
public:
    [[nodiscard]] AUParameterAddress address() const noexcept { return mAddress; }
    [[nodiscard]] AUValue minValue() const noexcept { return mMinValue; }
    [[nodiscard]] AUValue maxValue() const noexcept { return mMaxValue; }
    [[nodiscard]] AudioUnitParameterUnit unit() const noexcept { return mUnit; }
    [[nodiscard]] const std::string& unitName() const noexcept { return mUnitName; }
    [[nodiscard]] AudioUnitParameterOptions flags() const noexcept { return mFlags; }
    [[nodiscard]] const std::vector<std::string>& valueStrings() const noexcept { return mValueStrings; }
    [[nodiscard]] const std::vector<AUParameterAddress>& dependentParameters() const noexcept
    {
        return mDependentParameters;
    }

    // The value: the implementor's provider when there is one, else the value
    // last set.
    [[nodiscard]] AUValue value() const;

    // Sets the value: the implementor's observer receives it, and every observer
    // but the originator's is told.
    void setValue(AUValue value);
    void setValue(AUValue value, AUParameterObserverToken originator);
    void setValue(AUValue value, AUParameterObserverToken originator, uint64_t hostTime);
    void setValue(AUValue value, AUParameterObserverToken originator, uint64_t hostTime,
                  AUParameterAutomationEventType eventType);

    // Text for a value (the current one when null), through the implementor's
    // callback when there is one.
    [[nodiscard]] std::string stringFromValue(const AUValue* value) const;
    [[nodiscard]] AUValue valueFromString(const std::string& string) const;

    // The automation event type of the last change (value, touch or release), as
    // an automation observer would see it.
    [[nodiscard]] AUParameterAutomationEventType lastAutomationEventType() const noexcept
    {
        return static_cast<AUParameterAutomationEventType>(mLastEventType.load());
    }

private:
    friend class AUParameterTree;

    AUParameter(std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
                AudioUnitParameterUnit unit, std::string unitName, AudioUnitParameterOptions flags,
                std::vector<std::string> valueStrings, std::vector<AUParameterAddress> dependentParameters);

    AUParameterAddress mAddress;
    AUValue mMinValue;
    AUValue mMaxValue;
    AudioUnitParameterUnit mUnit;
    std::string mUnitName;
    AudioUnitParameterOptions mFlags;
    std::vector<std::string> mValueStrings;
    std::vector<AUParameterAddress> mDependentParameters;
    std::atomic<AUValue> mValue{0.0f};
    // Last automation event type passed with a value (value, touch or release).
    std::atomic<uint32_t> mLastEventType{AUParameterAutomationEventTypeValue};
};

class AUParameterGroup : public AUParameterNode {
public:
    [[nodiscard]] const std::vector<std::shared_ptr<AUParameterNode>>& children() const noexcept { return mChildren; }

    // Every parameter at or below this group, depth first in child order.
    [[nodiscard]] std::vector<std::shared_ptr<AUParameter>> allParameters() const;

protected:
    friend class AUParameterTree;
    AUParameterGroup(std::string identifier, std::string name, std::vector<std::shared_ptr<AUParameterNode>> children);
    void adoptChildren();

    std::vector<std::shared_ptr<AUParameterNode>> mChildren;
};

class AUParameterTree final : public AUParameterGroup {
public:
    [[nodiscard]] static std::shared_ptr<AUParameter>
    createParameterWithIdentifier(std::string identifier, std::string name, AUParameterAddress address, AUValue min,
                                  AUValue max, AudioUnitParameterUnit unit, std::string unitName,
                                  AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
                                  std::vector<AUParameterAddress> dependentParameters);

    [[nodiscard]] static std::shared_ptr<AUParameterGroup>
    createGroupWithIdentifier(std::string identifier, std::string name,
                              std::vector<std::shared_ptr<AUParameterNode>> children);

    [[nodiscard]] static std::shared_ptr<AUParameterTree>
    createTreeWithChildren(std::vector<std::shared_ptr<AUParameterNode>> children);

    // The parameter with that address, or null.
    [[nodiscard]] std::shared_ptr<AUParameter> parameterWithAddress(AUParameterAddress address) const;

private:
    explicit AUParameterTree(std::vector<std::shared_ptr<AUParameterNode>> children);

    std::unordered_map<AUParameterAddress, std::shared_ptr<AUParameter>> mByAddress;
};
