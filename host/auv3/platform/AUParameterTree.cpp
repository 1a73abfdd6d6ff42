// host/auv3/platform: the parameter-tree stand-in.
#include "host/auv3/platform/AUParameterTree.h"

#include <cstdio>
#include <cstdlib>

AUParameterNode::AUParameterNode(std::string identifier, std::string displayName)
    : mIdentifier(std::move(identifier)), mDisplayName(std::move(displayName))
{
}

AUParameterNode::~AUParameterNode() = default;

std::string AUParameterNode::keyPath() const
{
    std::string path = mIdentifier;
    for (auto parent = mParent.lock(); parent; parent = parent->mParent.lock()) {
        if (!parent->mIdentifier.empty()) {
            path = parent->mIdentifier + "." + path;
        }
    }
    return path;
}

AUParameterObserverToken AUParameterNode::tokenByAddingParameterObserver(AUParameterObserver observer)
{
    std::lock_guard<std::mutex> lock(mObserverMutex);
    mObservers.push_back(Observer{std::make_unique<int>(0), std::move(observer)});
    return mObservers.back().mToken.get();
}

void AUParameterNode::removeParameterObserver(AUParameterObserverToken token)
{
    std::lock_guard<std::mutex> lock(mObserverMutex);
    std::erase_if(mObservers, [token](const Observer& o) { return o.mToken.get() == token; });
}

void AUParameterNode::notifyObservers(AUParameterAddress address, AUValue value,
                                      AUParameterObserverToken originator) const
{
    // A host may hold a parameter but not its tree: each ancestor is held while
    // its observers run, in case another thread releases the tree meanwhile.
    std::shared_ptr<const AUParameterNode> ancestor;
    for (const AUParameterNode* node = this; node;) {
        {
            std::lock_guard<std::mutex> lock(node->mObserverMutex);
            for (const Observer& o : node->mObservers) {
                if (o.mToken.get() != originator && o.mBlock) {
                    o.mBlock(address, value);
                }
            }
        }
        ancestor = node->mParent.lock();
        node = ancestor.get();
    }
}

// The callbacks are looked up along the parent chain. The caller holds this
// node; an ancestor that holds the callback is returned with it.
template <typename Callback>
AUParameterNode::Implementor<Callback> AUParameterNode::findImplementor(Callback AUParameterNode::*member) const noexcept
{
    if (this->*member) {
        return {nullptr, &(this->*member)};
    }
    for (auto parent = mParent.lock(); parent; parent = parent->mParent.lock()) {
        if ((*parent).*member) {
            const Callback* callback = &((*parent).*member);
            return {std::move(parent), callback};
        }
    }
    return {};
}

AUParameterNode::Implementor<AUImplementorValueObserver> AUParameterNode::findValueObserver() const noexcept
{
    return findImplementor(&AUParameterNode::mValueObserver);
}

AUParameterNode::Implementor<AUImplementorValueProvider> AUParameterNode::findValueProvider() const noexcept
{
    return findImplementor(&AUParameterNode::mValueProvider);
}

AUParameterNode::Implementor<AUImplementorStringFromValueCallback> AUParameterNode::findStringFromValue() const noexcept
{
    return findImplementor(&AUParameterNode::mStringFromValue);
}

AUParameterNode::Implementor<AUImplementorValueFromStringCallback> AUParameterNode::findValueFromString() const noexcept
{
    return findImplementor(&AUParameterNode::mValueFromString);
}

AUParameter::AUParameter(std::string identifier, std::string name, AUParameterAddress address, AUValue min,
                         AUValue max, AudioUnitParameterUnit unit, std::string unitName,
                         AudioUnitParameterOptions flags, std::vector<std::string> valueStrings,
                         std::vector<AUParameterAddress> dependentParameters)
    : AUParameterNode(std::move(identifier), std::move(name)), mAddress(address), mMinValue(min), mMaxValue(max),
      mUnit(unit), mUnitName(std::move(unitName)), mFlags(flags), mValueStrings(std::move(valueStrings)),
      mDependentParameters(std::move(dependentParameters))
{
}

AUValue AUParameter::value() const
{
    if (const auto provider = findValueProvider(); provider.mCallback) {
        return (*provider.mCallback)(const_cast<AUParameter*>(this));
    }
    return mValue.load();
}

