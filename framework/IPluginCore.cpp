// framework: plug-in core: state, presets, utilities, dumps and version strings.
#include "framework/IPluginCore.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace plugfw {
namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Index(char c) noexcept
{
    const char* at = std::strchr(kBase64Alphabet, c);
    return (c != '\0' && at) ? static_cast<int>(at - kBase64Alphabet) : -1;
}

// Decodes into out (its size is the limit); stops at the first character outside
// the alphabet or when out is full.
void base64Decode(const char* text, std::vector<uint8_t>& out) noexcept
{
    if (!text) {
        return;
    }
    std::size_t produced = 0;
    uint32_t bits = 0;
    int nBits = 0;
    for (const char* c = text; produced < out.size(); ++c) {
        const int index = base64Index(*c);
        if (index < 0) {
            break;
        }
        bits = (bits << 6) | static_cast<uint32_t>(index);
        nBits += 6;
        if (nBits >= 8) {
            nBits -= 8;
            out[produced++] = static_cast<uint8_t>((bits >> nBits) & 0xFF);
        }
    }
}

std::string base64Encode(const uint8_t* data, int size)
{
    std::string text;
    for (int i = 0; i < size; i += 3) {
        const int n = std::min(3, size - i);
        uint32_t group = static_cast<uint32_t>(data[i]) << 16;
        if (n > 1) {
            group |= static_cast<uint32_t>(data[i + 1]) << 8;
        }
        if (n > 2) {
            group |= data[i + 2];
        }
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += n > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        text += n > 2 ? kBase64Alphabet[group & 63] : '=';
    }
    return text;
}

// The value text of the developer dumps.
std::string dumpValue(const IParam& param)
{
    char text[64];
    switch (param.Type()) {
    case IParam::kParamTypeBool: return param.Value() >= 0.5 ? "true" : "false";
    case IParam::kParamTypeInt:
    case IParam::kParamTypeEnum: {
        const double v = std::clamp(std::trunc(param.Value()), -2147483648.0, 2147483647.0);
        std::snprintf(text, sizeof(text), "%d", static_cast<int>(v));
        return text;
    }
    default: std::snprintf(text, sizeof(text), "%.6f", param.Value()); return text;
    }
}

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr openForAppend(const char* path)
{
    if (!path || path[0] == '\0') {
        return nullptr;
    }
    return FilePtr(std::fopen(path, "a"));
}

} // namespace

IPluginCore::IPluginCore(int nParams, int nPresets) : IEditorDelegate(nParams)
{
    for (int i = 0; i < nPresets; ++i) {
        auto preset = std::make_unique<IPreset>();
        if (!mPresets.Add(preset.get())) {
            throw std::bad_alloc();
        }
        preset.release();
    }
}

IPluginCore::~IPluginCore() = default;

int IPluginCore::GetPluginVersion(bool decimal) const noexcept
{
    if (!decimal) {
        return mVersion;
    }
    const int major = (mVersion >> 16) & 0xFFFF;
    const int minor = (mVersion >> 8) & 0xFF;
    const int revision = mVersion & 0xFF;
    return major * 10000 + minor * 100 + revision;
}

int IPluginCore::GetHostVersion(bool decimal) const noexcept
{
    if (!decimal) {
        return mHostVersion;
    }
    const int major = (mHostVersion >> 16) & 0xFFFF;
    const int minor = (mHostVersion >> 8) & 0xFF;
    const int revision = mHostVersion & 0xFF;
    return major * 10000 + minor * 100 + revision;
}

void IPluginCore::GetPluginVersionStr(TextBuf& text) const
{
    text.SetFormatted(kMaxVersionStrLength, "v%d.%d.%d", (mVersion >> 16) & 0xFFFF, (mVersion >> 8) & 0xFF,
                      mVersion & 0xFF);
}

void IPluginCore::GetHostVersionStr(TextBuf& text) const
{
    text.SetFormatted(kMaxVersionStrLength, "v%d.%d.%d", (mHostVersion >> 16) & 0xFFFF, (mHostVersion >> 8) & 0xFF,
                      mHostVersion & 0xFF);
}

