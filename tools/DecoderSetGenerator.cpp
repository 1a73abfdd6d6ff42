// tools: the decoder-set generator command.
#include "tools/DecoderSetGenerator.h"

#include "tools/AnechoicDesigner.h"
#include "tools/DecoderSet.h"
#include "tools/HrtfSet.h"
#include "tools/RoomDesigner.h"
#include "tools/UhjDesigner.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <memory>
#include <ostream>
#include <set>
#include <stdexcept>

namespace qirtools {

namespace {

constexpr int kMaxOrder = 7;

void printUsage(std::ostream& out, const std::string& defaultOutput)
{
    out << "usage: qir-make-decoder-sets [--output DIR] [--sofa PATH] [--if-missing] [--only NAME]...\n"
           "  --output DIR   folder for the decoder sets (default " << defaultOutput << ")\n"
           "  --sofa PATH    HRTF set to fit (default " << kDefaultSofaPath << ")\n"
           "  --if-missing   keep the sets that already exist, write only the missing ones\n"
           "  --only NAME    write only this file (may be repeated), e.g. 3OA-decoder-room.wav\n";
}

} // namespace

std::vector<std::string> allDecoderSetFileNames()
{
    std::vector<std::string> names;
    for (int order = 1; order <= kMaxOrder; ++order)
        names.push_back(decoderSetFileName(DecoderKind::Anechoic, order));
    for (int order = 1; order <= kMaxOrder; ++order)
        names.push_back(decoderSetFileName(DecoderKind::Room, order));
    names.push_back(decoderSetFileName(DecoderKind::Uhj, 1));
    return names;
}

int runDecoderSetGenerator(const std::vector<std::string>& arguments, const std::string& defaultOutput,
                           std::ostream& out, std::ostream& err)
{
    namespace fs = std::filesystem;
    std::string outputDir = defaultOutput;
    std::string sofaPath = kDefaultSofaPath;
    bool ifMissing = false;
    std::set<std::string> only;
    const std::vector<std::string> known = allDecoderSetFileNames();

    for (size_t a = 0; a < arguments.size(); ++a) {
        const std::string& argument = arguments[a];
        auto value = [&](std::string& target) {
            if (a + 1 >= arguments.size()) {
                err << "qir-make-decoder-sets: " << argument << " needs a value\n";
                return false;
            }
            target = arguments[++a];
            return true;
        };
        if (argument == "--output") {
            if (!value(outputDir))
                return 2;
        } else if (argument == "--sofa") {
            if (!value(sofaPath))
                return 2;
        } else if (argument == "--if-missing") {
            ifMissing = true;
        } else if (argument == "--only") {
            std::string name;
            if (!value(name))
                return 2;
            if (std::find(known.begin(), known.end(), name) == known.end()) {
                err << "qir-make-decoder-sets: unknown decoder set \"" << name << "\"; the names are:";
                for (const auto& k : known)
                    err << ' ' << k;
                err << '\n';
                return 2;
            }
            only.insert(name);
        } else if (argument == "--help" || argument == "-h") {
            printUsage(out, defaultOutput);
            return 0;
        } else {
            err << "qir-make-decoder-sets: unknown option " << argument << '\n';
            printUsage(err, defaultOutput);
            return 2;
        }
    }
    if (outputDir.empty()) {
        err << "qir-make-decoder-sets: empty output folder\n";
        return 2;
    }

    // The files to write: the requested ones, less those that exist when --if-missing.
    std::set<std::string> wanted;
    for (const auto& name : known) {
        if (!only.empty() && only.count(name) == 0)
            continue;
        std::error_code status;
        if (ifMissing && fs::exists(fs::path(outputDir) / name, status))
            continue;
        wanted.insert(name);
    }
    if (wanted.empty()) {
        out << "qir-make-decoder-sets: all decoder sets present in " << outputDir << '\n';
        return 0;
    }

    const auto started = std::chrono::steady_clock::now();
    try {
        std::error_code created;
        fs::create_directories(outputDir, created);
        if (created)
            throw std::runtime_error("cannot create the folder " + outputDir + ": " + created.message());

        auto write = [&](const DecoderSet& set, const std::string& name) {
            const auto begin = std::chrono::steady_clock::now();
            writeDecoderSet(set, (fs::path(outputDir) / name).string());
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            out << "  wrote " << name << " (" << set.numInputs << " inputs, " << std::fixed << std::setprecision(2) << seconds << " s to write)\n";
        };

        bool needHrtf = false;
        for (const auto& name : wanted)
            needHrtf = needHrtf || name != decoderSetFileName(DecoderKind::Uhj, 1);
        if (needHrtf) {
            out << "qir-make-decoder-sets: fitting " << sofaPath << '\n';
            const HrtfSet hrtf = HrtfSet::load(sofaPath, kDecoderSetSampleRate);
            const AnechoicDesigner anechoic(hrtf);
            std::unique_ptr<RoomDesigner> room;
            for (int order = 1; order <= kMaxOrder; ++order) {
                const std::string anechoicName = decoderSetFileName(DecoderKind::Anechoic, order);
                const std::string roomName = decoderSetFileName(DecoderKind::Room, order);
                const bool wantAnechoic = wanted.count(anechoicName) != 0;
                const bool wantRoom = wanted.count(roomName) != 0;
                if (!wantAnechoic && !wantRoom)
                    continue;
                const DecoderSet direct = anechoic.design(order);
                if (wantAnechoic)
                    write(direct, anechoicName);
                if (wantRoom) {
                    if (!room)
                        room = std::make_unique<RoomDesigner>(anechoic);
                    write(room->design(order, direct), roomName);
                }
            }
        }
        const std::string uhjName = decoderSetFileName(DecoderKind::Uhj, 1);
        if (wanted.count(uhjName) != 0)
            write(designUhjDecoderSet(designUhjAllPassPair()), uhjName);
    } catch (const std::exception& e) {
        err << "qir-make-decoder-sets: " << e.what() << '\n';
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out << "qir-make-decoder-sets: " << wanted.size() << " decoder set(s) in " << outputDir << " (" << std::fixed << std::setprecision(1) << seconds << " s)\n";
    return 0;
}

} // namespace qirtools
