// tests/framework: parameters: Init family, Constrain, shapes, display and
// parsing, JSON.
#include "framework/IParam.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

using plugfw::IParam;
using plugfw::TextBuf;

std::string display(const IParam& p, double value, bool normalized = false)
{
    TextBuf out;
    p.GetDisplay(value, normalized, out);
    return out.Get();
}

TEST(IParam, DefaultConstructedIsAnUntypedLinearUnitRange)
{
    const IParam p;
    EXPECT_EQ(p.Type(), IParam::kParamTypeNone);
    EXPECT_EQ(p.Unit(), IParam::kParamUnitCustom);
    EXPECT_EQ(p.Value(), 0.0);
    EXPECT_EQ(p.GetMin(), 0.0);
    EXPECT_EQ(p.GetMax(), 1.0);
    EXPECT_EQ(p.GetStep(), 1.0);
    EXPECT_EQ(p.DisplayType(), IParam::kParamDisplayLinear);
    EXPECT_EQ(p.NDisplayTexts(), 0);
    EXPECT_STREQ(p.GetName(), "");
}

TEST(IParam, NarrowRangesWidenToOneStep)
{
    IParam single;
    single.InitEnum("One", 0, {"only"});
    EXPECT_EQ(single.Type(), IParam::kParamTypeEnum);
    EXPECT_EQ(single.GetMax(), 1.0);
    EXPECT_EQ(single.NDisplayTexts(), 1);
    EXPECT_TRUE(single.GetStepped());

    IParam fixed;
    fixed.InitInt("Five", 5, 5, 5);
    EXPECT_EQ(fixed.Type(), IParam::kParamTypeInt);
    EXPECT_EQ(fixed.GetMin(), 5.0);
    EXPECT_EQ(fixed.GetMax(), 6.0);
}

TEST(IParam, ConstrainRoundsHalvesAwayFromZeroThenClamps)
{
    IParam p;
    p.InitInt("Int", 0, -10, 10);
    struct Case {
        double in, out;
    };
    const Case cases[] = {{2.5, 3.0},   {-2.5, -3.0}, {2.4999, 2.0}, {11.0, 10.0},
                          {-99.0, -10.0}, {NAN, -10.0}, {INFINITY, 10.0}};
    for (const Case& c : cases) {
        EXPECT_EQ(p.Constrain(c.in), c.out) << c.in;
    }
    p.Set(2.5);
    EXPECT_EQ(p.Value(), 3.0);
}

TEST(IParam, PrecisionFollowsTheStep)
{
    struct Case {
        double step;
        int precision;
    };
    const Case cases[] = {{1.0, 0}, {5.0, 0}, {0.5, 1}, {0.3, 1}, {0.1, 1}, {0.25, 2},
                          {0.01, 2}, {0.125, 3}, {1e-5, 5}, {1e-6, 6}};
    for (const Case& c : cases) {
        IParam p;
        p.InitDouble("x", 0.0, 0.0, 100.0, c.step);
        EXPECT_EQ(p.GetDisplayPrecision(), c.precision) << c.step;
    }
}

TEST(IParam, BoolShowsItsTextsAndParsesOnlyThem)
{
    IParam p;
    p.InitBool("Enable Rotation", true, "", 0, "", "off", "on");
    EXPECT_EQ(p.Type(), IParam::kParamTypeBool);
    EXPECT_EQ(p.Value(), 1.0);
    EXPECT_EQ(display(p, 1.0), "on");
    EXPECT_EQ(display(p, 0.0), "off");
    EXPECT_EQ(p.StringToValue("on"), 1.0);
    EXPECT_EQ(p.StringToValue("off"), 0.0);
    EXPECT_EQ(p.StringToValue("yes"), 0.0);
    EXPECT_EQ(p.StringToValue("1"), 0.0);
}

TEST(IParam, TypedNumbersAreSteppedAndClamped)
{
    IParam p;
    p.InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1, "", IParam::kParamFlagStepped);
    EXPECT_NEAR(p.StringToValue("12.34"), 12.3, 1e-12);
    EXPECT_EQ(p.StringToValue("1000"), 180.0);
    EXPECT_EQ(p.StringToValue("-1e9"), -180.0);
    EXPECT_EQ(p.StringToValue("abc"), 0.0);
    EXPECT_EQ(p.StringToValue(""), 0.0);
}

