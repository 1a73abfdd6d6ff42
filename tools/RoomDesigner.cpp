// tools: room decoder sets: image-source early reflections and a diffuse binaural tail per
// virtual loudspeaker, decoded from the spherical-harmonic domain.
#include "tools/RoomDesigner.h"

#include "tools/CholeskySolver.h"
#include "tools/RealFft.h"
#include "tools/SphereGeometry.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

namespace qirtools {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSpeedOfSound = 343.0;
// Part of the distance to the nearest wall a virtual loudspeaker may use.
constexpr double kWallClearance = 0.8;
// The end of every response fades to zero over this many samples.
constexpr int kEndFade = 1024;
constexpr double kFirstOctaveHz = 125.0;

// Standard normal values from a fixed-seed engine (Box-Muller on the engine's raw output,
// so the values do not depend on the standard library's distribution algorithms).
class GaussianNoise {
public:
    explicit GaussianNoise(std::uint64_t seed)
        : mEngine(seed)
    {
    }
    double next()
    {
        if (mHasSpare) {
            mHasSpare = false;
            return mSpare;
        }
        const double u1 = (static_cast<double>(mEngine() >> 11) + 0.5) * 0x1.0p-53;
        const double u2 = static_cast<double>(mEngine() >> 11) * 0x1.0p-53;
        const double radius = std::sqrt(-2.0 * std::log(u1));
        mSpare = radius * std::sin(2.0 * kPi * u2);
        mHasSpare = true;
        return radius * std::cos(2.0 * kPi * u2);
    }

private:
    std::mt19937_64 mEngine;
    double mSpare = 0.0;
    bool mHasSpare = false;
};

double crossfade(double t, double start, double end)
{
    if (t <= start)
        return 0.0;
    if (t >= end)
        return 1.0;
    return (t - start) / (end - start);
}

// Value of a table sampled every tableBinHz at frequency f, linearly interpolated.
double interpolate(const std::vector<double>& table, double tableBinHz, double f)
{
    const double position = f / tableBinHz;
    const int index = static_cast<int>(std::floor(position));
    if (index >= static_cast<int>(table.size()) - 1)
        return table.back();
    const double fraction = position - index;
    return table[static_cast<size_t>(index)] * (1.0 - fraction) + table[static_cast<size_t>(index) + 1] * fraction;
}

} // namespace

RoomDesigner::RoomDesigner(const AnechoicDesigner& anechoic, const RoomParameters& parameters)
    : mParameters(parameters)
    , mSpeakerDirectionsDeg(fibonacciDirections(parameters.numSpeakers))
    , mResponses(static_cast<size_t>(parameters.numSpeakers) * 2 * kDecoderSetResponseLength, 0.0f)
{
    if (std::abs(anechoic.hrtf().sampleRate() - kDecoderSetSampleRate) > 1e-6)
        throw std::runtime_error("the room design needs the HRTF set at the decoder sets' rate");
    for (int speaker = 0; speaker < parameters.numSpeakers; ++speaker)
        renderSpeaker(speaker, anechoic);
}

