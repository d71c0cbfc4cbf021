#include "engine/Descriptor.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

Descriptor::~Descriptor() {
    reset();
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
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

Status Descriptor::close() {
    const int fd = release();
    return statusOf(fd < 0 || ::close(fd) == 0);
}

Result<Descriptor> openRegular(int dirFd, const char* path, struct stat& st) {
    Descriptor fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return Fault::ofErrno();
    }
    if (!S_ISREG(st.st_mode)) {
        return Fault{S_ISDIR(st.st_mode) ? EISDIR : EINVAL};
    }
    return fd;
}
