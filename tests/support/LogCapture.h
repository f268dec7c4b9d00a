// A log manager of its own for one test, made the default instance, that
// keeps every delivered line so the test can look for the framework's
// messages. Lines are collected from any thread; Lines() and Count() poll
// first.
#pragma once

#include "TLogManager.h"

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
public:
    explicit LogCapture(const std::string& logFile)
    {
        mLog.Init(logFile, &LogCapture::OnLine, this, false);
        logman::pDefInst = &mLog;
    }
    ~LogCapture() { mLog.Destroy(); } // also clears the default instance

    std::vector<std::string> Lines()
    {
        mLog.Poll();
        std::lock_guard<std::mutex> lock(mMutex);
        return mLines;
    }

    // Lines that end with the given text.
    int Count(const std::string& text)
    {
        int n = 0;
        for (const std::string& line : Lines())
            if (line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0)
                ++n;
        return n;
    }

private:
    static void OnLine(void* self, const TLogEntry& entry, int)
    {
        auto* me = static_cast<LogCapture*>(self);
        std::lock_guard<std::mutex> lock(me->mMutex);
        me->mLines.push_back(entry.Message);
    }

    TLogManager mLog;
    std::mutex mMutex;
    std::vector<std::string> mLines;
};
