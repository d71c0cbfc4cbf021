#include "engine/Descriptor.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

Descriptor::~Descriptor() {
    reset();
}

void Descriptor::reset(int fd) {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
}

int Descriptor::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool Descriptor::close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
}

int openRegular(int dirFd, const char* path, struct stat& st) {
    const int fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
