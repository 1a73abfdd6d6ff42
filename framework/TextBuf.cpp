// framework: growable text.
#include "framework/TextBuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace plugfw {
namespace {

std::string formatLimited(int maxLength, const char* format, va_list args)
{
    if (!format || maxLength == 0) {
        return {};
    }
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    std::size_t length = static_cast<std::size_t>(needed);
    if (maxLength > 0 && length > static_cast<std::size_t>(maxLength)) {
        length = static_cast<std::size_t>(maxLength);
    }
    return std::string(buffer.data(), length);
}

} // namespace

void TextBuf::Set(const char* text, int maxLength)
{
    mText.clear();
    Append(text, maxLength);
}

void TextBuf::Append(const char* text, int maxLength)
{
    if (!text) {
        return;
    }
    std::size_t length = std::strlen(text);
    if (maxLength >= 0 && length > static_cast<std::size_t>(maxLength)) {
        length = static_cast<std::size_t>(maxLength);
    }
    mText.append(text, length);
}

void TextBuf::SetFormatted(int maxLength, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    mText = formatLimited(maxLength, format, args);
    va_end(args);
}

void TextBuf::AppendFormatted(int maxLength, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    mText += formatLimited(maxLength, format, args);
    va_end(args);
}

} // namespace plugfw
