// framework: program (.fxp) and bank (.fxb) files of the plug-in core. Header
// integers and parameter values are big-endian; the opaque forms carry the
// plug-in's own state bytes in native order.
#include "framework/IPluginCore.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace plugfw {
namespace {

constexpr int kProgramHeaderSize = 56;
constexpr int kBankHeaderSize = 156;
constexpr int kProgramNameSize = 28;
constexpr int kBankReservedSize = 124;
constexpr int32_t kOpaqueChunkVersion = 0x00010000;
// Files larger than this are not program or bank files of any plug-in.
constexpr std::uintmax_t kMaxFileSize = 64u * 1024u * 1024u;

constexpr uint32_t fourCC(const char (&code)[5]) noexcept
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(code[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(code[3]));
}

constexpr uint32_t kChunkMagic = fourCC("CcnK");
constexpr uint32_t kFxProgramParams = fourCC("FxCk");
constexpr uint32_t kFxProgramOpaque = fourCC("FPCh");
constexpr uint32_t kFxBankParams = fourCC("FxBk");
constexpr uint32_t kFxBankOpaque = fourCC("FBCh");

bool putBE32(IByteChunk& chunk, uint32_t value)
{
    const uint32_t swapped = __builtin_bswap32(value);
    const int before = chunk.Size();
    return chunk.Put(&swapped) == before + 4;
}

bool putBEFloat(IByteChunk& chunk, float value)
{
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return putBE32(chunk, bits);
}

// Reads a big-endian 32-bit word at pos; 0 when it lies outside the chunk.
uint32_t getBE32(const IByteChunk& chunk, int pos)
{
    uint32_t raw = 0;
    if (chunk.Get(&raw, pos) < 0) {
        return 0;
    }
    return __builtin_bswap32(raw);
}

// Reads a big-endian float at pos into value; false past the end.
bool getBEFloat(const IByteChunk& chunk, int pos, float& value)
{
    uint32_t raw = 0;
    if (chunk.Get(&raw, pos) < 0) {
        return false;
    }
    raw = __builtin_bswap32(raw);
    std::memcpy(&value, &raw, sizeof(value));
    return true;
}

// The 28-byte name field: at most 27 characters, zero-padded.
bool putName(IByteChunk& chunk, const char* name)
{
    char field[kProgramNameSize] = {};
    if (name) {
        std::memcpy(field, name, strnlen(name, kProgramNameSize - 1));
    }
    const int before = chunk.Size();
    return chunk.PutBytes(field, kProgramNameSize) == before + kProgramNameSize;
}

// The name field at pos, up to its first zero byte; empty when it lies outside.
std::string getName(const IByteChunk& chunk, int pos)
{
    char field[kProgramNameSize + 1] = {};
    if (chunk.GetBytes(field, kProgramNameSize, pos) < 0) {
        return {};
    }
    return std::string(field);
}

bool hasTag(const IByteChunk& chunk, int pos, const char (&tag)[5])
{
    char bytes[4];
    return chunk.GetBytes(bytes, 4, pos) >= 0 && std::memcmp(bytes, tag, 4) == 0;
}

// The opaque chunk: "tffp", the version in native order, then the payload.
bool putOpaqueChunk(IByteChunk& out, const IByteChunk& payload)
{
    IByteChunk chunk;
    const int32_t version = kOpaqueChunkVersion;
    if (chunk.PutBytes("tffp", 4) != 4 || chunk.Put(&version) != 8 || chunk.PutChunk(payload) != 8 + payload.Size()) {
        return false;
    }
    const int before = out.Size();
    return putBE32(out, static_cast<uint32_t>(chunk.Size())) && out.PutChunk(chunk) == before + 4 + chunk.Size();
}

bool readWholeFile(const char* path, IByteChunk& file)
{
    if (!path || path[0] == '\0') {
        return false;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size > kMaxFileSize) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::vector<char> bytes(static_cast<std::size_t>(size));
    if (size > 0 && !in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        return false;
    }
    file.Clear();
    return file.PutBytes(bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

bool writeWholeFile(const char* path, const IByteChunk& file)
{
    if (!path || path[0] == '\0') {
        return false;
    }
    struct Closer {
        void operator()(std::FILE* f) const noexcept { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> out(std::fopen(path, "wb"));
    if (!out) {
        return false;
    }
    const std::size_t size = static_cast<std::size_t>(file.Size());
    if (size > 0 && std::fwrite(file.GetData(), 1, size, out.get()) != size) {
        return false;
    }
    return std::fclose(out.release()) == 0;
}

} // namespace

bool IPluginCore::MakeFXP(IByteChunk& file) const
{
    file.Clear();
    const IPreset* current = mPresets.Get(mCurrentPresetIdx);
    const char* name = current ? current->mName : "";
    bool ok = true;
    if (mStateChunks) {
        IByteChunk state;
        if (!SerializeState(state)) {
            return false;
        }
        const uint32_t chunkSize = 8u + static_cast<uint32_t>(state.Size());
        ok = putBE32(file, kChunkMagic) && putBE32(file, 60u + chunkSize) && putBE32(file, kFxProgramOpaque) &&
             putBE32(file, 1) && putBE32(file, static_cast<uint32_t>(mUniqueID)) &&
             putBE32(file, static_cast<uint32_t>(GetPluginVersion(true))) &&
             putBE32(file, static_cast<uint32_t>(NParams())) && putName(file, name) && putOpaqueChunk(file, state);
    } else {
        ok = putBE32(file, kChunkMagic) && putBE32(file, 0) && putBE32(file, kFxProgramParams) && putBE32(file, 1) &&
             putBE32(file, static_cast<uint32_t>(mUniqueID)) &&
             putBE32(file, static_cast<uint32_t>(GetPluginVersion(true))) &&
             putBE32(file, static_cast<uint32_t>(NParams())) && putName(file, name);
        for (int i = 0; ok && i < NParams(); ++i) {
            ok = putBEFloat(file, static_cast<float>(GetParam(i)->GetNormalized()));
        }
    }
    return ok;
}

bool IPluginCore::MakeFXB(IByteChunk& file) const
{
    file.Clear();
    const char reserved[kBankReservedSize] = {};
    if (mStateChunks) {
        IByteChunk presets;
        if (!SerializePresets(presets)) {
            return false;
        }
        const uint32_t chunkSize = 8u + static_cast<uint32_t>(presets.Size());
        return putBE32(file, kChunkMagic) && putBE32(file, 160u + chunkSize) && putBE32(file, kFxBankOpaque) &&
               putBE32(file, 2) && putBE32(file, static_cast<uint32_t>(mUniqueID)) &&
               putBE32(file, static_cast<uint32_t>(GetPluginVersion(true))) &&
               putBE32(file, static_cast<uint32_t>(NPresets())) &&
               putBE32(file, static_cast<uint32_t>(mCurrentPresetIdx)) &&
               file.PutBytes(reserved, kBankReservedSize) == kBankHeaderSize && putOpaqueChunk(file, presets);
    }
    bool ok = putBE32(file, kChunkMagic) && putBE32(file, 0) && putBE32(file, kFxBankParams) && putBE32(file, 2) &&
              putBE32(file, static_cast<uint32_t>(mUniqueID)) &&
              putBE32(file, static_cast<uint32_t>(GetPluginVersion(true))) &&
              putBE32(file, static_cast<uint32_t>(NPresets())) &&
              putBE32(file, static_cast<uint32_t>(mCurrentPresetIdx)) &&
              file.PutBytes(reserved, kBankReservedSize) == kBankHeaderSize;
    for (int p = 0; ok && p < NPresets(); ++p) {
        const IPreset* preset = mPresets.Get(p);
        ok = putBE32(file, kChunkMagic) && putBE32(file, 0) && putBE32(file, kFxProgramParams) && putBE32(file, 1) &&
             putBE32(file, static_cast<uint32_t>(mUniqueID)) &&
             putBE32(file, static_cast<uint32_t>(GetPluginVersion(true))) &&
             putBE32(file, static_cast<uint32_t>(NParams())) && putName(file, preset->mName);
        // The values stored in the preset, not the live ones; 0 once they run out.
        int pos = 0;
        for (int i = 0; ok && i < NParams(); ++i) {
            double value = 0.0;
            if (pos >= 0) {
                pos = preset->mChunk.Get(&value, pos);
                if (pos < 0) {
                    value = 0.0;
                }
            }
            ok = putBEFloat(file, static_cast<float>(GetParam(i)->ToNormalized(value)));
        }
    }
    return ok;
}

bool IPluginCore::SavePresetAsFXP(const char* path) const
{
    if (!path || path[0] == '\0') {
        return false;
    }
    IByteChunk file;
    return MakeFXP(file) && writeWholeFile(path, file);
}

bool IPluginCore::SaveBankAsFXB(const char* path) const
{
    if (!path || path[0] == '\0') {
        return false;
    }
    IByteChunk file;
    return MakeFXB(file) && writeWholeFile(path, file);
}

bool IPluginCore::LoadPresetFromFXP(const char* path)
{
    IByteChunk file;
    return readWholeFile(path, file) && LoadFXP(file);
}

bool IPluginCore::LoadBankFromFXB(const char* path)
{
    IByteChunk file;
    return readWholeFile(path, file) && LoadFXB(file);
}

bool IPluginCore::LoadFXP(const IByteChunk& file)
{
    const uint32_t chunkMagic = getBE32(file, 0);
    const uint32_t fxMagic = getBE32(file, 8);
    const uint32_t formatVersion = getBE32(file, 12);
    const uint32_t fxID = getBE32(file, 16);
    const std::string name = file.Size() >= kProgramHeaderSize ? getName(file, 28) : std::string();
    if (chunkMagic != kChunkMagic || formatVersion != 1 || fxID != static_cast<uint32_t>(mUniqueID)) {
        return false;
    }
    if (mStateChunks && fxMagic == kFxProgramOpaque) {
        const int start = hasTag(file, 60, "tffp") ? 68 : 60;
        (void)UnserializeState(file, start);
    } else if (fxMagic == kFxProgramParams) {
        // A file that holds fewer values than the plug-in has parameters is
        // refused before anything changes.
        if (static_cast<int64_t>(file.Size()) < kProgramHeaderSize + 4 * static_cast<int64_t>(NParams())) {
            return false;
        }
        for (int i = 0; i < NParams(); ++i) {
            float value = 0.0f;
            (void)getBEFloat(file, kProgramHeaderSize + 4 * i, value);
            GetParam(i)->SetNormalized(static_cast<double>(value));
        }
    } else {
        return false;
    }
    if (mPresets.Get(mCurrentPresetIdx)) {
        RecaptureCurrentPreset(name.c_str());
        (void)RestorePreset(mCurrentPresetIdx);
    }
    InformHostOfPresetChange();
    return true;
}

bool IPluginCore::LoadFXB(const IByteChunk& file)
{
    const uint32_t chunkMagic = getBE32(file, 0);
    const uint32_t fxMagic = getBE32(file, 8);
    const uint32_t fxID = getBE32(file, 16);
    const int32_t programCount = static_cast<int32_t>(getBE32(file, 24));
    const int32_t currentProgram = static_cast<int32_t>(getBE32(file, 28));
    if (chunkMagic != kChunkMagic || fxID != static_cast<uint32_t>(mUniqueID)) {
        return false;
    }
    if (mStateChunks && fxMagic == kFxBankOpaque) {
        const int start = hasTag(file, 160, "tffp") ? 168 : 160;
        (void)UnserializePresets(file, start);
        InformHostOfPresetChange();
        return true;
    }
    if (fxMagic != kFxBankParams) {
        return false;
    }
    int64_t pos = kBankHeaderSize;
    const int64_t programSize = kProgramHeaderSize + 4 * static_cast<int64_t>(NParams());
    for (int32_t i = 0; i < programCount; ++i) {
        if (pos + programSize > file.Size()) {
            return false; // truncated: programs already applied stay applied
        }
        const int at = static_cast<int>(pos);
        if (getBE32(file, at) != kChunkMagic || getBE32(file, at + 8) != kFxProgramParams ||
            getBE32(file, at + 12) != 1 || getBE32(file, at + 24) != static_cast<uint32_t>(NParams())) {
            return false;
        }
        // Programs beyond the preset list have no slot: they are read past, not
        // applied over whichever preset happens to be current.
        if (mPresets.Get(i)) {
            const std::string name = getName(file, at + 28);
            if (!RestorePreset(i)) {
                mCurrentPresetIdx = i; // a slot without data is still the one to fill
            }
            for (int p = 0; p < NParams(); ++p) {
                float value = 0.0f;
                (void)getBEFloat(file, at + kProgramHeaderSize + 4 * p, value);
                GetParam(p)->SetNormalized(static_cast<double>(value));
            }
            RecaptureCurrentPreset(name.c_str());
        }
        pos += programSize;
    }
    (void)RestorePreset(currentProgram);
    InformHostOfPresetChange();
    return true;
}

} // namespace plugfw
