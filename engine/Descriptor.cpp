#include "engine/Descriptor.h"

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
