// tests/host: the stand-ins for the Apple audio-unit classes behave as the
// audio-unit object relies on.
#include "host/auv3/platform/AUAudioUnit.h"
#include "host/auv3/platform/AUParameterTree.h"
#include "host/auv3/platform/AVAudioPCMBuffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

TEST(AVAudioFormat, HigherOrderAmbisonicLayoutTagCarriesItsChannelCount)
{
    auto layout = AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_HOA_ACN_SN3D | 64);
    auto format = AVAudioFormat::initStandardFormatWithSampleRate(48000.0, layout);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->channelCount(), 64U);
    EXPECT_EQ(format->channelLayout()->layoutTag(), 0xBE0040U);
    EXPECT_FALSE(format->isInterleaved());
    EXPECT_EQ(AVAudioFormat::initStandardFormatWithSampleRate(
                  48000.0, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_Stereo))
                  ->channelCount(),
              2U);
}

TEST(AVAudioPCMBuffer, ListsDescribeOneChannelPerBufferAndTheMutableListCanBeRepointed)
{
    auto format = AVAudioFormat::initStandardFormatWithSampleRate(
        44100.0, AVAudioChannelLayout::layoutWithLayoutTag(kAudioChannelLayoutTag_HOA_ACN_SN3D | 9));
    auto buffer = AVAudioPCMBuffer::initWithPCMFormat(format, 256);
    ASSERT_TRUE(buffer);
    const AudioBufferList* own = buffer->audioBufferList();
    AudioBufferList* mutableList = buffer->mutableAudioBufferList();
    ASSERT_EQ(own->mNumberBuffers, 9U);
    ASSERT_EQ(mutableList->mNumberBuffers, 9U);
    for (UInt32 c = 0; c < 9; ++c) {
        EXPECT_EQ(own->mBuffers[c].mNumberChannels, 1U);
        EXPECT_EQ(own->mBuffers[c].mData, buffer->floatChannelData()[c]);
        EXPECT_EQ(mutableList->mBuffers[c].mData, buffer->floatChannelData()[c]);
        EXPECT_EQ(own->mBuffers[c].mDataByteSize, 0U) << "a new buffer has no valid frames";
        // Every channel owns its full capacity: writing it must not touch the next one.
        float* data = buffer->floatChannelData()[c];
        for (UInt32 i = 0; i < 256; ++i) {
            data[i] = static_cast<float>(c);
        }
    }
    for (UInt32 c = 0; c < 9; ++c) {
        EXPECT_EQ(buffer->floatChannelData()[c][0], static_cast<float>(c));
        EXPECT_EQ(buffer->floatChannelData()[c][255], static_cast<float>(c));
    }

    float elsewhere[4] = {};
    mutableList->mBuffers[3].mData = elsewhere;
    EXPECT_EQ(own->mBuffers[3].mData, buffer->floatChannelData()[3]);

    buffer->setFrameLength(100);
    EXPECT_EQ(own->mBuffers[8].mDataByteSize, 400U);
    buffer->setFrameLength(1000);
    EXPECT_EQ(buffer->frameLength(), 256U);
    EXPECT_EQ(mutableList->mBuffers[0].mDataByteSize, 1024U);
}

namespace {

std::shared_ptr<AUParameter> makeParameter(AUParameterAddress address)
{
    std::string name = "P";
    name.append(std::to_string(address));
    return AUParameterTree::createParameterWithIdentifier(std::to_string(address), name,
                                                          address, 0.0f, 10.0f, kAudioUnitParameterUnit_Generic, "",
                                                          0, {}, {});
}

} // namespace

