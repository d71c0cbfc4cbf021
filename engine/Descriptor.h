#pragma once

#include <sys/stat.h>

#include "engine/Result.h"

// Owns a file descriptor and closes it when it goes. close() reports the close's own
// error; the destructor ignores it, for paths that have already failed.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : m_fd(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1);
    int release();
    Status close();

private:
    int m_fd;
};

// Opens `path`, relative to the folder open at `dirFd` (AT_FDCWD: the working folder),
// for reading when it names a regular file (symbolic links followed), and fills `st`.
// O_NONBLOCK: a FIFO put where a file was expected must not hang the caller. Fails
// with EISDIR for a folder, EINVAL for anything else that is not a regular file.
Result<Descriptor> openRegular(int dirFd, const char* path, struct stat& st);
