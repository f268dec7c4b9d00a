#include "TLogFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

int TLogFile::Open(const std::string& path, bool& bCreated)
{
    Close();
    bCreated = false;
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // O_EXCL: a file that appeared meanwhile is appended to, never truncated.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_CREAT | O_EXCL, 0666);
        if (fd >= 0)
            bCreated = true;
        else if (errno == EEXIST)
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0)
        return errno ? errno : EIO;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int error = errno;
        ::close(fd);
        return error;
    }
    mFd = fd;
    mDevice = st.st_dev;
    mInode = st.st_ino;
    mPath = path;
    return 0;
}

void TLogFile::Close()
{
    if (mFd < 0)
        return;
    ::close(mFd);
    mFd = -1;
}

bool TLogFile::StillAtPath() const
{
    struct stat st {};
    return mFd >= 0 && ::stat(mPath.c_str(), &st) == 0 && st.st_dev == mDevice && st.st_ino == mInode;
}

bool TLogFile::Space(unsigned long long& freeBytes, unsigned long long& totalBytes) const
{
    struct statvfs vfs {};
    if (mFd < 0 || ::fstatvfs(mFd, &vfs) != 0)
        return false;
    unsigned long long unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    freeBytes = static_cast<unsigned long long>(vfs.f_bavail) * unit;
    totalBytes = static_cast<unsigned long long>(vfs.f_blocks) * unit;
    return true;
}

size_t TLogFile::Write(const char* data, size_t size, int& error, bool bAllOrNothing)
{
    error = 0;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(mFd, data + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        error = n < 0 ? errno : ENOSPC;
        break;
    }
    if (done == size)
        return size;
    // Cut the part of a line that went in, so the file holds only whole lines.
    size_t whole = bAllOrNothing ? 0 : done;
    while (whole > 0 && data[whole - 1] != '\n')
        --whole;
    if (whole < done) {
        off_t end = ::lseek(mFd, 0, SEEK_END);
        if (end >= static_cast<off_t>(done - whole))
            static_cast<void>(::ftruncate(mFd, end - static_cast<off_t>(done - whole)));
    }
    return whole;
}