void RoomDesigner::renderSpeaker(int speaker, const AnechoicDesigner& anechoic)
{
    const RoomParameters& p = mParameters;
    const double fs = kDecoderSetSampleRate;
    const int length = kDecoderSetResponseLength;
    const HrtfSet& hrtf = anechoic.hrtf();
    float* out[2] = {mResponses.data() + static_cast<size_t>(speaker) * 2 * length, nullptr};
    out[1] = out[0] + length;

    // Loudspeaker position: its direction at the nominal distance, pulled in where a wall is
    // closer.
    const Vec3 direction = unitVector(mSpeakerDirectionsDeg[static_cast<size_t>(2 * speaker)], mSpeakerDirectionsDeg[static_cast<size_t>(2 * speaker + 1)]);
    const double listener[3] = {p.listenerX, p.listenerY, p.listenerZ};
    const double room[3] = {p.lengthX, p.widthY, p.heightZ};
    const double components[3] = {direction.x, direction.y, direction.z};
    double toWall = 1e9;
    for (int axis = 0; axis < 3; ++axis) {
        if (components[axis] > 1e-9)
            toWall = std::min(toWall, (room[axis] - listener[axis]) / components[axis]);
        else if (components[axis] < -1e-9)
            toWall = std::min(toWall, -listener[axis] / components[axis]);
    }
    const double distance = std::min(p.speakerDistance, kWallClearance * toWall);
    double source[3];
    for (int axis = 0; axis < 3; ++axis)
        source[axis] = listener[axis] + distance * components[axis];

    // Wall reflection factor from Eyring's formula for the mid-band reverberation time.
    const double volume = p.lengthX * p.widthY * p.heightZ;
    const double surface = 2.0 * (p.lengthX * p.widthY + p.lengthX * p.heightZ + p.widthY * p.heightZ);
    const double reflection = std::sqrt(std::exp(-0.161 * volume / (surface * p.midReverberationTime)));

    // Image sources up to the end of the crossfade, each through the equalised response of
    // its arrival direction (the nearest measured one), delayed relative to the direct sound
    // and scaled so that the direct sound would have gain 1.
    std::vector<double> early[2] = {std::vector<double>(static_cast<size_t>(length), 0.0), std::vector<double>(static_cast<size_t>(length), 0.0)};
    double matchEnergy = 0.0;
    const double maxPath = distance + kSpeedOfSound * p.crossfadeEndSeconds;
    int limits[3];
    for (int axis = 0; axis < 3; ++axis)
        limits[axis] = static_cast<int>(std::ceil(maxPath / (2.0 * room[axis]))) + 1;
    const int hrirLength = anechoic.equalisedLength();
    for (int nx = -limits[0]; nx <= limits[0]; ++nx)
        for (int ny = -limits[1]; ny <= limits[1]; ++ny)
            for (int nz = -limits[2]; nz <= limits[2]; ++nz)
                for (int u = 0; u < 8; ++u) {
                    const int n[3] = {nx, ny, nz};
                    const int flip[3] = {u & 1, (u >> 1) & 1, (u >> 2) & 1};
                    int order = 0;
                    double image[3];
                    for (int axis = 0; axis < 3; ++axis) {
                        image[axis] = (1 - 2 * flip[axis]) * source[axis] + 2.0 * n[axis] * room[axis];
                        order += std::abs(n[axis] - flip[axis]) + std::abs(n[axis]);
                    }
                    if (order == 0)
                        continue;
                    const Vec3 path {image[0] - listener[0], image[1] - listener[1], image[2] - listener[2]};
                    const double pathLength = std::sqrt(dot(path, path));
                    const double delaySeconds = (pathLength - distance) / kSpeedOfSound;
                    if (delaySeconds >= p.crossfadeEndSeconds)
                        continue;
                    const double gain = std::pow(reflection, order) * distance / pathLength;
                    if (delaySeconds >= p.matchStartSeconds && delaySeconds < p.crossfadeStartSeconds)
                        matchEnergy += gain * gain;
                    const double fade = std::cos(0.5 * kPi * crossfade(delaySeconds, p.crossfadeStartSeconds, p.crossfadeEndSeconds));
                    double azimuth = 0.0;
                    double elevation = 0.0;
                    toAzimuthElevation(path, azimuth, elevation);
                    const int measured = hrtf.nearestDirection(azimuth, elevation);
                    const int offset = static_cast<int>(std::lround(delaySeconds * fs));
                    for (int ear = 0; ear < 2; ++ear) {
                        const float* h = anechoic.equalisedResponse(measured, ear);
                        const int count = std::min(hrirLength, length - offset);
                        for (int k = 0; k < count; ++k)
                            early[ear][static_cast<size_t>(offset + k)] += gain * fade * h[k];
                    }
                }

    // Diffuse tail: two independent noises mixed per frequency to the diffuse-field
    // interaural coherence of the HRTF set, shaped like its equalised diffuse-field spectrum,
    // split into octave bands that each decay with their own reverberation time.
    RealFft fft(length);
    const int bins = fft.numBins();
    const double binHz = fs / length;
    const double tableBinHz = fs / anechoic.parameters().fftSize;
    const std::vector<double>& coherence = anechoic.diffuseFieldCoherence();
    const std::vector<double>& power = anechoic.diffuseFieldPower();
    double referencePower = 0.0;
    int referenceCount = 0;
    for (size_t k = 0; k < power.size(); ++k)
        if (k * tableBinHz >= 200.0 && k * tableBinHz <= 1000.0) {
            referencePower += power[k];
            ++referenceCount;
        }
    referencePower /= std::max(referenceCount, 1);

    GaussianNoise noise(p.seed + static_cast<std::uint64_t>(speaker));
    std::vector<double> first(static_cast<size_t>(length));
    std::vector<double> second(static_cast<size_t>(length));
    for (int n = 0; n < length; ++n) {
        first[static_cast<size_t>(n)] = noise.next();
        second[static_cast<size_t>(n)] = noise.next();
    }
    std::vector<std::complex<double>> a(static_cast<size_t>(bins));
    std::vector<std::complex<double>> b(static_cast<size_t>(bins));
    fft.forward(first.data(), a.data());
    fft.forward(second.data(), b.data());
    std::vector<std::complex<double>> mixed[2] = {std::vector<std::complex<double>>(static_cast<size_t>(bins)), std::vector<std::complex<double>>(static_cast<size_t>(bins))};
    for (int k = 0; k < bins; ++k) {
        const double f = k * binHz;
        const double gamma = std::clamp(interpolate(coherence, tableBinHz, f), -1.0, 1.0);
        const double shape = std::sqrt(interpolate(power, tableBinHz, f) / referencePower);
        const double common = std::sqrt(0.5 * (1.0 + gamma)) * shape;
        const double difference = std::sqrt(0.5 * (1.0 - gamma)) * shape;
        mixed[0][static_cast<size_t>(k)] = common * a[static_cast<size_t>(k)] + difference * b[static_cast<size_t>(k)];
        mixed[1][static_cast<size_t>(k)] = common * a[static_cast<size_t>(k)] - difference * b[static_cast<size_t>(k)];
    }
    const int numBands = static_cast<int>(p.reverberationTimes.size());
    std::vector<double> tail[2] = {std::vector<double>(static_cast<size_t>(length), 0.0), std::vector<double>(static_cast<size_t>(length), 0.0)};
    std::vector<std::complex<double>> band(static_cast<size_t>(bins));
    std::vector<double> bandSignal(static_cast<size_t>(length));
    for (int octave = 0; octave < numBands; ++octave) {
        const double centre = kFirstOctaveHz * std::pow(2.0, octave);
        const double decay = 6.907755 / p.reverberationTimes[static_cast<size_t>(octave)];
        for (int ear = 0; ear < 2; ++ear) {
            for (int k = 0; k < bins; ++k) {
                // Raised-cosine octave masks on a log axis that sum to one; the lowest and
                // highest bands take everything beyond them.
                const double f = std::max(k * binHz, 1.0);
                const double position = std::log2(f / centre);
                double gain = 0.0;
                if ((octave == 0 && position <= 0.0) || (octave == numBands - 1 && position >= 0.0))
                    gain = 1.0;
                else if (std::abs(position) < 1.0)
                    gain = 0.5 * (1.0 + std::cos(kPi * position));
                band[static_cast<size_t>(k)] = gain * mixed[ear][static_cast<size_t>(k)];
            }
            fft.inverse(band.data(), bandSignal.data());
            for (int n = 0; n < length; ++n)
                tail[ear][static_cast<size_t>(n)] += std::exp(-decay * n / fs) * bandSignal[static_cast<size_t>(n)];
        }
    }
    double tailMatchEnergy = 0.0;
    const int matchStart = static_cast<int>(p.matchStartSeconds * fs);
    const int matchEnd = static_cast<int>(p.crossfadeStartSeconds * fs);
    for (int ear = 0; ear < 2; ++ear)
        for (int n = matchStart; n < matchEnd; ++n)
            tailMatchEnergy += 0.5 * tail[ear][static_cast<size_t>(n)] * tail[ear][static_cast<size_t>(n)];
    // The image sources' energy is that of their direct-path-normalised responses; an
    // equalised response has, on average over directions, the energy of the diffuse-field
    // power summed over the bins, which the tail's noise shares per sample.
    double responseEnergy = 0.0;
    for (int d = 0; d < hrtf.numDirections(); ++d)
        for (int ear = 0; ear < 2; ++ear) {
            const float* h = anechoic.equalisedResponse(d, ear);
            for (int k = 0; k < hrirLength; ++k)
                responseEnergy += 0.5 * static_cast<double>(h[k]) * h[k] / hrtf.numDirections();
        }
    const double tailGain = tailMatchEnergy > 0.0 ? std::sqrt(matchEnergy * responseEnergy / tailMatchEnergy) : 0.0;

    for (int ear = 0; ear < 2; ++ear)
        for (int n = 0; n < length; ++n) {
            const double t = n / fs;
            const double fadeIn = std::sin(0.5 * kPi * crossfade(t, p.crossfadeStartSeconds, p.crossfadeEndSeconds));
            double value = early[ear][static_cast<size_t>(n)] + tailGain * fadeIn * tail[ear][static_cast<size_t>(n)];
            if (n >= length - kEndFade)
                value *= 0.5 * (1.0 + std::cos(kPi * (n - (length - kEndFade) + 1) / (kEndFade + 1)));
            out[ear][n] = static_cast<float>(value);
        }
}

