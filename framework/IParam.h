// framework: one host-visible parameter: type, range and step, default, unit
// and label, group, display texts, the shape that maps between the host's
// normalised value and the real value, and text formatting and parsing.
#pragma once

#include "framework/TextBuf.h"
#include "framework/TypedBuf.h"

#include <atomic>
#include <functional>
#include <initializer_list>
#include <memory>

namespace plugfw {

class IParam {
public:
    enum EParamType {
        kParamTypeNone = 0,
        kParamTypeBool = 1,
        kParamTypeInt = 2,
        kParamTypeEnum = 3,
        kParamTypeDouble = 4,
    };

    enum EParamFlags {
        kParamFlagsNone = 0,
        kParamFlagCannotAutomate = 1,
        kParamFlagStepped = 2,
        kParamFlagNegateDisplay = 4,
        kParamFlagSignDisplay = 8,
        kParamFlagMeta = 16,
    };

    enum EParamUnit {
        kParamUnitPercentage = 0,
        kParamUnitSeconds,
        kParamUnitMilliseconds,
        kParamUnitSamples,
        kParamUnitDB,
        kParamUnitLinearGain,
        kParamUnitPan,
        kParamUnitPhase,
        kParamUnitDegrees,
        kParamUnitMeters,
        kParamUnitRate,
        kParamUnitRatio,
        kParamUnitFrequency,
        kParamUnitOctaves,
        kParamUnitCents,
        kParamUnitAbsCents,
        kParamUnitSemitones,
        kParamUnitMIDINote,
        kParamUnitMIDICC,
        kParamUnitBPM,
        kParamUnitBeats,
        kParamUnitCustom,
    };

    enum EDisplayType {
        kParamDisplayLinear = 0,
        kParamDisplayLog,
        kParamDisplayExp,
        kParamDisplaySquared,
        kParamDisplaySquareRoot,
        kParamDisplayCubed,
        kParamDisplayCubeRoot,
    };

    // Size of the name, label, group and display-text fields, terminator included:
    // longer texts are cut to kMaxTextLength - 1 characters.
    static constexpr int kMaxTextLength = 32;
    // Formatted display strings are limited to this many characters.
    static constexpr int kMaxDisplayLength = 32;
    // Each piece of the JSON description is limited to this many characters.
    static constexpr int kMaxJSONPieceLength = 8192;

    struct DisplayText {
        double mValue;
        char mText[kMaxTextLength];
    };

    using DisplayFunc = std::function<void(double value, TextBuf& output)>;

    // Maps between the normalised value (0 to 1) and the real value.
    class Shape {
    public:
        virtual ~Shape() = default;
        [[nodiscard]] virtual std::unique_ptr<Shape> Clone() const = 0;
        // Called once the parameter's range is set.
        virtual void Init(const IParam&) {}
        [[nodiscard]] virtual EDisplayType GetDisplayType() const = 0;
        [[nodiscard]] virtual double NormalizedToValue(double normalized, const IParam& param) const = 0;
        [[nodiscard]] virtual double ValueToNormalized(double value, const IParam& param) const = 0;
    };

    class ShapeLinear : public Shape {
    public:
        [[nodiscard]] std::unique_ptr<Shape> Clone() const override;
        [[nodiscard]] EDisplayType GetDisplayType() const override { return kParamDisplayLinear; }
        [[nodiscard]] double NormalizedToValue(double normalized, const IParam& param) const override;
        [[nodiscard]] double ValueToNormalized(double value, const IParam& param) const override;
    };

    class ShapePowCurve : public Shape {
    public:
        explicit ShapePowCurve(double shape) : mShape(shape) {}
        [[nodiscard]] std::unique_ptr<Shape> Clone() const override;
        [[nodiscard]] EDisplayType GetDisplayType() const override;
        [[nodiscard]] double NormalizedToValue(double normalized, const IParam& param) const override;
        [[nodiscard]] double ValueToNormalized(double value, const IParam& param) const override;
        [[nodiscard]] double GetShape() const noexcept { return mShape; }

