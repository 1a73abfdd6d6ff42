// cli: the cache of decoder sets fitted to SOFA files.
#include "cli/SofaCache.h"

#include "engine/platform/ResourceDirectory.h"

#ifdef QIR_HAVE_SOFA
#include "tools/DecoderSet.h"
#include "tools/DecoderSetGenerator.h"
#include "tools/HrtfSet.h"
#endif

#include <nettle/sha2.h>
#include <signal.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <vector>

namespace qircli {

namespace {

namespace fs = std::filesystem;

constexpr const char* kCacheName = "qir-matrix-decoder";

// Temporary files (".NAME.partial-PID") that a render ended by a signal left behind, when
// that process is gone.
void RemoveAbandonedPartials(const fs::path& folder)
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const auto at = name.rfind(".partial-");
        if (name.empty() || name[0] != '.' || at == std::string::npos) {
            continue;
        }
        const long pid = std::strtol(name.c_str() + at + 9, nullptr, 10);
        if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            fs::remove(entry.path(), ec);
        }
    }
}

void Progress(bool show, const std::string& line)
{
    if (show) {
        std::fprintf(stderr, "qir-render: %s\n", line.c_str());
        std::fflush(stderr);
    }
}

} // namespace

bool HashFile(const std::string& path, std::string& hex, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the SOFA file " + path + ": " + std::strerror(errno);
        return false;
    }
    sha256_ctx hash;
    sha256_init(&hash);
    std::vector<char> chunk(1 << 16);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        sha256_update(&hash, static_cast<std::size_t>(file.gcount()), reinterpret_cast<const std::uint8_t*>(chunk.data()));
    }
    if (file.bad()) {
        error = "cannot read the SOFA file " + path + ": a read error";
        return false;
    }
    std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
    sha256_digest(&hash, digest.size(), digest.data());
    hex.clear();
    for (const std::uint8_t byte : digest) {
        char text[3];
        std::snprintf(text, sizeof text, "%02x", byte);
        hex += text;
    }
    return true;
}

std::string SofaCacheFolder(std::string& error)
{
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
        return (fs::path(xdg) / kCacheName).string();
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return (fs::path(home) / ".cache" / kCacheName).string();
    }
    error = "no folder for the HRTF cache: set XDG_CACHE_HOME or HOME to an absolute path";
    return {};
}

#ifdef QIR_HAVE_SOFA

bool PrepareSofaDecoderSet(const std::string& sofaPath, const std::string& setFileName, bool showProgress,
                           std::string& folder, std::string& error)
{
    try {
        qirtools::HrtfSet::checkSofaFile(sofaPath);
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    // The UHJ sets use no HRTF: the regular folder's serve, with the sets it holds
    // for each common rate, and the cache stays as it is.
    if (!qirtools::decoderSetNeedsHrtf(setFileName)) {
        folder = qir::platform::GetResourceDirectory();
        Progress(showProgress, setFileName + " uses no HRTF set: decoding with the one in " + folder);
        return true;
    }
    std::string hash;
    if (!HashFile(sofaPath, hash, error)) {
        return false;
    }
    const std::string root = SofaCacheFolder(error);
    if (root.empty()) {
        return false;
    }
    const fs::path sets = fs::path(root) / (hash + "-v" + std::to_string(qirtools::kDecoderSetGeneratorVersion));
    folder = sets.string();
    std::error_code ec;
    if (fs::is_regular_file(sets / setFileName, ec)) {
        Progress(showProgress, "decoder set for " + sofaPath + " from the cache " + folder);
        return true;
    }

    const auto started = std::chrono::steady_clock::now();
    Progress(showProgress, "fitting " + setFileName + " to " + sofaPath + " (first use; kept in " + folder + ")");
    try {
        const qirtools::HrtfSet hrtf = qirtools::HrtfSet::load(sofaPath, qirtools::kDecoderSetSampleRate);
        fs::create_directories(sets, ec);
        if (ec) {
            error = "cannot create the HRTF cache folder " + folder + ": " + ec.message();
            return false;
        }
        RemoveAbandonedPartials(sets);
        qirtools::writeDecoderSets(&hrtf, folder, {setFileName},
                                   [&](const std::string& line) { Progress(showProgress, "  " + line); });
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char done[64];
    std::snprintf(done, sizeof done, "  done in %.1f s", seconds);
    Progress(showProgress, done);
    return true;
}

#else

bool PrepareSofaDecoderSet(const std::string&, const std::string&, bool, std::string&, std::string& error)
{
    error = "--sofa needs the decoder-set generator, which this build of qir-render lacks (libmysofa, libsamplerate "
            "or libsndfile was missing when it was configured)";
    return false;
}

#endif

} // namespace qircli
