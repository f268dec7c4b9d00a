#include "ThreadSafeProperty.h"

#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

// Tells from another thread whether the object is currently locked by anyone.
bool LockedElsewhere(const ILockable& l)
{
    std::atomic<bool> got{false};
    std::thread t([&] {
        // ILockable has no try-lock; a scoped lock from another thread that
        // completes quickly shows the mutex was free.
        std::atomic<bool> done{false};
        std::thread inner([&] { l.Lock(); l.Unlock(); done = true; });
        for (int i = 0; i < 200 && !done; ++i)
            SDL_Delay(1);
        got = done.load();
        if (!done) {
            inner.detach();
            return;
        }
        inner.join();
    });
    t.join();
    return !got;
}

} // namespace

TEST(ScopedLock, NullGuardDoesNothingAndCopiesBalance)
{
    { ScopedLock none(static_cast<const ILockable*>(nullptr)); }

    ILockable l;
    {
        ScopedLock a(l);
        ScopedLock b(a);
        EXPECT_TRUE(LockedElsewhere(l));
    }
    EXPECT_FALSE(LockedElsewhere(l));
}

TEST(ILockable, SafeAccessReleasesOnEmptyAndThrowingFunctions)
{
    ILockable l;
    EXPECT_THROW(l.SafeAccess(std::function<void()>()), std::bad_function_call);
    EXPECT_FALSE(LockedElsewhere(l));

    struct Marker {};
    EXPECT_THROW(l.SafeAccess([] { throw Marker{}; }), Marker);
    EXPECT_FALSE(LockedElsewhere(l));

    int calls = 0;
    l.SafeAccess([&] { ++calls; });
    EXPECT_EQ(calls, 1);
}

TEST(ThreadSafeProperty, ScopedLockValueIsRecursiveForItsHolder)
{
    ThreadSafeProperty<int> p(5);
    {
        auto held = p.getScopedLock();
        held.Value = 7;
        EXPECT_EQ(p.getCopy(), 7); // same thread locks again without blocking
        EXPECT_TRUE(LockedElsewhere(p));
    }
    EXPECT_FALSE(LockedElsewhere(p));
    const ThreadSafeProperty<int>& cp = p;
    EXPECT_EQ(cp.getScopedLock().Value, 7);
}

TEST(ThreadSafeProperty, CopiesAndAssignmentsCarryTheValue)
{
    ThreadSafeProperty<std::string> a(std::string("one"));
    ThreadSafeProperty<std::string> b(a);
    EXPECT_EQ(b.getCopy(), "one");
    b = std::string("two");
    a = b;
    std::string out;
    a.copyInto(out);
    EXPECT_EQ(out, "two");
    a.copyInto(static_cast<std::string*>(nullptr));
    EXPECT_EQ(static_cast<std::string>(a), "two");
}

TEST(ThreadSafeProperty, ReadersNeverSeeATornValue)
{
    struct Pair { long a; long b; };
    ThreadSafeProperty<Pair> p(Pair{0, 0});
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (long i = 1; !stop; ++i)
            p = Pair{i, -i};
    });
    for (int i = 0; i < 200000; ++i) {
        Pair v = p.getCopy();
        ASSERT_EQ(v.a, -v.b);
    }
    stop = true;
    writer.join();
}
