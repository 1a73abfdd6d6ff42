// framework: a growable text with formatted set and append, each limited to a
// maximum number of characters so that callers can mirror fixed-size fields.
#pragma once

#include <string>

namespace plugfw {

class TextBuf {
public:
    TextBuf() = default;
    explicit TextBuf(const char* text) { Set(text); }

    // Replaces the text with at most maxLength characters of text (all when
    // maxLength < 0). A null text clears.
    void Set(const char* text, int maxLength = -1);
    // Appends at most maxLength characters of text (all when maxLength < 0).
    void Append(const char* text, int maxLength = -1);

    // printf-style; the formatted result is cut to maxLength characters.
    void SetFormatted(int maxLength, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void AppendFormatted(int maxLength, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void Clear() noexcept { mText.clear(); }

    [[nodiscard]] const char* Get() const noexcept { return mText.c_str(); }
    [[nodiscard]] int GetLength() const noexcept { return static_cast<int>(mText.size()); }
    [[nodiscard]] bool Empty() const noexcept { return mText.empty(); }
    [[nodiscard]] const std::string& Str() const noexcept { return mText; }

private:
    std::string mText;
};

} // namespace plugfw
