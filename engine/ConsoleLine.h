// engine: the engine's console lines, through the delegate, which may pass
// them on to its host's log.
#pragma once

#include "framework/IEditorDelegate.h"

namespace qir {

// Any thread but the audio thread: one line, format holding one %s for text,
// to delegate (borrowed), or to the standard output when it is null. Text
// longer than the line is cut rather than allocated for.
void WriteConsoleLine(plugfw::IEditorDelegate* delegate, const char* format, const char* text) noexcept;

} // namespace qir
