// framework: parameters.
#include "framework/IParam.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace plugfw {
namespace {

// Copies at most size - 1 characters and always terminates.
void copyField(char* field, std::size_t size, const char* text) noexcept
{
    if (!text) {
        text = "";
    }
    std::size_t length = std::strlen(text);
    if (length > size - 1) {
        length = size - 1;
    }
    std::memcpy(field, text, length);
    field[length] = '\0';
}

// 0 for a whole step, else the number of decimal shifts that make it whole (at
// most 5), else 6. Products like 0.3 x 10 are not exactly whole in binary, so
// "whole" allows a relative error of a few ulps.
int precisionForStep(double step) noexcept
{
    auto isWhole = [](double v) {
        return std::fabs(v - std::round(v)) <= 1e-9 * std::max(1.0, std::fabs(v));
    };
    if (!std::isfinite(step) || isWhole(step)) {
        return 0;
    }
    double shifted = step;
    for (int precision = 1; precision <= 5; ++precision) {
        shifted *= 10.0;
        if (isWhole(shifted)) {
            return precision;
        }
    }
    return 6;
}

constexpr const char* kNoteNames[12] = {"C ", "C#", "D ", "D#", "E ", "F ", "F#", "G ", "G#", "A ", "A#", "B "};

const char* jsonTypeName(IParam::EParamType type) noexcept
{
    switch (type) {
    case IParam::kParamTypeBool: return "bool";
    case IParam::kParamTypeInt: return "int";
    case IParam::kParamTypeEnum: return "enum";
    case IParam::kParamTypeDouble: return "float";
    default: return nullptr;
    }
}

} // namespace

std::unique_ptr<IParam::Shape> IParam::ShapeLinear::Clone() const
{
    return std::make_unique<ShapeLinear>(*this);
}

double IParam::ShapeLinear::NormalizedToValue(double normalized, const IParam& param) const
{
    return param.GetMin() + normalized * (param.GetMax() - param.GetMin());
}

double IParam::ShapeLinear::ValueToNormalized(double value, const IParam& param) const
{
    return (value - param.GetMin()) / (param.GetMax() - param.GetMin());
}

std::unique_ptr<IParam::Shape> IParam::ShapePowCurve::Clone() const
{
    return std::make_unique<ShapePowCurve>(*this);
}

IParam::EDisplayType IParam::ShapePowCurve::GetDisplayType() const
{
    if (mShape > 2.5) {
        return kParamDisplayCubeRoot;
    }
    if (mShape > 1.5) {
        return kParamDisplaySquareRoot;
    }
    if (mShape < (2.0 / 5.0)) {
        return kParamDisplayCubed;
    }
    if (mShape < (2.0 / 3.0)) {
        return kParamDisplaySquared;
    }
    return kParamDisplayLinear;
}

double IParam::ShapePowCurve::NormalizedToValue(double normalized, const IParam& param) const
{
    return param.GetMin() + (param.GetMax() - param.GetMin()) * std::pow(normalized, mShape);
}

double IParam::ShapePowCurve::ValueToNormalized(double value, const IParam& param) const
{
    return std::pow((value - param.GetMin()) / (param.GetMax() - param.GetMin()), 1.0 / mShape);
}

std::unique_ptr<IParam::Shape> IParam::ShapeExp::Clone() const
{
    return std::make_unique<ShapeExp>(*this);
}

void IParam::ShapeExp::Init(const IParam& param)
{
    const double minimum = param.GetMin() > 0.0 ? param.GetMin() : 1e-8;
    mAdd = std::log(minimum);
    mMul = std::log(param.GetMax() / minimum);
}

double IParam::ShapeExp::NormalizedToValue(double normalized, const IParam&) const
{
    return std::exp(normalized * mMul + mAdd);
}

double IParam::ShapeExp::ValueToNormalized(double value, const IParam&) const
{
    return (std::log(value) - mAdd) / mMul;
}

