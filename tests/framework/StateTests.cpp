// tests/framework: state format, presets, parameter utilities, dumps and
// version strings of the plug-in core.
#include "tests/framework/DecoderLikeCore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

using frameworktest::DecoderLikeCore;
using plugfw::IByteChunk;
using plugfw::TextBuf;

IByteChunk chunkOfDoubles(std::initializer_list<double> values)
{
    IByteChunk chunk;
    for (double v : values) {
        chunk.Put(&v);
    }
    return chunk;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class TempFile {
public:
    explicit TempFile(const char* name) : mPath(std::filesystem::temp_directory_path() / name)
    {
        std::filesystem::remove(mPath);
    }
    ~TempFile() { std::filesystem::remove(mPath); }
    [[nodiscard]] std::string str() const { return mPath.string(); }
    [[nodiscard]] const std::filesystem::path& path() const { return mPath; }

private:
    std::filesystem::path mPath;
};

TEST(PluginState, ThirteenParametersAre104BytesOfLittleEndianDoubles)
{
    DecoderLikeCore core;
    core.GetParam(6)->Set(90.0);
    core.GetParam(12)->Set(-6.5);
    IByteChunk chunk;
    ASSERT_TRUE(core.SerializeState(chunk));
    ASSERT_EQ(chunk.Size(), 104);
    // Yaw 90.0 is 0x4056800000000000, stored low byte first.
    const uint8_t yaw[8] = {0, 0, 0, 0, 0, 0x80, 0x56, 0x40};
    EXPECT_EQ(std::memcmp(chunk.GetData() + 6 * 8, yaw, 8), 0);
    // Normalization Type defaults to 1.0: 0x3FF0000000000000.
    const uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(std::memcmp(chunk.GetData() + 3 * 8, one, 8), 0);

    DecoderLikeCore other;
    EXPECT_EQ(other.UnserializeState(chunk, 0), 104);
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(other.GetParam(i)->Value(), core.GetParam(i)->Value()) << i;
    }
    ASSERT_EQ(other.mChanges.size(), 13u);
    for (int i = 0; i < 13; ++i) {
        EXPECT_EQ(other.mChanges[i].index, i);
        EXPECT_EQ(other.mChanges[i].source, plugfw::kPresetRecall);
        EXPECT_EQ(other.mChanges[i].offset, -1);
    }
}

TEST(PluginState, ShortChunksSetWhatTheyCoverAndTheNextToZero)
{
    DecoderLikeCore core;
    core.GetParam(3)->Set(2.0);
    IByteChunk twenty = chunkOfDoubles({2.0, 3.0});
    const uint8_t tail[4] = {1, 2, 3, 4};
    twenty.PutBytes(tail, 4);
    core.GetParam(6)->Set(45.0);
    core.GetParam(2)->Set(1.0);
    EXPECT_EQ(core.UnserializeParams(twenty, 0), -1);
    EXPECT_EQ(core.GetParam(0)->Value(), 2.0);
    EXPECT_EQ(core.GetParam(1)->Value(), 3.0);
    EXPECT_EQ(core.GetParam(2)->Value(), 0.0) << "the first uncovered parameter gets Constrain(0)";
    EXPECT_EQ(core.GetParam(3)->Value(), 2.0) << "the rest keep their values";
    EXPECT_EQ(core.GetParam(6)->Value(), 45.0);

    DecoderLikeCore empty;
    empty.GetParam(0)->Set(2.0);
    EXPECT_EQ(empty.UnserializeParams(IByteChunk(), 0), -1);
    EXPECT_EQ(empty.GetParam(0)->Value(), 0.0);

    // Out-of-range doubles are constrained.
    DecoderLikeCore wild;
    EXPECT_EQ(wild.UnserializeParams(chunkOfDoubles({99.0, -5.0}), 0), -1);
    EXPECT_EQ(wild.GetParam(0)->Value(), 2.0);
    EXPECT_EQ(wild.GetParam(1)->Value(), 0.0);
}

TEST(PluginState, NegativeStartChangesNothingButStillResets)
{
    DecoderLikeCore core;
    core.GetParam(6)->Set(10.0);
    EXPECT_EQ(core.UnserializeParams(chunkOfDoubles({1, 1, 1}), -4), -4);
    EXPECT_EQ(core.GetParam(6)->Value(), 10.0);
    EXPECT_EQ(core.mChanges.size(), 13u);
}

