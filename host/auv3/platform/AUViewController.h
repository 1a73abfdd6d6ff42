// host/auv3/platform: stands in for the Apple CoreAudioKit class AUViewController
// together with the audio-unit factory role its subclass plays for the extension
// loader: a controller with an optional view, a preferred content size, the nib
// name and bundle it was initialised with, and the view-lifecycle hooks the view
// system calls on the main thread.
#pragma once

#include "host/auv3/platform/AUAudioUnit.h"
#include "host/auv3/platform/Foundation.h"

#include <memory>
#include <string>

class AUViewController {
public:
    AUViewController() = default;
    AUViewController(const AUViewController&) = delete;
    AUViewController& operator=(const AUViewController&) = delete;
    virtual ~AUViewController() = default;

    // initWithNibName:bundle:
    virtual AUViewController* initWithNibName(const std::string& nibName, std::shared_ptr<NSBundle> bundle)
    {
        mNibName = nibName;
        mNibBundle = std::move(bundle);
        return this;
    }
    [[nodiscard]] const std::string& nibName() const noexcept { return mNibName; }
    [[nodiscard]] const std::shared_ptr<NSBundle>& nibBundle() const noexcept { return mNibBundle; }

    // The controller's view; null until the view system gives it one.
    [[nodiscard]] NSView* view() const noexcept { return mView.get(); }
    void setView(std::shared_ptr<NSView> view) { mView = std::move(view); }

    [[nodiscard]] CGSize preferredContentSize() const noexcept { return mPreferredContentSize; }
    void setPreferredContentSize(CGSize size) noexcept { mPreferredContentSize = size; }

    // AUAudioUnitFactory: called by the extension loader, once.
    virtual std::shared_ptr<AUAudioUnit>
    createAudioUnitWithComponentDescription(const AudioComponentDescription& desc, NSError* outError) = 0;

    virtual void viewDidLayout() {}
    virtual void viewWillAppear() {}
    virtual void viewDidDisappear() {}

private:
    std::string mNibName;
    std::shared_ptr<NSBundle> mNibBundle;
    std::shared_ptr<NSView> mView;
    CGSize mPreferredContentSize;
};
