// host/auv3: the view controller.
#include "host/auv3/QIRMatrixDecoderViewController.h"

#include "host/auv3/platform/Dispatch.h"

std::shared_ptr<AUAudioUnit>
QIRMatrixDecoderViewController::createAudioUnitWithComponentDescription(const AudioComponentDescription& desc,
                                                                        NSError* outError)
{
    auto unit = QIRMatrixDecoderAudioUnit::alloc();
    if (!unit->initWithComponentDescription(desc, 0, outError)) {
        unit.reset();
    }
    setAudioUnit(unit);
    audioUnitInitialized();
    return audioUnit();
}

void QIRMatrixDecoderViewController::viewDidLayout()
{
    if (auto unit = audioUnit()) {
        const NSView* v = view();
        unit->hostResized(v ? v->frame().size : CGSize{});
    }
}

void QIRMatrixDecoderViewController::viewWillAppear()
{
    if (auto unit = audioUnit()) {
        (void)unit->openWindow(view());
    }
}

void QIRMatrixDecoderViewController::viewDidDisappear()
{
    if (auto unit = audioUnit()) {
        unit->closeWindow();
    }
}

AUViewController* QIRMatrixDecoderViewController::initWithNibName(const std::string& nibName,
                                                                  std::shared_ptr<NSBundle> /*bundle*/)
{
    static const int anchor = 0;
    return AUViewController::initWithNibName(nibName, NSBundle::bundleForAddress(&anchor));
}

void QIRMatrixDecoderViewController::audioUnitInitialized()
{
    std::shared_ptr<QIRMatrixDecoderViewController*> cell = mSelfCell;
    dispatch_async(dispatch_get_main_queue(), [cell]() {
        QIRMatrixDecoderViewController* self = *cell;
        if (!self) {
            return;
        }
        if (auto unit = self->audioUnit()) {
            self->setPreferredContentSize(
                CGSize{static_cast<double>(unit->width()), static_cast<double>(unit->height())});
        }
    });
}
