// tests/framework: program (.fxp) and bank (.fxb) files: the byte layout,
// round trips through files on disk, and the files that must be refused.
#include "tests/framework/DecoderLikeCore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using frameworktest::DecoderLikeCore;
using plugfw::IByteChunk;

class PresetFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        mDir = std::filesystem::temp_directory_path() /
               ("plugfw_files_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(mDir);
    }
    void TearDown() override { std::filesystem::remove_all(mDir); }

    [[nodiscard]] std::string path(const char* name) const { return (mDir / name).string(); }

    static std::vector<uint8_t> readBytes(const std::string& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void writeBytes(const std::string& file, const std::vector<uint8_t>& bytes)
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static void putBE(std::vector<uint8_t>& bytes, std::size_t at, uint32_t value)
    {
        bytes[at] = static_cast<uint8_t>(value >> 24);
        bytes[at + 1] = static_cast<uint8_t>(value >> 16);
        bytes[at + 2] = static_cast<uint8_t>(value >> 8);
        bytes[at + 3] = static_cast<uint8_t>(value);
    }
    static std::vector<uint8_t> floatBE(float f)
    {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        return {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                static_cast<uint8_t>(bits)};
    }

    std::filesystem::path mDir;
};

TEST_F(PresetFiles, ProgramFileOfThirteenParametersIs108BytesByteForByte)
{
    DecoderLikeCore core;
    ASSERT_TRUE(core.RestorePreset(0)); // names the preset "user preset 1"
    core.GetParam(6)->Set(90.0);        // normalised 0.75
    ASSERT_TRUE(core.SavePresetAsFXP(path("p.fxp").c_str()));
    const std::vector<uint8_t> bytes = readBytes(path("p.fxp"));
    ASSERT_EQ(bytes.size(), 108u);

    std::vector<uint8_t> expected = {'C', 'c', 'n', 'K', 0, 0, 0, 0, 'F', 'x', 'C', 'k', 0, 0, 0, 1,
                                     'Q', 'i', 'R', '1', 0, 0, 0x27, 0x11, 0, 0, 0, 0x0D};
    const char name[28] = "user preset 1";
    expected.insert(expected.end(), name, name + 28);
    const float values[13] = {0.0f, 0.0f, 0.0f, 0.5f, 1.0f, 0.0f, 0.75f, 0.5f, 0.5f, 0.0f, 0.0f, 0.0f,
                              static_cast<float>(70.0 / 82.0)};
    for (float v : values) {
        const std::vector<uint8_t> be = floatBE(v);
        expected.insert(expected.end(), be.begin(), be.end());
    }
    EXPECT_EQ(bytes, expected);
    // Spot-check the float encoding independently: 0.75 is 3F 40 00 00.
    EXPECT_EQ(bytes[56 + 6 * 4], 0x3F);
    EXPECT_EQ(bytes[56 + 6 * 4 + 1], 0x40);
}

TEST_F(PresetFiles, ProgramRoundTripRestoresValuesAndName)
{
    DecoderLikeCore source;
    ASSERT_TRUE(source.RestorePreset(0));
    source.ModifyCurrentPreset("A very long preset name that will not fit");
    source.GetParam(1)->Set(4.0);
    source.GetParam(6)->Set(12.3);
    source.GetParam(12)->Set(-6.5);
    ASSERT_TRUE(source.SavePresetAsFXP(path("p.fxp").c_str()));

    DecoderLikeCore target;
    ASSERT_TRUE(target.LoadPresetFromFXP(path("p.fxp").c_str()));
    EXPECT_EQ(target.GetParam(1)->Value(), 4.0);
    // Unstepped values travel as normalised single-precision floats.
    EXPECT_NEAR(target.GetParam(6)->Value(), 12.3, 360.0 * 6e-8);
    EXPECT_NEAR(target.GetParam(12)->Value(), -6.5, 82.0 * 6e-8);
    EXPECT_STREQ(target.GetPresetName(0), "A very long preset name tha") << "27 characters travel in the file";
    EXPECT_EQ(target.mPresetChangeCalls, 1);
    // The current preset now holds the loaded state.
    target.GetParam(1)->Set(0.0);
    ASSERT_TRUE(target.RestorePreset(0));
    EXPECT_EQ(target.GetParam(1)->Value(), 4.0);
}

