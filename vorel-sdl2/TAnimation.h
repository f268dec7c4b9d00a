// Time-based animation of one float value.
//
// A TAnimation runs from a start value to an end value over a duration,
// through one of ten easing curves or a caller-supplied one, with an optional
// delay before each run, clamping or looping at both ends, reversal, pause and
// resume, and the option of following another animation's clock. It owns no
// thread and no timer: every query takes a timestamp in milliseconds (or reads
// the tick source, SDL_GetTicks() unless replaced) and computes the answer
// from the stored fields, so a host simply asks value(now) once per frame.
//
//   TAnimation fade(0, 255, 500, AT_LINEAR);
//   fade.start();
//   ... alpha = fade.intValue();  if (fade.state() == ASTATE_COMPLETED) ...
//
// Threads: none of its own. One animation is used from one thread at a time;
// a tracked animation must not be changed while another thread queries the
// tracker. The tick source is process-wide.
//
// Failure and odd input (nothing here crashes or recurses without bound):
// - A duration of 0 given to a constructor throws the const char* text
//   "TAnimation ERROR: Duration cannot be zero!". setDuration(0) is accepted:
//   the normalised time is then 1 (the end value, or the start when reversed).
// - A negative duration is accepted: the run goes backwards in normalised
//   time, so under clamping the value holds the start value (the end value
//   when reversed) and the state reports completed as soon as it runs.
// - A negative delay is accepted: each run starts that many milliseconds into
//   its curve and its interval is shortened by as much.
// - Timestamps before the start give a negative elapsed time: clamping holds
//   the start value, LIMIT_NONE extrapolates the curve, LIMIT_LOOP wraps into
//   (-1, 0] (the curve is then evaluated there, as for any looped time).
// - AT_CUSTOM with a null custom function uses the linear curve.
// - trackOtherAnimationTime refuses (returns false, nothing changes) a target
//   whose chain of tracked animations leads back to this one. A loop that is
//   made anyway by copying an animation over one it tracks is cut after
//   kMaxTrackingDepth links: the animation reached there counts as the one
//   whose clock is followed. The tracked animation is not owned and must
//   outlive the tracker.
// - intValue of a value that is not a number gives 0; values beyond the int
//   range give INT_MIN or INT_MAX.
#pragma once

class TAnimation;

// A curve: maps the normalised time t (0 at the start of a run, 1 at its end)
// to the fraction of the way from the start value to the end value.
using AnimationFunction = float (*)(const TAnimation& animation, float t);

enum EAnimationType : int {
    AT_LINEAR = 0,
    AT_SINE = 1,
    AT_COS = 2,
    AT_SINE_2 = 3,
    AT_COS_2 = 4,
    AT_COS_FULL = 5,
    AT_QUAD = 6,
    AT_SQRT = 7,
    AT_EXP5 = 8,
    AT_EXP5_NEG = 9,
    AT_CUSTOM = 10,
};

enum ELimits {
    LIMIT_NONE = 0,  // leave the normalised time unchanged
    LIMIT_CLAMP = 1, // clamp it to [0, 1]
    LIMIT_LOOP = 2,  // wrap it with a floating remainder by 1
};

enum EAnimationState {
    ASTATE_READY = 0,
    ASTATE_RUNNING = 1,
    ASTATE_PAUSED = 2,
    ASTATE_COMPLETED = 3,
};

// The curves. Trigonometric and exponential ones compute in double precision.
float ft_linear(const TAnimation& animation, float t);   // t
float ft_sine(const TAnimation& animation, float t);     // (sin(pi t) + 1) / 2
float ft_cos(const TAnimation& animation, float t);      // (cos(pi t) + 1) / 2
float ft_sine2(const TAnimation& animation, float t);    // sin(pi t / 2)
float ft_cos2(const TAnimation& animation, float t);     // cos(pi t / 2)
float ft_cos_full(const TAnimation& animation, float t); // (cos(2 pi t) + 1) / 2
float ft_quad(const TAnimation& animation, float t);     // t^2
float ft_sqrt(const TAnimation& animation, float t);     // sqrt(t)
// (e^(5(t-1)) - e^-1) / (1 - e^-5): runs from about -0.3636 to about 0.6364.
float ft_exp5(const TAnimation& animation, float t);
// (e^(-5(1+t)) - e^-10) / (e^-5 (1 - e^-5)): runs from 1 to 0.
float ft_exp5_neg(const TAnimation& animation, float t);

// The normalised time at which the curve of `type` from `from` to `to`
// reaches `value`. For AT_SINE and AT_COS_FULL, whose curves are not
// monotonic, the answer lies in [-0.5, 0.5] and [0, 0.5]. For AT_EXP5 it is
// the inverse of (e^(4t) - 1) / (e^4 - 1), not of the AT_EXP5 curve. AT_LINEAR,
// AT_CUSTOM and unknown types give the linear inverse.
float inversolate(EAnimationType type, float from, float to, float value);

