#include "TAnimation.h"

#include "Platform.h"

#include <SDL2/SDL_timer.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;

const double kExpM1 = std::exp(-1.0);
const double kExpM5 = std::exp(-5.0);
const double kExpM10 = kExpM5 * kExpM5;
const double kExp4 = std::exp(4.0);

// Timestamps are caller data: keep the arithmetic on them free of overflow
// traps. Wrapping subtraction and a quotient/remainder that survive
// LONG_MIN / -1 (a full duration of -1 is legal input).
long Sub(long a, long b)
{
    return static_cast<long>(static_cast<unsigned long>(a) - static_cast<unsigned long>(b));
}

long Add(long a, long b)
{
    return static_cast<long>(static_cast<unsigned long>(a) + static_cast<unsigned long>(b));
}

long Quot(long a, long b)
{
    return b == -1 ? Sub(0, a) : a / b;
}

long Rem(long a, long b)
{
    return b == -1 ? 0 : a % b;
}

} // namespace

// --- Curves

float ft_linear(const TAnimation&, float t)
{
    return t;
}

float ft_sine(const TAnimation&, float t)
{
    return static_cast<float>((std::sin(kPi * t) + 1.0) / 2.0);
}

float ft_cos(const TAnimation&, float t)
{
    return static_cast<float>((std::cos(kPi * t) + 1.0) / 2.0);
}

float ft_sine2(const TAnimation&, float t)
{
    return static_cast<float>(std::sin(kPi * t / 2.0));
}

float ft_cos2(const TAnimation&, float t)
{
    return static_cast<float>(std::cos(kPi * t / 2.0));
}

float ft_cos_full(const TAnimation&, float t)
{
    return static_cast<float>((std::cos(2.0 * kPi * t) + 1.0) / 2.0);
}

float ft_quad(const TAnimation&, float t)
{
    return t * t;
}

float ft_sqrt(const TAnimation&, float t)
{
    return std::sqrt(t);
}

float ft_exp5(const TAnimation&, float t)
{
    // The exponent is taken in single precision, the constants in double.
    const double e = std::exp(5.0f * (t - 1.0f));
    return static_cast<float>((e - kExpM1) / (1.0 - kExpM5));
}

float ft_exp5_neg(const TAnimation&, float t)
{
    const double e = std::exp(-5.0f * (1.0f + t));
    return static_cast<float>((e - kExpM10) / (kExpM5 * (1.0 - kExpM5)));
}

float inversolate(EAnimationType type, float from, float to, float value)
{
    const float u = (value - from) / (to - from);
    switch (type) {
    case AT_SINE:
        return static_cast<float>(std::asin(2.0f * u - 1.0f) / kPi);
    case AT_COS:
        return static_cast<float>(std::acos(2.0f * u - 1.0f) / kPi);
    case AT_SINE_2:
        return static_cast<float>(2.0f * std::asin(u) / kPi);
    case AT_COS_2:
        return static_cast<float>(2.0f * std::acos(u) / kPi);
    case AT_COS_FULL:
        return static_cast<float>(std::acos(2.0f * u - 1.0f) * 0.5 / kPi);
    case AT_QUAD:
        return std::sqrt(u);
    case AT_SQRT:
        return u * u;
    case AT_EXP5:
        return static_cast<float>(std::log(u * (kExp4 - 1.0) + 1.0) / 4.0);
    case AT_EXP5_NEG:
        return static_cast<float>(-(std::log(u * kExpM5 * (1.0 - kExpM5) + kExpM10) / 5.0 + 1.0));
    default:
        return u;
    }
}

// --- Clock

long TAnimation::now()
{
    return static_cast<long>(vorel_sdl2::Platform.Ticks());
}

// --- Construction

TAnimation::TAnimation() = default;

TAnimation::TAnimation(float from, float to, long duration_ms, EAnimationType animationType)
    : mFrom(from), mTo(to), mDuration(duration_ms), mAnimationType(animationType)
{
    if (duration_ms == 0)
        throw "TAnimation ERROR: Duration cannot be zero!";
}

TAnimation::TAnimation(const TAnimation& from, float to, long duration_ms,
                       EAnimationType animationType)
    : TAnimation(from.value(), to, duration_ms, animationType)
{
}

TAnimation::TAnimation(float from, const TAnimation& to, long duration_ms,
                       EAnimationType animationType)
    : TAnimation(from, to.value(), duration_ms, animationType)
{
}