const char* IPluginCore::GetAPIStr() const noexcept
{
    switch (mAPI) {
    case kAPIVST2: return "VST2";
    case kAPIVST3: return "VST3";
    case kAPIAU: return "AU";
    case kAPIAUv3: return "AUv3";
    case kAPIAAX: return "AAX";
    case kAPIAPP: return "APP";
    case kAPIWAM: return "WAM";
    case kAPIWEB: return "WEB";
    case kAPILV2: return "LV2";
    default: return "";
    }
}

void IPluginCore::GetBuildInfoStr(TextBuf& text, const char* date, const char* time) const
{
    TextBuf version;
    GetPluginVersionStr(version);
    text.SetFormatted(kMaxBuildInfoLength, "%s %s (%s), built on %s at %.5s ", version.Get(), GetAPIStr(),
                      GetArchStr(), date ? date : "", time ? time : "");
}

bool IPluginCore::SerializeParams(IByteChunk& chunk) const
{
    for (int i = 0; i < NParams(); ++i) {
        const double value = GetParam(i)->Value();
        const int before = chunk.Size();
        if (chunk.Put(&value) != before + static_cast<int>(sizeof(double))) {
            return false;
        }
    }
    return true;
}

bool IPluginCore::RestoreStateBytes(const std::uint8_t* bytes, std::size_t size, char* why, std::size_t whySize)
{
    IByteChunk chunk;
    if (chunk.PutBytes(bytes, static_cast<int>(size)) != static_cast<int>(size)) {
        std::snprintf(why, whySize, "no memory for %zu bytes", size);
        return false;
    }
    if (!DoesStateChunks()) {
        (void)UnserializeState(chunk, 0);
        return true;
    }
    IByteChunk previous;
    (void)SerializeState(previous);
    if (UnserializeState(chunk, 0) != static_cast<int>(size)) {
        (void)UnserializeState(previous, 0);
        std::snprintf(why, whySize, "its %zu bytes of settings do not parse", size);
        return false;
    }
    return true;
}

int IPluginCore::UnserializeParams(const IByteChunk& chunk, int startPos)
{
    if (NParams() == 0 || startPos < 0) {
        OnParamReset(kPresetRecall);
        return startPos;
    }
    int pos = startPos;
    for (int i = 0; i < NParams(); ++i) {
        double value = 0.0;
        pos = chunk.Get(&value, pos);
        if (pos < 0) {
            value = 0.0;
        }
        GetParam(i)->Set(value);
        if (pos < 0) {
            break;
        }
    }
    OnParamReset(kPresetRecall);
    return pos;
}

IPreset* IPluginCore::FirstUninitializedPreset() const noexcept
{
    for (int i = 0; i < NPresets(); ++i) {
        if (!mPresets.Get(i)->mInitialized) {
            return mPresets.Get(i);
        }
    }
    return nullptr;
}

void IPluginCore::MakeDefaultPreset(const char* name, int count)
{
    for (int i = 0; i < count; ++i) {
        IPreset* preset = FirstUninitializedPreset();
        if (!preset) {
            return;
        }
        preset->mInitialized = true;
        preset->SetName(name ? name : "Empty");
        preset->mChunk.Clear();
        (void)SerializeState(preset->mChunk);
    }
}

void IPluginCore::MakePreset(const char* name, ...)
{
    IPreset* preset = FirstUninitializedPreset();
    if (!preset) {
        return;
    }
    preset->mInitialized = true;
    preset->SetName(name);
    preset->mChunk.Clear();
    va_list args;
    va_start(args, name);
    for (int i = 0; i < NParams(); ++i) {
        double value = 0.0;
        switch (GetParam(i)->Type()) {
        case IParam::kParamTypeBool:
        case IParam::kParamTypeInt:
        case IParam::kParamTypeEnum: value = static_cast<double>(va_arg(args, int)); break;
        default: value = va_arg(args, double); break;
        }
        preset->mChunk.Put(&value);
    }
    va_end(args);
}

