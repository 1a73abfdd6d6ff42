// tools: the decoder-set generator and its command.
#include "tools/DecoderSetGenerator.h"

#include "tools/AnechoicDesigner.h"
#include "tools/DecoderSet.h"
#include "tools/DiffuseFieldLevel.h"
#include "tools/HrtfSet.h"
#include "tools/RoomDesigner.h"
#include "tools/UhjDesigner.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iterator>
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
           "Writes the fifteen decoder sets, and the UHJ set made for each other common rate\n"
           "(AMBIX_2_UHJ-<rate>.wav, 22050 to 192000 Hz).\n"
           "  --output DIR   folder for the decoder sets (default " << defaultOutput << ")\n"
           "  --sofa PATH    HRTF set to fit (default " << kDefaultSofaPath << ")\n"
           "  --if-missing   keep the sets that exist and were made by this generator version;\n"
           "                 write the missing and the outdated ones\n"
           "  --only NAME    write only this file (may be repeated), e.g. 3OA-decoder-room.wav\n"
           "                 or AMBIX_2_UHJ-44100.wav\n";
}

} // namespace

std::vector<std::string> allDecoderSetFileNames()
{
    std::vector<std::string> names;
    for (int order = 1; order <= kMaxOrder; ++order)
        names.push_back(decoderSetFileName(DecoderKind::Anechoic, order));
    for (int order = 1; order <= kMaxOrder; ++order)
        names.push_back(decoderSetFileName(DecoderKind::Room, order));
    for (int rate : uhjSampleRates())
        names.push_back(decoderSetFileName(DecoderKind::Uhj, 1, rate));
    return names;
}

std::vector<int> uhjSampleRates()
{
    std::vector<int> rates {static_cast<int>(kDecoderSetSampleRate)};
    rates.insert(rates.end(), std::begin(kUhjSampleRates), std::end(kUhjSampleRates));
    return rates;
}

bool decoderSetNeedsHrtf(const std::string& name)
{
    for (int rate : uhjSampleRates())
        if (name == decoderSetFileName(DecoderKind::Uhj, 1, rate))
            return false;
    return true;
}

void writeDecoderSets(const HrtfSet* hrtf, const std::string& folder, const std::set<std::string>& names,
                      const std::function<void(const std::string&)>& progress)
{
    namespace fs = std::filesystem;
    const std::vector<std::string> known = allDecoderSetFileNames();
    for (const auto& name : names)
        if (std::find(known.begin(), known.end(), name) == known.end())
            throw std::runtime_error("no decoder set is named \"" + name + "\"");
    std::error_code created;
    fs::create_directories(folder, created);
    if (created)
        throw std::runtime_error("cannot create the folder " + folder + ": " + created.message());

    // Every set is scaled to the common diffuse-field level on its own; the room design
    // takes the unscaled anechoic set of its order as its direct sound and is scaled as a whole.
    auto write = [&](DecoderSet set, const std::string& name) {
        matchDiffuseFieldLevel(set);
        writeDecoderSet(set, (fs::path(folder) / name).string());
        progress("wrote " + name + " (" + std::to_string(set.numInputs) + " inputs)");
    };

    if (std::any_of(names.begin(), names.end(), decoderSetNeedsHrtf)) {
        if (hrtf == nullptr)
            throw std::runtime_error("the binaural decoder sets need an HRTF set");
        progress("preparing " + std::to_string(hrtf->numDirections()) + " measured directions");
        const AnechoicDesigner anechoic(*hrtf);
        std::unique_ptr<RoomDesigner> room;
        for (int order = 1; order <= kMaxOrder; ++order) {
            const std::string anechoicName = decoderSetFileName(DecoderKind::Anechoic, order);
            const std::string roomName = decoderSetFileName(DecoderKind::Room, order);
            const bool wantAnechoic = names.count(anechoicName) != 0;
            const bool wantRoom = names.count(roomName) != 0;
            if (!wantAnechoic && !wantRoom)
                continue;
            progress("fitting the order-" + std::to_string(order) + " decoder");
            const DecoderSet direct = anechoic.design(order);
            if (wantAnechoic)
                write(direct, anechoicName);
            if (wantRoom) {
                if (!room) {
                    progress("rendering the room for " + std::to_string(RoomParameters {}.numSpeakers) + " virtual loudspeakers");
                    room = std::make_unique<RoomDesigner>(anechoic);
                }
                write(room->design(order, direct), roomName);
            }
        }
    }
    // The UHJ set, designed anew at each rate it is made for: resampled from 48 kHz it would
    // lose its first samples' share of the band.
    for (int rate : uhjSampleRates()) {
        const std::string uhjName = decoderSetFileName(DecoderKind::Uhj, 1, rate);
        if (names.count(uhjName) != 0)
            write(designUhjDecoderSet(designUhjAllPassPair(rate)), uhjName);
    }
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

    // The files to write: the requested ones, less those that exist when --if-missing and
    // were made by this version of the generator.
    std::set<std::string> wanted;
    int outdated = 0;
    for (const auto& name : known) {
        if (!only.empty() && only.count(name) == 0)
            continue;
        const fs::path path = fs::path(outputDir) / name;
        std::error_code status;
        if (ifMissing && fs::exists(path, status)) {
            if (decoderSetGeneratorVersion(path.string()) == kDecoderSetGeneratorVersion)
                continue;
            ++outdated;
        }
        wanted.insert(name);
    }
    if (wanted.empty()) {
        out << "qir-make-decoder-sets: all decoder sets present in " << outputDir << '\n';
        return 0;
    }
    if (outdated > 0)
        out << "qir-make-decoder-sets: " << outdated << " decoder set(s) in " << outputDir << " made by another generator version; making them again\n";

    const auto started = std::chrono::steady_clock::now();
    try {
        std::unique_ptr<HrtfSet> hrtf;
        if (std::any_of(wanted.begin(), wanted.end(), decoderSetNeedsHrtf)) {
            out << "qir-make-decoder-sets: fitting " << sofaPath << '\n';
            hrtf = std::make_unique<HrtfSet>(HrtfSet::load(sofaPath, kDecoderSetSampleRate));
        }
        writeDecoderSets(hrtf.get(), outputDir, wanted, [&](const std::string& line) { out << "  " << line << '\n'; });
    } catch (const std::exception& e) {
        err << "qir-make-decoder-sets: " << e.what() << '\n';
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    out << "qir-make-decoder-sets: " << wanted.size() << " decoder set(s) in " << outputDir << " (" << std::fixed << std::setprecision(1) << seconds << " s)\n";
    return 0;
}

} // namespace qirtools
