// Preloaded into TestFaults: injects file-system faults, named (separated by commas) by
// the environment variable QUARNEL_FAULT and read at every call, into the process's
// own calls.
//   write-nothing    write and copy_file_range to a regular file accept no byte
//   no-tmpfile       the file system has no unnamed files (O_TMPFILE)
//   fdatasync-fails  fdatasync fails with EIO
//   close-fails-N    closing the Nth temporary file (unnamed, or of a hidden
//                    ".quarnel-" name) created since the fault was set fails with EIO
//                    once the file has a name, as a write-back error reported at the
//                    last close does; the descriptor is closed all the same
// Without the variable every call goes straight to the C library.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The active fault that starts with `prefix` (all of it), or an empty view.
std::string_view activeFault(std::string_view prefix) {
    const char* active = std::getenv("QUARNEL_FAULT");
    for (std::string_view rest = active != nullptr ? active : ""; !rest.empty();) {
        const std::string_view name = rest.substr(0, rest.find(','));
        if (name.substr(0, prefix.size()) == prefix) {
            return name;
        }
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
    }
    return {};
}

bool fault(std::string_view name) {
    return activeFault(name) == name;
}

// The temporary file whose close fails, counted from 1; 0 when none.
int closeFailsAt() {
    constexpr std::string_view prefix = "close-fails-";
    const std::string_view name = activeFault(prefix);
    return name.empty() ? 0 : std::atoi(std::string(name.substr(prefix.size())).c_str());
}

struct Temporaries {
    std::mutex mutex;
    int created = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

Temporaries& temporaries() {
    static Temporaries t;
    return t;
}

bool hiddenTemporaryName(const char* path) {
    const std::string_view name(path);
    return name.size() == 17 && name.substr(0, 9) == ".quarnel-";
}

// Counts the temporary files the engine creates, and notes the one whose close fails.
void created(int fd, const char* path, int flags) {
    const int failing = closeFailsAt();
    Temporaries& t = temporaries();
    const std::lock_guard lock(t.mutex);
    if (failing == 0) {
        t.created = 0;
        t.inode = 0;
        return;
    }
    const bool temporary = (flags & O_TMPFILE) == O_TMPFILE || ((flags & O_CREAT) != 0 && hiddenTemporaryName(path));
    struct stat st {};
    if (fd >= 0 && temporary && ++t.created == failing && ::fstat(fd, &st) == 0) {
        t.device = st.st_dev;
        t.inode = st.st_ino;
    }
}

bool closeShouldFail(int fd) {
    if (closeFailsAt() == 0) {
        return false;
    }
    Temporaries& t = temporaries();
    const std::lock_guard lock(t.mutex);
    struct stat st {};
    return t.inode != 0 && ::fstat(fd, &st) == 0 && st.st_dev == t.device && st.st_ino == t.inode && st.st_nlink > 0;
}

bool regularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using OpenAt = int (*)(int, const char*, int, ...);

int openAt(OpenAt real, int folder, const char* path, int flags, mode_t mode) {
    if ((flags & O_TMPFILE) == O_TMPFILE && fault("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = real(folder, path, flags, mode);
    created(fd, path, flags);
    return fd;
}

mode_t modeArgument(int flags, va_list arguments) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t count) {
    if (fault("write-nothing") && regularFile(fd)) {
        return 0;
    }
    static const auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    return real(fd, data, count);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count, unsigned flags) {
    if (fault("write-nothing") && regularFile(out)) {
        return 0;
    }
    static const auto real = next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
    return real(in, inOffset, out, outOffset, count, flags);
}

// openat and openat64 differ in their names only.
#define QUARNEL_FAULT_OPENAT(name)                                                                                     \
    int name(int folder, const char* path, int flags, ...) {                                                           \
        va_list arguments;                                                                                             \
        va_start(arguments, flags);                                                                                    \
        const mode_t mode = modeArgument(flags, arguments);                                                            \
        va_end(arguments);                                                                                             \
        static const auto real = next<OpenAt>(#name);                                                                  \
        return openAt(real, folder, path, flags, mode);                                                                \
    }

QUARNEL_FAULT_OPENAT(openat)
QUARNEL_FAULT_OPENAT(openat64)

int fdatasync(int fd) {
    if (fault("fdatasync-fails")) {
        errno = EIO;
        return -1;
    }
    static const auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

int close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    if (closeShouldFail(fd)) {
        real(fd);
        errno = EIO;
        return -1;
    }
    return real(fd);
}

} // extern "C"
