// Preloaded into TestFaults: injects one file-system fault, named by the environment
// variable QUARNEL_FAULT and read at every call, into the process's own calls.
//   write-nothing    write, pwrite and copy_file_range to a regular file accept no byte
//   no-tmpfile       the file system has no unnamed files (O_TMPFILE)
//   fdatasync-fails  fdatasync fails with EIO
// Without the variable every call goes straight to the C library.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fault(const char* name) {
    const char* active = std::getenv("QUARNEL_FAULT");
    return active != nullptr && std::strcmp(active, name) == 0;
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
    return real(folder, path, flags, mode);
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

// pwrite and pwrite64 differ in their names only.
#define QUARNEL_FAULT_PWRITE(name)                                                                                     \
    ssize_t name(int fd, const void* data, size_t count, off_t offset) {                                               \
        if (fault("write-nothing") && regularFile(fd)) {                                                               \
            return 0;                                                                                                  \
        }                                                                                                              \
        static const auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>(#name);                            \
        return real(fd, data, count, offset);                                                                          \
    }

QUARNEL_FAULT_PWRITE(pwrite)
QUARNEL_FAULT_PWRITE(pwrite64)

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

} // extern "C"
