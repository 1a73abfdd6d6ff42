// tests/vst3: the module as hosts find it: the installed bundle's layout, the
// factory's class (name, vendor, version, category, fixed class ID), the
// interfaces one object answers and the ones it does not, reference counts
// through a host's usual sequence, and Ardour's VST3 scanner listing it.
#include "host/vst3/QIRMatrixDecoderVST3.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ChildProcess.h"
#include "tests/vst3/VST3TestHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace qirtest {
namespace {

uint32_t RefCount(void* object)
{
    auto* unknown = static_cast<Steinberg_FUnknown*>(object);
    unknown->lpVtbl->addRef(unknown);
    return unknown->lpVtbl->release(unknown);
}

TEST(VST3Bundle, InstallsTheModuleAndTheDecoderSetsInsideTheBundle)
{
    EXPECT_TRUE(fs::is_regular_file(InstalledVST3Module()));
    const fs::path sets = InstalledVST3Bundle() / "Contents" / "Resources" / "decoder-sets";
    for (const char* file : {"1OA-decoder-anechoic.wav", "3OA-decoder-room.wav", "7OA-decoder-anechoic.wav"}) {
        EXPECT_TRUE(fs::is_regular_file(sets / file)) << file;
    }
}

TEST(VST3Factory, NamesOneSpatialEffectWithTheConfiguredVendorAndVersion)
{
    VST3Module module;
    Steinberg_IPluginFactory* factory = module.factory();
    Steinberg_PFactoryInfo info{};
    ASSERT_EQ(factory->lpVtbl->getFactoryInfo(factory, &info), Steinberg_kResultOk);
    EXPECT_STREQ(info.vendor, "Marrowfen");
    ASSERT_EQ(factory->lpVtbl->countClasses(factory), 1);

    void* p = nullptr;
    ASSERT_EQ(factory->lpVtbl->queryInterface(factory, Steinberg_IPluginFactory2_iid, &p), Steinberg_kResultOk);
    auto* factory2 = static_cast<Steinberg_IPluginFactory2*>(p);
    Steinberg_PClassInfo2 c{};
    ASSERT_EQ(factory2->lpVtbl->getClassInfo2(factory2, 0, &c), Steinberg_kResultOk);
    factory2->lpVtbl->release(factory2);
    // The class ID is kept for good: hosts and sessions know the plug-in by it.
    const unsigned char expected[16] = {0x51, 0x49, 0x52, 0x4D, 0x61, 0x74, 0x72, 0x69,
                                        0x78, 0x44, 0x65, 0x63, 0x6F, 0x64, 0x65, 0x72};
    EXPECT_EQ(std::memcmp(c.cid, expected, 16), 0);
    EXPECT_STREQ(c.name, "QIRMatrixDecoder");
    EXPECT_STREQ(c.category, "Audio Module Class");
    EXPECT_STREQ(c.subCategories, "Fx|Spatial");
    EXPECT_STREQ(c.vendor, "Marrowfen");
    EXPECT_STREQ(c.version, "1.0.1");

    // Another class ID creates nothing.
    const Steinberg_TUID other = SMTG_INLINE_UID(1, 2, 3, 4);
    void* obj = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->lpVtbl->createInstance(factory, AsFID(other), AsFID(Steinberg_Vst_IComponent_iid), &obj),
              Steinberg_kNoInterface);
    EXPECT_EQ(obj, nullptr);
}