TEST(IParam, DisplayFormatsTable)
{
    struct Case {
        const char* what;
        int flags;
        int precision;
        double value;
        const char* expected;
    };
    const Case cases[] = {
        {"negate", IParam::kParamFlagNegateDisplay, 1, 3.0, "-3.0"},
        {"negate zero", IParam::kParamFlagNegateDisplay, 1, 0.0, "0.0"},
        {"sign +", IParam::kParamFlagSignDisplay, 2, 3.5, "+3.50"},
        {"sign -", IParam::kParamFlagSignDisplay, 2, -3.5, "-3.50"},
        {"sign zero", IParam::kParamFlagSignDisplay, 2, 0.0, "0.00"},
        {"integer half up", 0, 0, 2.5, "3"},
        {"integer half down", 0, 0, -2.5, "-3"},
        {"negative zero", 0, 0, -0.2, "0"},
        {"plain", 0, 3, 1.23456, "1.235"},
    };
    for (const Case& c : cases) {
        IParam p;
        p.InitDouble("x", 0.0, -100.0, 100.0, 0.001, "", c.flags);
        p.SetDisplayPrecision(c.precision);
        EXPECT_EQ(display(p, c.value), c.expected) << c.what;
    }
    IParam negate;
    negate.InitDouble("x", 0.0, -100.0, 100.0, 0.1, "", IParam::kParamFlagNegateDisplay);
    EXPECT_EQ(negate.StringToValue("3"), -3.0);
}

TEST(IParam, DisplayFunctionAndNormalizedInputAndLongTexts)
{
    IParam p;
    p.InitDouble("x", 0.0, 0.0, 10.0, 1.0, "", 0, "", IParam::ShapeLinear(), IParam::kParamUnitCustom,
                 [](double v, TextBuf& out) { out.SetFormatted(32, "<%g>", v); });
    EXPECT_EQ(display(p, 0.5, true), "<5>");

    IParam e;
    e.InitEnum("Long", 0, {"0123456789012345678901234567890123456789"});
    EXPECT_EQ(std::string(e.GetDisplayTextAtIdx(0)), "0123456789012345678901234567890")
        << "texts are cut to the 31 characters of their field";
    EXPECT_STREQ(e.GetDisplayTextAtIdx(5), "") << "an index past the texts reads empty";
    IParam longName;
    longName.InitGain("A parameter name that is far longer than the thirty-one characters allowed");
    EXPECT_EQ(std::string(longName.GetName()).size(), 31u);
}

TEST(IParam, ExpAndPowerShapes)
{
    IParam freq;
    freq.InitFrequency("Freq", 1000.0, 20.0, 20000.0, 0.0);
    EXPECT_EQ(freq.DisplayType(), IParam::kParamDisplayLog);
    EXPECT_NEAR(freq.FromNormalized(0.5), std::sqrt(20.0 * 20000.0), 1e-9);
    EXPECT_NEAR(freq.FromNormalized(0.0), 20.0, 1e-9);
    EXPECT_NEAR(freq.ToNormalized(632.4555320336759), 0.5, 1e-12);

    IParam pow;
    pow.InitDouble("Pow", 0.0, 0.0, 1.0, 0.0, "", 0, "", IParam::ShapePowCurve(2.0));
    EXPECT_DOUBLE_EQ(pow.FromNormalized(0.5), 0.25);
    EXPECT_DOUBLE_EQ(pow.ToNormalized(0.5), 0.7071067811865476);
    EXPECT_EQ(pow.DisplayType(), IParam::kParamDisplaySquareRoot);

    struct Case {
        double shape;
        IParam::EDisplayType type;
    };
    const Case cases[] = {{3.0, IParam::kParamDisplayCubeRoot}, {2.0, IParam::kParamDisplaySquareRoot},
                          {0.3, IParam::kParamDisplayCubed},   {0.5, IParam::kParamDisplaySquared},
                          {1.0, IParam::kParamDisplayLinear}};
    for (const Case& c : cases) {
        EXPECT_EQ(IParam::ShapePowCurve(c.shape).GetDisplayType(), c.type) << c.shape;
    }

    IParam zeroMin;
    zeroMin.InitDouble("Exp", 0.0, 0.0, 1.0, 0.1, "", IParam::kParamFlagStepped, "", IParam::ShapeExp());
    EXPECT_NEAR(zeroMin.GetShape().NormalizedToValue(0.0, zeroMin), 1e-8, 1e-20);
    EXPECT_EQ(zeroMin.FromNormalized(0.0), 0.0) << "1e-8 steps to the minimum";
    EXPECT_EQ(zeroMin.ToNormalized(0.0), 0.0) << "log of 0 clamps to 0";
}

TEST(IParam, LabelHidesWhileTheValueHasAText)
{
    IParam e;
    e.InitEnum("Mode", 1, 3, "units", 0, "", "A", "B", "C");
    EXPECT_STREQ(e.GetLabel(), "");
    IParam g;
    g.InitGain("Gain");
    EXPECT_STREQ(g.GetLabel(), "dB");
    EXPECT_EQ(g.Unit(), IParam::kParamUnitDB);
}