class TAnimation {
public:
    // The clock read by the operations that take no timestamp: Platform.Ticks,
    // so a test that drives the framework's clock drives every animation too.
    static long now();

    static constexpr int kMaxTrackingDepth = 32;

    TAnimation();
    // Throws "TAnimation ERROR: Duration cannot be zero!" for a duration of 0.
    TAnimation(float from, float to, long duration_ms, EAnimationType animationType);
    // Start and/or end value taken from the other animation's value() now.
    TAnimation(const TAnimation& from, float to, long duration_ms, EAnimationType animationType);
    TAnimation(float from, const TAnimation& to, long duration_ms, EAnimationType animationType);
    TAnimation(const TAnimation& from, const TAnimation& to, long duration_ms,
               EAnimationType animationType);

    // --- Control
    // While tracking, start() keeps the offset and only marks the animation
    // running; otherwise it starts now.
    void start();
    void start(long beginTimestampMs);
    // Pauses at the timestamp if the animation is running now.
    void pause(long timestampMs);
    void pause();
    // Resumes a paused animation, moving its begin by the length of the pause.
    void resume(long timestampMs);
    void resume();
    void reset(); // ready
    void stop();  // completed
    // Follows the clock of `targetAnimation` with no offset; null ends the
    // tracking. Refuses a target that tracks this animation, directly or
    // through others (or is this animation): returns false and changes nothing.
    bool trackOtherAnimationTime(const TAnimation* targetAnimation);
    void setLimits(ELimits ifElapsedNegative, ELimits ifElapsedOverDuration);
    void setAnimationType(EAnimationType animationType);
    void setDuration(long duration_ms);
    void setDelay(long delay_ms);
    void setReverse(bool reverse);
    void setCustomFunction(AnimationFunction f);

    // Retargets the animation to new end points (and duration, unless 0).
    // With rescaleToTime >= 1 the animation continues from the value it has at
    // that timestamp: its begin is moved so that the new curve passes through
    // that value there (for a paused animation, at the moment of the pause),
    // forwards or reversed, with or without a delay or tracking. AT_EXP5 is
    // continuous only approximately (see inversolate). When no time on the new
    // curve gives that value (equal end points, a value out of the curve's
    // reach), the new run starts at that timestamp. With rescaleToTime < 1 the
    // animation is reset to ready.
    void updateAnimationPoints(float from, float to, long duration, long rescaleToTime);

    // --- Queries
    float value(long timestampMs) const;
    float value() const;
    // The value rounded to nearest, halves away from zero.
    int intValue(long timestampMs) const;
    int intValue() const;
    // The value at normalised time t, limits applied.
    float valueAt(float t) const;
    // Reports ASTATE_COMPLETED once a running animation with a clamped upper
    // limit is past its interval; the stored state stays running.
    EAnimationState state(long timestampMs) const;
    EAnimationState state() const;
    long elapsedMs(long timestampMs) const;
    long elapsedMs() const;
    // Elapsed time within the current interval (delay + duration); negative
    // before the start.
    long intervalElapsedMs(long timestampMs) const;
    long intervalElapsedMs() const;
    long fullDuration() const { return mDuration + mDelay; }
    float from() const { return mFrom; }
    float to() const { return mTo; }
    long duration() const { return mDuration; }
    long delay() const { return mDelay; }
    bool reverse() const { return mReverse; }
    // While tracking: the begin timestamp of the animation at the end of the
    // tracking chain; otherwise the own begin timestamp.
    long beginTimestampMs() const;
    long endTimestampMs() const { return beginTimestampMs() + fullDuration(); }
    long delayTimestampMs() const { return beginTimestampMs() + mDelay; }
    long intervalBeginTimestampMs(long timestampMs) const;
    long intervalEndTimestampMs(long timestampMs) const;
    long intervalDelayTimestampMs(long timestampMs) const;

    // The value at normalised time t of a temporary linear-clock animation
    // (from, to, 1 ms, type) with the given limits; AT_CUSTOM is linear here.
    static float interpolate(EAnimationType type, float from, float to, float t,
                             ELimits negLimit, ELimits posLimit);

protected:
    ELimits mLimits[2] = {LIMIT_CLAMP, LIMIT_CLAMP};
    float mFrom = 0.0f;
    float mTo = 1.0f;
    // While tracking: an offset subtracted from every timestamp before the
    // tracked animation is asked.
    long mBeginTs = 0;
    long mDuration = 1000;
    long mDelay = 0;
    long mPausedTs = 0;
    bool mReverse = false;
    AnimationFunction mTypeFunction = ft_linear;
    EAnimationType mAnimationType = AT_LINEAR;
    EAnimationState mState = ASTATE_READY;
    const TAnimation* mTracking = nullptr;

private:
    // Elapsed time of the tracking chain, ignoring this animation's own state.
    long chainElapsedMs(long timestampMs) const;
    // Sum of the begin timestamps (offsets) of the animations this one tracks.
    long chainBeginMs() const;
};
