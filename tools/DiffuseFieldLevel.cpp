// tools: diffuse-field level of a decoder set.
#include "tools/DiffuseFieldLevel.h"

#include "tools/RealFft.h"
#include "tools/SphereGeometry.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace qirtools {

double diffuseFieldLevelDb(const DecoderSet& set)
{
    int size = 1;
    while (size < set.length)
        size *= 2;
    RealFft fft(size);
    const double binHz = set.sampleRate / size;
    // Pink noise of unit power: each bin of the band gets a share proportional to 1/f.
    std::vector<double> pink(static_cast<size_t>(fft.numBins()), 0.0);
    double total = 0.0;
    for (int k = 1; k < fft.numBins(); ++k) {
        const double f = k * binHz;
        if (f >= kPinkLowHz && f <= kPinkHighHz) {
            pink[static_cast<size_t>(k)] = 1.0 / f;
            total += 1.0 / f;
        }
    }
    double power = 0.0;
    for (int i = 0; i < set.numInputs; ++i) {
        const double weight = 1.0 / (2.0 * degreeOfChannel(i) + 1.0);
        for (int ear = 0; ear < 2; ++ear) {
            const auto spectrum = fft.forwardFloat(set.response(i, ear), set.length);
            double passed = 0.0;
            for (int k = 0; k < fft.numBins(); ++k)
                passed += pink[static_cast<size_t>(k)] * std::norm(spectrum[static_cast<size_t>(k)]);
            power += 0.5 * weight * passed / total;
        }
    }
    return 10.0 * std::log10(std::max(power, 1e-300));
}

void matchDiffuseFieldLevel(DecoderSet& set)
{
    const double level = diffuseFieldLevelDb(set);
    if (level < -290.0)
        return;
    const float gain = static_cast<float>(std::pow(10.0, (kDiffuseFieldLevelDb - level) / 20.0));
    for (float& v : set.left)
        v *= gain;
    for (float& v : set.right)
        v *= gain;
}

} // namespace qirtools
