// host/auv3: the app extension's principal class. The extension loader creates
// it and asks it for the audio unit; it creates the audio unit object, publishes
// the editor size as its preferred content size and forwards the view's
// lifecycle to the audio unit's editor hooks.
#pragma once

#include "host/auv3/PluginAudioUnit.h"
#include "host/auv3/platform/AUViewController.h"

#include <memory>

class PluginViewController final : public AUViewController {
public:
    PluginViewController() = default;
    ~PluginViewController() override { *mSelfCell = nullptr; }

    // Main thread. Returns null (with the error filled in) when initialisation
    // fails.
    std::shared_ptr<AUAudioUnit> createAudioUnitWithComponentDescription(const AudioComponentDescription& desc,
                                                                         NSError* outError) override;

    void viewDidLayout() override;
    void viewWillAppear() override;
    void viewDidDisappear() override;
    // Uses the bundle that holds this class, whatever bundle is given.
    AUViewController* initWithNibName(const std::string& nibName, std::shared_ptr<NSBundle> bundle) override;

    [[nodiscard]] std::shared_ptr<PluginAudioUnit> getAudioUnit() const { return audioUnit(); }
    // Queues the publication of the editor size on the main queue.
    void audioUnitInitialized();

    [[nodiscard]] std::shared_ptr<PluginAudioUnit> audioUnit() const { return _audioUnit; }
    void setAudioUnit(std::shared_ptr<PluginAudioUnit> audioUnit) { _audioUnit = std::move(audioUnit); }

private:
    std::shared_ptr<PluginAudioUnit> _audioUnit;
    // Lets queued work notice that the controller is gone.
    std::shared_ptr<PluginViewController*> mSelfCell = std::make_shared<PluginViewController*>(this);
};
