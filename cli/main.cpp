// cli: qir-render, the command-line ambisonic decoder.
#include "cli/OutputFile.h"
#include "cli/RenderJob.h"
#include "cli/RenderOptions.h"
#include "cli/StandardStreams.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    qircli::OutputFile::InstallInterruptCleanup();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const qircli::ParseResult parsed = qircli::ParseRenderOptions(args);
    if (!parsed.ok()) {
        std::fprintf(stderr, "qir-render: %s\n", parsed.mError.c_str());
        return qircli::kExitUsage;
    }
    if (parsed.mOptions.mHelp) {
        std::fputs(qircli::UsageText().c_str(), stdout);
        return qircli::kExitOk;
    }
    if (parsed.mOptions.mVersion) {
        std::fputs(qircli::VersionText().c_str(), stdout);
        return qircli::kExitOk;
    }
    std::vector<qircli::RenderOptions> renders;
    std::string error;
    if (!qircli::PlanRenders(parsed.mOptions, renders, error)) {
        std::fprintf(stderr, "qir-render: %s\n", error.c_str());
        return qircli::kExitUsage;
    }
    if (!qircli::SeparateAudioFromMessages(parsed.mOptions.mQuiet, error)) {
        std::fprintf(stderr, "qir-render: %s\n", error.c_str());
        return qircli::kExitFailure;
    }
    // Every input is rendered, even after one has failed; the exit code is the
    // most serious of theirs.
    int exitCode = qircli::kExitOk;
    for (const qircli::RenderOptions& render : renders) {
        int code = qircli::kExitFailure;
        try {
            code = qircli::RunRender(render);
        } catch (const std::exception& e) {
            // Construction failures (memory) end the render; the output file's
            // destructor has already removed its temporary file.
            std::fprintf(stderr, "qir-render: %s\n", e.what());
        }
        exitCode = std::max(exitCode, code);
    }
    return exitCode;
}
