// convolution: the FFT layer on FFTW3.
//
// The real transforms run as FFTW real-to-complex and complex-to-real plans on
// the setup's own aligned scratch; the split-complex packing of the interface is
// produced by one interleaving pass on the way in and out. Plans are made once
// per size and precision for the whole process, under one lock (the FFTW planner
// is not thread safe), and are never destroyed; executing a plan on new arrays
// is thread safe and allocates nothing. Transforms work in scratch memory shared
// per size and taken without waiting (see ScratchPool), or the setup's own.
#include "convolution/FFT.h"

#include "convolution/AlignedMemory.h"
#include "convolution/VectorKernels.h"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

namespace dspkit {

namespace {

template <class T>
struct Fftw;

template <>
struct Fftw<float> {
    using Plan = fftwf_plan;
    static void* allocate(std::size_t bytes) { return fftwf_malloc(bytes); }
    static void release(void* p) { fftwf_free(p); }
    static void destroy(Plan p)
    {
        if (p != nullptr) {
            fftwf_destroy_plan(p);
        }
    }
    static Plan planForward(int n, float* in, float* out, unsigned flags)
    {
        return fftwf_plan_dft_r2c_1d(n, in, reinterpret_cast<fftwf_complex*>(out), flags);
    }
    static Plan planInverse(int n, float* in, float* out, unsigned flags)
    {
        return fftwf_plan_dft_c2r_1d(n, reinterpret_cast<fftwf_complex*>(in), out, flags);
    }
    static Plan planComplex(int n, float* re, float* im, unsigned flags)
    {
        fftwf_iodim dim{n, 1, 1};
        return fftwf_plan_guru_split_dft(1, &dim, 0, nullptr, re, im, re, im, flags);
    }
    static void forward(Plan p, const float* in, float* out) noexcept
    {
        // An out-of-place real-to-complex plan preserves its input.
        fftwf_execute_dft_r2c(p, const_cast<float*>(in), reinterpret_cast<fftwf_complex*>(out));
    }
    static void inverse(Plan p, float* in, float* out) noexcept
    {
        fftwf_execute_dft_c2r(p, reinterpret_cast<fftwf_complex*>(in), out);
    }
    static void complex(Plan p, float* re, float* im) noexcept
    {
        fftwf_execute_split_dft(p, re, im, re, im);
    }
    static bool aligned(const float* p) noexcept { return fftwf_alignment_of(const_cast<float*>(p)) == 0; }
};

template <>
struct Fftw<double> {
    using Plan = fftw_plan;
    static void* allocate(std::size_t bytes) { return fftw_malloc(bytes); }
    static void release(void* p) { fftw_free(p); }
    static void destroy(Plan p)
    {
        if (p != nullptr) {
            fftw_destroy_plan(p);
        }
    }
    static Plan planForward(int n, double* in, double* out, unsigned flags)
    {
        return fftw_plan_dft_r2c_1d(n, in, reinterpret_cast<fftw_complex*>(out), flags);
    }
    static Plan planInverse(int n, double* in, double* out, unsigned flags)
    {
        return fftw_plan_dft_c2r_1d(n, reinterpret_cast<fftw_complex*>(in), out, flags);
    }
    static Plan planComplex(int n, double* re, double* im, unsigned flags)
    {
        fftw_iodim dim{n, 1, 1};
        return fftw_plan_guru_split_dft(1, &dim, 0, nullptr, re, im, re, im, flags);
    }
    static void forward(Plan p, const double* in, double* out) noexcept
    {
        fftw_execute_dft_r2c(p, const_cast<double*>(in), reinterpret_cast<fftw_complex*>(out));
    }
    static void inverse(Plan p, double* in, double* out) noexcept
    {
        fftw_execute_dft_c2r(p, reinterpret_cast<fftw_complex*>(in), out);
    }
    static void complex(Plan p, double* re, double* im) noexcept
    {
        fftw_execute_split_dft(p, re, im, re, im);
    }
    static bool aligned(const double* p) noexcept { return fftw_alignment_of(const_cast<double*>(p)) == 0; }
};

// The plans of one size: out-of-place real forward (N reals to N/2 + 1 complex
// pairs) and inverse, both for aligned arrays, and an in-place split complex
// transform for any alignment.
template <class T>
struct PlanSet {
    typename Fftw<T>::Plan forward;
    typename Fftw<T>::Plan inverse;
    typename Fftw<T>::Plan complex;
};

std::mutex& plannerMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::atomic<FFTPlanning> gPlanning{FFTPlanning::Estimate};

// Process-wide plan cache, one slot per planning rigour and exponent; guarded by
// plannerMutex(). Plans live until the process ends.
template <class T>
std::array<std::array<PlanSet<T>*, kMaxFFTLog2 + 1>, 2>& planCache()
{
    static std::array<std::array<PlanSet<T>*, kMaxFFTLog2 + 1>, 2> cache{};
    return cache;
}

// Called with plannerMutex() held. Returns null when FFTW refuses a plan.
template <class T>
const PlanSet<T>* planSetFor(unsigned long log2n, FFTPlanning planning)
{
    const bool measure = planning == FFTPlanning::Measure;
    auto& slot = planCache<T>()[measure ? 1 : 0][log2n];
    if (slot != nullptr) {
        return slot;
    }
    const int n = 1 << log2n;
    const unsigned rigour = measure ? FFTW_MEASURE : FFTW_ESTIMATE;
    T* a = static_cast<T*>(Fftw<T>::allocate(sizeof(T) * (2 * n + 2)));
    T* b = static_cast<T*>(Fftw<T>::allocate(sizeof(T) * (2 * n + 2)));
    if (a == nullptr || b == nullptr) {
        Fftw<T>::release(a);
        Fftw<T>::release(b);
        return nullptr;
    }
    auto* plans = new (std::nothrow) PlanSet<T>{};
    if (plans != nullptr) {
        plans->forward = Fftw<T>::planForward(n, a, b, rigour);
        plans->inverse = Fftw<T>::planInverse(n, b, a, rigour);
        plans->complex = Fftw<T>::planComplex(n, a, a + n, FFTW_ESTIMATE | FFTW_UNALIGNED);
        if (plans->forward == nullptr || plans->inverse == nullptr || plans->complex == nullptr) {
            Fftw<T>::destroy(plans->forward);
            Fftw<T>::destroy(plans->inverse);
            Fftw<T>::destroy(plans->complex);
            delete plans;
            plans = nullptr;
        }
    }
    Fftw<T>::release(a);
    Fftw<T>::release(b);
    slot = plans;
    return plans;
}

// Scratch for the transforms: N/2 + 1 interleaved complex pairs (the spectrum
// side) and N reals (the time side), each on an aligned boundary, in one
// allocation, so that it also holds the 2N values of a complex transform of N
// points from its start.
template <class T>
struct Scratch {
    T* spectrum = nullptr;
    T* samples = nullptr;
};

std::size_t spectrumFloats(std::size_t n)
{
    return (n + 2 + 15) / 16 * 16;
}

// Scratch shared by every setup of one size, taken with one atomic exchange and
// never waited for: the thread that transforms most (the audio thread) keeps
// finding the same memory warm in its cache, instead of touching a cold scratch
// per convolver. When every slot is taken a setup falls back to its own.
constexpr unsigned long kPooledMaxLog2 = 16;
constexpr int kPoolSlots = 4;

template <class T>
struct ScratchPool {
    std::atomic<bool> busy[kPoolSlots] = {};
    Scratch<T> slots[kPoolSlots];
};

// One pool per exponent, made under plannerMutex() when a setup first needs it
// and kept for the life of the process.
template <class T>
std::array<std::atomic<ScratchPool<T>*>, kPooledMaxLog2 + 1>& scratchPools()
{
    static std::array<std::atomic<ScratchPool<T>*>, kPooledMaxLog2 + 1> pools{};
    return pools;
}

// Called with plannerMutex() held; a pool that cannot be made is left out.
template <class T>
void ensureScratchPool(unsigned long log2n)
{
    if (log2n > kPooledMaxLog2 || scratchPools<T>()[log2n].load() != nullptr) {
        return;
    }
    const std::size_t n = std::size_t{1} << log2n;
    auto* pool = new (std::nothrow) ScratchPool<T>();
    if (pool == nullptr) {
        return;
    }
    for (auto& slot : pool->slots) {
        T* memory = allocateAligned<T>(spectrumFloats(n) + n);
        if (memory == nullptr) {
            for (auto& made : pool->slots) {
                freeAligned(made.spectrum);
            }
            delete pool;
            return;
        }
        slot.spectrum = memory;
        slot.samples = memory + spectrumFloats(n);
    }
    scratchPools<T>()[log2n].store(pool);
}

template <class T>
struct SetupState {
    unsigned long maxLog2n = 0;
    std::array<const PlanSet<T>*, kMaxFFTLog2 + 1> plans{};
    AlignedArray<T> memory;
    Scratch<T> own;
};

// The scratch one transform works in: a free pool slot of its size, else the
// setup's own. Released when it goes out of scope.
template <class T>
class ScopedScratch {
public:
    ScopedScratch(const SetupState<T>* state, unsigned long log2n) noexcept
        : mScratch(state->own)
    {
        if (log2n > kPooledMaxLog2) {
            return;
        }
        ScratchPool<T>* pool = scratchPools<T>()[log2n].load(std::memory_order_acquire);
        if (pool == nullptr) {
            return;
        }
        for (int i = 0; i < kPoolSlots; ++i) {
            if (!pool->busy[i].load(std::memory_order_relaxed) &&
                !pool->busy[i].exchange(true, std::memory_order_acquire)) {
                mBusy = &pool->busy[i];
                mScratch = pool->slots[i];
                return;
            }
        }
    }
    ~ScopedScratch()
    {
        if (mBusy != nullptr) {
            mBusy->store(false, std::memory_order_release);
        }
    }
    ScopedScratch(const ScopedScratch&) = delete;
    ScopedScratch& operator=(const ScopedScratch&) = delete;