void IPluginCore::MakePresetFromNamedParams(const char* name, int count, ...)
{
    IPreset* preset = FirstUninitializedPreset();
    if (!preset) {
        return;
    }
    preset->mInitialized = true;
    preset->SetName(name);
    preset->mChunk.Clear();
    std::vector<double> values(static_cast<std::size_t>(NParams()), kUnsetParamMarker);
    va_list args;
    va_start(args, count);
    for (int pair = 0; pair < count; ++pair) {
        const int index = va_arg(args, int);
        const IParam* param = GetParam(index);
        if (!param) {
            break; // the type of the value that follows is unknown: stop reading
        }
        switch (param->Type()) {
        case IParam::kParamTypeBool:
        case IParam::kParamTypeInt:
        case IParam::kParamTypeEnum: values[static_cast<std::size_t>(index)] = va_arg(args, int); break;
        default: values[static_cast<std::size_t>(index)] = va_arg(args, double); break;
        }
    }
    va_end(args);
    for (int i = 0; i < NParams(); ++i) {
        double value = values[static_cast<std::size_t>(i)];
        if (value == kUnsetParamMarker) {
            value = GetParam(i)->Value();
        }
        preset->mChunk.Put(&value);
    }
}

void IPluginCore::MakePresetFromChunk(const char* name, const IByteChunk& chunk)
{
    IPreset* preset = FirstUninitializedPreset();
    if (!preset) {
        return;
    }
    preset->mInitialized = true;
    preset->SetName(name);
    preset->mChunk.Clear();
    preset->mChunk.PutChunk(chunk);
}

void IPluginCore::MakePresetFromBlob(const char* name, const char* blob, int sizeOfChunk)
{
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::max(sizeOfChunk, 0)), 0);
    base64Decode(blob, bytes);
    IByteChunk chunk;
    chunk.PutBytes(bytes.data(), static_cast<int>(bytes.size()));
    MakePresetFromChunk(name, chunk);
}

void IPluginCore::EnsureDefaultPreset()
{
    for (int i = 0; i < NPresets(); ++i) {
        IPreset* preset = mPresets.Get(i);
        if (!preset->mInitialized) {
            preset->mInitialized = true;
            preset->SetName("Empty");
            preset->mChunk.Clear();
            (void)SerializeState(preset->mChunk);
        }
    }
}

void IPluginCore::PruneUninitializedPresets()
{
    for (int i = NPresets() - 1; i >= 0; --i) {
        if (!mPresets.Get(i)->mInitialized) {
            mPresets.Delete(i, true);
        }
    }
}

bool IPluginCore::RestorePreset(int index)
{
    IPreset* preset = mPresets.Get(index);
    if (!preset) {
        return false;
    }
    if (preset->mInitialized) {
        if (UnserializeState(preset->mChunk, 0) < 1) {
            return false;
        }
    } else {
        int nUserPresets = 0;
        for (int i = 0; i < NPresets(); ++i) {
            if (std::strstr(mPresets.Get(i)->mName, "user preset")) {
                ++nUserPresets;
            }
        }
        preset->mInitialized = true;
        char name[IPreset::kMaxNameLength];
        std::snprintf(name, sizeof(name), "%s %d", "user preset", nUserPresets + 1);
        preset->SetName(name);
        preset->mChunk.Clear();
        if (!SerializeState(preset->mChunk)) {
            return false;
        }
    }
    mCurrentPresetIdx = index;
    OnPresetsModified();
    OnRestoreState();
    return true;
}

bool IPluginCore::RestorePreset(const char* name)
{
    if (!name || name[0] == '\0') {
        return false;
    }
    for (int i = 0; i < NPresets(); ++i) {
        if (std::strcmp(mPresets.Get(i)->mName, name) == 0) {
            return RestorePreset(i);
        }
    }
    return false;
}

const char* IPluginCore::GetPresetName(int index) const noexcept
{
    const IPreset* preset = mPresets.Get(index);
    return preset ? preset->mName : "";
}

void IPluginCore::ModifyCurrentPreset(const char* name)
{
    IPreset* preset = mPresets.Get(mCurrentPresetIdx);
    if (!preset) {
        return;
    }
    preset->mChunk.Clear();
    (void)SerializeState(preset->mChunk);
    if (name && name[0] != '\0') {
        preset->SetName(name);
    }
}

bool IPluginCore::SerializePresets(IByteChunk& chunk) const
{
    for (int i = 0; i < NPresets(); ++i) {
        const IPreset* preset = mPresets.Get(i);
        const int before = chunk.Size();
        const int nameLength = static_cast<int>(std::strlen(preset->mName));
        if (chunk.PutStr(preset->mName) != before + 4 + nameLength) {
            return false;
        }
        const uint8_t initialized = preset->mInitialized ? 1 : 0;
        if (chunk.Put(&initialized) != before + 5 + nameLength) {
            return false;
        }
        if (preset->mInitialized && chunk.PutChunk(preset->mChunk) != before + 5 + nameLength + preset->mChunk.Size()) {
            return false;
        }
    }
    return true;
}

