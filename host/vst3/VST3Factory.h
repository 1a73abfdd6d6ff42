// host/vst3: the module's plug-in factory: it names one audio-effect class
// (its ID, name, vendor, version and sub-categories) and creates its objects.
// The factory is one object for the module's life; hosts count references to
// it as to any other, and the count is kept for them to read back.
#pragma once

#include "host/vst3/IVST3Binding.h"

#include <vst3_c_api.h>

#include <atomic>
#include <string>

namespace plugfw {

struct VST3ClassInfo {
    Steinberg_TUID mClassID = {};
    const char* mName = "";
    const char* mVendor = "";
    const char* mVersion = "";
    const char* mURL = "";
    const char* mEmail = "";
    // Sub-categories, "|"-separated ("Fx|Spatial").
    const char* mSubCategories = "";
    // Creates one object (one reference held by the caller), or null.
    Steinberg_FUnknown* (*mCreate)() = nullptr;
};

class VST3Factory {
public:
    explicit VST3Factory(const VST3ClassInfo& info) noexcept;

    // The factory with one more reference, as GetPluginFactory hands it out.
    [[nodiscard]] Steinberg_IPluginFactory* Acquire() noexcept;
    [[nodiscard]] Steinberg_uint32 RefCount() const noexcept { return mRefCount.load(); }

private:
    struct Thunks;
    friend struct Thunks;

    const void* mTable; // first member: the object is its interface
    VST3ClassInfo mInfo;
    std::atomic<Steinberg_uint32> mRefCount{0};
};

} // namespace plugfw
