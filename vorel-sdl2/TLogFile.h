// The day's log file as the log manager's polling thread writes it.
//
// The manager collects a batch of lines and hands it to Write, which appends
// it with write(2) on an O_APPEND descriptor. Unlike a buffered stream this
// knows to the byte what the file took: when a write stops part-way (disk
// full, quota, I/O error) the part of a line that went in is cut off again,
// so the file only ever holds whole lines and the caller gets back exactly
// where the rest begins. The file also tells whether its path still names
// the open file (removed, replaced, folder gone or a volume mounted over it)
// and how much room its file system has left.
//
// One thread owns an instance; nothing here locks or throws.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

class TLogFile {
public:
    TLogFile() = default;
    ~TLogFile() { Close(); }
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Opens path for appending, creating it (never truncating) when it is
    // missing; bCreated tells whether this call made it. The parent folder
    // must exist. Returns 0 or the errno of the failure.
    int Open(const std::string& path, bool& bCreated);
    void Close();
    bool IsOpen() const { return mFd >= 0; }
    const std::string& Path() const { return mPath; }

    // False when the path no longer leads to the file that is open.
    bool StillAtPath() const;
    // Bytes free for writing on the file's file system and its size; false
    // when they cannot be read.
    bool Space(unsigned long long& freeBytes, unsigned long long& totalBytes) const;

    // Writes data; returns how many bytes stay in the file, which is size or
    // the end of the last whole line written (with bAllOrNothing: size or 0).
    // error is 0, or the errno that stopped the write.
    size_t Write(const char* data, size_t size, int& error, bool bAllOrNothing = false);

private:
    int mFd = -1;
    dev_t mDevice = 0;
    ino_t mInode = 0;
    std::string mPath;
};