int IPluginCore::UnserializePresets(const IByteChunk& chunk, int startPos)
{
    int pos = startPos;
    for (int i = 0; i < NPresets() && pos >= 0; ++i) {
        IPreset* preset = mPresets.Get(i);
        TextBuf name;
        pos = chunk.GetStr(name, pos);
        if (pos < 0) {
            break;
        }
        preset->SetName(name.Get());
        uint8_t initialized = 0;
        pos = chunk.Get(&initialized, pos);
        if (pos < 0) {
            break;
        }
        preset->mInitialized = initialized != 0;
        if (preset->mInitialized) {
            pos = UnserializeState(chunk, pos);
            if (pos >= 1) {
                preset->mChunk.Clear();
                (void)SerializeState(preset->mChunk);
            }
        }
    }
    (void)RestorePreset(mCurrentPresetIdx);
    return pos;
}

std::string IPluginCore::CurrentPresetName() const
{
    const IPreset* preset = mPresets.Get(mCurrentPresetIdx);
    return preset ? preset->mName : "";
}

void IPluginCore::DumpMakePresetSrc(const char* path) const
{
    FilePtr file = openForAppend(path);
    if (!file) {
        return;
    }
    std::fprintf(file.get(), "MakePreset(\"%s\"", CurrentPresetName().c_str());
    for (int i = 0; i < NParams(); ++i) {
        std::fprintf(file.get(), ", %s", dumpValue(*GetParam(i)).c_str());
    }
    std::fprintf(file.get(), ");\n");
}

void IPluginCore::DumpMakePresetFromNamedParamsSrc(const char* path, const char* const* paramEnumNames) const
{
    FilePtr file = openForAppend(path);
    if (!file) {
        return;
    }
    std::fprintf(file.get(), "  MakePresetFromNamedParams(\"%s\", %d", CurrentPresetName().c_str(), NParams());
    for (int i = 0; i < NParams(); ++i) {
        const char* enumName = (paramEnumNames && paramEnumNames[i]) ? paramEnumNames[i] : "";
        std::fprintf(file.get(), ",\n    %s, %s", enumName, dumpValue(*GetParam(i)).c_str());
    }
    std::fprintf(file.get(), ");\n");
}

void IPluginCore::DumpPresetBlob(const char* path) const
{
    FilePtr file = openForAppend(path);
    if (!file) {
        return;
    }
    const IPreset* preset = mPresets.Get(mCurrentPresetIdx);
    const int size = preset ? preset->mChunk.Size() : 0;
    const std::string blob = preset ? base64Encode(preset->mChunk.GetData(), size) : std::string();
    std::fprintf(file.get(), "MakePresetFromBlob(\"%s\", \"", CurrentPresetName().c_str());
    std::fprintf(file.get(), "%s\", %i);\n", blob.c_str(), size);
}

bool IPluginCore::ValidRange(int startIdx, int endIdx) const noexcept
{
    return startIdx >= 0 && startIdx <= endIdx && endIdx < NParams();
}

void IPluginCore::InitParamRange(int startIdx, int endIdx, int countStart, const char* nameFmtStr, double defaultVal,
                                 double minVal, double maxVal, double step, const char* label, int flags,
                                 const char* group, const IParam::Shape& shape, IParam::EParamUnit unit,
                                 IParam::DisplayFunc displayFunc)
{
    if (!ValidRange(startIdx, endIdx)) {
        return;
    }
    for (int i = startIdx; i <= endIdx; ++i) {
        char name[IParam::kMaxTextLength];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        std::snprintf(name, sizeof(name), nameFmtStr ? nameFmtStr : "", countStart + (i - startIdx));
#pragma GCC diagnostic pop
        GetParam(i)->InitDouble(name, defaultVal, minVal, maxVal, step, label, flags, group, shape, unit, displayFunc);
    }
}

