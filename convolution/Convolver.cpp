// convolution: the multichannel convolver.
#include "convolution/Convolver.h"

#include <algorithm>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define DSPKIT_HAS_MXCSR 1
#endif

namespace dspkit {

namespace {

// Flush-to-zero (bit 15) and denormals-are-zero (bit 6) of MXCSR.
constexpr std::uint32_t kDenormalBits = 0x8040;

} // namespace

Convolver::DenormalGuard::DenormalGuard() noexcept
{
#ifdef DSPKIT_HAS_MXCSR
    mSavedControlWord = _mm_getcsr();
    _mm_setcsr(mSavedControlWord | kDenormalBits);
#endif
}

Convolver::DenormalGuard::~DenormalGuard()
{
#ifdef DSPKIT_HAS_MXCSR
    _mm_setcsr(mSavedControlWord);
#endif
}

Convolver::Convolver(unsigned int numIns, unsigned int numOuts, LatencyMode latency)
    : Convolver(numIns, numOuts, latency, kPerPairEngine)
{
}

Convolver::Convolver(unsigned int numIns, unsigned int numOuts, LatencyMode latency, EConvolverEngine engine,
                     unsigned long blockSize, EConvolverLayout layout)
    : mNumIns(std::max(1u, numIns))
    , mNumOuts(numOuts)
    , mN2M(true)
    , mInTemps(mNumIns, nullptr)
{
    if (engine == kSharedSpectrumEngine) {
        mShared = std::make_unique<SharedSpectrumConvolver>(mNumIns, mNumOuts, kDefaultMaxLength, latency, blockSize,
                                                            layout);
        mSharedOuts.resize(mNumOuts, nullptr);
        return;
    }
    mConvolvers.reserve(mNumOuts);
    for (unsigned int o = 0; o < mNumOuts; ++o) {
        mConvolvers.push_back(std::make_unique<NToMonoConvolver>(mNumIns, kDefaultMaxLength, latency));
    }
}

Convolver::Convolver(unsigned int numIO, LatencyMode latency)
    : mNumIns(std::max(1u, numIO))
    , mNumOuts(mNumIns)
    , mN2M(false)
    , mInTemps(mNumIns, nullptr)
{
    mConvolvers.reserve(mNumOuts);
    for (unsigned int o = 0; o < mNumOuts; ++o) {
        mConvolvers.push_back(std::make_unique<NToMonoConvolver>(1, kDefaultMaxLength, latency));
    }
}

Convolver::~Convolver() = default;

unsigned int Convolver::mappedInput(unsigned int in, unsigned int out) const noexcept
{
    // In one-to-one mode any pair but (k, k) wraps to an index no output has.
    return mN2M ? in : in - out;
}

ConvolveStatus Convolver::set(unsigned int in, unsigned int out, const float* ir, unsigned long length,
                              bool requestResize)
{
    if (out >= mNumOuts) {
        return kConvolveOutputOutOfRange;
    }
    if (mShared) {
        return mShared->set(in, out, ir, length, requestResize);
    }
    return mConvolvers[out]->set(mappedInput(in, out), ir, length, requestResize);
}

ConvolveStatus Convolver::set(unsigned int in, unsigned int out, const double* ir, unsigned long length,
                              bool requestResize)
{
    std::vector<float> converted;
    if (length != 0 && ir != nullptr) {
        converted.assign(ir, ir + length);
    }
    return set(in, out, converted.empty() ? nullptr : converted.data(), length, requestResize);
}

void Convolver::clear(bool requestResize)
{
    for (unsigned int o = 0; o < mNumOuts; ++o) {
        if (mN2M) {
            for (unsigned int i = 0; i < mNumIns; ++i) {
                (void)set(i, o, static_cast<const float*>(nullptr), 0, requestResize);
            }
        } else {
            (void)set(o, o, static_cast<const float*>(nullptr), 0, requestResize);
        }
    }
}

void Convolver::clear(unsigned int in, unsigned int out, bool requestResize)
{
    if (out >= mNumOuts) {
        return;
    }
    (void)set(in, out, static_cast<const float*>(nullptr), 0, requestResize);
}

void Convolver::reset() noexcept
{
    if (mShared) {
        mShared->reset();
        return;
    }
    for (unsigned int o = 0; o < mNumOuts; ++o) {
        if (mN2M) {
            for (unsigned int i = 0; i < mNumIns; ++i) {
                mConvolvers[o]->reset(i);
            }
        } else {
            mConvolvers[o]->reset(0);
        }
    }
}

ConvolveStatus Convolver::reset(unsigned int in, unsigned int out) noexcept
{
    if (out >= mNumOuts) {
        return kConvolveOutputOutOfRange;
    }
    if (mShared) {
        return mShared->reset(in, out);
    }
    return mConvolvers[out]->reset(mappedInput(in, out));
}

ConvolveStatus Convolver::resize(unsigned int in, unsigned int out, unsigned long length)
{
    if (out >= mNumOuts) {
        return kConvolveInputOutOfRange;
    }
    if (mShared) {
        return mShared->resize(in, out, length);
    }
    return mConvolvers[out]->resize(mappedInput(in, out), length);
}

void Convolver::tempSetup(float* memory, unsigned long size) noexcept
{
    if (memory == nullptr) {
        std::fill(mInTemps.begin(), mInTemps.end(), nullptr);
        mTemp1 = nullptr;
        mTemp2 = nullptr;
        return;
    }
    const unsigned long per = size / (mNumIns + 2);
    for (unsigned int i = 0; i < mNumIns; ++i) {
        mInTemps[i] = memory + i * per;
    }
    mTemp1 = memory + mNumIns * per;
    mTemp2 = mTemp1 + per;
}

void Convolver::process(const float* const* ins, float** outs, unsigned long numIns, unsigned long numOuts,
                        unsigned long numSamples) noexcept
{
    if (mShared) {
        // The shared engine writes every output: those not asked for go to
        // scratch, so that their spectra stay in step.
        SwappableMemory<float>::Ptr scratch =
            mTemporaryMemory.grow(static_cast<std::uint64_t>(mNumIns + mNumOuts) * numSamples);
        DenormalGuard guard;
        if (scratch.get() == nullptr || numSamples == 0) {
            return;
        }
        float* spare = scratch.get() + static_cast<std::uint64_t>(mNumIns) * numSamples;
        for (unsigned int o = 0; o < mNumOuts; ++o) {
            mSharedOuts[o] = o < numOuts ? outs[o] : spare + static_cast<std::uint64_t>(o) * numSamples;
        }
        mShared->process(ins, mSharedOuts.data(), numIns, numSamples);
        return;
    }
    SwappableMemory<float>::Ptr scratch =
        mTemporaryMemory.grow(static_cast<std::uint64_t>(mNumIns + 2) * numSamples);
    tempSetup(scratch.get(), static_cast<unsigned long>(scratch.getSize()));
    DenormalGuard guard;
    if (scratch.get() == nullptr) {
        return;
    }
    const unsigned long outputs = std::min<unsigned long>(numOuts, mNumOuts);
    for (unsigned long o = 0; o < outputs; ++o) {
        if (mN2M) {
            mConvolvers[o]->process(ins, outs[o], mTemp1, numSamples, numIns);
        } else {
            const bool present = o < numIns;
            const float* const one[1] = {present ? ins[o] : nullptr};
            mConvolvers[o]->process(one, outs[o], mTemp1, numSamples, present ? 1 : 0);
        }
    }
}

void Convolver::process(const double* const* ins, double** outs, unsigned long numIns,
                        unsigned long numOuts, unsigned long numSamples) noexcept
{
    if (mShared) {
        SwappableMemory<float>::Ptr scratch =
            mTemporaryMemory.grow(static_cast<std::uint64_t>(mNumIns + mNumOuts) * numSamples);
        if (scratch.get() == nullptr || numSamples == 0) {
            return;
        }
        numIns = std::min<unsigned long>(numIns, mNumIns);
        numOuts = std::min<unsigned long>(numOuts, mNumOuts);
        for (unsigned long i = 0; i < numIns; ++i) {
            float* const converted = scratch.get() + i * numSamples;
            for (unsigned long s = 0; s < numSamples; ++s) {
                converted[s] = static_cast<float>(ins[i][s]);
            }
            mInTemps[i] = converted;
        }
        float* spare = scratch.get() + static_cast<std::uint64_t>(mNumIns) * numSamples;
        for (unsigned int o = 0; o < mNumOuts; ++o) {
            mSharedOuts[o] = spare + static_cast<std::uint64_t>(o) * numSamples;
        }
        {
            DenormalGuard guard;
            mShared->process(mInTemps.data(), mSharedOuts.data(), numIns, numSamples);
        }
        for (unsigned long o = 0; o < numOuts; ++o) {
            for (unsigned long s = 0; s < numSamples; ++s) {
                outs[o][s] = static_cast<double>(mSharedOuts[o][s]);
            }
        }
        return;
    }
    SwappableMemory<float>::Ptr scratch =
        mTemporaryMemory.grow(static_cast<std::uint64_t>(mNumIns + 2) * numSamples);
    tempSetup(scratch.get(), static_cast<unsigned long>(scratch.getSize()));
    if (scratch.get() == nullptr) {
        numIns = 0;
        numOuts = 0;
    }
    numIns = std::min<unsigned long>(numIns, mNumIns);
    numOuts = std::min<unsigned long>(numOuts, mNumOuts);
    for (unsigned long i = 0; i < numIns; ++i) {
        float* const converted = mInTemps[i];
        const double* const source = ins[i];
        for (unsigned long s = 0; s < numSamples; ++s) {
            converted[s] = static_cast<float>(source[s]);
        }
    }
    DenormalGuard guard;
    for (unsigned long o = 0; o < numOuts; ++o) {
        if (mN2M) {
            mConvolvers[o]->process(mInTemps.data(), mTemp2, mTemp1, numSamples, numIns);
        } else {
            const bool present = o < numIns;
            const float* const one[1] = {present ? mInTemps[o] : nullptr};
            mConvolvers[o]->process(one, mTemp2, mTemp1, numSamples, present ? 1 : 0);
        }
        double* const destination = outs[o];
        for (unsigned long s = 0; s < numSamples; ++s) {
            destination[s] = static_cast<double>(mTemp2[s]);
        }
    }
}

} // namespace dspkit
