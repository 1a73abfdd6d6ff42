// cli: one render of qir-render, from checked options to a finished OUTPUT:
// open the field source, check the decoder set, host the plug-in, place the
// events, render with the alignment compensated, write and rename the output
// and print the summary.
#pragma once

#include "cli/RenderOptions.h"

namespace qircli {

// Exit codes of qir-render.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the render of options.mInput to options.mOutput (see PlanRenders);
// every message, the summary included, goes to standard error. Returns the
// exit code.
[[nodiscard]] int RunRender(const RenderOptions& options);

} // namespace qircli
