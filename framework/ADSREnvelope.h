// framework: an attack/decay/sustain/release amplitude envelope, advanced one
// sample per Process call on the audio thread.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <utility>

namespace plugfw {

template <typename T>
class ADSREnvelope {
public:
    enum EStage {
        kStageEndEarly = -3,
        kStageRetrigger = -2,
        kStageIdle = -1,
        kStageAttack = 0,
        kStageDecay = 1,
        kStageSustain = 2,
        kStageRelease = 3,
    };

    // Ramp lengths used to fade out before a hard end or a retrigger.
    static constexpr double kEarlyReleaseTimeMs = 20.0;
    static constexpr double kRetriggerReleaseTimeMs = 3.0;
    static constexpr double kDefaultSampleRate = 44100.0;

    using Callback = std::function<void()>;

    explicit ADSREnvelope(const char* name = "", Callback resetFunc = nullptr, bool sustainEnabled = true)
        : mName(name ? name : ""), mSustainEnabled(sustainEnabled), mResetFunc(std::move(resetFunc))
    {
        SetSampleRate(kDefaultSampleRate);
    }

    // Stores the rate and recomputes the fade-out increments. Stage times set
    // before are not recomputed: call SetStageTime again after a rate change.
    void SetSampleRate(T sampleRate) noexcept
    {
        mSampleRate = sampleRate;
        mEarlyReleaseIncr = static_cast<T>(1.0 / (static_cast<double>(sampleRate) * (kEarlyReleaseTimeMs / 1000.0)));
        mRetriggerReleaseIncr =
            static_cast<T>(1.0 / (static_cast<double>(sampleRate) * (kRetriggerReleaseTimeMs / 1000.0)));
    }

    // Attack is a linear ramp over timeMs; decay and release are exponential
    // falls of 60 dB over timeMs. A time of 0 (or less) makes the stage instant.
    void SetStageTime(int stage, double timeMs) noexcept
    {
        const double rate = static_cast<double>(mSampleRate);
        switch (stage) {
        case kStageAttack:
            mAttackIncr = timeMs > 0.0 ? static_cast<T>(1.0 / rate / (timeMs / 1000.0)) : T(0);
            break;
        case kStageDecay:
            mDecayIncr = timeMs > 0.0 ? static_cast<T>(-std::expm1(-kSixtyDbTimesMs / (rate * timeMs))) : T(0);
            break;
        case kStageRelease:
            mReleaseIncr = timeMs > 0.0 ? static_cast<T>(-std::expm1(-kSixtyDbTimesMs / (rate * timeMs))) : T(0);
            break;
        default: break;
        }
    }

    void SetResetFunc(Callback func) { mResetFunc = std::move(func); }
    void SetEndReleaseFunc(Callback func) { mEndReleaseFunc = std::move(func); }

    // audio thread: starts the attack from zero at the given level.
    void Start(T level, T timeScalar = T(1)) noexcept
    {
        mEnvValue = T(0);
        mStage = kStageAttack;
        mLevel = level;
        mScalar = timeScalar;
        mReleased = false;
    }

    // audio thread: enters the release from the last result.
    void Release() noexcept
    {
        mReleaseLevel = mPrevResult;
        mEnvValue = T(1);
        mStage = kStageRelease;
        mReleased = true;
    }

    // audio thread: fades out quickly and then restarts the attack at newStartLevel.
    void Retrigger(T newStartLevel) noexcept
    {
        mNewStartLevel = newStartLevel;
        mReleaseLevel = mPrevResult;
        mEnvValue = T(1);
        mStage = kStageRetrigger;
        mReleased = false;
    }

    // audio thread: fades out quickly and ends in the idle stage.
    void EndEarly() noexcept
    {
        mReleaseLevel = mPrevResult;
        mEnvValue = T(1);
        mStage = kStageEndEarly;
        mReleased = true;
    }

