#include "engine/TemporaryFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ".quarnel-" and eight hex digits: short and always the same length.
std::string hiddenName() {
    static unsigned counter = 0;
    const auto now = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    unsigned long long x =
        now ^ (static_cast<unsigned long long>(::getpid()) << 32) ^ (++counter * 0x9e3779b97f4a7c15ull);
    x ^= x >> 29;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 32;
    char name[32];
    std::snprintf(name, sizeof name, ".quarnel-%08x", static_cast<unsigned>(x));
    return name;
}

bool isHiddenName(std::string_view name) {
    constexpr std::string_view prefix = ".quarnel-";
    return name.size() == prefix.size() + 8 && name.substr(0, prefix.size()) == prefix &&
           name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string_view::npos;
}

std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Errors that say the kernel or the file system has no unnamed files.
bool unnamedUnsupported(int error) {
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

} // namespace

TemporaryFile::~TemporaryFile() {
    discard();
}

Status TemporaryFile::create(int folderFd) {
    discard();
    m_folderFd = folderFd;
    const int fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0) {
        // An unnamed file can only be linked in through /proc.
        if (::access(procPath(fd).c_str(), F_OK) == 0) {
            m_fd.reset(fd);
            return {};
        }
        ::close(fd);
    } else if (!unnamedUnsupported(errno)) {
        return Fault::ofErrno();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = hiddenName();
        const int named = ::openat(folderFd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (named >= 0) {
            m_fd.reset(named);
            m_hiddenName = std::move(name);
            return {};
        }
        if (errno != EEXIST) {
            return Fault::ofErrno();
        }
    }
    return Fault{EEXIST};
}

Status TemporaryFile::flush() {
    int result = 0;
    do {
        result = ::fdatasync(m_fd.get());
    } while (result != 0 && errno == EINTR);
    return statusOf(result == 0);
}

Status TemporaryFile::publish(const std::string& name, bool replace) {
    Status published;
    if (m_hiddenName.empty()) {
        published = publishUnnamed(name, replace);
    } else if (published = m_fd.close(); published) {
        published = renameHidden(name, replace);
    }
    discard();
    return published;
}

void TemporaryFile::discard() {
    m_fd.reset();
    if (!m_hiddenName.empty()) {
        ::unlinkat(m_folderFd, m_hiddenName.c_str(), 0);
        m_hiddenName.clear();
    }
}

void TemporaryFile::removeLeftovers(int folderFd) {
    const int fd = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (folder == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    // Named first and removed after, as a folder read while it changes may skip names.
    std::vector<std::string> leftovers;
    while (const dirent* entry = ::readdir(folder)) {
        if (isHiddenName(entry->d_name) && (entry->d_type == DT_REG || entry->d_type == DT_UNKNOWN)) {
            leftovers.emplace_back(entry->d_name);
        }
    }
    ::closedir(folder);
    for (const std::string& name : leftovers) {
        struct stat st {};
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            ::unlinkat(folderFd, name.c_str(), 0);
        }
    }
}

Status TemporaryFile::publishUnnamed(const std::string& name, bool replace) {
    // The unnamed file lives only as long as its descriptor, so it can only be closed
    // once it has a name. A duplicate closed first lets file systems that report write
    // errors at every close (NFS) do so before the name is given.
    const int duplicate = ::dup(m_fd.get());
    if (duplicate < 0 || ::close(duplicate) != 0) {
        return Fault::ofErrno();
    }
    const std::string source = procPath(m_fd.get());
    if (::linkat(AT_FDCWD, source.c_str(), m_folderFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        // The name stood free: a failing close takes it back.
        Status closed = m_fd.close();
        if (!closed) {
            ::unlinkat(m_folderFd, name.c_str(), 0);
        }
        return closed;
    }
    if (errno != EEXIST || !replace) {
        return Fault::ofErrno();
    }
    // linkat never replaces: link under a hidden name, close, then rename that over the
    // name, so that a failing close leaves the earlier file as it was. discard()
    // removes the hidden name on failure.
    if (Status linked = linkUnderHiddenName(m_hiddenName); !linked) {
        m_hiddenName.clear();
        return linked;
    }
    if (Status closed = m_fd.close(); !closed) {
        return closed;
    }
    return renameHidden(name, true);
}

Status TemporaryFile::linkUnderHiddenName(std::string& hidden) {
    const std::string source = procPath(m_fd.get());
    for (int attempt = 0; attempt < 100; ++attempt) {
        hidden = hiddenName();
        if (::linkat(AT_FDCWD, source.c_str(), m_folderFd, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            return {};
        }
        if (errno != EEXIST) {
            return Fault::ofErrno();
        }
    }
    return Fault{EEXIST};
}

Status TemporaryFile::renameHidden(const std::string& name, bool replace) {
    const char* from = m_hiddenName.c_str();
    if (replace) {
        if (::renameat(m_folderFd, from, m_folderFd, name.c_str()) != 0) {
            return Fault::ofErrno();
        }
    } else if (::renameat2(m_folderFd, from, m_folderFd, name.c_str(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            return Fault::ofErrno();
        }
        // No RENAME_NOREPLACE here: a hard link also refuses an existing name. The
        // hidden name is removed by discard().
        return statusOf(::linkat(m_folderFd, from, m_folderFd, name.c_str(), 0) == 0);
    }
    m_hiddenName.clear();
    return {};
}
