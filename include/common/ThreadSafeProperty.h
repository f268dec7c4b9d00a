// The framework's one locking idiom.
//
//   ILockable             an object that owns one recursive SDL mutex
//   ScopedLock            holds an ILockable locked for its own lifetime
//   ThreadSafeProperty<T> a value that carries its own lock
//
// Every accessor that copies or assigns the value locks for that one
// operation only: a read followed by a write is atomic only when the caller
// holds the lock across both (Lock/Unlock, ScopedLock, SafeAccess or
// getScopedLock). The mutex is recursive; the framework relies on that, e.g.
// advanceStatus() locks the status and calls setStatus(), which locks again.
#pragma once

#include <SDL2/SDL_mutex.h>

#include <functional>
#include <memory>

class ILockable {
public:
    ILockable();
    ILockable(const ILockable&) = delete;
    ILockable& operator=(const ILockable&) = delete;
    // The mutex must not be held by anyone when the object is destroyed.
    virtual ~ILockable();

    void Lock() const;
    void Unlock() const;

    // Locks, calls fn, unlocks. An empty fn throws std::bad_function_call; an
    // exception from fn releases the lock and passes on unchanged.
    void SafeAccess(const std::function<void()>& fn) const;

private:
    SDL_mutex* mMutex;
};

class ScopedLock {
public:
    // A null pointer gives a guard that does nothing.
    explicit ScopedLock(const ILockable* p);
    explicit ScopedLock(const ILockable& r);
    // Guards the same object and locks it once more: each copy unlocks once.
    ScopedLock(const ScopedLock& other);
    ScopedLock& operator=(const ScopedLock&) = delete;
    ~ScopedLock();

private:
    const ILockable* mLockedInterface;
};

// Holds a raw SDL mutex locked for its own lifetime, for the managers' queue
// and list mutexes that are not ILockable objects.
class ScopedSDLMutex {
public:
    explicit ScopedSDLMutex(SDL_mutex* m) : mMutex(m) { SDL_LockMutex(mMutex); }
    ~ScopedSDLMutex() { SDL_UnlockMutex(mMutex); }
    ScopedSDLMutex(const ScopedSDLMutex&) = delete;
    ScopedSDLMutex& operator=(const ScopedSDLMutex&) = delete;

private:
    SDL_mutex* mMutex;
};

template <typename T>
class ThreadSafeProperty : public ILockable {
public:
    // Read-write access for as long as the object lives.
    struct ScopedLockValue {
        ScopedLock Lock;
        T& Value;
    };
    // Read-only access for as long as the object lives.
    struct ConstScopedLockValue {
        ScopedLock Lock;
        const T& Value;
    };

    // A scalar value is left unset; owners assign it before first use.
    ThreadSafeProperty() {}
    ThreadSafeProperty(const T& value) : mPropertyValue(value) {}
    ThreadSafeProperty(const ThreadSafeProperty<T>& other) : ILockable(), mPropertyValue(other.getCopy()) {}
    ~ThreadSafeProperty() override = default;

    ThreadSafeProperty<T>& operator=(const T& value)
    {
        ScopedLock lock(this);
        mPropertyValue = value;
        return *this;
    }

    ThreadSafeProperty<T>& operator=(const ThreadSafeProperty<T>& other)
    {
        if (std::addressof(other) != this)
            copyFrom(other);
        return *this;
    }

    operator T() const { return getCopy(); }

    T getCopy() const
    {
        ScopedLock lock(this);
        return mPropertyValue;
    }

    void copyInto(T& target) const
    {
        ScopedLock lock(this);
        target = mPropertyValue;
    }

    void copyInto(T* target) const
    {
        if (target)
            copyInto(*target);
    }

    // Unlocked access, only for a caller that already holds this property's
    // lock (Lock(), ScopedLock or getScopedLock()).
    T* operator->() { return &mPropertyValue; }
    const T* operator->() const { return &mPropertyValue; }
    T& operator&() { return mPropertyValue; }
    const T& operator&() const { return mPropertyValue; }

    ScopedLockValue getScopedLock() { return ScopedLockValue{ScopedLock(this), mPropertyValue}; }
    ConstScopedLockValue getScopedLock() const { return ConstScopedLockValue{ScopedLock(this), mPropertyValue}; }

private:
    // Copies out of the source under its lock first, then assigns under ours,
    // so the two locks are never held together.
    void copyFrom(const ThreadSafeProperty<T>& other)
    {
        T value = other.getCopy();
        ScopedLock lock(this);
        mPropertyValue = std::move(value);
    }

    T mPropertyValue;
};
