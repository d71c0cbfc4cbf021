#include "engine/FileSize.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "engine/Descriptor.h"

namespace FileSize {

std::int64_t FileSize2(const std::string& path) {
    struct stat st {};
    const Descriptor file(openRegular(AT_FDCWD, path.c_str(), st));
    return file.get() >= 0 ? static_cast<std::int64_t>(st.st_size) : 0;
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

std::int64_t nextBlockSize(std::int64_t blockBytes, std::chrono::nanoseconds took) {
    constexpr std::chrono::nanoseconds aim = std::chrono::milliseconds(100);
    std::int64_t next = blockBytes;
    if (took > aim) {
        // In proportion, so that one very slow block does not need many halvings.
        next = static_cast<std::int64_t>(static_cast<double>(blockBytes) * 0.5 * aim.count() /
                                         static_cast<double>(took.count()));
    } else if (took < aim / 4) {
        next = blockBytes * 2;
    }
    return std::clamp(next, CopyBuffer::minBlockBytes, CopyBuffer::maxBlockBytes);
}

namespace {

// Errors that say copy_file_range cannot serve these two files at all.
bool copyRangeUnsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF ||
           error == ETXTBSY || error == EPERM;
}

// Copies one block: `count` bytes from `*offset` of the source to the destination's position.
CopyResult copyBlock(int sourceFd, std::int64_t& offset, int destFd, std::int64_t count, CopyBuffer& buffer,
                     bool copyRange, const CopyObserver& observe) {
    while (count > 0 && copyRange && buffer.copyRangeUsable) {
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

int readBlocks(int fd, char* buffer, std::size_t size, const std::function<bool(std::string_view block)>& take) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0 || !take(std::string_view(buffer, static_cast<std::size_t>(n)))) {
            return 0;
        }
    }
}

CopyResult ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length, CopyBuffer& buffer,
                          const std::function<bool(std::int64_t copied)>& turn, const CopyObserver& observe) {
    using Clock = std::chrono::steady_clock;
    std::int64_t offset = sourceOffset;
    // An observer must see the bytes, so they pass through memory. Otherwise the
    // kernel copies from page cache to page cache, at any offsets: measured faster
    // than read/write through the buffer for pieces of every size, aligned or not.
    const bool copyRange = !observe;
    for (std::int64_t done = 0; done < length;) {
        if (done > 0 && !turn(done)) {
            return {CopyResult::Status::Stopped, 0};
        }
        const std::int64_t count = std::min(buffer.blockBytes, length - done);
        const Clock::time_point start = Clock::now();
        const CopyResult result = copyBlock(sourceFd, offset, destFd, count, buffer, copyRange, observe);
        if (result.status != CopyResult::Status::Copied) {
            return result;
        }
        // A short block says little about the disk's speed.
        if (count >= CopyBuffer::minBlockBytes) {
            buffer.blockBytes = nextBlockSize(count, Clock::now() - start);
        }
        done += count;
    }
    return {};
}

ReadAhead::ReadAhead(std::size_t count, std::function<int(std::size_t)> open)
    : m_count(count), m_open(std::move(open)) {}

void ReadAhead::before(std::size_t index) {
    // Pieces from `index` on are being copied or asked for; forget the ones before.
    while (!m_ahead.empty() && m_next - m_ahead.size() <= index) {
        m_aheadBytes -= m_ahead.front();
        m_ahead.pop_front();
    }
    m_next = std::max(m_next, index + 1);
    if (!m_atWork) {
        if (index % probeEvery != 0 || m_next >= m_count || cached(m_next)) {
            return;
        }
        m_atWork = true;
    }
    while (m_next < m_count && m_ahead.size() < windowPieces && m_aheadBytes < windowBytes) {
        std::int64_t asked = 0;
        const int fd = m_open(m_next);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
                // The rest of a long piece the kernel's own read-ahead fetches as it is copied.
                asked = std::min<std::int64_t>(st.st_size, windowBytes - m_aheadBytes);
                ::posix_fadvise(fd, 0, asked, POSIX_FADV_WILLNEED);
            }
            ::close(fd);
        }
        m_ahead.push_back(asked);
        m_aheadBytes += asked;
        ++m_next;
    }
}

// Whether the last byte of piece `index` is in the page cache; a piece that cannot
// be looked at counts as cached, since reading ahead could not help it either.
bool ReadAhead::cached(std::size_t index) {
    const int fd = m_open(index);
    if (fd < 0) {
        return true;
    }
    bool inCache = true;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        char byte = 0;
        struct iovec one = {&byte, 1};
        // RWF_NOWAIT reads only what needs no disk access; EAGAIN says the page is not there.
        inCache = !(::preadv2(fd, &one, 1, st.st_size - 1, RWF_NOWAIT) < 0 && errno == EAGAIN);
    }
    ::close(fd);
    return inCache;
}

} // namespace FileSize
