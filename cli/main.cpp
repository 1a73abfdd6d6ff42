// cli: qir-render, the command-line ambisonic decoder.
#include "cli/OutputFile.h"
#include "cli/RenderJob.h"
#include "cli/RenderOptions.h"

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
    try {
        return qircli::RunRender(parsed.mOptions);
    } catch (const std::exception& e) {
        // Construction failures (memory) end the render; the output file's
        // destructor has already removed its temporary file.
        std::fprintf(stderr, "qir-render: %s\n", e.what());
        return qircli::kExitFailure;
    }
}