TEST(AUParameterTree, ImplementorCallbacksOfTheTreeServeParametersInGroups)
{
    auto top = makeParameter(0);
    auto grouped = makeParameter(5);
    auto group = AUParameterTree::createGroupWithIdentifier("Group 0", "G", {grouped});
    auto tree = AUParameterTree::createTreeWithChildren({top, group});

    std::vector<std::pair<AUParameterAddress, AUValue>> observed;
    tree->setImplementorValueObserver([&](AUParameter* p, AUValue v) { observed.emplace_back(p->address(), v); });
    tree->setImplementorValueProvider([](AUParameter* p) { return static_cast<AUValue>(p->address()) + 0.5f; });
    tree->setImplementorStringFromValueCallback([](AUParameter* p, const AUValue* v) {
        return std::to_string(p->address()) + ":" + (v ? std::to_string(static_cast<int>(*v)) : "current");
    });
    tree->setImplementorValueFromStringCallback([](AUParameter*, const std::string& s) {
        return static_cast<AUValue>(s.size());
    });

    ASSERT_EQ(tree->parameterWithAddress(5), grouped);
    EXPECT_EQ(tree->parameterWithAddress(6), nullptr);
    EXPECT_EQ(grouped->keyPath(), "Group 0.5");
    EXPECT_FLOAT_EQ(grouped->value(), 5.5f);
    const AUValue three = 3.0f;
    EXPECT_EQ(grouped->stringFromValue(&three), "5:3");
    EXPECT_EQ(top->stringFromValue(nullptr), "0:current");
    EXPECT_FLOAT_EQ(top->valueFromString("abcd"), 4.0f);

    grouped->setValue(7.0f);
    top->setValue(2.0f);
    ASSERT_EQ(observed.size(), 2U);
    EXPECT_EQ(observed[0], std::make_pair(AUParameterAddress{5}, 7.0f));
    EXPECT_EQ(observed[1], std::make_pair(AUParameterAddress{0}, 2.0f));

    const auto all = tree->allParameters();
    ASSERT_EQ(all.size(), 2U);
    EXPECT_EQ(all[0], top);
    EXPECT_EQ(all[1], grouped);
}

TEST(AUParameterTree, ObserversAreToldOfChangesExceptTheirOwn)
{
    auto param = makeParameter(1);
    auto tree = AUParameterTree::createTreeWithChildren({param});
    int firstCalls = 0;
    int secondCalls = 0;
    AUParameterObserverToken first = tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++firstCalls; });
    AUParameterObserverToken second =
        tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { ++secondCalls; });
    ASSERT_NE(first, second);

    param->setValue(1.0f, first);
    EXPECT_EQ(firstCalls, 0);
    EXPECT_EQ(secondCalls, 1);
    param->setValue(2.0f, nullptr, 0, AUParameterAutomationEventTypeTouch);
    EXPECT_EQ(param->lastAutomationEventType(), AUParameterAutomationEventTypeTouch);
    EXPECT_FLOAT_EQ(param->value(), 2.0f) << "without a provider the stored value is read";
    tree->removeParameterObserver(second);
    param->setValue(3.0f);
    EXPECT_EQ(firstCalls, 2);
    EXPECT_EQ(secondCalls, 2);
}

// A host may hold parameters but not their tree, and release the tree on one
// thread while another is inside one of its callbacks. Here the callback itself
// drops the last reference: what it captured must live until it returns.
TEST(AUParameterTree, ACallbackOutlivesTheReleaseOfItsTreeUntilItReturns)
{
    using Step = std::function<void()>;
    struct Case {
        const char* name;
        std::function<void(AUParameterTree&, Step)> install;
        std::function<void(AUParameter&)> trigger;
    };
    const Case cases[] = {
        {"value provider",
         [](AUParameterTree& t, Step step) {
             t.setImplementorValueProvider([step](AUParameter*) {
                 step();
                 return 0.0f;
             });
         },
         [](AUParameter& p) { (void)p.value(); }},
        {"value observer",
         [](AUParameterTree& t, Step step) { t.setImplementorValueObserver([step](AUParameter*, AUValue) { step(); }); },
         [](AUParameter& p) { p.setValue(1.0f); }},
        {"string from value",
         [](AUParameterTree& t, Step step) {
             t.setImplementorStringFromValueCallback([step](AUParameter*, const AUValue*) {
                 step();
                 return std::string();
             });
         },
         [](AUParameter& p) { (void)p.stringFromValue(nullptr); }},
        {"value from string",
         [](AUParameterTree& t, Step step) {
             t.setImplementorValueFromStringCallback([step](AUParameter*, const std::string&) {
                 step();
                 return 0.0f;
             });
         },
         [](AUParameter& p) { (void)p.valueFromString("1"); }},
        {"tree observer",
         [](AUParameterTree& t, Step step) {
             (void)t.tokenByAddingParameterObserver([step](AUParameterAddress, AUValue) { step(); });
         },
         [](AUParameter& p) { p.setValue(1.0f); }},
    };
    for (const Case& c : cases) {
        auto param = makeParameter(3);
        auto tree = AUParameterTree::createTreeWithChildren({param});
        auto captured = std::make_shared<int>(0);
        const std::weak_ptr<int> watch = captured;
        int calls = 0;
        bool capturedAliveAfterRelease = false;
        c.install(*tree, [captured, &tree, &watch, &calls, &capturedAliveAfterRelease] {
            tree.reset();
            capturedAliveAfterRelease = !watch.expired();
            ++calls;
        });
        captured.reset();
        c.trigger(*param);
        EXPECT_EQ(calls, 1) << c.name;
        EXPECT_TRUE(capturedAliveAfterRelease) << c.name;
        EXPECT_TRUE(watch.expired()) << c.name << ": released once the call returns";
    }
}

