#pragma once

#include <sys/stat.h>

// Owns a file descriptor and closes it when it goes. close() reports the close's own
// error; the destructor ignores it, for paths that have already failed.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return m_fd; }
    void reset(int fd = -1);
    int release();
    // Closes the descriptor; false with errno set when the close fails.
    bool close();

private:
    int m_fd;
};

// Opens `path`, relative to the folder open at `dirFd` (AT_FDCWD: the working folder),
// for reading when it names a regular file (symbolic links followed), and fills `st`.
// O_NONBLOCK: a FIFO put where a file was expected must not hang the caller. -1 with
// errno set otherwise: EISDIR for a folder, EINVAL for anything else that is not a
// regular file.
int openRegular(int dirFd, const char* path, struct stat& st);
