#include "MyUtilsTime.h"

#include "Platform.h"
#include "TLogManager.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace MyUtils {

namespace {

constexpr Uint32 kWrapDistance = 0x7FFFFFFF;

struct tm LocalNow()
{
    std::time_t now = vorel_sdl2::Platform.Now();
    struct tm local {};
    localtime_r(&now, &local);
    return local;
}

} // namespace

bool IsTime(Uint32& LastTime, Uint32 Interval, bool UpdateLastTime)
{
    Uint32 now = vorel_sdl2::Platform.Ticks();
    if (LastTime > 1) {
        int64_t distance = static_cast<int64_t>(now) - static_cast<int64_t>(LastTime);
        if (distance < 0)
            distance = -distance;
        if (distance > static_cast<int64_t>(kWrapDistance)) {
            logman::WriteLog(0, 0, "SDLGetTicks overflow detected (LastTime=%u, GetTicks()=%u, overflow_constant=%u)",
                             LastTime, now, kWrapDistance);
            LastTime = now;
        }
    }
    if (LastTime != 0 && now - LastTime <= Interval)
        return false;
    if (UpdateLastTime)
        LastTime = now;
    return true;
}

bool CompareTimes(Uint32 Time1, Uint32 Time2, Uint32 Diff)
{
    if (Time1 < Time2)
        return false;
    return Diff == 0 || Time1 - Time2 < Diff;
}

std::string GetCurrentTimeString()
{
    struct tm t = LocalNow();
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

std::string GetCurrentTimeStampString()
{
    struct tm t = LocalNow();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d %04d-%02d-%02d", t.tm_hour, t.tm_min, t.tm_sec,
                  t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    return buffer;
}

std::string GetCurrentDateString()
{
    struct tm t = LocalNow();
    char buffer[79];
    if (std::strftime(buffer, sizeof buffer, "%F", &t) == 0)
        return std::string();
    return buffer;
}

} // namespace MyUtils
