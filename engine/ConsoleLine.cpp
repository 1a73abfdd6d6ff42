// engine: the engine's console lines.
#include "engine/ConsoleLine.h"

#include <cstdio>

namespace qir {

void WriteConsoleLine(plugfw::IEditorDelegate* delegate, const char* format, const char* text) noexcept
{
    // Paths longer than the line are cut rather than allocated for.
    char line[4608];
    std::snprintf(line, sizeof line, format, text);
    if (delegate != nullptr) {
        delegate->WriteConsoleLine(line);
    } else {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

} // namespace qir
