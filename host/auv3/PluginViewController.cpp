// host/auv3: the view controller.
#include "host/auv3/PluginViewController.h"

#include "host/auv3/platform/Dispatch.h"

std::shared_ptr<AUAudioUnit>
PluginViewController::createAudioUnitWithComponentDescription(const AudioComponentDescription& desc,
                                                                        NSError* outError)
{
    auto unit = PluginAudioUnit::alloc();
    if (!unit->initWithComponentDescription(desc, 0, outError)) {
        unit.reset();
    }
    setAudioUnit(unit);
    audioUnitInitialized();
    return audioUnit();
}

void PluginViewController::viewDidLayout()
{
    if (auto unit = audioUnit()) {
        const NSView* v = view();
        unit->hostResized(v ? v->frame().size : CGSize{});
    }
}

void PluginViewController::viewWillAppear()
{
    if (auto unit = audioUnit()) {
        (void)unit->openWindow(view());
    }
}

void PluginViewController::viewDidDisappear()
{
    if (auto unit = audioUnit()) {
        unit->closeWindow();
    }
}

AUViewController* PluginViewController::initWithNibName(const std::string& nibName,
                                                                  std::shared_ptr<NSBundle> /*bundle*/)
{
    static const int anchor = 0;
    return AUViewController::initWithNibName(nibName, NSBundle::bundleForAddress(&anchor));
}

void PluginViewController::audioUnitInitialized()
{
    std::shared_ptr<PluginViewController*> cell = mSelfCell;
    dispatch_async(dispatch_get_main_queue(), [cell]() {
        PluginViewController* self = *cell;
        if (!self) {
            return;
        }
        if (auto unit = self->audioUnit()) {
            self->setPreferredContentSize(
                CGSize{static_cast<double>(unit->width()), static_cast<double>(unit->height())});
        }
    });
}
