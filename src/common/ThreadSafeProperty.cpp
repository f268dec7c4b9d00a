#include "ThreadSafeProperty.h"

#include <cstdio>
#include <cstdlib>

ILockable::ILockable() : mMutex(SDL_CreateMutex())
{
    if (!mMutex) {
        // Without its mutex the object cannot guard anything; carrying on
        // would turn every later lock into silent data races.
        std::fprintf(stderr, "ILockable: SDL_CreateMutex failed: %s\n", SDL_GetError());
        std::abort();
    }
}

ILockable::~ILockable()
{
    SDL_DestroyMutex(mMutex);
}

void ILockable::Lock() const
{
    SDL_LockMutex(mMutex);
}

void ILockable::Unlock() const
{
    SDL_UnlockMutex(mMutex);
}

void ILockable::SafeAccess(const std::function<void()>& fn) const
{
    if (!fn)
        throw std::bad_function_call();
    ScopedLock lock(this);
    fn();
}

ScopedLock::ScopedLock(const ILockable* p) : mLockedInterface(p)
{
    if (mLockedInterface)
        mLockedInterface->Lock();
}

ScopedLock::ScopedLock(const ILockable& r) : ScopedLock(&r) {}

ScopedLock::ScopedLock(const ScopedLock& other) : ScopedLock(other.mLockedInterface) {}

ScopedLock::~ScopedLock()
{
    if (mLockedInterface)
        mLockedInterface->Unlock();
    mLockedInterface = nullptr;
}