IParam::IParam() : mShape(std::make_unique<ShapeLinear>()) {}

IParam::~IParam() = default;

void IParam::InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                        const char* label, int flags, const char* group, const Shape& shape, EParamUnit unit,
                        DisplayFunc displayFunc)
{
    if (mType == kParamTypeNone) {
        mType = kParamTypeDouble;
    }
    copyField(mName, sizeof(mName), name);
    copyField(mLabel, sizeof(mLabel), label);
    copyField(mParamGroup, sizeof(mParamGroup), group);
    mMin = minVal;
    mMax = std::max(maxVal, minVal + step);
    mStep = step;
    mDefault = defaultVal;
    mUnit = unit;
    mFlags = flags;
    mDisplayFunction = std::move(displayFunc);
    mValue.exchange(Constrain(defaultVal));
    mDisplayPrecision = precisionForStep(step);
    mShape = shape.Clone();
    mShape->Init(*this);
}

void IParam::InitBool(const char* name, bool defaultValue, const char* label, int flags, const char* group,
                      const char* offText, const char* onText)
{
    if (mType == kParamTypeNone) {
        mType = kParamTypeBool;
    }
    InitEnum(name, defaultValue ? 1 : 0, 2, label, flags | kParamFlagStepped, group);
    SetDisplayText(0.0, offText);
    SetDisplayText(1.0, onText);
}

void IParam::InitInt(const char* name, int defaultValue, int minVal, int maxVal, const char* label, int flags,
                     const char* group)
{
    if (mType == kParamTypeNone) {
        mType = kParamTypeInt;
    }
    InitDouble(name, defaultValue, minVal, maxVal, 1.0, label, flags | kParamFlagStepped, group);
}

void IParam::InitEnum(const char* name, int defaultValue, int count, const char* label, int flags,
                      const char* group, const char* listItems, ...)
{
    if (mType == kParamTypeNone) {
        mType = kParamTypeEnum;
    }
    InitInt(name, defaultValue, 0, count - 1, label, flags | kParamFlagStepped, group);
    if (listItems && count > 0) {
        SetDisplayText(0.0, listItems);
        va_list args;
        va_start(args, listItems);
        for (int i = 1; i < count; ++i) {
            SetDisplayText(static_cast<double>(i), va_arg(args, const char*));
        }
        va_end(args);
    }
}

void IParam::InitEnum(const char* name, int defaultValue, std::initializer_list<const char*> listItems, int flags,
                      const char* group)
{
    if (mType == kParamTypeNone) {
        mType = kParamTypeEnum;
    }
    InitInt(name, defaultValue, 0, static_cast<int>(listItems.size()) - 1, "", flags | kParamFlagStepped, group);
    int i = 0;
    for (const char* text : listItems) {
        SetDisplayText(static_cast<double>(i++), text);
    }
}

void IParam::InitSeconds(const char* name, double defaultVal, double minVal, double maxVal, double step, int flags,
                         const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, step, "Seconds", flags, group, ShapeLinear(), kParamUnitSeconds);
}

void IParam::InitMilliseconds(const char* name, double defaultVal, double minVal, double maxVal, int flags,
                              const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, 1.0, "ms", flags, group, ShapeLinear(), kParamUnitMilliseconds);
}

void IParam::InitFrequency(const char* name, double defaultVal, double minVal, double maxVal, double step,
                           int flags, const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, step, "Hz", flags, group, ShapeExp(), kParamUnitFrequency);
}

void IParam::InitGain(const char* name, double defaultVal, double minVal, double maxVal, double step, int flags,
                      const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, step, "dB", flags, group, ShapeLinear(), kParamUnitDB);
}

void IParam::InitPercentage(const char* name, double defaultVal, double minVal, double maxVal, int flags,
                            const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, 1.0, "%", flags, group, ShapeLinear(), kParamUnitPercentage);
}