void IPluginCore::CloneParamRange(int cloneStartIdx, int cloneEndIdx, int startIdx, const char* searchStr,
                                  const char* replaceStr, const char* newGroup)
{
    if (!ValidRange(cloneStartIdx, cloneEndIdx) || !ValidRange(startIdx, startIdx + (cloneEndIdx - cloneStartIdx))) {
        return;
    }
    for (int k = 0; k <= cloneEndIdx - cloneStartIdx; ++k) {
        IParam* source = GetParam(cloneStartIdx + k);
        IParam* target = GetParam(startIdx + k);
        target->Init(*source, searchStr, replaceStr, newGroup);
        target->Set(source->Value());
    }
}

void IPluginCore::CopyParamValues(int startIdx, int destIdx, int nParams)
{
    if (nParams < 1 || !ValidRange(startIdx, startIdx + nParams - 1) || !ValidRange(destIdx, destIdx + nParams - 1)) {
        return;
    }
    // Through a copy so that overlapping ranges read the values from before.
    std::vector<double> values;
    for (int k = 0; k < nParams; ++k) {
        values.push_back(GetParam(startIdx + k)->Value());
    }
    for (int k = 0; k < nParams; ++k) {
        GetParam(destIdx + k)->Set(values[static_cast<std::size_t>(k)]);
    }
}

void IPluginCore::CopyParamValues(const char* inGroup, const char* outGroup)
{
    std::vector<IParam*> inputs;
    std::vector<IParam*> outputs;
    ForParamInGroup(inGroup, [&](int, IParam& p) { inputs.push_back(&p); });
    ForParamInGroup(outGroup, [&](int, IParam& p) { outputs.push_back(&p); });
    const std::size_t n = std::min(inputs.size(), outputs.size());
    std::vector<double> values;
    for (std::size_t k = 0; k < n; ++k) {
        values.push_back(inputs[k]->Value());
    }
    for (std::size_t k = 0; k < n; ++k) {
        outputs[k]->Set(values[k]);
    }
}

void IPluginCore::ForParamInRange(int startIdx, int endIdx, const std::function<void(int, IParam&)>& func)
{
    if (!ValidRange(startIdx, endIdx) || !func) {
        return;
    }
    for (int i = startIdx; i <= endIdx; ++i) {
        func(i, *GetParam(i));
    }
}

void IPluginCore::ForParamInGroup(const char* paramGroup, const std::function<void(int, IParam&)>& func)
{
    if (!paramGroup || !func) {
        return;
    }
    for (int i = 0; i < NParams(); ++i) {
        if (std::strcmp(GetParam(i)->GetGroup(), paramGroup) == 0) {
            func(i, *GetParam(i));
        }
    }
}

void IPluginCore::DefaultParamValues()
{
    DefaultParamValues(0, NParams() - 1);
}

void IPluginCore::DefaultParamValues(int startIdx, int endIdx)
{
    ForParamInRange(startIdx, endIdx, [](int, IParam& p) { p.SetToDefault(); });
}

void IPluginCore::DefaultParamValues(const char* paramGroup)
{
    ForParamInGroup(paramGroup, [](int, IParam& p) { p.SetToDefault(); });
}

void IPluginCore::RandomiseParamValues()
{
    RandomiseParamValues(0, NParams() - 1);
}

void IPluginCore::RandomiseParamValues(int startIdx, int endIdx)
{
    ForParamInRange(startIdx, endIdx, [](int, IParam& p) { p.SetRandom(); });
}

void IPluginCore::RandomiseParamValues(const char* paramGroup)
{
    ForParamInGroup(paramGroup, [](int, IParam& p) { p.SetRandom(); });
}

void IPluginCore::PrintParamValues()
{
    ForParamInRange(0, NParams() - 1, [](int, IParam& p) { p.PrintDetails(); });
}

void IPluginCore::RecaptureCurrentPreset(const char* name)
{
    IPreset* preset = mPresets.Get(mCurrentPresetIdx);
    if (!preset) {
        return;
    }
    // The slot now holds a state: marked initialised so that the restore that
    // follows keeps the loaded name instead of naming a new user preset.
    preset->mInitialized = true;
    preset->mChunk.Clear();
    (void)SerializeState(preset->mChunk);
    if (name && name[0] != '\0') {
        preset->SetName(name);
    }
}

} // namespace plugfw
