// tools: wide-band 90-degree all-pass pair design.
#include "tools/AllPassPair.h"

#include "tools/CholeskySolver.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qirtools {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kGridSize = 320;
constexpr int kReweightRounds = 40;
constexpr int kGaussNewtonSteps = 12;

// Phase difference at warped frequency T for log pole positions u (even index: reference
// branch, odd index: leading branch). A section with warped pole t has phase
// -2 atan(T / t).
double phaseDifference(const std::vector<double>& u, double warped)
{
    double difference = 0.0;
    for (size_t i = 0; i < u.size(); ++i) {
        const double phase = -2.0 * std::atan(warped * std::exp(-u[i]));
        difference += (i % 2 == 1) ? phase : -phase;
    }
    return difference;
}

} // namespace

AllPassPair AllPassPair::design(double sampleRate, double lowHz, double highHz, int sectionsPerBranch)
{
    if (!(lowHz > 0.0 && highHz > lowHz && highHz < sampleRate / 2) || sectionsPerBranch < 1)
        throw std::runtime_error("AllPassPair: bad design band");
    const int numPoles = 2 * sectionsPerBranch;
    const double lowWarped = std::log(std::tan(kPi * lowHz / sampleRate));
    const double highWarped = std::log(std::tan(kPi * highHz / sampleRate));

    // Start from poles spread evenly on the log-warped axis, a little beyond the band,
    // alternating between the branches.
    std::vector<double> u(static_cast<size_t>(numPoles));
    const double margin = 1.0;
    for (int i = 0; i < numPoles; ++i)
        u[static_cast<size_t>(i)] = lowWarped - margin + (highWarped - lowWarped + 2.0 * margin) * (i + 0.5) / numPoles;

    std::vector<double> grid(kGridSize);
    for (int j = 0; j < kGridSize; ++j)
        grid[static_cast<size_t>(j)] = std::exp(lowWarped + (highWarped - lowWarped) * j / (kGridSize - 1));
    std::vector<double> weights(kGridSize, 1.0 / kGridSize);

    // Lawson's reweighting turns the weighted least-squares fit into the minimax one; each
    // weighted fit is solved by damped Gauss-Newton steps on the log pole positions.
    std::vector<double> residual(kGridSize);
    std::vector<double> jacobian(static_cast<size_t>(kGridSize * numPoles));
    for (int round = 0; round < kReweightRounds; ++round) {
        for (int step = 0; step < kGaussNewtonSteps; ++step) {
            for (int j = 0; j < kGridSize; ++j) {
                const double warped = grid[static_cast<size_t>(j)];
                residual[static_cast<size_t>(j)] = phaseDifference(u, warped) - kPi / 2;
                for (int i = 0; i < numPoles; ++i) {
                    const double ratio = warped * std::exp(-u[static_cast<size_t>(i)]);
                    const double derivative = 2.0 * ratio / (1.0 + ratio * ratio);
                    jacobian[static_cast<size_t>(j * numPoles + i)] = (i % 2 == 1) ? derivative : -derivative;
                }
            }
            std::vector<double> normal(static_cast<size_t>(numPoles * numPoles), 0.0);
            std::vector<double> gradient(static_cast<size_t>(numPoles), 0.0);
            for (int j = 0; j < kGridSize; ++j) {
                const double w = weights[static_cast<size_t>(j)];
                const double* row = jacobian.data() + static_cast<size_t>(j * numPoles);
                for (int a = 0; a < numPoles; ++a) {
                    gradient[static_cast<size_t>(a)] -= w * row[a] * residual[static_cast<size_t>(j)];
                    for (int b = 0; b <= a; ++b)
                        normal[static_cast<size_t>(a * numPoles + b)] += w * row[a] * row[b];
                }
            }
            double trace = 0.0;
            for (int a = 0; a < numPoles; ++a)
                trace += normal[static_cast<size_t>(a * numPoles + a)];
            for (int a = 0; a < numPoles; ++a)
                normal[static_cast<size_t>(a * numPoles + a)] += 1e-6 * trace / numPoles;
            CholeskySolver solver(normal, numPoles);
            solver.solve(gradient.data());
            for (int a = 0; a < numPoles; ++a)
                u[static_cast<size_t>(a)] += std::clamp(gradient[static_cast<size_t>(a)], -0.3, 0.3);
        }
        double sum = 0.0;
        for (int j = 0; j < kGridSize; ++j) {
            weights[static_cast<size_t>(j)] *= std::abs(phaseDifference(u, grid[static_cast<size_t>(j)]) - kPi / 2) + 1e-12;
            sum += weights[static_cast<size_t>(j)];
        }
        for (auto& w : weights)
            w /= sum;
    }

    AllPassPair pair;
    pair.mSampleRate = sampleRate;
    for (int i = 0; i < numPoles; ++i) {
        const double t = std::exp(u[static_cast<size_t>(i)]);
        pair.mCoefficients[i % 2 == 1 ? 0 : 1].push_back((t - 1.0) / (t + 1.0));
    }
    return pair;
}

std::complex<double> AllPassPair::response(int branch, double frequencyHz) const
{
    const std::complex<double> zInverse = std::polar(1.0, -2.0 * kPi * frequencyHz / mSampleRate);
    std::complex<double> h = 1.0;
    for (double c : mCoefficients[branch])
        h *= (c + zInverse) / (1.0 + c * zInverse);
    return h;
}

double AllPassPair::phaseDifferenceDeg(double frequencyHz) const
{
    return std::arg(response(0, frequencyHz) / response(1, frequencyHz)) * 180.0 / kPi;
}

double AllPassPair::maxPhaseErrorDeg(double lowHz, double highHz) const
{
    double worst = 0.0;
    for (double f = lowHz; f <= highHz; f *= 1.0005)
        worst = std::max(worst, std::abs(phaseDifferenceDeg(f) - 90.0));
    return std::max(worst, std::abs(phaseDifferenceDeg(highHz) - 90.0));
}

std::vector<double> AllPassPair::impulseResponse(int branch, int length) const
{
    std::vector<double> signal(static_cast<size_t>(length), 0.0);
    if (length > 0)
        signal[0] = 1.0;
    // y[n] = c x[n] + x[n-1] - c y[n-1], one section after the other.
    for (double c : mCoefficients[branch]) {
        double previousInput = 0.0;
        double previousOutput = 0.0;
        for (auto& value : signal) {
            const double output = c * value + previousInput - c * previousOutput;
            previousInput = value;
            previousOutput = output;
            value = output;
        }
    }
    return signal;
}

} // namespace qirtools