void IParam::InitAngleDegrees(const char* name, double defaultVal, double minVal, double maxVal, int flags,
                              const char* group)
{
    InitDouble(name, defaultVal, minVal, maxVal, 1.0, "degrees", flags, group, ShapeLinear(), kParamUnitDegrees);
}

void IParam::InitPitch(const char* name, int defaultVal, int minVal, int maxVal, int flags, const char* group,
                       bool middleCisC4)
{
    InitEnum(name, defaultVal, (maxVal - minVal) + 1, "", flags, group);
    const int octaveOffset = middleCisC4 ? 1 : 2;
    for (int i = 0; i <= maxVal - minVal; ++i) {
        const int note = minVal + i;
        // Floor division keeps negative note numbers on the right name and octave.
        const int octave = (note >= 0 ? note / 12 : -((11 - note) / 12));
        const int pitchClass = note - octave * 12;
        TextBuf text;
        text.SetFormatted(kMaxTextLength, "%s%i", kNoteNames[pitchClass], octave - octaveOffset);
        SetDisplayText(static_cast<double>(i), text.Get());
    }
}

void IParam::Init(const IParam& source, const char* searchStr, const char* replaceStr, const char* newGroup)
{
    if (mType == kParamTypeNone) {
        mType = source.Type();
    }
    std::string name = source.GetName();
    if (searchStr && searchStr[0] != '\0') {
        const std::size_t at = name.find(searchStr);
        if (at != std::string::npos) {
            name.replace(at, std::strlen(searchStr), replaceStr ? replaceStr : "");
        }
    }
    const char* group = (newGroup && newGroup[0] != '\0') ? newGroup : source.GetGroup();
    // Copied before InitDouble because source may be this parameter itself.
    const std::string sourceGroup = group;
    const std::string sourceLabel = source.mLabel;
    const std::unique_ptr<Shape> sourceShape = source.mShape->Clone();
    std::vector<DisplayText> texts(source.mDisplayTexts.Get(), source.mDisplayTexts.Get() + source.NDisplayTexts());
    InitDouble(name.c_str(), source.mDefault, source.mMin, source.mMax, source.mStep, sourceLabel.c_str(),
               source.mFlags, sourceGroup.c_str(), *sourceShape, source.mUnit, source.mDisplayFunction);
    for (const DisplayText& entry : texts) {
        SetDisplayText(entry.mValue, entry.mText);
    }
}

double IParam::Constrain(double value) const noexcept
{
    double v = value;
    if ((mFlags & kParamFlagStepped) && mStep != 0.0) {
        v = std::round(v / mStep) * mStep;
    }
    return std::min(mMax, std::max(mMin, v));
}

void IParam::Set(double value) noexcept
{
    mValue.exchange(Constrain(value));
}

void IParam::SetToDefault() noexcept
{
    mValue.exchange(mDefault);
}

double IParam::FromNormalized(double normalized) const noexcept
{
    return Constrain(mShape->NormalizedToValue(normalized, *this));
}

double IParam::ToNormalized(double value) const noexcept
{
    const double normalized = mShape->ValueToNormalized(Constrain(value), *this);
    if (std::isnan(normalized)) {
        return 0.0;
    }
    return std::clamp(normalized, 0.0, 1.0);
}

void IParam::SetRandom() noexcept
{
    const float r = static_cast<float>(std::rand()) * 0x1p-31f;
    SetNormalized(static_cast<double>(r));
}

const char* IParam::GetLabel() const noexcept
{
    const char* text = GetDisplayText(std::trunc(Value()));
    return (text[0] != '\0') ? "" : mLabel;
}

void IParam::SetDisplayText(double value, const char* text)
{
    DisplayText entry{};
    entry.mValue = value;
    copyField(entry.mText, sizeof(entry.mText), text);
    (void)mDisplayTexts.Add(entry);
}

