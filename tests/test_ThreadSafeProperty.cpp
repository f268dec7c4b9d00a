#include "ThreadSafeProperty.h"
#include "WaitFor.h"

#include <gtest/gtest.h>

#include <SDL2/SDL.h>

#include <atomic>
#include <memory>
#include <vector>
#include <stdexcept>
#include <thread>

namespace {

// Whether another thread gets the lock within `ms`. ILockable has no
// try-lock, so a probe thread blocks in Lock. A probe still blocked when the
// time is up is kept in `pending` and joined once the lock is free again.
std::vector<std::thread> pending;

bool TakenElsewhereWithin(const ILockable& l, int ms)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread probe([&l, done] {
        l.Lock();
        l.Unlock();
        *done = true;
    });
    const bool taken = WaitFor([&] { return done->load(); }, ms);
    pending.push_back(std::move(probe));
    if (taken) {
        // Free now: every probe kept earlier gets it too.
        for (std::thread& t : pending)
            t.join();
        pending.clear();
    }
    return taken;
}

// A free lock is taken at once; the long deadline only bounds a failure.
bool FreeElsewhere(const ILockable& l) { return TakenElsewhereWithin(l, 10000); }

// Nothing can prove a held lock will never be granted: 200 ms without it.
bool HeldElsewhere(const ILockable& l) { return !TakenElsewhereWithin(l, 200); }

} // namespace

TEST(ScopedLock, NullGuardDoesNothingAndCopiesBalance)
{
    { ScopedLock none(static_cast<const ILockable*>(nullptr)); }

    ILockable l;
    {
        ScopedLock a(l);
        ScopedLock b(a);
        EXPECT_TRUE(HeldElsewhere(l));
    }
    EXPECT_TRUE(FreeElsewhere(l));
}

TEST(ILockable, SafeAccessReleasesOnEmptyAndThrowingFunctions)
{
    ILockable l;
    EXPECT_THROW(l.SafeAccess(std::function<void()>()), std::bad_function_call);
    EXPECT_TRUE(FreeElsewhere(l));

    struct Marker {};
    EXPECT_THROW(l.SafeAccess([] { throw Marker{}; }), Marker);
    EXPECT_TRUE(FreeElsewhere(l));

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
        EXPECT_TRUE(HeldElsewhere(p));
    }
    EXPECT_TRUE(FreeElsewhere(p));
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