void AUParameter::setValue(AUValue value)
{
    setValue(value, nullptr, 0, AUParameterAutomationEventTypeValue);
}

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator)
{
    setValue(value, originator, 0, AUParameterAutomationEventTypeValue);
}

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator, uint64_t hostTime)
{
    setValue(value, originator, hostTime, AUParameterAutomationEventTypeValue);
}

void AUParameter::setValue(AUValue value, AUParameterObserverToken originator, uint64_t /*hostTime*/,
                           AUParameterAutomationEventType eventType)
{
    mValue.store(value);
    mLastEventType.store(eventType);
    if (const auto observer = findValueObserver(); observer.mCallback) {
        (*observer.mCallback)(this, value);
    }
    notifyObservers(mAddress, value, originator);
}

std::string AUParameter::stringFromValue(const AUValue* value) const
{
    if (const auto callback = findStringFromValue(); callback.mCallback) {
        return (*callback.mCallback)(const_cast<AUParameter*>(this), value);
    }
    const AUValue v = value ? *value : this->value();
    char text[64];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    return text;
}

AUValue AUParameter::valueFromString(const std::string& string) const
{
    if (const auto callback = findValueFromString(); callback.mCallback) {
        return (*callback.mCallback)(const_cast<AUParameter*>(this), string);
    }
    return std::strtof(string.c_str(), nullptr);
}

AUParameterGroup::AUParameterGroup(std::string identifier, std::string name,
                                   std::vector<std::shared_ptr<AUParameterNode>> children)
    : AUParameterNode(std::move(identifier), std::move(name)), mChildren(std::move(children))
{
}

void AUParameterGroup::adoptChildren()
{
    for (auto& child : mChildren) {
        if (child) {
            child->mParent = weak_from_this();
        }
    }
}

std::vector<std::shared_ptr<AUParameter>> AUParameterGroup::allParameters() const
{
    std::vector<std::shared_ptr<AUParameter>> result;
    for (const auto& child : mChildren) {
        if (auto param = std::dynamic_pointer_cast<AUParameter>(child)) {
            result.push_back(std::move(param));
        } else if (auto group = std::dynamic_pointer_cast<AUParameterGroup>(child)) {
            auto nested = group->allParameters();
            result.insert(result.end(), nested.begin(), nested.end());
        }
    }
    return result;
}

std::shared_ptr<AUParameter> AUParameterTree::createParameterWithIdentifier(
    std::string identifier, std::string name, AUParameterAddress address, AUValue min, AUValue max,
    AudioUnitParameterUnit unit, std::string unitName, AudioUnitParameterOptions flags,
    std::vector<std::string> valueStrings, std::vector<AUParameterAddress> dependentParameters)
{
    return std::shared_ptr<AUParameter>(new AUParameter(std::move(identifier), std::move(name), address, min, max, unit,
                                                        std::move(unitName), flags, std::move(valueStrings),
                                                        std::move(dependentParameters)));
}

std::shared_ptr<AUParameterGroup>
AUParameterTree::createGroupWithIdentifier(std::string identifier, std::string name,
                                           std::vector<std::shared_ptr<AUParameterNode>> children)
{
    auto group = std::shared_ptr<AUParameterGroup>(
        new AUParameterGroup(std::move(identifier), std::move(name), std::move(children)));
    group->adoptChildren();
    return group;
}

std::shared_ptr<AUParameterTree>
AUParameterTree::createTreeWithChildren(std::vector<std::shared_ptr<AUParameterNode>> children)
{
    auto tree = std::shared_ptr<AUParameterTree>(new AUParameterTree(std::move(children)));
    tree->adoptChildren();
    for (auto& param : tree->allParameters()) {
        tree->mByAddress.emplace(param->address(), param);
    }
    return tree;
}

AUParameterTree::AUParameterTree(std::vector<std::shared_ptr<AUParameterNode>> children)
    : AUParameterGroup("", "", std::move(children))
{
}

std::shared_ptr<AUParameter> AUParameterTree::parameterWithAddress(AUParameterAddress address) const
{
    const auto it = mByAddress.find(address);
    return it == mByAddress.end() ? nullptr : it->second;
}