TAnimation::TAnimation(const TAnimation& from, const TAnimation& to, long duration_ms,
                       EAnimationType animationType)
    : TAnimation(from.value(), to.value(), duration_ms, animationType)
{
}

// --- Control

void TAnimation::start()
{
    if (mTracking)
        mState = ASTATE_RUNNING;
    else
        start(now());
}

void TAnimation::start(long beginTimestampMs)
{
    mBeginTs = beginTimestampMs;
    mState = ASTATE_RUNNING;
}

void TAnimation::pause(long timestampMs)
{
    if (state() == ASTATE_RUNNING) {
        mPausedTs = timestampMs;
        mState = ASTATE_PAUSED;
    }
}

void TAnimation::pause()
{
    pause(now());
}

void TAnimation::resume(long timestampMs)
{
    if (state() == ASTATE_PAUSED) {
        mBeginTs = Add(mBeginTs, Sub(timestampMs, mPausedTs));
        mPausedTs = 0;
        mState = ASTATE_RUNNING;
    }
}

void TAnimation::resume()
{
    resume(now());
}

void TAnimation::reset()
{
    mState = ASTATE_READY;
}

void TAnimation::stop()
{
    mState = ASTATE_COMPLETED;
}

bool TAnimation::trackOtherAnimationTime(const TAnimation* targetAnimation)
{
    int depth = 0;
    for (const TAnimation* a = targetAnimation; a; a = a->mTracking) {
        // Links made here never close a loop; the bound only guards chains
        // already looped by copying.
        if (a == this || ++depth > kMaxTrackingDepth)
            return false;
    }
    mTracking = targetAnimation;
    mBeginTs = 0;
    return true;
}

void TAnimation::setLimits(ELimits ifElapsedNegative, ELimits ifElapsedOverDuration)
{
    mLimits[0] = ifElapsedNegative;
    mLimits[1] = ifElapsedOverDuration;
}

void TAnimation::setAnimationType(EAnimationType animationType)
{
    mAnimationType = animationType;
}

void TAnimation::setDuration(long duration_ms)
{
    mDuration = duration_ms;
}

void TAnimation::setDelay(long delay_ms)
{
    mDelay = delay_ms;
}

void TAnimation::setReverse(bool reverse)
{
    mReverse = reverse;
}

void TAnimation::setCustomFunction(AnimationFunction f)
{
    mTypeFunction = f;
}

void TAnimation::updateAnimationPoints(float from, float to, long duration, long rescaleToTime)
{
    const long newDuration = duration != 0 ? duration : mDuration;
    if (rescaleToTime >= 1) {
        const float v = value(rescaleToTime);
        float u = inversolate(mAnimationType, from, to, v);
        if (!std::isfinite(u))
            u = 0.0f; // equal end points or a value the curve never reaches
        else
            u = std::clamp(u, -1e6f, 1e6f); // keeps the offset within range
        // Place the new run so that its normalised time at the reference
        // moment is u (1 - u reversed), after the delay of its first
        // interval. A paused animation is evaluated at the moment it paused.
        const float runTime = mReverse ? 1.0f - u : u;
        const long offset = mDelay + std::lround(static_cast<float>(newDuration) * runTime);
        const long ref = mState == ASTATE_PAUSED ? mPausedTs : rescaleToTime;
        mBeginTs = Sub(ref, offset);
        if (mTracking)
            mBeginTs = Sub(mBeginTs, chainBeginMs());
    } else {
        reset();
    }
    mFrom = from;
    mTo = to;
    mDuration = newDuration;
}

// --- Queries

long TAnimation::chainElapsedMs(long ts) const
{
    const TAnimation* a = this;
    for (int depth = 0; a->mTracking && depth < kMaxTrackingDepth; ++depth) {
        ts = Sub(ts, a->mBeginTs);
        a = a->mTracking;
        if (a->mState == ASTATE_READY)
            return 0;
    }
    return Sub(ts, a->mBeginTs);
}

long TAnimation::chainBeginMs() const
{
    long sum = 0;
    const TAnimation* a = mTracking;
    for (int depth = 1; a; ++depth) {
        sum = Add(sum, a->mBeginTs);
        if (depth >= kMaxTrackingDepth)
            break;
        a = a->mTracking;
    }
    return sum;
}

long TAnimation::elapsedMs(long timestampMs) const
{
    if (mState == ASTATE_READY)
        return 0;
    return chainElapsedMs(timestampMs);
}

long TAnimation::elapsedMs() const
{
    return elapsedMs(now());
}

