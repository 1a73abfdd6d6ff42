// framework: the host-independent core of a plug-in object: its parameters
// (through IEditorDelegate), presets and identity; state serialisation, preset
// management, parameter utilities, developer dumps, version strings, and the
// program (.fxp) and bank (.fxb) files.
#pragma once

#include "framework/IByteChunk.h"
#include "framework/IEditorDelegate.h"
#include "framework/IPreset.h"
#include "framework/PlugTypes.h"
#include "framework/PtrList.h"
#include "framework/TextBuf.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace plugfw {

class IPluginCore : public IEditorDelegate {
public:
    // Value stored by MakePresetFromNamedParams for parameters without a pair.
    static constexpr double kUnsetParamMarker = 9.999e-8;
    static constexpr int kMaxVersionStrLength = 32;
    static constexpr int kMaxBuildInfoLength = 256;

    IPluginCore(int nParams, int nPresets);
    ~IPluginCore() override;

    // Identity and build strings.
    [[nodiscard]] int GetPluginVersion(bool decimal) const noexcept;
    [[nodiscard]] int GetHostVersion(bool decimal) const noexcept;
    void GetPluginVersionStr(TextBuf& text) const;
    void GetHostVersionStr(TextBuf& text) const;
    [[nodiscard]] const char* GetAPIStr() const noexcept;
    [[nodiscard]] static const char* GetArchStr() noexcept { return "x86-64"; }
    void GetBuildInfoStr(TextBuf& text, const char* date, const char* time) const;
    [[nodiscard]] int GetUniqueID() const noexcept { return mUniqueID; }
    [[nodiscard]] int GetMfrID() const noexcept { return mMfrID; }
    [[nodiscard]] int GetHost() const noexcept { return mHost; }
    [[nodiscard]] EAPI GetAPI() const noexcept { return mAPI; }
    [[nodiscard]] bool DoesStateChunks() const noexcept { return mStateChunks; }
    [[nodiscard]] const char* GetPluginName() const noexcept { return mPluginName.c_str(); }
    [[nodiscard]] const char* GetProductName() const noexcept { return mProductName.c_str(); }
    [[nodiscard]] const char* GetMfrName() const noexcept { return mMfrName.c_str(); }
    [[nodiscard]] const char* GetBundleID() const noexcept { return mBundleID.c_str(); }

    // State: one native-order double per parameter, nothing else.
    [[nodiscard]] bool SerializeParams(IByteChunk& chunk) const;
    int UnserializeParams(const IByteChunk& chunk, int startPos);

    // Virtual entry points that hosts and presets use.
    virtual void InformHostOfParameterDetailsChange() {}
    virtual bool SerializeState(IByteChunk& chunk) const { return SerializeParams(chunk); }
    virtual int UnserializeState(const IByteChunk& chunk, int startPos) { return UnserializeParams(chunk, startPos); }
    // Control thread: applies size bytes of saved state as the bindings' state
    // interfaces deliver them. A plug-in with a state format of its own gets the
    // settings before back when the bytes do not read to their end. False, with
    // one clause for the host's log in why, when they are refused.
    [[nodiscard]] bool RestoreStateBytes(const std::uint8_t* bytes, std::size_t size, char* why, std::size_t whySize);
    virtual bool SerializeVST3CtrlrState(IByteChunk& /*chunk*/) const { return true; }
    virtual int UnserializeVST3CtrlrState(const IByteChunk& /*chunk*/, int startPos) { return startPos; }
    virtual void InformHostOfPresetChange() {}
    virtual void OnPresetsModified() {}

    // Presets.
    [[nodiscard]] int NPresets() const noexcept { return mPresets.GetSize(); }
    [[nodiscard]] int GetCurrentPresetIdx() const noexcept { return mCurrentPresetIdx; }
    [[nodiscard]] const IPreset* GetPreset(int index) const noexcept { return mPresets.Get(index); }
    void MakeDefaultPreset(const char* name = nullptr, int count = 1);
    // One value per parameter: an int for bool, int and enum parameters, else a double.
    void MakePreset(const char* name, ...);
    // count pairs of (int parameter index, value typed as for MakePreset). An
    // index out of range ends the list: the pairs after it are not read.
    void MakePresetFromNamedParams(const char* name, int count, ...);
    void MakePresetFromChunk(const char* name, const IByteChunk& chunk);
    void MakePresetFromBlob(const char* name, const char* blob, int sizeOfChunk);
    void EnsureDefaultPreset();
    void PruneUninitializedPresets();
    bool RestorePreset(int index);
    bool RestorePreset(const char* name);
    [[nodiscard]] const char* GetPresetName(int index) const noexcept;
    void ModifyCurrentPreset(const char* name = nullptr);
    [[nodiscard]] bool SerializePresets(IByteChunk& chunk) const;
    int UnserializePresets(const IByteChunk& chunk, int startPos);

