// host/vst3: the module entry points of the decoder plug-in. An object is the
// plug-in on the VST3 binding, with the work the binding runs on its worker
// thread: reading and building decoder sets, and freeing the ones the audio
// thread has handed back.
#include "plugin/QIRMatrixDecoder.h"
#include "host/vst3/QIRMatrixDecoderVST3.h"
#include "host/vst3/VST3Factory.h"

#include <vst3_c_api.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#define QIR_VST3_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

class DecoderSetWork final : public plugfw::IVST3Work {
public:
    explicit DecoderSetWork(qir::QIRMatrixDecoderDSP& engine) noexcept : mEngine(engine) {}

    bool IsWorkWaiting() const noexcept override { return mEngine.IsLoadRequested() || mEngine.HasRetiredSets(); }

    void DoWork() override
    {
        // worker thread: a request made while this load runs is taken by the
        // next wake-up.
        (void)mEngine.LoadRequestedSet();
        mEngine.ReleaseRetiredSets();
    }

private:
    qir::QIRMatrixDecoderDSP& mEngine;
};

std::string ModulePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ModulePath), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

Steinberg_FUnknown* CreateDecoder()
{
    try {
        const std::string bundle = qir::vst3::BundleOfModule(ModulePath());
        plugfw::InstanceInfo info;
        info.mBundlePath = bundle.c_str();
        info.mMinSampleRate = qir::vst3::kMinSampleRate;
        info.mMaxSampleRate = qir::vst3::kMaxSampleRate;
        info.mOrderParamIdx = qir::kDecodeOrder;
        std::unique_ptr<plugfw::IVST3Binding> plug = plugfw::MakePlugin(info);
        qir::QIRMatrixDecoderDSP& engine = static_cast<QIRMatrixDecoder&>(*plug).GetDSP();
        engine.SetDecoderSetFolder(qir::vst3::DecoderSetFolder(bundle));
        plug->SetWork(std::make_unique<DecoderSetWork>(engine));
        // From here on the object's reference count owns it.
        return plug.release()->GetUnknown();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "QIRMatrixDecoder: cannot be created: %s\n", e.what());
        return nullptr;
    }
}

plugfw::VST3ClassInfo MakeClassInfo()
{
    // The configuration's texts are string literals: they outlive the module's use of them.
    static const plugfw::Config config = QIRMatrixDecoder::MakeConfig();
    static const std::string version = qir::vst3::VersionText(config.vendorVersion);
    plugfw::VST3ClassInfo info;
    std::memcpy(info.mClassID, qir::vst3::kClassID, sizeof(Steinberg_TUID));
    info.mName = config.pluginName;
    info.mVendor = config.mfrName;
    info.mVersion = version.c_str();
    info.mSubCategories = qir::vst3::kSubCategories;
    info.mCreate = CreateDecoder;
    return info;
}

plugfw::VST3Factory& Factory()
{
    static plugfw::VST3Factory factory(MakeClassInfo());
    return factory;
}

} // namespace

QIR_VST3_EXPORT Steinberg_IPluginFactory* GetPluginFactory()
{
    return Factory().Acquire();
}

// Linux hosts call these around the module's use; nothing needs doing.
QIR_VST3_EXPORT bool ModuleEntry(void* /*sharedLibraryHandle*/)
{
    return true;
}

QIR_VST3_EXPORT bool ModuleExit()
{
    return true;
}
