// cli: ASCII case folding for the command line's names (options' choices,
// parameter names and texts, file extensions). Bytes outside A-Z pass
// unchanged, whatever the locale.
#pragma once

#include <string>

namespace qircli {

[[nodiscard]] inline std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace qircli