    private:
        double mShape;
    };

    // Geometric mapping: 0 maps to the minimum (or 1e-8 when the minimum is not
    // positive) and 1 to the maximum.
    class ShapeExp : public Shape {
    public:
        [[nodiscard]] std::unique_ptr<Shape> Clone() const override;
        void Init(const IParam& param) override;
        [[nodiscard]] EDisplayType GetDisplayType() const override { return kParamDisplayLog; }
        [[nodiscard]] double NormalizedToValue(double normalized, const IParam& param) const override;
        [[nodiscard]] double ValueToNormalized(double value, const IParam& param) const override;

    private:
        double mMul = 1.0;
        double mAdd = 1.0;
    };

    IParam();
    IParam(const IParam&) = delete;
    IParam& operator=(const IParam&) = delete;
    ~IParam();

    // The Init family. Each sets the type only while it is still none, and all
    // end in InitDouble.
    void InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                    const char* label = "", int flags = 0, const char* group = "",
                    const Shape& shape = ShapeLinear(), EParamUnit unit = kParamUnitCustom,
                    DisplayFunc displayFunc = nullptr);
    void InitBool(const char* name, bool defaultValue, const char* label = "", int flags = 0,
                  const char* group = "", const char* offText = "off", const char* onText = "on");
    void InitInt(const char* name, int defaultValue, int minVal, int maxVal, const char* label = "",
                 int flags = 0, const char* group = "");
    // Texts are read only when listItems is given: count of them in all.
    void InitEnum(const char* name, int defaultValue, int count, const char* label = "", int flags = 0,
                  const char* group = "", const char* listItems = nullptr, ...);
    void InitEnum(const char* name, int defaultValue, std::initializer_list<const char*> listItems,
                  int flags = 0, const char* group = "");
    void InitSeconds(const char* name, double defaultVal = 1.0, double minVal = 0.0, double maxVal = 10.0,
                     double step = 0.1, int flags = 0, const char* group = "");
    void InitMilliseconds(const char* name, double defaultVal = 1.0, double minVal = 0.0,
                          double maxVal = 100.0, int flags = 0, const char* group = "");
    void InitFrequency(const char* name, double defaultVal = 1000.0, double minVal = 0.1,
                       double maxVal = 10000.0, double step = 0.1, int flags = 0, const char* group = "");
    void InitGain(const char* name, double defaultVal = 0.0, double minVal = -70.0, double maxVal = 24.0,
                  double step = 0.5, int flags = 0, const char* group = "");
    void InitPercentage(const char* name, double defaultVal = 0.0, double minVal = 0.0, double maxVal = 100.0,
                        int flags = 0, const char* group = "");
    void InitAngleDegrees(const char* name, double defaultVal = 0.0, double minVal = 0.0, double maxVal = 360.0,
                          int flags = 0, const char* group = "");
    // Note-name texts for the notes minVal..maxVal; values run 0..maxVal-minVal.
    void InitPitch(const char* name, int defaultVal = 60, int minVal = 0, int maxVal = 128, int flags = 0,
                   const char* group = "", bool middleCisC4 = false);
    // Copies another parameter, replacing the first occurrence of searchStr in
    // its name by replaceStr, and moving it to newGroup when that is non-empty.
    void Init(const IParam& source, const char* searchStr = "", const char* replaceStr = "",
              const char* newGroup = "");

    // Value access; any thread.
    [[nodiscard]] double Value() const noexcept { return mValue.load(); }
    [[nodiscard]] double Constrain(double value) const noexcept;
    void Set(double value) noexcept;
    void SetToDefault() noexcept;
    [[nodiscard]] double FromNormalized(double normalized) const noexcept;
    [[nodiscard]] double ToNormalized(double value) const noexcept;
    [[nodiscard]] double GetNormalized() const noexcept { return ToNormalized(Value()); }
    void SetNormalized(double normalized) noexcept { Set(FromNormalized(normalized)); }
    // Sets a random normalised value drawn from rand().
    void SetRandom() noexcept;

