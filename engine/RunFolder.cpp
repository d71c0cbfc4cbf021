#include "engine/RunFolder.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

Status RunFolder::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Fault::ofErrno();
    }
    m_fd.reset(fd);
    return {};
}

bool RunFolder::lock(Lock kind) {
    int result = 0;
    do {
        result = ::flock(m_fd.get(), (kind == Lock::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    m_exclusive = result == 0 && kind == Lock::Exclusive;
    return result == 0 || errno != EWOULDBLOCK;
}

bool RunFolder::sameFolder(const RunFolder& other) const {
    struct stat mine {};
    struct stat theirs {};
    return ::fstat(m_fd.get(), &mine) == 0 && ::fstat(other.m_fd.get(), &theirs) == 0 && mine.st_dev == theirs.st_dev &&
           mine.st_ino == theirs.st_ino;
}

long RunFolder::nameMax() const {
    const long max = ::fpathconf(m_fd.get(), _PC_NAME_MAX);
    return max > 0 ? max : NAME_MAX;
}

Result<Descriptor> RunFolder::createExclusive(const std::string& name) const {
    // No O_TRUNC: a file that is new needs none, and a truncate makes ext4 start
    // write-back at every close.
    Descriptor fd(::openat(m_fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        return Fault::ofErrno();
    }
    return fd;
}

Status RunFolder::removeEntry(const std::string& name) const {
    if (::unlinkat(m_fd.get(), name.c_str(), 0) == 0 || errno == ENOENT) {
        return {};
    }
    // A read-only folder refuses to remove even a name that is not there.
    const Fault fault = Fault::ofErrno();
    struct stat st {};
    if (::fstatat(m_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        return {};
    }
    return fault;
}

Result<struct stat> RunFolder::statEntry(const std::string& name, bool followLinks) const {
    struct stat st {};
    if (::fstatat(m_fd.get(), name.c_str(), &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
        return Fault::ofErrno();
    }
    return st;
}