long TAnimation::intervalElapsedMs(long timestampMs) const
{
    const long e = elapsedMs(timestampMs);
    const long full = fullDuration();
    return full == 0 ? e : Rem(e, full);
}

long TAnimation::intervalElapsedMs() const
{
    return intervalElapsedMs(now());
}

EAnimationState TAnimation::state(long timestampMs) const
{
    if (mState == ASTATE_RUNNING && mLimits[1] == LIMIT_CLAMP &&
        elapsedMs(timestampMs) > fullDuration())
        return ASTATE_COMPLETED;
    return mState;
}

EAnimationState TAnimation::state() const
{
    return state(now());
}

long TAnimation::beginTimestampMs() const
{
    const TAnimation* a = this;
    for (int depth = 0; a->mTracking && depth < kMaxTrackingDepth; ++depth)
        a = a->mTracking;
    return a->mBeginTs;
}

long TAnimation::intervalBeginTimestampMs(long timestampMs) const
{
    return timestampMs - intervalElapsedMs(timestampMs);
}

long TAnimation::intervalEndTimestampMs(long timestampMs) const
{
    return intervalBeginTimestampMs(timestampMs) + fullDuration();
}

long TAnimation::intervalDelayTimestampMs(long timestampMs) const
{
    return intervalBeginTimestampMs(timestampMs) + mDelay;
}

float TAnimation::value(long timestampMs) const
{
    const long full = fullDuration();
    long e;
    switch (mState) {
    case ASTATE_RUNNING: e = elapsedMs(timestampMs); break;
    case ASTATE_PAUSED: e = elapsedMs(mPausedTs); break;
    case ASTATE_COMPLETED: e = full; break;
    default: e = 0; break;
    }

    long x;
    if (full == 0)
        x = mDuration;
    else if (e > 0 && intervalElapsedMs(timestampMs) < mDelay)
        x = 0; // inside the delay of a later interval: rest at the start
    else
        x = e - mDelay * (Quot(e, full) + 1); // k durations plus the time into run k

    float t = mDuration == 0 ? 1.0f : static_cast<float>(x) / static_cast<float>(mDuration);
    if (mReverse)
        t = 1.0f - t;
    return valueAt(t);
}

float TAnimation::value() const
{
    return value(now());
}

int TAnimation::intValue(long timestampMs) const
{
    const float r = std::round(value(timestampMs));
    if (std::isnan(r))
        return 0;
    if (r <= static_cast<float>(INT_MIN))
        return INT_MIN;
    if (r >= static_cast<float>(INT_MAX))
        return INT_MAX;
    return static_cast<int>(r);
}

int TAnimation::intValue() const
{
    return intValue(now());
}

float TAnimation::valueAt(float t) const
{
    if (mLimits[0] == LIMIT_CLAMP)
        t = std::max(0.0f, t);
    else if (mLimits[0] == LIMIT_LOOP && t < 0.0f)
        t = std::fmod(t, 1.0f);
    if (mLimits[1] == LIMIT_CLAMP)
        t = std::min(1.0f, t);
    else if (mLimits[1] == LIMIT_LOOP && t > 0.0f)
        t = std::fmod(t, 1.0f);

    float f;
    switch (mAnimationType) {
    case AT_SINE: f = ft_sine(*this, t); break;
    case AT_COS: f = ft_cos(*this, t); break;
    case AT_SINE_2: f = ft_sine2(*this, t); break;
    case AT_COS_2: f = ft_cos2(*this, t); break;
    case AT_COS_FULL: f = ft_cos_full(*this, t); break;
    case AT_QUAD: f = ft_quad(*this, t); break;
    case AT_SQRT: f = ft_sqrt(*this, t); break;
    case AT_EXP5: f = ft_exp5(*this, t); break;
    case AT_EXP5_NEG: f = ft_exp5_neg(*this, t); break;
    case AT_CUSTOM: f = mTypeFunction ? mTypeFunction(*this, t) : t; break;
    default: f = t; break;
    }

#ifdef VOREL_NOGFX
    // Exact at both ends: f = 1 gives mTo to the bit.
    return std::lerp(mFrom, mTo, f);
#else
    return mFrom + (mTo - mFrom) * f;
#endif
}

float TAnimation::interpolate(EAnimationType type, float from, float to, float t,
                              ELimits negLimit, ELimits posLimit)
{
    TAnimation a(from, to, 1, type);
    a.setLimits(negLimit, posLimit);
    return a.valueAt(t);
}