const char* IParam::GetDisplayText(double value) const noexcept
{
    const DisplayText* texts = mDisplayTexts.Get();
    for (int i = 0; i < NDisplayTexts(); ++i) {
        if (texts[i].mValue == value) {
            return texts[i].mText;
        }
    }
    return "";
}

const char* IParam::GetDisplayTextAtIdx(int index, double* value) const noexcept
{
    const DisplayText* entry = mDisplayTexts.GetAt(index);
    if (!entry) {
        return "";
    }
    if (value) {
        *value = entry->mValue;
    }
    return entry->mText;
}

bool IParam::MapDisplayText(const char* text, double* value) const noexcept
{
    if (!text) {
        return false;
    }
    const DisplayText* texts = mDisplayTexts.Get();
    for (int i = 0; i < NDisplayTexts(); ++i) {
        if (std::strcmp(texts[i].mText, text) == 0) {
            if (value) {
                *value = texts[i].mValue;
            }
            return true;
        }
    }
    return false;
}

void IParam::GetDisplay(double value, bool normalized, TextBuf& output, bool withDisplayText) const
{
    if (normalized) {
        value = FromNormalized(value);
    }
    if (mDisplayFunction) {
        mDisplayFunction(value, output);
        return;
    }
    if (withDisplayText) {
        const char* text = GetDisplayText(value);
        if (text[0] != '\0') {
            output.Set(text, kMaxDisplayLength);
            return;
        }
    }
    double displayValue = value;
    if (GetNegateDisplay()) {
        displayValue = -displayValue;
    }
    if (displayValue == 0.0) {
        displayValue = 0.0; // no "-0"
    }
    if (mDisplayPrecision == 0) {
        // Halves round away from zero; out-of-range values saturate instead of
        // overflowing the integer conversion.
        double rounded = std::isnan(displayValue) ? 0.0 : std::round(displayValue);
        rounded = std::clamp(rounded, -9.0e18, 9.0e18);
        output.SetFormatted(kMaxDisplayLength, "%lld", static_cast<long long>(rounded));
    } else if (GetSignDisplay() && displayValue != 0.0) {
        char format[16];
        std::snprintf(format, sizeof(format), "%%+.%df", mDisplayPrecision);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        output.SetFormatted(kMaxDisplayLength, format, displayValue);
#pragma GCC diagnostic pop
    } else {
        output.SetFormatted(kMaxDisplayLength, "%.*f", mDisplayPrecision, displayValue);
    }
}

double IParam::StringToValue(const char* text) const
{
    double mapped = 0.0;
    if (MapDisplayText(text, &mapped)) {
        return mapped;
    }
    if (mType == kParamTypeBool || mType == kParamTypeEnum) {
        return 0.0;
    }
    double value = text ? std::strtod(text, nullptr) : 0.0;
    if (GetNegateDisplay()) {
        value = -value;
    }
    return Constrain(value);
}

void IParam::GetJSON(TextBuf& output, int index) const
{
    output.AppendFormatted(kMaxJSONPieceLength, "{");
    output.AppendFormatted(kMaxJSONPieceLength, "\"id\":%i, ", index);
    output.AppendFormatted(kMaxJSONPieceLength, "\"name\":\"%s\", ", GetName());
    if (const char* typeName = jsonTypeName(mType)) {
        output.AppendFormatted(kMaxJSONPieceLength, "\"type\":\"%s\", ", typeName);
    }
    output.AppendFormatted(kMaxJSONPieceLength, "\"min\":%f, ", GetMin());
    output.AppendFormatted(kMaxJSONPieceLength, "\"max\":%f, ", GetMax());
    output.AppendFormatted(kMaxJSONPieceLength, "\"default\":%f, ", GetDefault());
    output.AppendFormatted(kMaxJSONPieceLength, "\"rate\":\"control\"");
    output.AppendFormatted(kMaxJSONPieceLength, "}");
}

} // namespace plugfw
