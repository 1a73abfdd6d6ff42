// cli: one render of qir-render, from checked options to a finished OUTPUT, in
// phases that each fill in their part of one plan: resolve the input (the
// file or the demo scene, and its conventions), prepare the decoder set, load
// the orientation, start the plug-in as a host does, build the events, render
// with the alignment compensated (the output written and renamed), and finish
// with the levels and the summary.
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