TEST_F(PresetFiles, BankRoundTripCarriesEveryPresetsStoredValues)
{
    DecoderLikeCore source(13, 3);
    source.GetParam(6)->Set(10.0);
    source.MakeDefaultPreset("Ten");
    source.GetParam(6)->Set(-20.0);
    source.GetParam(0)->Set(2.0);
    source.MakeDefaultPreset("Minus twenty");
    source.GetParam(6)->Set(170.0); // live value, not in any preset
    ASSERT_TRUE(source.RestorePreset(1));
    ASSERT_TRUE(source.SaveBankAsFXB(path("b.fxb").c_str()));
    const std::vector<uint8_t> bytes = readBytes(path("b.fxb"));
    ASSERT_EQ(bytes.size(), 156u + 3u * 108u);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 12), "FxBk");
    EXPECT_EQ(bytes[27], 3) << "program count";
    EXPECT_EQ(bytes[31], 1) << "current program";

    DecoderLikeCore target(13, 3);
    ASSERT_TRUE(target.LoadBankFromFXB(path("b.fxb").c_str()));
    EXPECT_STREQ(target.GetPresetName(0), "Ten");
    EXPECT_STREQ(target.GetPresetName(1), "Minus twenty");
    EXPECT_EQ(target.GetCurrentPresetIdx(), 1);
    EXPECT_NEAR(target.GetParam(6)->Value(), -20.0, 360.0 * 6e-8);
    EXPECT_EQ(target.GetParam(0)->Value(), 2.0);
    ASSERT_TRUE(target.RestorePreset(0));
    EXPECT_NEAR(target.GetParam(6)->Value(), 10.0, 360.0 * 6e-8);
    EXPECT_EQ(target.mPresetChangeCalls, 1);
}

TEST_F(PresetFiles, OpaqueFormsRoundTripWhenTheOptionIsOn)
{
    DecoderLikeCore source(13, 2, true);
    source.GetParam(7)->Set(33.3);
    source.MakeDefaultPreset("Opaque");
    ASSERT_TRUE(source.SavePresetAsFXP(path("o.fxp").c_str()));
    const std::vector<uint8_t> program = readBytes(path("o.fxp"));
    ASSERT_EQ(program.size(), 60u + 8u + 104u);
    EXPECT_EQ(std::string(program.begin() + 8, program.begin() + 12), "FPCh");
    EXPECT_EQ(program[7], 60 + 8 + 104) << "byte size is the whole file's length";
    EXPECT_EQ(std::string(program.begin() + 60, program.begin() + 64), "tffp");

    DecoderLikeCore target(13, 2, true);
    ASSERT_TRUE(target.LoadPresetFromFXP(path("o.fxp").c_str()));
    EXPECT_NEAR(target.GetParam(7)->Value(), 33.3, 1e-12) << "opaque state keeps full precision";

    ASSERT_TRUE(source.SaveBankAsFXB(path("o.fxb").c_str()));
    DecoderLikeCore bankTarget(13, 2, true);
    ASSERT_TRUE(bankTarget.LoadBankFromFXB(path("o.fxb").c_str()));
    EXPECT_STREQ(bankTarget.GetPresetName(0), "Opaque");
    EXPECT_NEAR(bankTarget.GetParam(7)->Value(), 33.3, 1e-12);

    // A parameter-form program is accepted with the option on.
    DecoderLikeCore plain;
    plain.GetParam(7)->Set(-45.0);
    ASSERT_TRUE(plain.SavePresetAsFXP(path("plain.fxp").c_str()));
    ASSERT_TRUE(target.LoadPresetFromFXP(path("plain.fxp").c_str()));
    EXPECT_NEAR(target.GetParam(7)->Value(), -45.0, 360.0 * 6e-8);
    // An opaque program is refused with the option off.
    DecoderLikeCore off;
    EXPECT_FALSE(off.LoadPresetFromFXP(path("o.fxp").c_str()));
    EXPECT_FALSE(off.LoadBankFromFXB(path("o.fxb").c_str()));
}