TEST(PluginPresets, UninitialisedSlotBecomesAUserPreset)
{
    DecoderLikeCore core;
    ASSERT_EQ(core.NPresets(), 1);
    EXPECT_STREQ(core.GetPresetName(0), "empty");
    EXPECT_FALSE(core.GetPreset(0)->mInitialized);

    core.GetParam(6)->Set(30.0);
    EXPECT_TRUE(core.RestorePreset(0));
    EXPECT_STREQ(core.GetPresetName(0), "user preset 1");
    EXPECT_EQ(core.GetPreset(0)->mChunk.Size(), 104);
    EXPECT_EQ(core.mRestored.size(), 13u) << "OnRestoreState tells the editor every value";
    EXPECT_TRUE(core.mRestored[6].normalized);
    EXPECT_NEAR(core.mRestored[6].value, (30.0 + 180.0) / 360.0, 1e-12);

    core.GetParam(6)->Set(-10.0);
    EXPECT_TRUE(core.RestorePreset(0));
    EXPECT_EQ(core.GetParam(6)->Value(), 30.0);

    EXPECT_FALSE(core.RestorePreset(""));
    EXPECT_FALSE(core.RestorePreset(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(core.RestorePreset(-1));
    EXPECT_FALSE(core.RestorePreset(1));
    EXPECT_STREQ(core.GetPresetName(5), "");
    EXPECT_TRUE(core.RestorePreset("user preset 1"));
    EXPECT_FALSE(core.RestorePreset("user preset 9"));
}

TEST(PluginPresets, UserPresetNumbersCountExistingUserPresets)
{
    DecoderLikeCore core(13, 4);
    EXPECT_TRUE(core.RestorePreset(0));
    EXPECT_TRUE(core.RestorePreset(1));
    EXPECT_TRUE(core.RestorePreset(3));
    EXPECT_STREQ(core.GetPresetName(0), "user preset 1");
    EXPECT_STREQ(core.GetPresetName(1), "user preset 2");
    EXPECT_STREQ(core.GetPresetName(3), "user preset 3");
    EXPECT_EQ(core.GetCurrentPresetIdx(), 3);
}

TEST(PluginPresets, StoredPresetWithoutDataIsRefused)
{
    DecoderLikeCore core(13, 2);
    core.MakePresetFromChunk("Nothing", IByteChunk());
    EXPECT_FALSE(core.RestorePreset(0));
    EXPECT_EQ(core.GetCurrentPresetIdx(), 0);
}

TEST(PluginPresets, PresetListByteLayout)
{
    // Two presets: "A" initialised with a 16-byte chunk, "B" uninitialised.
    DecoderLikeCore core(2, 2);
    core.MakePresetFromChunk("A", chunkOfDoubles({0.25, 0.5}));
    const_cast<plugfw::IPreset*>(core.GetPreset(1))->SetName("B");
    IByteChunk bytes;
    ASSERT_TRUE(core.SerializePresets(bytes));

    const uint8_t prefix[6] = {0x01, 0x00, 0x00, 0x00, 0x41, 0x01};
    const uint8_t suffix[6] = {0x01, 0x00, 0x00, 0x00, 0x42, 0x00};
    ASSERT_EQ(bytes.Size(), 6 + 16 + 6);
    EXPECT_EQ(std::memcmp(bytes.GetData(), prefix, 6), 0);
    EXPECT_EQ(std::memcmp(bytes.GetData() + 6, chunkOfDoubles({0.25, 0.5}).GetData(), 16), 0);
    EXPECT_EQ(std::memcmp(bytes.GetData() + 22, suffix, 6), 0);
}

TEST(PluginPresets, PresetListRoundTripLeavesTheCurrentPresetsValues)
{
    DecoderLikeCore source(13, 3);
    source.GetParam(6)->Set(10.0);
    source.MakeDefaultPreset("Ten");
    source.GetParam(6)->Set(20.0);
    source.MakeDefaultPreset("Twenty");
    IByteChunk list;
    ASSERT_TRUE(source.SerializePresets(list));

    DecoderLikeCore target(13, 3);
    target.SetCurrentPresetIdx(1);
    EXPECT_EQ(target.UnserializePresets(list, 0), list.Size());
    EXPECT_STREQ(target.GetPresetName(0), "Ten");
    EXPECT_STREQ(target.GetPresetName(1), "Twenty");
    EXPECT_EQ(target.GetParam(6)->Value(), 20.0) << "the current preset (1) is restored at the end";
    // The third slot was not initialised in the list; restoring it made it a user preset.
    EXPECT_FALSE(target.GetPreset(2)->mInitialized);
}

TEST(PluginPresets, TruncatedPresetListsStopSafely)
{
    DecoderLikeCore source(13, 2);
    source.MakeDefaultPreset("First", 2);
    IByteChunk list;
    ASSERT_TRUE(source.SerializePresets(list));
    for (int cut = 0; cut < list.Size(); cut += 7) {
        IByteChunk part;
        part.PutBytes(list.GetData(), cut);
        DecoderLikeCore target(13, 2);
        EXPECT_LT(target.UnserializePresets(part, 0), cut + 1) << cut;
    }
    // A name longer than the 255 characters of the field is cut.
    IByteChunk longName;
    longName.PutStr(std::string(400, 'n').c_str());
    const uint8_t initialized = 1;
    longName.Put(&initialized);
    DecoderLikeCore values;
    ASSERT_TRUE(values.SerializeState(longName));
    DecoderLikeCore target(13, 1);
    (void)target.UnserializePresets(longName, 0);
    EXPECT_EQ(std::strlen(target.GetPresetName(0)), 255u);
}

TEST(PluginPresets, BuildersFillUninitialisedSlotsInOrder)
{
    DecoderLikeCore core(13, 4);
    core.MakePreset("All", 2, 3, 1, 2, 0, 1, 10.5, -20.0, 30.0, 1, 0, 1, -12.0);
    const plugfw::IPreset* all = core.GetPreset(0);
    ASSERT_TRUE(all->mInitialized);
    ASSERT_EQ(all->mChunk.Size(), 104);
    double v = 0;
    (void)all->mChunk.Get(&v, 7 * 8);
    EXPECT_EQ(v, -20.0);
    (void)all->mChunk.Get(&v, 1 * 8);
    EXPECT_EQ(v, 3.0);

    core.GetParam(6)->Set(15.0);
    core.MakePresetFromNamedParams("Named", 2, 3, 2, 12, -3.5);
    const plugfw::IPreset* named = core.GetPreset(1);
    (void)named->mChunk.Get(&v, 3 * 8);
    EXPECT_EQ(v, 2.0);
    (void)named->mChunk.Get(&v, 12 * 8);
    EXPECT_EQ(v, -3.5);
    (void)named->mChunk.Get(&v, 6 * 8);
    EXPECT_EQ(v, 15.0) << "parameters without a pair store their current value";

    // An index out of range ends the pairs without reading further arguments.
    core.MakePresetFromNamedParams("Bad", 2, 99, 1.0);
    EXPECT_TRUE(core.GetPreset(2)->mInitialized);
    EXPECT_EQ(core.GetPreset(2)->mChunk.Size(), 104);

    // "AAAAAAAA8D8=" is the double 1.0.
    core.MakePresetFromBlob("Blob", "AAAAAAAA8D8=", 12);
    const plugfw::IPreset* blob = core.GetPreset(3);
    ASSERT_EQ(blob->mChunk.Size(), 12);
    (void)blob->mChunk.Get(&v, 0);
    EXPECT_EQ(v, 1.0);
    EXPECT_EQ(blob->mChunk.GetData()[8], 0) << "bytes past the text are zero";

    core.MakeDefaultPreset("No slot left");
    EXPECT_STREQ(core.GetPresetName(3), "Blob");

    DecoderLikeCore ensure(13, 3);
    ensure.MakeDefaultPreset(nullptr);
    EXPECT_STREQ(ensure.GetPresetName(0), "Empty");
    ensure.EnsureDefaultPreset();
    EXPECT_STREQ(ensure.GetPresetName(2), "Empty");
    EXPECT_TRUE(ensure.GetPreset(2)->mInitialized);

    DecoderLikeCore prune(13, 3);
    prune.MakePresetFromChunk("Keep", chunkOfDoubles({1.0}));
    prune.PruneUninitializedPresets();
    EXPECT_EQ(prune.NPresets(), 1);
    EXPECT_STREQ(prune.GetPresetName(0), "Keep");
}

TEST(PluginPresets, ModifyCurrentPresetRecapturesAndRenames)
{
    DecoderLikeCore core;
    ASSERT_TRUE(core.RestorePreset(0));
    core.GetParam(12)->Set(-3.0);
    core.ModifyCurrentPreset("Quiet");
    EXPECT_STREQ(core.GetPresetName(0), "Quiet");
    core.GetParam(12)->Set(0.0);
    ASSERT_TRUE(core.RestorePreset("Quiet"));
    EXPECT_EQ(core.GetParam(12)->Value(), -3.0);
    core.ModifyCurrentPreset(std::string(300, 'x').c_str());
    EXPECT_EQ(std::strlen(core.GetPresetName(0)), 255u);
}

TEST(PluginCore, VersionAndBuildStrings)
{
    DecoderLikeCore core;
    EXPECT_EQ(core.GetPluginVersion(true), 10001);
    EXPECT_EQ(core.GetPluginVersion(false), 0x00010001);
    TextBuf text;
    core.GetPluginVersionStr(text);
    EXPECT_STREQ(text.Get(), "v1.0.1");
    core.GetBuildInfoStr(text, "Dec 10 2026", "01:02:03");
    EXPECT_STREQ(text.Get(), "v1.0.1 AUv3 (x86-64), built on Dec 10 2026 at 01:02 ");
    EXPECT_STREQ(core.GetAPIStr(), "AUv3");
    EXPECT_EQ(core.GetHostVersion(true), 0);
    EXPECT_EQ(core.GetHost(), -1);
}

TEST(PluginCore, UtilitiesIgnoreIndicesOutOfRange)
{
    DecoderLikeCore core(8, 1);
    core.InitParamRange(0, 3, 1, "Gain %d", 0.0, -10.0, 10.0, 0.5, "dB", 0, "Gains");
    EXPECT_STREQ(core.GetParam(0)->GetName(), "Gain 1");
    EXPECT_STREQ(core.GetParam(3)->GetName(), "Gain 4");
    core.CloneParamRange(0, 1, 4, "Gain", "Trim", "Trims");
    EXPECT_STREQ(core.GetParam(5)->GetName(), "Trim 2");
    EXPECT_STREQ(core.GetParam(5)->GetGroup(), "Trims");

    core.GetParam(0)->Set(1.5);
    core.GetParam(1)->Set(2.5);
    core.CopyParamValues(0, 2, 2);
    EXPECT_EQ(core.GetParam(3)->Value(), 2.5);
    core.CopyParamValues("Gains", "Trims");
    EXPECT_EQ(core.GetParam(4)->Value(), 1.5);
    EXPECT_EQ(core.GetParam(5)->Value(), 2.5);

    // None of these may touch anything.
    core.InitParamRange(6, 9, 1, "X %d", 0, 0, 1, 1);
    core.CloneParamRange(0, 3, 6, "", "", "");
    core.CopyParamValues(0, 7, 2);
    core.CopyParamValues(-1, 0, 1);
    core.CopyParamValues(0, 0, -3);
    core.InitParamRange(3, 2, 1, "X %d", 0, 0, 1, 1);
    EXPECT_STREQ(core.GetParam(6)->GetName(), "P");
    EXPECT_STREQ(core.GetParam(3)->GetName(), "Gain 4");
    int visits = 0;
    core.ForParamInRange(5, 8, [&](int, plugfw::IParam&) { ++visits; });
    core.ForParamInGroup("Gains", [&](int, plugfw::IParam&) { ++visits; });
    EXPECT_EQ(visits, 4);

    core.DefaultParamValues("Gains");
    EXPECT_EQ(core.GetParam(0)->Value(), 0.0);
    EXPECT_EQ(core.GetParam(4)->Value(), 1.5);
    core.DefaultParamValues();
    EXPECT_EQ(core.GetParam(4)->Value(), 0.0);
    std::srand(7);
    core.RandomiseParamValues("Trims");
    core.RandomiseParamValues(100, 200);
    EXPECT_EQ(core.GetParam(0)->Value(), 0.0);
}

TEST(PluginCore, DumpsWriteSourceText)
{
    DecoderLikeCore core;
    ASSERT_TRUE(core.RestorePreset(0));
    core.GetParam(6)->Set(12.5);
    TempFile file("plugfw_dump_test.txt");
    core.DumpMakePresetSrc(file.str().c_str());
    EXPECT_EQ(readFile(file.path()),
              "MakePreset(\"user preset 1\", 0, 0, 0, 1, true, false, 12.500000, 0.000000, 0.000000, "
              "false, false, false, 0.000000);\n");

    TempFile named("plugfw_dump_named.txt");
    DecoderLikeCore two(2, 1);
    two.MakeDefaultPreset("D");
    const char* names[] = {"kA", "kB"};
    two.DumpMakePresetFromNamedParamsSrc(named.str().c_str(), names);
    EXPECT_EQ(readFile(named.path()),
              "  MakePresetFromNamedParams(\"D\", 2,\n    kA, 0.000000,\n    kB, 0.000000);\n");

    TempFile blob("plugfw_dump_blob.txt");
    DecoderLikeCore one(1, 1);
    one.GetParam(0)->Set(1.0);
    one.MakeDefaultPreset("B");
    one.DumpPresetBlob(blob.str().c_str());
    EXPECT_EQ(readFile(blob.path()), "MakePresetFromBlob(\"B\", \"AAAAAAAA8D8=\", 8);\n");

    // A blob larger than any fixed text buffer is written whole.
    DecoderLikeCore big(400, 1);
    big.MakeDefaultPreset("Big");
    TempFile bigBlob("plugfw_dump_big.txt");
    big.DumpPresetBlob(bigBlob.str().c_str());
    const std::string text = readFile(bigBlob.path());
    EXPECT_NE(text.find("\", 3200);\n"), std::string::npos);
    EXPECT_GT(text.size(), 4000u);

    core.DumpMakePresetSrc("/nonexistent-directory/x.txt");
    core.DumpMakePresetSrc(nullptr);
}

} // namespace