DecoderSet RoomDesigner::design(int order, const DecoderSet& anechoicSet) const
{
    const int numChannels = (order + 1) * (order + 1);
    if (anechoicSet.numInputs != numChannels)
        throw std::runtime_error("room design: the anechoic set has the wrong order");
    const int numSpeakers = mParameters.numSpeakers;
    if (numSpeakers < numChannels)
        throw std::runtime_error("room design: too few virtual loudspeakers for the order");

    // Mode-matching decoder G = Y (Y^T Y)^-1 (N3D), so that re-encoding the loudspeaker
    // signals gives back the field; scaled so that plane waves from all directions put on
    // average unit energy into the loudspeakers (sum of g^2 = 1), which keeps the reverberant
    // level the same at every order.
    const std::vector<double> y = harmonicsN3d(order, mSpeakerDirectionsDeg);
    std::vector<double> gram(static_cast<size_t>(numChannels * numChannels), 0.0);
    for (int l = 0; l < numSpeakers; ++l)
        for (int i = 0; i < numChannels; ++i)
            for (int j = 0; j < numChannels; ++j)
                gram[static_cast<size_t>(i * numChannels + j)] += y[static_cast<size_t>(l * numChannels + i)] * y[static_cast<size_t>(l * numChannels + j)];
    const CholeskySolver solver(gram, numChannels);
    std::vector<double> decoder(static_cast<size_t>(numSpeakers * numChannels));
    double sumOfSquares = 0.0;
    for (int l = 0; l < numSpeakers; ++l) {
        double* row = decoder.data() + static_cast<size_t>(l * numChannels);
        std::copy_n(y.data() + static_cast<size_t>(l * numChannels), numChannels, row);
        solver.solve(row);
        for (int i = 0; i < numChannels; ++i)
            sumOfSquares += row[i] * row[i];
    }
    const double scale = 1.0 / std::sqrt(sumOfSquares);
    // Input-major gains for SN3D inputs: gains[i][l].
    std::vector<float> gains(static_cast<size_t>(numChannels * numSpeakers));
    for (int i = 0; i < numChannels; ++i) {
        const double toSn3d = std::sqrt(2.0 * degreeOfChannel(i) + 1.0);
        for (int l = 0; l < numSpeakers; ++l)
            gains[static_cast<size_t>(i * numSpeakers + l)] = static_cast<float>(scale * toSn3d * decoder[static_cast<size_t>(l * numChannels + i)]);
    }

    DecoderSet set = anechoicSet;
    for (int ear = 0; ear < 2; ++ear) {
        // set[i][t] += sum_l gains[i][l] * response[l][ear][t]
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, numChannels, kDecoderSetResponseLength, numSpeakers,
            1.0f, gains.data(), numSpeakers, mResponses.data() + static_cast<size_t>(ear) * kDecoderSetResponseLength,
            2 * kDecoderSetResponseLength, 1.0f, set.response(0, ear), kDecoderSetResponseLength);
    }
    return set;
}

} // namespace qirtools
