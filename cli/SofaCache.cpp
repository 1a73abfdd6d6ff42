// cli: the cache of decoder sets fitted to SOFA files.
#include "cli/SofaCache.h"

#include "engine/platform/ResourceDirectory.h"

#ifdef QIR_HAVE_SOFA
#include "tools/DecoderSet.h"
#include "tools/DecoderSetGenerator.h"
#include "tools/HrtfSet.h"
#endif

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

// SHA-256 (FIPS 180-4) over a stream of bytes: the cache key must not collide for two
// different HRTF sets.
class Sha256 {
public:
    void Update(const unsigned char* data, std::size_t size)
    {
        for (std::size_t i = 0; i < size; ++i) {
            mBlock[mBlockSize++] = data[i];
            if (mBlockSize == 64) {
                Compress();
                mBlockSize = 0;
            }
        }
        mLength += size;
    }

    std::string HexDigest()
    {
        const std::uint64_t bits = mLength * 8;
        const unsigned char pad = 0x80;
        Update(&pad, 1);
        const unsigned char zero = 0;
        while (mBlockSize != 56) {
            Update(&zero, 1);
        }
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) {
            length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
        }
        Update(length, 8);
        std::string hex;
        for (std::uint32_t word : mState) {
            char text[9];
            std::snprintf(text, sizeof text, "%08x", word);
            hex += text;
        }
        return hex;
    }

private:
    static std::uint32_t Rotate(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void Compress()
    {
        static constexpr std::uint32_t kRound[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = static_cast<std::uint32_t>(mBlock[4 * i]) << 24 | static_cast<std::uint32_t>(mBlock[4 * i + 1]) << 16 |
                   static_cast<std::uint32_t>(mBlock[4 * i + 2]) << 8 | static_cast<std::uint32_t>(mBlock[4 * i + 3]);
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::array<std::uint32_t, 8> v = mState;
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = Rotate(v[4], 6) ^ Rotate(v[4], 11) ^ Rotate(v[4], 25);
            const std::uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
            const std::uint32_t t1 = v[7] + s1 + choice + kRound[i] + w[i];
            const std::uint32_t s0 = Rotate(v[0], 2) ^ Rotate(v[0], 13) ^ Rotate(v[0], 22);
            const std::uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
            const std::uint32_t t2 = s0 + majority;
            v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
        }
        for (int i = 0; i < 8; ++i) {
            mState[static_cast<std::size_t>(i)] += v[static_cast<std::size_t>(i)];
        }
    }

    std::array<std::uint32_t, 8> mState{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    unsigned char mBlock[64] = {};
    std::size_t mBlockSize = 0;
    std::uint64_t mLength = 0;
};

// The hash of the file's bytes, or false with error set.
bool HashFile(const std::string& path, std::string& hex, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the SOFA file " + path + ": " + std::strerror(errno);
        return false;
    }
    Sha256 hash;
    std::vector<char> chunk(1 << 16);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        hash.Update(reinterpret_cast<const unsigned char*>(chunk.data()), static_cast<std::size_t>(file.gcount()));
    }
    if (file.bad()) {
        error = "cannot read the SOFA file " + path + ": a read error";
        return false;
    }
    hex = hash.HexDigest();
    return true;
}

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
