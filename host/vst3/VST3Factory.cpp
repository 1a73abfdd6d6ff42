// host/vst3: the plug-in factory.
#include "host/vst3/VST3Factory.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace plugfw {

namespace {

template <std::size_t N>
void CopyText(char (&field)[N], const char* text) noexcept
{
    std::strncpy(field, text != nullptr ? text : "", N - 1);
    field[N - 1] = '\0';
}

template <std::size_t N>
void CopyText(Steinberg_char16 (&field)[N], const char* text) noexcept
{
    // The class's texts are ASCII.
    std::size_t k = 0;
    for (const char* s = text != nullptr ? text : ""; *s != '\0' && k + 1 < N; ++s) {
        field[k++] = static_cast<Steinberg_char16>(static_cast<unsigned char>(*s));
    }
    field[k] = 0;
}

// The category of audio processors with their controllers.
constexpr const char* kAudioEffectCategory = "Audio Module Class";

bool SameID(const void* a, const void* b) noexcept
{
    return a != nullptr && b != nullptr && std::memcmp(a, b, sizeof(Steinberg_TUID)) == 0;
}

} // namespace

struct VST3Factory::Thunks {
    static VST3Factory& Self(void* self) noexcept { return *static_cast<VST3Factory*>(self); }

    static Steinberg_tresult SMTG_STDMETHODCALLTYPE QueryInterface(void* self, const Steinberg_TUID iid, void** obj)
    {
        if (obj == nullptr) {
            return Steinberg_kInvalidArgument;
        }
        if (SameID(iid, Steinberg_FUnknown_iid) || SameID(iid, Steinberg_IPluginFactory_iid) ||
            SameID(iid, Steinberg_IPluginFactory2_iid) || SameID(iid, Steinberg_IPluginFactory3_iid)) {
            AddRef(self);
            *obj = self;
            return Steinberg_kResultOk;
        }
        *obj = nullptr;
        return Steinberg_kNoInterface;
    }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE AddRef(void* self) { return Self(self).mRefCount.fetch_add(1) + 1; }
    static Steinberg_uint32 SMTG_STDMETHODCALLTYPE Release(void* self)
    {
        // The factory lives as long as the module: the count only goes down.
        std::atomic<Steinberg_uint32>& count = Self(self).mRefCount;
        Steinberg_uint32 now = count.load();
        while (now > 0 && !count.compare_exchange_weak(now, now - 1)) {
        }
        return now > 0 ? now - 1 : 0;
    }

    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetFactoryInfo(void* self, Steinberg_PFactoryInfo* info)
    {
        if (info == nullptr) {
            return Steinberg_kInvalidArgument;
        }
        const VST3ClassInfo& c = Self(self).mInfo;
        std::memset(info, 0, sizeof *info);
        CopyText(info->vendor, c.mVendor);
        CopyText(info->url, c.mURL);
        CopyText(info->email, c.mEmail);
        info->flags = Steinberg_PFactoryInfo_FactoryFlags_kUnicode;
        return Steinberg_kResultOk;
    }
    static Steinberg_int32 SMTG_STDMETHODCALLTYPE CountClasses(void* /*self*/) { return 1; }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetClassInfo(void* self, Steinberg_int32 index,
                                                                 Steinberg_PClassInfo* info)
    {
        if (info == nullptr || index != 0) {
            return Steinberg_kInvalidArgument;
        }
        const VST3ClassInfo& c = Self(self).mInfo;
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->cid, c.mClassID, sizeof(Steinberg_TUID));
        info->cardinality = Steinberg_PClassInfo_ClassCardinality_kManyInstances;
        CopyText(info->category, kAudioEffectCategory);
        CopyText(info->name, c.mName);
        return Steinberg_kResultOk;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetClassInfo2(void* self, Steinberg_int32 index,
                                                                  Steinberg_PClassInfo2* info)
    {
        if (info == nullptr || index != 0) {
            return Steinberg_kInvalidArgument;
        }
        const VST3ClassInfo& c = Self(self).mInfo;
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->cid, c.mClassID, sizeof(Steinberg_TUID));
        info->cardinality = Steinberg_PClassInfo_ClassCardinality_kManyInstances;
        CopyText(info->category, kAudioEffectCategory);
        CopyText(info->name, c.mName);
        info->classFlags = 0;
        CopyText(info->subCategories, c.mSubCategories);
        CopyText(info->vendor, c.mVendor);
        CopyText(info->version, c.mVersion);
        CopyText(info->sdkVersion, Steinberg_Vst_SDKVersionString);
        return Steinberg_kResultOk;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE GetClassInfoUnicode(void* self, Steinberg_int32 index,
                                                                        Steinberg_PClassInfoW* info)
    {
        if (info == nullptr || index != 0) {
            return Steinberg_kInvalidArgument;
        }
        const VST3ClassInfo& c = Self(self).mInfo;
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->cid, c.mClassID, sizeof(Steinberg_TUID));
        info->cardinality = Steinberg_PClassInfo_ClassCardinality_kManyInstances;
        CopyText(info->category, kAudioEffectCategory);
        CopyText(info->name, c.mName);
        info->classFlags = 0;
        CopyText(info->subCategories, c.mSubCategories);
        CopyText(info->vendor, c.mVendor);
        CopyText(info->version, c.mVersion);
        CopyText(info->sdkVersion, Steinberg_Vst_SDKVersionString);
        return Steinberg_kResultOk;
    }
    static Steinberg_tresult SMTG_STDMETHODCALLTYPE SetHostContext(void* /*self*/, Steinberg_FUnknown* /*context*/)
    {
        return Steinberg_kResultOk;
    }

    static Steinberg_tresult SMTG_STDMETHODCALLTYPE CreateInstance(void* self, Steinberg_FIDString cid,
                                                                   Steinberg_FIDString iid, void** obj)
    {
        if (obj == nullptr) {
            return Steinberg_kInvalidArgument;
        }
        *obj = nullptr;
        const VST3ClassInfo& c = Self(self).mInfo;
        if (!SameID(cid, c.mClassID) || c.mCreate == nullptr) {
            return Steinberg_kNoInterface;
        }
        Steinberg_FUnknown* object = c.mCreate();
        if (object == nullptr) {
            return Steinberg_kOutOfMemory;
        }
        // The caller's reference comes from the interface it asked for; the
        // creation's own goes.
        const Steinberg_tresult result = object->lpVtbl->queryInterface(object, iid, obj);
        object->lpVtbl->release(object);
        return result;
    }

    static const Steinberg_IPluginFactory3Vtbl kTable;
};

const Steinberg_IPluginFactory3Vtbl VST3Factory::Thunks::kTable = {
    QueryInterface, AddRef,        Release,          GetFactoryInfo,      CountClasses,
    GetClassInfo,   CreateInstance, GetClassInfo2, GetClassInfoUnicode, SetHostContext,
};

VST3Factory::VST3Factory(const VST3ClassInfo& info) noexcept : mTable(&Thunks::kTable), mInfo(info) {}

Steinberg_IPluginFactory* VST3Factory::Acquire() noexcept
{
    mRefCount.fetch_add(1);
    return reinterpret_cast<Steinberg_IPluginFactory*>(this);
}

} // namespace plugfw