    [[nodiscard]] bool GetBool() const noexcept { return Value() >= 0.5; }
    [[nodiscard]] int Int() const noexcept { return static_cast<int>(Value()); }

    // Texts.
    [[nodiscard]] const char* GetName() const noexcept { return mName; }
    [[nodiscard]] const char* GetLabel() const noexcept;
    [[nodiscard]] const char* GetGroup() const noexcept { return mParamGroup; }
    [[nodiscard]] const char* GetCustomUnit() const noexcept { return mUnit == kParamUnitCustom ? mLabel : nullptr; }

    void SetDisplayText(double value, const char* text);
    [[nodiscard]] int NDisplayTexts() const noexcept { return mDisplayTexts.GetSize(); }
    [[nodiscard]] const char* GetDisplayText(double value) const noexcept;
    // Text of entry index and its value through value; "" (value untouched) when
    // the index is out of range.
    [[nodiscard]] const char* GetDisplayTextAtIdx(int index, double* value = nullptr) const noexcept;
    bool MapDisplayText(const char* text, double* value) const noexcept;
    void SetDisplayPrecision(int precision) noexcept { mDisplayPrecision = precision; }

    void GetDisplay(double value, bool normalized, TextBuf& output, bool withDisplayText = true) const;
    void GetDisplay(TextBuf& output, bool withDisplayText = true) const { GetDisplay(Value(), false, output, withDisplayText); }
    [[nodiscard]] double StringToValue(const char* text) const;
    void GetJSON(TextBuf& output, int index) const;
    void PrintDetails() const noexcept {}

    // Description.
    [[nodiscard]] EParamType Type() const noexcept { return mType; }
    [[nodiscard]] EParamUnit Unit() const noexcept { return mUnit; }
    [[nodiscard]] EDisplayType DisplayType() const noexcept { return mShape->GetDisplayType(); }
    [[nodiscard]] const Shape& GetShape() const noexcept { return *mShape; }
    [[nodiscard]] double GetMin() const noexcept { return mMin; }
    [[nodiscard]] double GetMax() const noexcept { return mMax; }
    [[nodiscard]] double GetRange() const noexcept { return mMax - mMin; }
    void GetBounds(double& minVal, double& maxVal) const noexcept { minVal = mMin; maxVal = mMax; }
    [[nodiscard]] double GetStep() const noexcept { return mStep; }
    [[nodiscard]] double GetDefault(bool normalized = false) const noexcept
    {
        return normalized ? ToNormalized(mDefault) : mDefault;
    }
    [[nodiscard]] int GetDisplayPrecision() const noexcept { return mDisplayPrecision; }
    [[nodiscard]] int GetFlags() const noexcept { return mFlags; }
    [[nodiscard]] bool GetCanAutomate() const noexcept { return !(mFlags & kParamFlagCannotAutomate); }
    [[nodiscard]] bool GetStepped() const noexcept { return mFlags & kParamFlagStepped; }
    [[nodiscard]] bool GetNegateDisplay() const noexcept { return mFlags & kParamFlagNegateDisplay; }
    [[nodiscard]] bool GetSignDisplay() const noexcept { return mFlags & kParamFlagSignDisplay; }
    [[nodiscard]] bool GetMeta() const noexcept { return mFlags & kParamFlagMeta; }
    [[nodiscard]] bool HasDisplayFunction() const noexcept { return static_cast<bool>(mDisplayFunction); }

private:
    EParamType mType = kParamTypeNone;
    EParamUnit mUnit = kParamUnitCustom;
    std::atomic<double> mValue{0.0};
    double mMin = 0.0;
    double mMax = 1.0;
    double mStep = 1.0;
    double mDefault = 0.0;
    int mDisplayPrecision = 0;
    int mFlags = 0;
    char mName[kMaxTextLength] = {};
    char mLabel[kMaxTextLength] = {};
    char mParamGroup[kMaxTextLength] = {};
    std::unique_ptr<Shape> mShape;
    DisplayFunc mDisplayFunction;
    TypedBuf<DisplayText> mDisplayTexts{4096};
};

} // namespace plugfw
