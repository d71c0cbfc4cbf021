// An LD_PRELOAD shim that makes the disk slow: every byte written to a regular file
// (write, pwrite, writev, pwritev, copy_file_range, sendfile, splice) passes through
// one shared budget of QUARNEL_THROTTLE_BYTES_PER_SECOND (default 10000000, a USB
// stick once the page cache is full of dirty pages). The call itself runs at full
// speed; the caller then sleeps until the "device" would have taken the bytes.
// QUARNEL_THROTTLE_LATENCY_MS (default 0) adds a fixed stall to every close of a
// written file, fsync, fdatasync, rename and link, as a stick's slow metadata.
// Writes to pipes, sockets, terminals and eventfds are not touched.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double envNumber(const char* name, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    return (end != text && value > 0) ? value : fallback;
}

struct Budget {
    std::mutex mutex;
    Clock::time_point freeAt{};
    double bytesPerSecond = envNumber("QUARNEL_THROTTLE_BYTES_PER_SECOND", 10e6);
    std::chrono::microseconds latency{static_cast<long long>(envNumber("QUARNEL_THROTTLE_LATENCY_MS", 0) * 1000)};
};

Budget& budget() {
    static Budget instance;
    return instance;
}

bool isRegular(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Books `bytes` on the device and sleeps until they would be written.
void pay(long long bytes) {
    if (bytes <= 0) {
        return;
    }
    const int savedErrno = errno;
    Budget& b = budget();
    Clock::time_point until;
    {
        const std::lock_guard lock(b.mutex);
        const auto cost = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(bytes) / b.bytesPerSecond));
        b.freeAt = std::max(b.freeAt, Clock::now()) + cost;
        until = b.freeAt;
    }
    std::this_thread::sleep_until(until);
    errno = savedErrno;
}

void stall() {
    const int savedErrno = errno;
    if (budget().latency.count() > 0) {
        std::this_thread::sleep_for(budget().latency);
    }
    errno = savedErrno;
}

template <typename Function> Function real(const char* name) {
    void* symbol = ::dlsym(RTLD_NEXT, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "throttle: no %s\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

template <typename Result> Result paid(Result result, int fd) {
    if (result > 0 && isRegular(fd)) {
        pay(static_cast<long long>(result));
    }
    return result;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t count) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    return paid(next(fd, data, count), fd);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    return paid(next(fd, data, count, offset), fd);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
    static const auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
    return paid(next(fd, data, count, offset), fd);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
    return paid(next(fd, iov, count), fd);
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int, off_t)>("pwritev");
    return paid(next(fd, iov, count, offset), fd);
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off64_t offset) {
    static const auto next = real<ssize_t (*)(int, const struct iovec*, int, off64_t)>("pwritev64");
    return paid(next(fd, iov, count, offset), fd);
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count, unsigned flags) {
    static const auto next = real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
    return paid(next(in, inOffset, out, outOffset, count, flags), out);
}

ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    static const auto next = real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile");
    return paid(next(out, in, offset, count), out);
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
    static const auto next = real<ssize_t (*)(int, int, off64_t*, size_t)>("sendfile64");
    return paid(next(out, in, offset, count), out);
}

ssize_t splice(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t count, unsigned flags) {
    static const auto next = real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("splice");
    return paid(next(in, inOffset, out, outOffset, count, flags), out);
}

int close(int fd) {
    static const auto next = real<int (*)(int)>("close");
    // Only files opened for writing stall, as a stick flushing them would.
    if (budget().latency.count() > 0 && isRegular(fd)) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_ACCMODE) != O_RDONLY) {
            stall();
        }
    }
    return next(fd);
}

int fsync(int fd) {
    static const auto next = real<int (*)(int)>("fsync");
    stall();
    return next(fd);
}

int fdatasync(int fd) {
    static const auto next = real<int (*)(int)>("fdatasync");
    stall();
    return next(fd);
}

int rename(const char* from, const char* to) {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    stall();
    return next(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
    stall();
    return next(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    static const auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    stall();
    return next(fromDir, from, toDir, to, flags);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    static const auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
    stall();
    return next(fromDir, from, toDir, to, flags);
}

} // extern "C"