TEST_F(PresetFiles, ForeignAndMalformedProgramsAreRefusedWithoutChanges)
{
    DecoderLikeCore source;
    source.GetParam(6)->Set(50.0);
    ASSERT_TRUE(source.SavePresetAsFXP(path("good.fxp").c_str()));
    const std::vector<uint8_t> good = readBytes(path("good.fxp"));

    struct Case {
        const char* what;
        std::size_t at;
        uint32_t value;
    };
    const Case cases[] = {
        {"other plug-in", 16, 0x41424344},
        {"format version 2", 12, 2},
        {"chunk magic", 0, 0x43636E4C},
        {"unknown fx magic", 8, 0x46784378},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = good;
        putBE(bad, c.at, c.value);
        writeBytes(path("bad.fxp"), bad);
        DecoderLikeCore target;
        EXPECT_FALSE(target.LoadPresetFromFXP(path("bad.fxp").c_str())) << c.what;
        EXPECT_EQ(target.GetParam(6)->Value(), 0.0) << c.what;
    }
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{56}, std::size_t{104}}) {
        writeBytes(path("short.fxp"), std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(cut)));
        DecoderLikeCore target;
        EXPECT_FALSE(target.LoadPresetFromFXP(path("short.fxp").c_str())) << cut;
        EXPECT_EQ(target.GetParam(6)->Value(), 0.0) << cut;
    }
    DecoderLikeCore target;
    EXPECT_FALSE(target.LoadPresetFromFXP(""));
    EXPECT_FALSE(target.LoadPresetFromFXP(nullptr));
    EXPECT_FALSE(target.LoadPresetFromFXP(path("missing.fxp").c_str()));
    EXPECT_FALSE(target.LoadPresetFromFXP(mDir.string().c_str())) << "a directory is not a file";
    EXPECT_FALSE(target.SavePresetAsFXP(""));
    EXPECT_FALSE(target.SavePresetAsFXP((mDir / "no" / "such" / "dir.fxp").string().c_str()));
    EXPECT_FALSE(target.SaveBankAsFXB(nullptr));
}

TEST_F(PresetFiles, ZeroNameKeepsThePresetNameAndValuesAreConstrained)
{
    DecoderLikeCore source;
    ASSERT_TRUE(source.SavePresetAsFXP(path("p.fxp").c_str()));
    std::vector<uint8_t> bytes = readBytes(path("p.fxp"));
    std::fill(bytes.begin() + 28, bytes.begin() + 56, 0);
    // Out-of-range and not-a-number values: normalised 7.0 and NaN.
    putBE(bytes, 56 + 6 * 4, 0x40E00000);
    putBE(bytes, 56 + 7 * 4, 0x7FC00000);
    writeBytes(path("p.fxp"), bytes);

    DecoderLikeCore target;
    ASSERT_TRUE(target.RestorePreset(0));
    ASSERT_TRUE(target.LoadPresetFromFXP(path("p.fxp").c_str()));
    EXPECT_STREQ(target.GetPresetName(0), "user preset 1");
    EXPECT_EQ(target.GetParam(6)->Value(), 180.0);
    EXPECT_EQ(target.GetParam(7)->Value(), -180.0);
}

TEST_F(PresetFiles, BankRefusalsAndPartialApplication)
{
    DecoderLikeCore source(13, 2);
    source.GetParam(6)->Set(11.0);
    source.MakeDefaultPreset("One");
    source.GetParam(6)->Set(22.0);
    source.MakeDefaultPreset("Two");
    ASSERT_TRUE(source.SaveBankAsFXB(path("b.fxb").c_str()));
    const std::vector<uint8_t> good = readBytes(path("b.fxb"));

    // Any format version is accepted for a bank.
    std::vector<uint8_t> version = good;
    putBE(version, 12, 7);
    writeBytes(path("v.fxb"), version);
    DecoderLikeCore anyVersion(13, 2);
    EXPECT_TRUE(anyVersion.LoadBankFromFXB(path("v.fxb").c_str()));

    // The second program declares 12 parameters: the first stays applied.
    std::vector<uint8_t> twelve = good;
    putBE(twelve, 156 + 108 + 24, 12);
    writeBytes(path("t.fxb"), twelve);
    DecoderLikeCore partial(13, 2);
    EXPECT_FALSE(partial.LoadBankFromFXB(path("t.fxb").c_str()));
    EXPECT_STREQ(partial.GetPresetName(0), "One");
    EXPECT_STREQ(partial.GetPresetName(1), "empty");

    std::vector<uint8_t> foreign = good;
    putBE(foreign, 16, 0x41424344);
    writeBytes(path("f.fxb"), foreign);
    DecoderLikeCore refused(13, 2);
    EXPECT_FALSE(refused.LoadBankFromFXB(path("f.fxb").c_str()));
    EXPECT_STREQ(refused.GetPresetName(0), "empty");

    writeBytes(path("cut.fxb"), std::vector<uint8_t>(good.begin(), good.end() - 1));
    DecoderLikeCore cut(13, 2);
    EXPECT_FALSE(cut.LoadBankFromFXB(path("cut.fxb").c_str()));

    // More programs than presets: the extra program is read past, and the
    // preset that is current is not overwritten by it.
    DecoderLikeCore one(13, 1);
    ASSERT_TRUE(one.LoadBankFromFXB(path("b.fxb").c_str()));
    EXPECT_STREQ(one.GetPresetName(0), "One");
    ASSERT_TRUE(one.RestorePreset(0));
    EXPECT_NEAR(one.GetParam(6)->Value(), 11.0, 360.0 * 6e-8);
}

} // namespace
