// Preloaded into TestFaults: injects file-system and library faults, named (separated
// by commas) by the environment variable QUARNEL_FAULT and read at every call, into
// the process's own calls.
//   write-nothing    write, pwrite and copy_file_range to a regular file accept no byte
//   no-tmpfile       the file system has no unnamed files (O_TMPFILE)
//   fdatasync-fails  fdatasync fails with EIO
//   close-fails-N    (N = 1, 2) closing the Nth temporary file (unnamed, or of a
//                    hidden ".quarnel-" name) made since one was made without the
//                    fault fails with EIO once the file has a name, as a write-back
//                    error reported at the last close does; the descriptor is closed
//   clone-ERROR      FICLONERANGE fails with ERROR (eopnotsupp, exdev, einval, eio)
//   fake-clone       FICLONERANGE succeeds where a cloning file system's would, and
//                    copies the range: a file system that clones, wherever the test runs
//   copy-range-ERROR copy_file_range fails with ERROR (as clone-ERROR)
//   remote-fs        fstatfs says NFS: a file system whose copy_file_range copies on
//                    the server
//   digest-fails     OpenSSL's EVP_DigestUpdate fails
//   no-threads       pthread_create fails with EAGAIN
//   hash-read-fails  pread fails with EIO on any thread but the main one
//   no-direct        reads around the page cache are refused, as on a file system
//                    without them: opens with O_DIRECT and preads of a descriptor
//                    that has the flag fail with EINVAL
// Without the variable every call goes straight to the C library. The calls the tests
// count are counted always; quarnel_fault_count() reads and clears a count.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

// The errno a fault "PREFIXerror" names, or 0 when none is active.
int faultError(const std::string& prefix) {
    static const std::pair<const char*, int> errors[] = {
        {"eopnotsupp", EOPNOTSUPP}, {"exdev", EXDEV}, {"einval", EINVAL}, {"eio", EIO}};
    for (const auto& [name, error] : errors) {
        if (fault((prefix + name).c_str())) {
            return error;
        }
    }
    return 0;
}

// Counted calls: clone attempts, clones made, copy_file_range calls, read-ahead
// requests and opens of pieces.
enum Counted { clones, cloned, copyRanges, readAheads, pieceOpens, countedCalls };
std::atomic<long> counts[countedCalls];