TEST(IParam, PitchNamesAndOctaves)
{
    IParam p;
    p.InitPitch("Note", 0, 60, 72, 0, "", true);
    ASSERT_EQ(p.NDisplayTexts(), 13);
    EXPECT_EQ(p.GetMax(), 12.0);
    EXPECT_STREQ(p.GetDisplayText(0.0), "C 4");
    EXPECT_STREQ(p.GetDisplayText(1.0), "C#4");
    EXPECT_STREQ(p.GetDisplayText(12.0), "C 5");

    IParam c3;
    c3.InitPitch("Note", 0, 60, 60, 0, "", false);
    EXPECT_STREQ(c3.GetDisplayText(0.0), "C 3");

    IParam negative;
    negative.InitPitch("Low", 0, -2, 0, 0, "", true);
    EXPECT_STREQ(negative.GetDisplayText(0.0), "A#-2");
    EXPECT_STREQ(negative.GetDisplayText(2.0), "C -1");
}

TEST(IParam, JSONOfTheOutputVolume)
{
    IParam p;
    p.InitGain("Output Volume", 0.0, -70.0, 12.0, 0.5);
    TextBuf json;
    p.GetJSON(json, 12);
    EXPECT_STREQ(json.Get(), "{\"id\":12, \"name\":\"Output Volume\", \"type\":\"float\", \"min\":-70.000000, "
                             "\"max\":12.000000, \"default\":0.000000, \"rate\":\"control\"}");
    IParam untyped;
    TextBuf noType;
    untyped.GetJSON(noType, 0);
    EXPECT_EQ(std::string(noType.Get()).find("type"), std::string::npos);
}

TEST(IParam, InitFromAnotherCopiesWithRenameAndKeepsFirstType)
{
    IParam source;
    source.InitEnum("Left Mode", 1, 2, "", 0, "Left", "x", "y");
    IParam copy;
    copy.Init(source, "Left", "Right", "Right");
    EXPECT_STREQ(copy.GetName(), "Right Mode");
    EXPECT_STREQ(copy.GetGroup(), "Right");
    EXPECT_EQ(copy.Type(), IParam::kParamTypeEnum);
    EXPECT_EQ(copy.NDisplayTexts(), 2);
    EXPECT_STREQ(copy.GetDisplayText(1.0), "y");
    EXPECT_EQ(copy.Value(), 1.0);

    IParam same;
    same.Init(source, "Missing", "X", "");
    EXPECT_STREQ(same.GetName(), "Left Mode");
    EXPECT_STREQ(same.GetGroup(), "Left");

    // A second Init keeps the first type.
    copy.InitDouble("Again", 0.5, 0.0, 1.0, 0.5);
    EXPECT_EQ(copy.Type(), IParam::kParamTypeEnum);
}

TEST(IParam, NormalizedRoundTripAndDefaults)
{
    IParam yaw;
    yaw.InitDouble("Yaw", 0.0, -180.0, 180.0, 0.1);
    yaw.Set(90.0);
    EXPECT_DOUBLE_EQ(yaw.GetNormalized(), 0.75);
    yaw.SetNormalized(0.25);
    EXPECT_DOUBLE_EQ(yaw.Value(), -90.0);
    EXPECT_EQ(yaw.ToNormalized(1000.0), 1.0);
    yaw.SetToDefault();
    EXPECT_EQ(yaw.Value(), 0.0);
    std::srand(1);
    for (int i = 0; i < 100; ++i) {
        yaw.SetRandom();
        ASSERT_GE(yaw.Value(), -180.0);
        ASSERT_LE(yaw.Value(), 180.0);
    }
}

} // namespace

#include "framework/IEditorDelegate.h"

namespace {

class RecordingDelegate : public plugfw::IEditorDelegate {
public:
    using IEditorDelegate::IEditorDelegate;
    void BeginInformHostOfParamChangeFromUI(int) override {}
    void EndInformHostOfParamChangeFromUI(int) override {}
    void OnParamChange(int paramIdx, plugfw::EParamSource source, int offset) override
    {
        mLog += std::to_string(paramIdx) + ":" + std::to_string(source) + ":" + std::to_string(offset) + " ";
    }
    std::string mLog;
};

TEST(IEditorDelegate, OwnsItsParametersAndReturnsNullOutOfRange)
{
    RecordingDelegate delegate(3);
    ASSERT_EQ(delegate.NParams(), 3);
    delegate.GetParam(2)->InitGain("Output Volume", 0.0, -70.0, 12.0, 0.5);
    delegate.GetParam(2)->Set(-6.0);
    EXPECT_EQ(delegate.GetParam(2)->Value(), -6.0);
    EXPECT_EQ(delegate.GetParam(3), nullptr);
    EXPECT_EQ(delegate.GetParam(-1), nullptr);
    delegate.OnParamReset(plugfw::kPresetRecall);
    EXPECT_EQ(delegate.mLog, "0:2:-1 1:2:-1 2:2:-1 ");
}

} // namespace