namespace {

class TwoBusUnit : public AUAudioUnit {
public:
    bool initWithComponentDescription(const AudioComponentDescription& d, AudioComponentInstantiationOptions o,
                                      NSError* e) override
    {
        if (!AUAudioUnit::initWithComponentDescription(d, o, e)) {
            return false;
        }
        auto in = AUAudioUnitBus::initWithFormat(format(kAudioChannelLayoutTag_HOA_ACN_SN3D | 16), nullptr);
        in->setMaximumChannelCount(64);
        auto out = AUAudioUnitBus::initWithFormat(format(kAudioChannelLayoutTag_Stereo), nullptr);
        mInputs = AUAudioUnitBusArray::initWithAudioUnit(this, AUAudioUnitBusTypeInput, {in});
        mOutputs = AUAudioUnitBusArray::initWithAudioUnit(this, AUAudioUnitBusTypeOutput, {out});
        return true;
    }
    std::shared_ptr<AUAudioUnitBusArray> inputBusses() override { return mInputs; }
    std::shared_ptr<AUAudioUnitBusArray> outputBusses() override { return mOutputs; }
    std::vector<NSInteger> channelCapabilities() override { return {4, 2, 16, 2}; }

    static std::shared_ptr<AVAudioFormat> format(AudioChannelLayoutTag tag)
    {
        return AVAudioFormat::initStandardFormatWithSampleRate(48000.0, AVAudioChannelLayout::layoutWithLayoutTag(tag));
    }

private:
    std::shared_ptr<AUAudioUnitBusArray> mInputs;
    std::shared_ptr<AUAudioUnitBusArray> mOutputs;
};

} // namespace

TEST(AUAudioUnit, BaseAllocationChecksChannelCapabilitiesAndFormatsAreFixedWhileAllocated)
{
    TwoBusUnit unit;
    NSError error;
    ASSERT_FALSE(unit.initWithComponentDescription({}, 0, &error)) << "a description without a type names no unit";
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);
    ASSERT_TRUE(unit.initWithComponentDescription({MakeFourCharCode("aumf"), 1, 2, 0, 0}, 0, &error));

    auto& input = (*unit.inputBusses())[0];
    EXPECT_EQ(input->ownerAudioUnit(), &unit);
    EXPECT_EQ(input->busType(), AUAudioUnitBusTypeInput);
    EXPECT_TRUE(unit.allocateRenderResourcesAndReturnError(&error));
    EXPECT_FALSE(input->setFormat(TwoBusUnit::format(kAudioChannelLayoutTag_HOA_ACN_SN3D | 9), &error))
        << "the base refuses format changes while render resources are allocated";
    unit.deallocateRenderResources();

    EXPECT_TRUE(input->setFormat(TwoBusUnit::format(kAudioChannelLayoutTag_HOA_ACN_SN3D | 9), &error));
    error = {};
    EXPECT_FALSE(unit.allocateRenderResourcesAndReturnError(&error)) << "9 in, 2 out is not a capability";
    EXPECT_EQ(error.code, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(unit.renderResourcesAllocated());

    input->setMaximumChannelCount(16);
    EXPECT_FALSE(input->setFormat(TwoBusUnit::format(kAudioChannelLayoutTag_HOA_ACN_SN3D | 25), &error))
        << "more channels than the bus maximum";
    EXPECT_TRUE(input->setFormat(TwoBusUnit::format(kAudioChannelLayoutTag_HOA_ACN_SN3D | 4), &error));
    EXPECT_TRUE(unit.allocateRenderResourcesAndReturnError(&error));
}