void count(Counted call) {
    ++counts[call];
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
    if (std::strstr(path, "_splt") != nullptr) {
        count(pieceOpens);
    }
    if ((flags & O_DIRECT) != 0 && fault("no-direct")) {
        errno = EINVAL;
        return -1;
    }
    if ((flags & O_TMPFILE) == O_TMPFILE && fault("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const int fd = real(folder, path, flags, mode);
    created(fd, path, flags);
    return fd;
}

// A clone as XFS and btrfs allow it: offsets on 4096-byte blocks, a length of whole
// blocks or one that runs to the source's end; done by copying. An errno or 0.
int fakeClone(int destFd, const file_clone_range& range) {
    static const auto readAt = next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
    static const auto writeAt = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
    struct stat source {};
    if (::fstat(static_cast<int>(range.src_fd), &source) != 0) {
        return errno;
    }
    const auto size = static_cast<std::uint64_t>(source.st_size);
    const std::uint64_t length = range.src_length != 0 ? range.src_length : size - range.src_offset;
    if (range.src_offset % 4096 != 0 || range.dest_offset % 4096 != 0 || range.src_offset + length > size ||
        (length % 4096 != 0 && range.src_offset + length != size)) {
        return EINVAL;
    }
    char block[65536];
    for (std::uint64_t done = 0; done < length;) {
        const std::size_t want = std::min<std::uint64_t>(sizeof block, length - done);
        const ssize_t n =
            readAt(static_cast<int>(range.src_fd), block, want, static_cast<off_t>(range.src_offset + done));
        if (n <= 0 ||
            writeAt(destFd, block, static_cast<std::size_t>(n), static_cast<off_t>(range.dest_offset + done)) != n) {
            return EIO;
        }
        done += static_cast<std::uint64_t>(n);
    }
    return 0;
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

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length, unsigned flags) {
    count(copyRanges);
    if (fault("write-nothing") && regularFile(out)) {
        return 0;
    }
    if (const int error = faultError("copy-range-"); error != 0) {
        errno = error;
        return -1;
    }
    static const auto real = next<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
    return real(in, inOffset, out, outOffset, length, flags);
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

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == FICLONERANGE) {
        count(clones);
        const auto* range = static_cast<const file_clone_range*>(argument);
        if (const int error = faultError("clone-"); error != 0) {
            errno = error;
            return -1;
        }
        if (fault("fake-clone")) {
            const int error = fakeClone(fd, *range);
            if (error == 0) {
                count(cloned);
                return 0;
            }
            errno = error;
            return -1;
        }
    }
    static const auto real = next<int (*)(int, unsigned long, void*)>("ioctl");
    const int result = real(fd, request, argument);
    if (request == FICLONERANGE && result == 0) {
        count(cloned);
    }
    return result;
}

// fstatfs and fstatfs64 differ in their names only.
#define QUARNEL_FAULT_FSTATFS(name, type)                                                                              \
    int name(int fd, struct type* fs) {                                                                                \
        static const auto real = next<int (*)(int, struct type*)>(#name);                                              \
        const int result = real(fd, fs);                                                                               \
        if (result == 0 && fault("remote-fs")) {                                                                       \
            fs->f_type = 0x6969;                                                                                       \
        }                                                                                                              \
        return result;                                                                                                 \
    }

QUARNEL_FAULT_FSTATFS(fstatfs, statfs)
QUARNEL_FAULT_FSTATFS(fstatfs64, statfs64)

int posix_fadvise(int fd, off_t offset, off_t length, int advice) {
    if (advice == POSIX_FADV_WILLNEED) {
        count(readAheads);
    }
    static const auto real = next<int (*)(int, off_t, off_t, int)>("posix_fadvise");
    return real(fd, offset, length, advice);
}

bool refusedDirect(int fd) {
    return fault("no-direct") && (::fcntl(fd, F_GETFL) & O_DIRECT) != 0;
}

// pread and pread64 differ in their names only.
#define QUARNEL_FAULT_PREAD(name)                                                                                      \
    ssize_t name(int fd, void* data, size_t count, off_t offset) {                                                     \
        if ((fault("hash-read-fails") && ::gettid() != ::getpid()) || refusedDirect(fd)) {                             \
            errno = refusedDirect(fd) ? EINVAL : EIO;                                                                  \
            return -1;                                                                                                 \
        }                                                                                                              \
        static const auto real = next<ssize_t (*)(int, void*, size_t, off_t)>(#name);                                  \
        return real(fd, data, count, offset);                                                                          \
    }

QUARNEL_FAULT_PREAD(pread)
QUARNEL_FAULT_PREAD(pread64)

// What a build with _FORTIFY_SOURCE calls instead of pread.
ssize_t __pread_chk(int fd, void* data, size_t count, off_t offset, size_t size) {
    if ((fault("hash-read-fails") && ::gettid() != ::getpid()) || refusedDirect(fd)) {
        errno = refusedDirect(fd) ? EINVAL : EIO;
        return -1;
    }
    static const auto real = next<ssize_t (*)(int, void*, size_t, off_t, size_t)>("__pread_chk");
    return real(fd, data, count, offset, size);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*), void* argument) {
    if (fault("no-threads")) {
        return EAGAIN;
    }
    static const auto real =
        next<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
    return real(thread, attributes, start, argument);
}

// OpenSSL's, declared here without its headers.
int EVP_DigestUpdate(void* context, const void* data, size_t count) {
    if (fault("digest-fails")) {
        return 0;
    }
    static const auto real = next<int (*)(void*, const void*, size_t)>("EVP_DigestUpdate");
    return real(context, data, count);
}

// For the tests: how often `call` ("clones", "cloned", "copy_file_range",
// "read-ahead", "piece opens") happened since the last time it was asked; -1 for an
// unknown name.
long quarnel_fault_count(const char* call) {
    static const char* const names[countedCalls] = {"clones", "cloned", "copy_file_range", "read-ahead", "piece opens"};
    for (int i = 0; i < countedCalls; ++i) {
        if (std::strcmp(call, names[i]) == 0) {
            return counts[i].exchange(0);
        }
    }
    return -1;
}

} // extern "C"