    // Developer dumps: source text appended to a file.
    void DumpMakePresetSrc(const char* path) const;
    void DumpMakePresetFromNamedParamsSrc(const char* path, const char* const* paramEnumNames) const;
    void DumpPresetBlob(const char* path) const;

    // Parameter utilities. Index ranges are inclusive; a range or index that
    // does not lie inside the parameter list makes the call do nothing.
    void InitParamRange(int startIdx, int endIdx, int countStart, const char* nameFmtStr, double defaultVal,
                        double minVal, double maxVal, double step, const char* label = "", int flags = 0,
                        const char* group = "", const IParam::Shape& shape = IParam::ShapeLinear(),
                        IParam::EParamUnit unit = IParam::kParamUnitCustom,
                        IParam::DisplayFunc displayFunc = nullptr);
    void CloneParamRange(int cloneStartIdx, int cloneEndIdx, int startIdx, const char* searchStr = "",
                         const char* replaceStr = "", const char* newGroup = "");
    void CopyParamValues(int startIdx, int destIdx, int nParams);
    // Copies the k-th parameter of inGroup to the k-th of outGroup for every k
    // both groups have.
    void CopyParamValues(const char* inGroup, const char* outGroup);
    void ForParamInRange(int startIdx, int endIdx, const std::function<void(int, IParam&)>& func);
    void ForParamInGroup(const char* paramGroup, const std::function<void(int, IParam&)>& func);
    void DefaultParamValues();
    void DefaultParamValues(int startIdx, int endIdx);
    void DefaultParamValues(const char* paramGroup);
    void RandomiseParamValues();
    void RandomiseParamValues(int startIdx, int endIdx);
    void RandomiseParamValues(const char* paramGroup);
    void PrintParamValues();

    // Program and bank files (the parameter forms, or the opaque forms when the
    // plug-in does state chunks). Each returns false on any failure.
    bool SavePresetAsFXP(const char* path) const;
    bool SaveBankAsFXB(const char* path) const;
    bool LoadPresetFromFXP(const char* path);
    bool LoadBankFromFXB(const char* path);
    // The same, on bytes in memory.
    [[nodiscard]] bool MakeFXP(IByteChunk& file) const;
    [[nodiscard]] bool MakeFXB(IByteChunk& file) const;
    bool LoadFXP(const IByteChunk& file);
    bool LoadFXB(const IByteChunk& file);

protected:
    // Re-captures the current preset's chunk from the current state, renaming it
    // when name is non-empty (used after loading a program).
    void RecaptureCurrentPreset(const char* name);
    [[nodiscard]] IPreset* FirstUninitializedPreset() const noexcept;
    [[nodiscard]] std::string CurrentPresetName() const;
    [[nodiscard]] bool ValidRange(int startIdx, int endIdx) const noexcept;

    int mCurrentPresetIdx = 0;
    bool mStateChunks = false;
    int mUniqueID = 0;
    int mMfrID = 0;
    int mVersion = 0;
    int mHostVersion = 0;
    int mHost = -1;
    EAPI mAPI = kAPIVST2;
    std::string mPluginName;
    std::string mProductName;
    std::string mMfrName;
    std::string mBundleID;
    bool mHasUI = false;
    bool mHostResize = false;
    int mEditorWidth = 0;
    int mEditorHeight = 0;
    int mMinWidth = 0;
    int mMaxWidth = 0;
    int mMinHeight = 0;
    int mMaxHeight = 0;
    // Owned preset slots, freed with the plug-in.
    OwnedPtrList<IPreset> mPresets;
};

} // namespace plugfw