    // audio thread: advances one sample and returns the output (result x level).
    T Process(T sustainLevel) noexcept
    {
        T result = T(0);
        switch (mStage) {
        case kStageEndEarly:
            mEnvValue -= mEarlyReleaseIncr;
            if (IsTiny(mEnvValue)) {
                mLevel = T(0);
                mReleaseLevel = T(0);
                mEnvValue = T(0);
                mPrevResult = T(0);
                mStage = kStageIdle;
                if (mEndReleaseFunc) {
                    mEndReleaseFunc();
                }
                result = T(0);
            } else {
                result = mEnvValue * mReleaseLevel;
            }
            break;
        case kStageRetrigger:
            mEnvValue -= mRetriggerReleaseIncr;
            if (IsTiny(mEnvValue)) {
                mLevel = mNewStartLevel;
                mEnvValue = T(0);
                mStage = kStageAttack;
                mPrevResult = T(0);
                mReleaseLevel = T(0);
                if (mResetFunc) {
                    mResetFunc();
                }
                result = T(0);
            } else {
                result = mEnvValue * mReleaseLevel;
            }
            break;
        case kStageIdle:
            result = mEnvValue;
            break;
        case kStageAttack:
            mEnvValue += mAttackIncr * mScalar;
            if (mEnvValue > T(0.999) || mAttackIncr == T(0)) {
                mEnvValue = T(1);
                mStage = kStageDecay;
                result = T(1);
            } else {
                result = mEnvValue;
            }
            break;
        case kStageDecay: {
            const T e = mEnvValue - mDecayIncr * mEnvValue * mScalar;
            result = static_cast<T>((1.0 - static_cast<double>(sustainLevel)) * static_cast<double>(e) +
                                    static_cast<double>(sustainLevel));
            mEnvValue = e;
            if (IsTiny(e)) {
                if (mSustainEnabled) {
                    mEnvValue = T(1);
                    mStage = kStageSustain;
                    result = sustainLevel;
                } else {
                    mReleaseLevel = mPrevResult;
                    mEnvValue = T(1);
                    mStage = kStageRelease;
                    mReleased = true;
                }
            }
            break;
        }
        case kStageSustain:
            result = sustainLevel;
            break;
        case kStageRelease:
            mEnvValue -= mReleaseIncr * mEnvValue * mScalar;
            if (IsTiny(mEnvValue) || mReleaseIncr == T(0)) {
                mEnvValue = T(0);
                mStage = kStageIdle;
                if (mEndReleaseFunc) {
                    mEndReleaseFunc();
                }
                result = T(0);
            } else {
                result = mEnvValue * mReleaseLevel;
            }
            break;
        default:
            break;
        }
        mPrevResult = result;
        mPrevOutput = result * mLevel;
        return mPrevOutput;
    }

    [[nodiscard]] const char* GetName() const noexcept { return mName; }
    [[nodiscard]] int GetStage() const noexcept { return mStage; }
    [[nodiscard]] bool GetBusy() const noexcept { return mStage != kStageIdle; }
    [[nodiscard]] bool GetReleased() const noexcept { return mReleased; }
    [[nodiscard]] T GetValue() const noexcept { return mEnvValue; }
    [[nodiscard]] T GetLevel() const noexcept { return mLevel; }
    [[nodiscard]] T GetReleaseLevel() const noexcept { return mReleaseLevel; }
    [[nodiscard]] T GetPrevResult() const noexcept { return mPrevResult; }
    [[nodiscard]] T GetPrevOutput() const noexcept { return mPrevOutput; }
    [[nodiscard]] T GetScalar() const noexcept { return mScalar; }
    [[nodiscard]] T GetSampleRate() const noexcept { return mSampleRate; }
    [[nodiscard]] T GetEarlyReleaseIncr() const noexcept { return mEarlyReleaseIncr; }
    [[nodiscard]] T GetRetriggerReleaseIncr() const noexcept { return mRetriggerReleaseIncr; }
    [[nodiscard]] T GetAttackIncr() const noexcept { return mAttackIncr; }
    [[nodiscard]] T GetDecayIncr() const noexcept { return mDecayIncr; }
    [[nodiscard]] T GetReleaseIncr() const noexcept { return mReleaseIncr; }
    [[nodiscard]] bool GetSustainEnabled() const noexcept { return mSustainEnabled; }

    // A value below this counts as silent and ends a fading stage.
    static constexpr T kTiny = static_cast<T>(0.000001);

private:
    // 1000 x ln(1000): a fall of 60 dB expressed per millisecond.
    static constexpr double kSixtyDbTimesMs = 6907.755278982137;

    static bool IsTiny(T v) noexcept { return v < kTiny; }

    const char* mName;
    T mEarlyReleaseIncr = T(0);
    T mRetriggerReleaseIncr = T(0);
    T mAttackIncr = T(0);
    T mDecayIncr = T(0);
    T mReleaseIncr = T(0);
    T mSampleRate = T(0);
    T mEnvValue = T(0);
    int32_t mStage = kStageIdle;
    T mLevel = T(0);
    T mReleaseLevel = T(0);
    T mNewStartLevel = T(0);
    T mPrevResult = T(0);
    T mPrevOutput = T(0);
    T mScalar = T(1);
    bool mReleased = true;
    bool mSustainEnabled;
    Callback mResetFunc;
    Callback mEndReleaseFunc;
};

} // namespace plugfw