    T* spectrum() const noexcept { return mScratch.spectrum; }
    T* samples() const noexcept { return mScratch.samples; }

private:
    Scratch<T> mScratch;
    std::atomic<bool>* mBusy = nullptr;
};

template <class T, class Handle>
void createSetup(Handle** setup, unsigned long maxLog2n)
{
    *setup = nullptr;
    if (maxLog2n == 0 || maxLog2n > kMaxFFTLog2) {
        return;
    }
    auto* state = new (std::nothrow) Handle();
    if (state == nullptr) {
        return;
    }
    {
        // The largest size, which the owner transforms at, is planned with the
        // process's rigour; smaller sizes take the best plans already made, or
        // quick estimated ones.
        std::lock_guard<std::mutex> lock(plannerMutex());
        const auto& measured = planCache<T>()[1];
        for (unsigned long e = 1; e <= maxLog2n; ++e) {
            if (e == maxLog2n) {
                state->plans[e] = planSetFor<T>(e, gPlanning.load());
            } else if (measured[e] != nullptr) {
                state->plans[e] = measured[e];
            } else {
                state->plans[e] = planSetFor<T>(e, FFTPlanning::Estimate);
            }
            if (state->plans[e] == nullptr) {
                delete state;
                return;
            }
        }
        ensureScratchPool<T>(maxLog2n);
    }
    const std::size_t n = std::size_t{1} << maxLog2n;
    state->memory.reset(allocateAligned<T>(spectrumFloats(n) + n));
    if (!state->memory) {
        delete state;
        return;
    }
    state->maxLog2n = maxLog2n;
    state->own.spectrum = state->memory.get();
    state->own.samples = state->memory.get() + spectrumFloats(n);
    *setup = state;
}

template <class T, class Split>
void unpackSpectrum(const T* spectrum, const Split* out, std::size_t half) noexcept
{
    deinterleaveScaled(spectrum, out->realp, out->imagp, T(2), half);
    out->imagp[0] = T(2) * spectrum[2 * half];
}

template <class T, class Split>
void packSpectrum(const Split* in, T* spectrum, std::size_t half) noexcept
{
    interleave(in->realp, in->imagp, spectrum, half);
    spectrum[1] = T(0);
    spectrum[2 * half] = in->imagp[0];
    spectrum[2 * half + 1] = T(0);
}

template <class T, class State>
const PlanSet<T>* plansFor(const State* state, unsigned long log2n) noexcept
{
    if (state == nullptr || log2n == 0 || log2n > state->maxLog2n) {
        return nullptr;
    }
    return state->plans[log2n];
}

template <class T, class State, class Split>
void complexTransform(const State* state, const Split* buffer, unsigned long log2n, bool inverse) noexcept
{
    const PlanSet<T>* plans = plansFor<T>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    // A plan keeps the distance between the real and imaginary arrays it was
    // made for, and a split buffer may be any two arrays: the transform runs
    // in scratch laid out as the plan expects (real part, then imaginary part
    // N elements later). FFTW's split transforms run forward only; swapping
    // the real and imaginary arrays turns the forward transform into the
    // inverse.
    const std::size_t n = std::size_t{1} << log2n;
    const ScopedScratch<T> scratch(state, log2n);
    T* const re = scratch.spectrum();
    T* const im = re + n;
    T* const first = inverse ? buffer->imagp : buffer->realp;
    T* const second = inverse ? buffer->realp : buffer->imagp;
    std::memcpy(re, first, n * sizeof(T));
    std::memcpy(im, second, n * sizeof(T));
    Fftw<T>::complex(plans->complex, re, im);
    std::memcpy(first, re, n * sizeof(T));
    std::memcpy(second, im, n * sizeof(T));
}

template <class T, class State, class Split>
void realForwardInPlace(const State* state, const Split* buffer, unsigned long log2n) noexcept
{
    const PlanSet<T>* plans = plansFor<T>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    const std::size_t half = std::size_t{1} << (log2n - 1);
    const ScopedScratch<T> scratch(state, log2n);
    interleave(buffer->realp, buffer->imagp, scratch.samples(), half);
    Fftw<T>::forward(plans->forward, scratch.samples(), scratch.spectrum());
    unpackSpectrum(scratch.spectrum(), buffer, half);
}

template <class T, class State, class Split>
void realInverseInPlace(const State* state, const Split* buffer, unsigned long log2n) noexcept
{
    const PlanSet<T>* plans = plansFor<T>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    const std::size_t half = std::size_t{1} << (log2n - 1);
    const ScopedScratch<T> scratch(state, log2n);
    packSpectrum(buffer, scratch.spectrum(), half);
    Fftw<T>::inverse(plans->inverse, scratch.spectrum(), scratch.samples());
    deinterleaveScaled(scratch.samples(), buffer->realp, buffer->imagp, T(1), half);
}

// Zero-padded input: N samples of in (widened to T), zero beyond its length.
template <class T, class In>
void padInput(const In* in, T* out, std::size_t inputLength, std::size_t n) noexcept
{
    const std::size_t used = std::min(inputLength, n);
    for (std::size_t i = 0; i < used; ++i) {
        out[i] = static_cast<T>(in[i]);
    }
    std::fill(out + used, out + n, T(0));
}

template <class T, class State, class In, class Split>
void realForwardFrom(const State* state, const In* input, const Split* output,
                     unsigned long inputLength, unsigned long log2n) noexcept
{
    const PlanSet<T>* plans = plansFor<T>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    const std::size_t n = std::size_t{1} << log2n;
    const ScopedScratch<T> scratch(state, log2n);
    const T* source = scratch.samples();
    if constexpr (std::is_same_v<T, In>) {
        if (inputLength >= n && Fftw<T>::aligned(input)) {
            source = input;
        }
    }
    if (source == scratch.samples()) {
        padInput(input, scratch.samples(), inputLength, n);
    }
    Fftw<T>::forward(plans->forward, source, scratch.spectrum());
    unpackSpectrum(scratch.spectrum(), output, n / 2);
}

template <class T, class State, class Split>
void realInverseTo(const State* state, const Split* input, T* output, unsigned long log2n) noexcept
{
    const PlanSet<T>* plans = plansFor<T>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    const std::size_t n = std::size_t{1} << log2n;
    const ScopedScratch<T> scratch(state, log2n);
    packSpectrum(input, scratch.spectrum(), n / 2);
    if (Fftw<T>::aligned(output)) {
        Fftw<T>::inverse(plans->inverse, scratch.spectrum(), output);
    } else {
        Fftw<T>::inverse(plans->inverse, scratch.spectrum(), scratch.samples());
        std::memcpy(output, scratch.samples(), n * sizeof(T));
    }
}

void realForwardRotated(const SetupState<float>* state, const float* input, const DSPSplitComplex* output,
                        unsigned long log2n) noexcept
{
    const PlanSet<float>* plans = plansFor<float>(state, log2n);
    if (plans == nullptr || log2n < 2) {
        return;
    }
    const std::size_t n = std::size_t{1} << log2n;
    const ScopedScratch<float> scratch(state, log2n);
    const float* source = input;
    if (!Fftw<float>::aligned(input)) {
        std::memcpy(scratch.samples(), input, n * sizeof(float));
        source = scratch.samples();
    }
    Fftw<float>::forward(plans->forward, source, scratch.spectrum());
    // The Nyquist bin, (-1)^(N/2) = +1, keeps its sign.
    deinterleaveScaledAlternating(scratch.spectrum(), output->realp, output->imagp, 2.0f, n / 2);
    output->imagp[0] = 2.0f * scratch.spectrum()[n];
}

void realInverseScaled(const SetupState<float>* state, const DSPSplitComplex* input, float* output,
                       std::size_t count, float scale, unsigned long log2n) noexcept
{
    const PlanSet<float>* plans = plansFor<float>(state, log2n);
    if (plans == nullptr) {
        return;
    }
    const std::size_t n = std::size_t{1} << log2n;
    const ScopedScratch<float> scratch(state, log2n);
    packSpectrum(input, scratch.spectrum(), n / 2);
    Fftw<float>::inverse(plans->inverse, scratch.spectrum(), scratch.samples());
    scaledCopy(output, scratch.samples(), scale, std::min(count, n));
}

template <class In, class Split>
void unzipZero(const In* input, const Split* output, unsigned long inputLength, unsigned long log2n) noexcept
{
    const std::size_t n = std::size_t{1} << log2n;
    const std::size_t half = n / 2;
    const std::size_t pairs = std::min<std::size_t>(n, inputLength) / 2;
    for (std::size_t k = 0; k < pairs; ++k) {
        output->realp[k] = input[2 * k];
        output->imagp[k] = input[2 * k + 1];
    }
    if (n <= inputLength) {
        return;
    }
    if (pairs < half) {
        output->realp[pairs] = (inputLength & 1) ? input[inputLength - 1] : 0;
        output->imagp[pairs] = 0;
        for (std::size_t k = pairs + 1; k < half; ++k) {
            output->realp[k] = 0;
            output->imagp[k] = 0;
        }
    }
}

} // namespace

struct OpaqueFFTSetup : SetupState<float> {};
struct OpaqueFFTSetupD : SetupState<double> {};

void dspkit_set_fft_planning(FFTPlanning planning) noexcept
{
    gPlanning.store(planning);
}

FFTPlanning dspkit_get_fft_planning() noexcept
{
    return gPlanning.load();
}

void dspkit_create_setup(FFTSetup* setup, unsigned long maxLog2n)
{
    createSetup<float>(setup, maxLog2n);
}

void dspkit_create_setup(FFTSetupD* setup, unsigned long maxLog2n)
{
    createSetup<double>(setup, maxLog2n);
}

void dspkit_destroy_setup(FFTSetup setup) noexcept
{
    delete setup;
}

void dspkit_destroy_setup(FFTSetupD setup) noexcept
{
    delete setup;
}

void dspkit_fft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept
{
    complexTransform<float>(setup, buffer, log2n, false);
}

void dspkit_fft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept
{
    complexTransform<double>(setup, buffer, log2n, false);
}

void dspkit_ifft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept
{
    complexTransform<float>(setup, buffer, log2n, true);
}

void dspkit_ifft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept
{
    complexTransform<double>(setup, buffer, log2n, true);
}

void dspkit_rfft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept
{
    realForwardInPlace<float>(setup, buffer, log2n);
}

void dspkit_rfft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept
{
    realForwardInPlace<double>(setup, buffer, log2n);
}

void dspkit_rifft(FFTSetup setup, const DSPSplitComplex* buffer, unsigned long log2n) noexcept
{
    realInverseInPlace<float>(setup, buffer, log2n);
}

void dspkit_rifft(FFTSetupD setup, const DSPDoubleSplitComplex* buffer, unsigned long log2n) noexcept
{
    realInverseInPlace<double>(setup, buffer, log2n);
}

void dspkit_unzip(const float* input, const DSPSplitComplex* output, unsigned long log2n) noexcept
{
    deinterleaveScaled(input, output->realp, output->imagp, 1.0f, std::size_t{1} << (log2n - 1));
}

void dspkit_unzip(const double* input, const DSPDoubleSplitComplex* output, unsigned long log2n) noexcept
{
    deinterleaveScaled(input, output->realp, output->imagp, 1.0, std::size_t{1} << (log2n - 1));
}

void dspkit_zip(const DSPSplitComplex* input, float* output, unsigned long log2n) noexcept
{
    interleave(input->realp, input->imagp, output, std::size_t{1} << (log2n - 1));
}

void dspkit_zip(const DSPDoubleSplitComplex* input, double* output, unsigned long log2n) noexcept
{
    interleave(input->realp, input->imagp, output, std::size_t{1} << (log2n - 1));
}

void dspkit_unzip_zero(const float* input, const DSPSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept
{
    unzipZero(input, output, inputLength, log2n);
}

void dspkit_unzip_zero(const double* input, const DSPDoubleSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept
{
    unzipZero(input, output, inputLength, log2n);
}

void dspkit_unzip_zero(const float* input, const DSPDoubleSplitComplex* output,
                       unsigned long inputLength, unsigned long log2n) noexcept
{
    unzipZero(input, output, inputLength, log2n);
}

void dspkit_rfft(FFTSetup setup, const float* input, const DSPSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept
{
    realForwardFrom<float>(setup, input, output, inputLength, log2n);
}

void dspkit_rfft(FFTSetupD setup, const double* input, const DSPDoubleSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept
{
    realForwardFrom<double>(setup, input, output, inputLength, log2n);
}

void dspkit_rfft(FFTSetupD setup, const float* input, const DSPDoubleSplitComplex* output,
                 unsigned long inputLength, unsigned long log2n) noexcept
{
    realForwardFrom<double>(setup, input, output, inputLength, log2n);
}

void dspkit_rifft(FFTSetup setup, const DSPSplitComplex* input, float* output,
                  unsigned long log2n) noexcept
{
    realInverseTo<float>(setup, input, output, log2n);
}

void dspkit_rifft(FFTSetupD setup, const DSPDoubleSplitComplex* input, double* output,
                  unsigned long log2n) noexcept
{
    realInverseTo<double>(setup, input, output, log2n);
}

void dspkit_rfft_rotated(FFTSetup setup, const float* input, const DSPSplitComplex* output,
                         unsigned long log2n) noexcept
{
    realForwardRotated(setup, input, output, log2n);
}

void dspkit_rifft_scaled(FFTSetup setup, const DSPSplitComplex* input, float* output,
                         unsigned long count, float scale, unsigned long log2n) noexcept
{
    realInverseScaled(setup, input, output, count, scale, log2n);
}

} // namespace dspkit
