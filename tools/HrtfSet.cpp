// tools: SOFA reading and resampling of a measured HRTF set.
#include "tools/HrtfSet.h"

#include "tools/SphereGeometry.h"

#include <mysofa.h>
#include <samplerate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace qirtools {

namespace {

struct SofaDeleter {
    void operator()(MYSOFA_HRTF* hrtf) const { mysofa_free(hrtf); }
};

// Zeros appended before resampling so that the resampler's filter tail is flushed out.
constexpr int kResamplerFlush = 64;
// Rates a measurement may have; anything else is a broken file.
constexpr double kLowestRate = 8000.0;
constexpr double kHighestRate = 384000.0;

bool startsWith(const std::string& bytes, size_t offset, const char* tag, size_t length)
{
    return bytes.size() >= offset + length && bytes.compare(offset, length, tag, length) == 0;
}

// SOFA files are HDF5 files; the HDF5 signature sits at offset 0 or, after a user block,
// at 512, 1024, 2048 ...
bool hasHdf5Signature(std::ifstream& file, std::uintmax_t size)
{
    static const char kSignature[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
    for (std::uintmax_t offset = 0; offset + 8 <= size; offset = offset == 0 ? 512 : offset * 2) {
        char bytes[8] = {};
        file.clear();
        file.seekg(static_cast<std::streamoff>(offset));
        if (!file.read(bytes, 8))
            return false;
        if (std::equal(bytes, bytes + 8, kSignature))
            return true;
    }
    return false;
}

// What a file that is not HDF5 is, judged by its first bytes, for the error message.
std::string notSofaMessage(const std::string& path, const std::string& head)
{
    std::string kind;
    if ((startsWith(head, 0, "RIFF", 4) || startsWith(head, 0, "RIFX", 4) || startsWith(head, 0, "RF64", 4)) && startsWith(head, 8, "WAVE", 4))
        kind = "a WAV audio file";
    else if (startsWith(head, 0, "FORM", 4) && (startsWith(head, 8, "AIFF", 4) || startsWith(head, 8, "AIFC", 4)))
        kind = "an AIFF audio file";
    else if (startsWith(head, 0, "fLaC", 4))
        kind = "a FLAC audio file";
    else if (startsWith(head, 0, "OggS", 4))
        kind = "an Ogg audio file";
    else if (startsWith(head, 0, "CDF", 3))
        kind = "a classic netCDF file (SOFA needs netCDF-4, which is HDF5)";
    if (!kind.empty())
        return "the SOFA file " + path + " is " + kind + ", not a SOFA file (SOFA files are HDF5 files of measured impulse responses)";
    return "the SOFA file " + path + " is not a SOFA file: it is not in the HDF5 format that SOFA files use";
}

// libmysofa's codes from loading and checking a file that is HDF5, as sentences.
std::string sofaErrorMessage(const std::string& path, int code)
{
    const std::string file = "the SOFA file " + path;
    switch (code) {
    case MYSOFA_INVALID_FORMAT:
    case MYSOFA_READ_ERROR:
        return file + " is damaged or truncated: its HDF5 structure cannot be read";
    case MYSOFA_UNSUPPORTED_FORMAT:
        return file + " uses an HDF5 feature that libmysofa cannot read (try saving it again with a SOFA tool)";
    case MYSOFA_NO_MEMORY:
        return file + " is too large to read: out of memory";
    case MYSOFA_INVALID_ATTRIBUTES:
        return file + " is not an HRTF set of the SOFA convention SimpleFreeFieldHRIR (free-field impulse responses of two ears), which is the only one supported";
    case MYSOFA_INVALID_DIMENSIONS:
    case MYSOFA_INVALID_DIMENSION_LIST:
        return file + " has dimensions that do not fit an HRTF set (one listener, two receivers, one emitter, three coordinates per position)";
    case MYSOFA_INVALID_COORDINATE_TYPE:
        return file + " gives its positions in an unknown coordinate type (cartesian or spherical expected)";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED:
        return file + " has an unsupported emitter layout: one emitter with one fixed position is supported";
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED:
        return file + " has its delays in an unsupported layout";
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED:
        return file + " has measurements at different sample rates; all must share one rate";
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED:
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED:
    case MYSOFA_INVALID_RECEIVER_POSITIONS:
        return file + " has an unsupported receiver layout: two receivers (the ears) with fixed cartesian positions are supported";
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED:
        return file + " has an unsupported source layout: one source position per measurement is supported";
    default:
        return file + " cannot be read (libmysofa error " + std::to_string(code) + ")";
    }
}

// Throws a readable message when the file is missing, a folder, empty or not HDF5.
void checkHdf5File(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code status;
    const fs::file_status type = fs::status(path, status);
    if (type.type() == fs::file_type::not_found)
        throw std::runtime_error("the SOFA file " + path + " does not exist");
    if (status)
        throw std::runtime_error("cannot read the SOFA file " + path + ": " + status.message());
    if (type.type() == fs::file_type::directory)
        throw std::runtime_error("the SOFA file " + path + " is a folder, not a file");
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read the SOFA file " + path + ": " + std::strerror(errno));
    std::string head(16, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(file.gcount()));
    if (head.empty())
        throw std::runtime_error("the SOFA file " + path + " is empty");
    std::error_code sizeError;
    const std::uintmax_t size = fs::file_size(path, sizeError);
    if (sizeError || !hasHdf5Signature(file, size))
        throw std::runtime_error(notSofaMessage(path, head));
}

// Opens the file through libmysofa, with a readable message for each way it can fail.
std::unique_ptr<MYSOFA_HRTF, SofaDeleter> openSofa(const std::string& path)
{
    checkHdf5File(path);
    int error = 0;
    std::unique_ptr<MYSOFA_HRTF, SofaDeleter> sofa(mysofa_load(path.c_str(), &error));
    if (!sofa || error != MYSOFA_OK)
        throw std::runtime_error(sofaErrorMessage(path, error != MYSOFA_OK ? error : MYSOFA_INTERNAL_ERROR));
    if (const int check = mysofa_check(sofa.get()); check != MYSOFA_OK)
        throw std::runtime_error(sofaErrorMessage(path, check));
    return sofa;
}

} // namespace

void HrtfSet::checkSofaFile(const std::string& sofaPath)
{
    checkHdf5File(sofaPath);
}

HrtfSet HrtfSet::load(const std::string& sofaPath, double sampleRate)
{
    const std::unique_ptr<MYSOFA_HRTF, SofaDeleter> sofa = openSofa(sofaPath);
    if (sofa->R != 2)
        throw std::runtime_error("the SOFA file " + sofaPath + " has " + std::to_string(sofa->R) + " receivers; an HRTF set has two (the ears)");
    if (sofa->M < 4 || sofa->N == 0)
        throw std::runtime_error("the SOFA file " + sofaPath + " holds " + std::to_string(sofa->M) + " measurements of " + std::to_string(sofa->N)
                                 + " samples; fitting a decoder needs impulse responses from at least 4 directions around the head");
    if (sofa->DataSamplingRate.elements < 1)
        throw std::runtime_error("the SOFA file " + sofaPath + " gives no sample rate");
    const double sourceRate = sofa->DataSamplingRate.values[0];
    if (!(sourceRate >= kLowestRate && sourceRate <= kHighestRate))
    {
        char rate[64];
        std::snprintf(rate, sizeof rate, "%g", sourceRate);
        throw std::runtime_error("the SOFA file " + sofaPath + " has a sample rate of " + rate + " Hz; measurements from 8 kHz to 384 kHz can be used");
    }
    if (!(sampleRate > 0.0))
        throw std::runtime_error("HrtfSet::load: the target sample rate must be positive");
    mysofa_tospherical(sofa.get());

    const int numDirections = static_cast<int>(sofa->M);
    const int sourceLength = static_cast<int>(sofa->N);
    const double ratio = sampleRate / sourceRate;

    HrtfSet set;
    set.mSampleRate = sampleRate;
    set.mLength = static_cast<int>(std::ceil((sourceLength + kResamplerFlush) * ratio));
    set.mDirectionsDeg.resize(static_cast<size_t>(2 * numDirections));
    set.mResponses.assign(static_cast<size_t>(numDirections) * 2 * static_cast<size_t>(set.mLength), 0.0f);

    std::vector<float> interleavedIn(static_cast<size_t>(2 * (sourceLength + kResamplerFlush)), 0.0f);
    std::vector<float> interleavedOut(static_cast<size_t>(2 * set.mLength), 0.0f);
    for (int m = 0; m < numDirections; ++m) {
        double azimuth = sofa->SourcePosition.values[3 * m];
        const double elevation = sofa->SourcePosition.values[3 * m + 1];
        azimuth = std::fmod(azimuth, 360.0);
        if (azimuth > 180.0)
            azimuth -= 360.0;
        if (azimuth <= -180.0)
            azimuth += 360.0;
        set.mDirectionsDeg[static_cast<size_t>(2 * m)] = static_cast<float>(azimuth);
        set.mDirectionsDeg[static_cast<size_t>(2 * m + 1)] = static_cast<float>(elevation);
        const Vec3 v = unitVector(set.mDirectionsDeg[static_cast<size_t>(2 * m)], set.mDirectionsDeg[static_cast<size_t>(2 * m + 1)]);
        set.mUnitVectors.insert(set.mUnitVectors.end(), {v.x, v.y, v.z});

        const float* left = sofa->DataIR.values + static_cast<size_t>(m) * 2 * static_cast<size_t>(sourceLength);
        const float* right = left + sourceLength;
        for (int n = 0; n < sourceLength; ++n) {
            interleavedIn[static_cast<size_t>(2 * n)] = left[n];
            interleavedIn[static_cast<size_t>(2 * n + 1)] = right[n];
        }
        float* outLeft = set.mResponses.data() + static_cast<size_t>(m) * 2 * static_cast<size_t>(set.mLength);
        float* outRight = outLeft + set.mLength;
        if (ratio == 1.0) {
            std::copy_n(left, sourceLength, outLeft);
            std::copy_n(right, sourceLength, outRight);
            continue;
        }
        SRC_DATA data {};
        data.data_in = interleavedIn.data();
        data.data_out = interleavedOut.data();
        data.input_frames = sourceLength + kResamplerFlush;
        data.output_frames = set.mLength;
        data.src_ratio = ratio;
        data.end_of_input = 1;
        const int status = src_simple(&data, SRC_SINC_BEST_QUALITY, 2);
        if (status != 0)
            throw std::runtime_error(std::string("resampling the HRTF set failed: ") + src_strerror(status));
        for (long n = 0; n < data.output_frames_gen; ++n) {
            outLeft[n] = interleavedOut[static_cast<size_t>(2 * n)];
            outRight[n] = interleavedOut[static_cast<size_t>(2 * n + 1)];
        }
    }
    return set;
}

int HrtfSet::nearestDirection(double azimuthDeg, double elevationDeg) const
{
    const Vec3 target = unitVector(azimuthDeg, elevationDeg);
    int best = 0;
    double bestDot = -2.0;
    for (int d = 0; d < numDirections(); ++d) {
        const double* v = mUnitVectors.data() + static_cast<size_t>(3 * d);
        const double c = target.x * v[0] + target.y * v[1] + target.z * v[2];
        if (c > bestDot) {
            bestDot = c;
            best = d;
        }
    }
    return best;
}

} // namespace qirtools
