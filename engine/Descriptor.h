#pragma once

#include <sys/stat.h>

#include "engine/Result.h"

// Owns a file descriptor. close() reports its error; the destructor ignores it, for paths that failed already.
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

// Opens a regular file for reading (O_NONBLOCK: a FIFO put there must not hang the caller). EISDIR for a folder,
// EINVAL for anything else.

Result<Descriptor> openRegular(int dirFd, const char* path, struct stat& st);
