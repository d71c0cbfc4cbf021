// Preloaded into TestFaults: injects file-system faults, named (separated by commas) by
// the environment variable QUARNEL_FAULT and read at every call, into the process's
// own calls.
//   write-nothing    write and copy_file_range to a regular file accept no byte
//   no-tmpfile       the file system has no unnamed files (O_TMPFILE)
//   fdatasync-fails  fdatasync fails with EIO
//   close-fails-N    (N = 1, 2) closing the Nth temporary file (unnamed, or of a
//                    hidden ".quarnel-" name) made since one was made without the
//                    fault fails with EIO once the file has a name, as a write-back
//                    error reported at the last close does; the descriptor is closed
// Without the variable every call goes straight to the C library.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool fault(std::string_view name) {
    const char* active = std::getenv("QUARNEL_FAULT");
    const std::string_view faults = active != nullptr ? active : "";
    for (std::size_t start = 0; start <= faults.size();) {
        const std::size_t end = std::min(faults.find(',', start), faults.size());
        if (faults.substr(start, end - start) == name) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The temporary file whose close fails, counted from 1 (0: none), and that file.
int closeFailsAt() {
    return fault("close-fails-1") ? 1 : fault("close-fails-2") ? 2 : 0;
}

std::atomic<int> temporariesCreated{0};
std::atomic<dev_t> failingDevice{0};
std::atomic<ino_t> failingInode{0};

void created(int fd, const char* path, int flags) {
    const std::string_view name(path);
    const bool hidden = (flags & O_CREAT) != 0 && name.size() == 17 && name.substr(0, 9) == ".quarnel-";
    if (fd < 0 || ((flags & O_TMPFILE) != O_TMPFILE && !hidden)) {
        return;
    }
    struct stat st {};
    if (closeFailsAt() == 0) {
        // The inode of an earlier fault's file may be another file's by now.
        temporariesCreated = 0;
        failingInode = 0;
    } else if (++temporariesCreated == closeFailsAt() && ::fstat(fd, &st) == 0) {
        failingDevice = st.st_dev;
        failingInode = st.st_ino;
    }
}

bool closeShouldFail(int fd) {
    struct stat st {};
    return closeFailsAt() != 0 && failingInode != 0 && ::fstat(fd, &st) == 0 && st.st_ino == failingInode &&
           st.st_dev == failingDevice && st.st_nlink > 0;
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