TEST(VST3Object, OneObjectIsComponentProcessorAndControllerAndRefusesTheRest)
{
    VST3Module module;
    auto* component = static_cast<Steinberg_Vst_IComponent*>(module.create(Steinberg_Vst_IComponent_iid));
    ASSERT_NE(component, nullptr);
    EXPECT_EQ(RefCount(component), 1u);

    void* processor = nullptr;
    void* controller = nullptr;
    void* unknown = nullptr;
    ASSERT_EQ(component->lpVtbl->queryInterface(component, Steinberg_Vst_IAudioProcessor_iid, &processor),
              Steinberg_kResultOk);
    ASSERT_EQ(component->lpVtbl->queryInterface(component, Steinberg_Vst_IEditController_iid, &controller),
              Steinberg_kResultOk);
    ASSERT_EQ(component->lpVtbl->queryInterface(component, Steinberg_FUnknown_iid, &unknown), Steinberg_kResultOk);
    EXPECT_EQ(unknown, static_cast<void*>(component));
    EXPECT_EQ(RefCount(component), 4u);

    // Interfaces a host may ask for that the plug-in does not implement.
    const struct {
        const char* name;
        const Steinberg_TUID* iid;
    } refused[] = {
        {"IConnectionPoint", &Steinberg_Vst_IConnectionPoint_iid},
        {"IUnitInfo", &Steinberg_Vst_IUnitInfo_iid},
        {"IMidiMapping", &Steinberg_Vst_IMidiMapping_iid},
        {"IEditController2", &Steinberg_Vst_IEditController2_iid},
        {"IAudioPresentationLatency", &Steinberg_Vst_IAudioPresentationLatency_iid},
        {"IPluginFactory", &Steinberg_IPluginFactory_iid},
    };
    for (const auto& r : refused) {
        void* obj = reinterpret_cast<void*>(1);
        EXPECT_EQ(component->lpVtbl->queryInterface(component, *r.iid, &obj), Steinberg_kNoInterface) << r.name;
        EXPECT_EQ(obj, nullptr) << r.name;
    }
    EXPECT_EQ(RefCount(component), 4u);

    auto* edit = static_cast<Steinberg_Vst_IEditController*>(controller);
    EXPECT_EQ(edit->lpVtbl->createView(edit, "editor"), nullptr);

    // Released in another order than taken: the object lives until the last.
    static_cast<Steinberg_FUnknown*>(unknown)->lpVtbl->release(unknown);
    component->lpVtbl->release(component);
    EXPECT_EQ(RefCount(processor), 2u);
    static_cast<Steinberg_FUnknown*>(processor)->lpVtbl->release(processor);
    EXPECT_EQ(edit->lpVtbl->release(edit), 0u);
}

TEST(VST3Object, TakesAndGivesBackTheHostsComponentHandler)
{
    VST3Module module;
    ComponentHandler handler;
    {
        VST3Instance instance(module);
        auto* c = instance.controller();
        ASSERT_EQ(c->lpVtbl->setComponentHandler(c, handler.handler()), Steinberg_kResultOk);
        EXPECT_EQ(handler.mRefs.load(), 2u);
    }
    EXPECT_EQ(handler.mRefs.load(), 1u);
}

TEST(VST3InArdour, TheScannerListsThePlugin)
{
#ifdef QIR_VST3_SANITIZED
    GTEST_SKIP() << "Ardour's scanner cannot load a module built with a sanitizer";
#endif
    const fs::path scanner = "/usr/lib/ardour7/ardour-vst3-scanner";
    if (!fs::exists(scanner)) {
        GTEST_SKIP() << "Ardour's VST3 scanner (Debian package ardour) is not installed";
    }
    TempDir home;
    const ProcessResult run = RunProcess(scanner.string(), {"-f", "-v", InstalledVST3Bundle().string()}, home.path(""),
                                         {"HOME=" + home.path(""), "XDG_CACHE_HOME=" + home.path("cache"),
                                          "LD_LIBRARY_PATH=/usr/lib/ardour7"});
    ASSERT_EQ(run.mExitCode, 0) << run.mOut << run.mErr;
    const std::string all = run.mOut + run.mErr;
    EXPECT_NE(all.find("uid=\"5149524D61747269784465636F646572\""), std::string::npos) << all;
    EXPECT_NE(all.find("name=\"QIRMatrixDecoder\""), std::string::npos) << all;
    EXPECT_NE(all.find("vendor=\"Marrowfen\""), std::string::npos) << all;
    EXPECT_NE(all.find("category=\"Fx|Spatial\""), std::string::npos) << all;
    EXPECT_NE(all.find("n_inputs=\"64\" n_outputs=\"2\""), std::string::npos) << all;
}

} // namespace
} // namespace qirtest
