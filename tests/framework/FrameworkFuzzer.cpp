// tests/framework: libFuzzer target for everything the framework reads from
// hosts and users: state chunks, preset lists, program and bank files. The
// first byte picks the reader and the plug-in's options; the rest is the input.
#include "tests/framework/DecoderLikeCore.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

const std::string& scratchPath()
{
    static const std::string path = "/tmp/framework_fuzzer_" + std::to_string(::getpid()) + ".bin";
    return path;
}

bool writeScratch(const uint8_t* data, std::size_t size)
{
    std::FILE* f = std::fopen(scratchPath().c_str(), "wb");
    if (!f) {
        return false;
    }
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const uint8_t mode = data[0];
    const int startPos = static_cast<int8_t>(data[1]);
    const uint8_t* payload = data + 2;
    const std::size_t payloadSize = size - 2;

    const bool stateChunks = (mode & 0x04) != 0;
    const int nPresets = (mode & 0x08) ? 4 : 1;
    frameworktest::DecoderLikeCore core(13, nPresets, stateChunks);
    if (mode & 0x10) {
        core.MakeDefaultPreset("Seeded");
    }

    plugfw::IByteChunk chunk;
    chunk.PutBytes(payload, static_cast<int>(payloadSize));

    switch (mode & 0x03) {
    case 0: (void)core.UnserializeParams(chunk, startPos); break;
    case 1: (void)core.UnserializePresets(chunk, startPos); break;
    case 2:
        if (writeScratch(payload, payloadSize)) {
            (void)core.LoadPresetFromFXP(scratchPath().c_str());
            std::remove(scratchPath().c_str());
        }
        break;
    default:
        if (writeScratch(payload, payloadSize)) {
            (void)core.LoadBankFromFXB(scratchPath().c_str());
            std::remove(scratchPath().c_str());
        }
        break;
    }

    // Whatever was read, the plug-in must still describe itself consistently.
    plugfw::IByteChunk state;
    (void)core.SerializeState(state);
    plugfw::IByteChunk presets;
    (void)core.SerializePresets(presets);
    plugfw::IByteChunk program;
    (void)core.MakeFXP(program);
    for (int i = 0; i < core.NParams(); ++i) {
        const double v = core.GetParam(i)->Value();
        if (!(v >= core.GetParam(i)->GetMin() && v <= core.GetParam(i)->GetMax())) {
            __builtin_trap();
        }
    }
    return 0;
}
