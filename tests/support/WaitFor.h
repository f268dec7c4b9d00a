// Waiting on a condition another thread makes true, with a deadline.
//
// Tests wait for what they need (a flag, a file, a count) instead of sleeping
// for a time that a loaded machine may not honour; the deadline only bounds a
// failure. The condition is polled between yields.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

inline bool WaitFor(const std::function<bool()>& condition, int ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}
