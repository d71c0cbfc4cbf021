#include "FileSize.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FileSize {

std::int64_t FileSize2(const std::string& path) {
    // O_NONBLOCK: opening a FIFO must not hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return 0;
    }
    struct stat st {};
    const bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    return ok ? static_cast<std::int64_t>(st.st_size) : 0;
}

CopyBuffer::~CopyBuffer() {
    std::free(m_data);
}

char* CopyBuffer::data() {
    if (m_data == nullptr) {
        // Page-aligned: an unaligned buffer copies markedly slower.
        m_data = static_cast<char*>(std::aligned_alloc(4096, size));
        if (m_data == nullptr) {
            throw std::bad_alloc();
        }
    }
    return m_data;
}

namespace {

// Small enough that a slow disk still gives the event loop a turn several times a second.
constexpr std::int64_t blockSize = std::int64_t{8} * 1024 * 1024;

// Errors that say copy_file_range cannot serve these two files at all.
bool copyRangeUnsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF ||
           error == ETXTBSY || error == EPERM;
}

// Copies one block: `count` bytes from `*offset` of the source to the destination's position.
CopyResult copyBlock(int sourceFd, std::int64_t& offset, int destFd, std::int64_t count, CopyBuffer& buffer,
                     const CopyObserver& observe) {
    while (count > 0 && buffer.copyRangeUsable && !observe) {
        loff_t in = offset;
        const ssize_t n = ::copy_file_range(sourceFd, &in, destFd, nullptr, static_cast<std::size_t>(count), 0);
        if (n > 0) {
            offset += n;
            count -= n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && !copyRangeUnsupported(errno)) {
            return {CopyResult::Status::WriteFailed, errno};
        }
        if (n < 0) {
            buffer.copyRangeUsable = false;
        }
        // n == 0: the source may have ended early, or the file system copies nothing
        // through this call; plain reads tell which.
        break;
    }
    while (count > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(count, CopyBuffer::size));
        const ssize_t n = ::pread(sourceFd, buffer.data(), want, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {CopyResult::Status::ReadFailed, errno};
        }
        if (n == 0) {
            return {CopyResult::Status::ReadFailed, 0};
        }
        if (observe) {
            observe(buffer.data(), static_cast<std::size_t>(n));
        }
        int error = 0;
        if (!writeAll(destFd, buffer.data(), static_cast<std::size_t>(n), error)) {
            return {CopyResult::Status::WriteFailed, error};
        }
        offset += n;
        count -= n;
    }
    return {};
}

} // namespace

bool writeAll(int fd, const char* data, std::size_t count, int& error) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write that takes nothing would take nothing again: never retry it.
            error = n < 0 ? errno : 0;
            return false;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

CopyResult ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length, CopyBuffer& buffer,
                          const std::function<bool(std::int64_t copied)>& turn, const CopyObserver& observe) {
    std::int64_t offset = sourceOffset;
    for (std::int64_t done = 0; done < length;) {
        if (done > 0 && !turn(done)) {
            return {CopyResult::Status::Stopped, 0};
        }
        const std::int64_t count = std::min(blockSize, length - done);
        const CopyResult result = copyBlock(sourceFd, offset, destFd, count, buffer, observe);
        if (result.status != CopyResult::Status::Copied) {
            return result;
        }
        done += count;
    }
    return {};
}

} // namespace FileSize
