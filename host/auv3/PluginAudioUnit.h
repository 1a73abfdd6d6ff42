// host/auv3: the audio unit object a host talks to, for whatever plug-in is built
// on the binding. It creates (through plugfw::MakePlugin) and owns the plug-in
// object and presents it as audio-unit objects: a parameter tree, input and
// output busses with default formats, channel capabilities and layout tags,
// factory presets, a state dictionary, latency and tail time, and a render block
// that pulls the input, clears the outputs, gathers the host's musical time and
// hands the call to the binding's sample-accurate renderer.
#pragma once

#include "framework/PlugTypes.h"
#include "framework/PtrList.h"
#include "host/auv3/BufferedAudioBus.h"
#include "host/auv3/CallbackGate.h"
#include "host/auv3/IAUv3Binding.h"
#include "host/auv3/platform/AUAudioUnit.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PluginAudioUnit final : public AUAudioUnit, public plugfw::IAUv3HostMessages {
public:
    // Objects are shared: create one with alloc(), then initialise it.
    [[nodiscard]] static std::shared_ptr<PluginAudioUnit> alloc();
    PluginAudioUnit() = default;
    ~PluginAudioUnit() override;

    // The distinct channel-layout tags of the direction's busses over all I/O
    // configurations: their count without an array, else 1 after writing them.
    NSInteger getChannelLayoutTags(plugfw::ERoute direction, AudioChannelLayoutTag* tags);
    void populateChannelCapabilitesArray(std::vector<NSInteger>& array);

    bool initWithComponentDescription(const AudioComponentDescription& componentDescription,
                                      AudioComponentInstantiationOptions options, NSError* outError) override;

    [[nodiscard]] std::shared_ptr<AUAudioUnitBusArray> inputBusses() override { return mInputBusArray; }
    [[nodiscard]] std::shared_ptr<AUAudioUnitBusArray> outputBusses() override { return mOutputBusArray; }
    [[nodiscard]] std::vector<std::string> MIDIOutputNames() override { return mMidiOutputNames; }

    bool allocateRenderResourcesAndReturnError(NSError* outError) override;
    void deallocateRenderResources() override;
    [[nodiscard]] AUInternalRenderBlock internalRenderBlock() override;

    [[nodiscard]] std::shared_ptr<AUAudioUnitPreset> currentPreset() override;
    void setCurrentPreset(std::shared_ptr<AUAudioUnitPreset> preset) override;
    [[nodiscard]] std::vector<std::shared_ptr<AUAudioUnitPreset>> factoryPresets() override { return mPresets; }

    [[nodiscard]] std::shared_ptr<AUParameterTree> parameterTree() override { return mParameterTree; }
    void setParameterTree(std::shared_ptr<AUParameterTree> tree) override { mParameterTree = std::move(tree); }

    [[nodiscard]] bool canProcessInPlace() override { return false; }
    [[nodiscard]] std::vector<NSInteger> channelCapabilities() override { return mChannelCapabilitiesArray; }
    [[nodiscard]] std::vector<NSUInteger> parametersForOverviewWithCount(NSInteger count) override;
    void setRenderingOffline(bool renderingOffline) override;
    [[nodiscard]] double latency() override;
    [[nodiscard]] double tailTime() override;

    [[nodiscard]] NSDictionary fullState() override;
    void setFullState(const NSDictionary& state) override;

    [[nodiscard]] std::vector<NSUInteger>
    supportedViewConfigurations(const std::vector<AUAudioUnitViewConfiguration>& availableViewConfigurations) override;
    void selectViewConfiguration(const AUAudioUnitViewConfiguration& viewConfiguration) override;

    // Parameter gestures from the plug-in.
    void beginInformHostOfParamChange(uint64_t address) override;
    void informHostOfParamChange(uint64_t address, float value) override;
    void endInformHostOfParamChange(uint64_t address) override;

    // Editor hooks for the view controller.
    void* openWindow(void* parent);
    void closeWindow();
    [[nodiscard]] NSInteger width() const;
    [[nodiscard]] NSInteger height() const;
    void hostResized(CGSize newSize);

    // Render thread: MIDI towards the host.
    bool sendMidiData(int64_t sampleTime, NSInteger length, const uint8_t* bytes) override;
    // Control thread: tells the observers of "latency" when the latency in
    // seconds differs from the one they last had.
    void informHostOfLatencyChange() override;

    [[nodiscard]] bool supportsMPE() override;
    [[nodiscard]] NSData getDataFromExternal();

    // The plug-in object, for hosts that drive it further (its engine, its idle
    // work). Null before initialisation.
    [[nodiscard]] plugfw::IAUv3Binding* plug() const noexcept { return mPlug.get(); }

private:
    // Reaches the plug-in from the parameter-tree callbacks without keeping the
    // audio unit object alive. A callback uses the plug-in only inside the gate;
    // teardown closes the gate, waiting for the callbacks inside, before it
    // deletes the plug-in.
    struct PlugAccess {
        explicit PlugAccess(plugfw::IAUv3Binding* plug) noexcept : mPlug(plug) {}
        plugfw::IAUv3Binding* const mPlug;
        CallbackGate mGate;
    };

    std::shared_ptr<AUParameterTree> buildParameterTree();
    std::shared_ptr<AUAudioUnitBusArray> makeBusArray(plugfw::ERoute direction, int nBuses);

    std::unique_ptr<plugfw::IAUv3Binding> mPlug;
    plugfw::OwnedPtrList<BufferedInputBus> mBufferedInputBuses;
    plugfw::OwnedPtrList<BufferedOutputBus> mBufferedOutputBuses;
    std::vector<NSInteger> mChannelCapabilitiesArray;
    std::vector<std::string> mMidiOutputNames;
    AUMIDIOutputEventBlock mMidiOutputEventBlock;
    AUParameterObserverToken mUIUpdateParamObserverToken = nullptr;
    std::vector<std::shared_ptr<AUAudioUnitPreset>> mPresets;
    // The current preset, with the plug-in's current preset index and its
    // name: written by preset selections on the main queue, read by the host's
    // threads. None of them runs on the render thread. Recursive: restoring a
    // preset may reach the host's parameter observers, which may ask for the
    // current preset on the same thread.
    std::recursive_mutex mPresetMutex;
    std::shared_ptr<AUAudioUnitPreset> mCurrentPreset;
    NSInteger mCurrentFactoryPresetIndex = 0;
    std::shared_ptr<AUParameterTree> mParameterTree;
    std::shared_ptr<AUAudioUnitBusArray> mInputBusArray;
    std::shared_ptr<AUAudioUnitBusArray> mOutputBusArray;
    std::shared_ptr<PlugAccess> mPlugAccess;
    // The latency in seconds that the observers of "latency" last had: a new
    // latency or a new sample rate is told once.
    std::atomic<double> mReportedLatency{0.0};
};
