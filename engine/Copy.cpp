#include "engine/Copy.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "engine/hash/Crc32.h"

namespace Copy {

Buffer::~Buffer() {
    std::free(m_data);
}

char* Buffer::data() {
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
    return std::clamp(next, Buffer::minBlockBytes, Buffer::maxBlockBytes);
}

namespace {

// Errors that say copy_file_range cannot serve these two files at all.
bool copyRangeUnsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EBADF ||
           error == ETXTBSY || error == EPERM;
}

// Errors that say these two files cannot be cloned at all; after others (EINVAL for
// a range this file system cannot clone, say) the next block may still clone.
bool cloneUnsupported(int error) {
    return error == EOPNOTSUPP || error == ENOTTY || error == EXDEV || error == ENOSYS || error == EBADF ||
           error == EPERM || error == ETXTBSY || error == EISDIR;
}

// Network file systems, whose copy_file_range copies on the server: NFS, SMB, CIFS,
// Ceph, and FUSE, which hands it to the file system's own program.
bool copiesRemotely(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) {
        return false;
    }
    constexpr unsigned long remote[] = {0x6969, 0xfe534d42, 0xff534d42, 0x00c36400, 0x65735546};
    return std::find(std::begin(remote), std::end(remote), static_cast<unsigned long>(fs.f_type)) != std::end(remote);
}

bool aligned(std::int64_t value) {
    return value % Buffer::cloneAlignment == 0;
}

// Clones the block where both files allow it; false when it is to be copied instead,
// which also tells the errors that are not about cloning.
bool cloneBlock(int sourceFd, std::int64_t offset, int destFd, std::int64_t destOffset, std::int64_t count,
                Buffer& buffer) {
    // An unaligned length clones only when it runs to the source's end, which the
    // clone itself tells.
    if (!buffer.cloneUsable || destOffset < 0 || !aligned(offset) || !aligned(destOffset)) {
        return false;
    }
    file_clone_range range{};
    range.src_fd = sourceFd;
    range.src_offset = static_cast<std::uint64_t>(offset);
    range.src_length = static_cast<std::uint64_t>(count);
    range.dest_offset = static_cast<std::uint64_t>(destOffset);
    int result = 0;
    do {
        result = ::ioctl(destFd, FICLONERANGE, &range);
    } while (result != 0 && errno == EINTR);
    if (result != 0 && cloneUnsupported(errno)) {
        buffer.cloneUsable = false;
    }
    return result == 0;
}

// writeAll at `offset` (-1: at the position), which it advances.
Status writeAllAt(int fd, const char* data, std::size_t count, std::int64_t& offset) {
    while (count > 0) {
        const ssize_t n = offset < 0 ? ::write(fd, data, count) : ::pwrite(fd, data, count, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // A write that takes nothing would take nothing again: never retry it.
            return n < 0 ? Fault::ofErrno() : Fault::because(acceptedNothing);
        }
        data += n;
        count -= static_cast<std::size_t>(n);
        if (offset >= 0) {
            offset += n;
        }
    }
    return {};
}

Fault atDestination(Fault fault) {
    fault.atDestination = true;
    return fault;
}

} // namespace

::Result<Copied> copyBlock(int sourceFd, std::int64_t& offset, int destFd, std::int64_t& destOffset, std::int64_t count,
                           Buffer& buffer) {
    if (count > 0 && cloneBlock(sourceFd, offset, destFd, destOffset, count, buffer)) {
        offset += count;
        destOffset += count;
        return Copied{true};
    }
    if (count > 0 && !buffer.copyRange) {
        buffer.copiesRemotely = copiesRemotely(destFd);
        buffer.copyRange = buffer.copiesRemotely || buffer.copyRangeLocally;
    }
    // Off for the rest of the block once copy_file_range copied nothing.
    bool range = true;
    while (count > 0) {
        if (buffer.ahead != nullptr) {
            // Written as the buffer's blocks are: larger writes into new pages were slower.
            const std::string_view block =
                buffer.ahead->readAt(sourceFd, offset, std::min<std::int64_t>(count, Buffer::size));
            if (!block.empty()) {
                const std::int64_t at = destOffset;
                if (Status written = writeAllAt(destFd, block.data(), block.size(), destOffset); !written) {
                    return atDestination(written.fault());
                }
                if (buffer.crc != nullptr && at >= 0) {
                    buffer.crc->written(at, block.data(), block.size());
                }
                offset += static_cast<std::int64_t>(block.size());
                count -= static_cast<std::int64_t>(block.size());
                continue;
            }
        }
        if (range && *buffer.copyRange) {
            loff_t in = offset;
            loff_t out = destOffset;
            const ssize_t n = ::copy_file_range(sourceFd, &in, destFd, destOffset < 0 ? nullptr : &out,
                                                static_cast<std::size_t>(count), 0);
            if (n > 0) {
                offset += n;
                if (destOffset >= 0) {
                    destOffset += n;
                }
                count -= n;
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && buffer.copiesRemotely && !copyRangeUnsupported(errno)) {
                return atDestination(Fault::ofErrno());
            }
            // Where the copy stays on this machine, plain reads and writes tell whether
            // the source or the destination failed, and carry on after a passing fault.
            buffer.copyRange = n == 0;
            // n == 0: the source may have ended early, or the file system copies
            // nothing through this call; plain reads tell which.
            range = false;
        }
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(count, Buffer::size));
        const ssize_t n = ::pread(sourceFd, buffer.data(), want, offset);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fault::ofErrno();
        }
        if (n == 0) {
            return Fault::because(endedEarly);
        }
        const std::int64_t at = destOffset;
        if (Status written = writeAllAt(destFd, buffer.data(), static_cast<std::size_t>(n), destOffset); !written) {
            return atDestination(written.fault());
        }
        if (buffer.crc != nullptr && at >= 0) {
            buffer.crc->written(at, buffer.data(), static_cast<std::size_t>(n));
        }
        offset += n;
        count -= n;
    }
    return Copied{};
}

Status writeAll(int fd, const char* data, std::size_t count) {
    std::int64_t atPosition = -1;
    return writeAllAt(fd, data, count, atPosition);
}

Status readBlocks(int fd, char* buffer, std::size_t size, const std::function<bool(std::string_view block)>& take) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fault::ofErrno();
        }
        if (n == 0 || !take(std::string_view(buffer, static_cast<std::size_t>(n)))) {
            return {};
        }
    }
}

CrcBehind::CrcBehind(int fd, Buffer* copies) : m_fd(fd), m_copies(copies) {
    if (m_copies != nullptr) {
        m_copies->crc = this;
    }
    try {
        m_thread = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        // finish does it all.
    }
}

CrcBehind::~CrcBehind() {
    stop();
}

void CrcBehind::stop() {
    if (m_copies != nullptr && m_copies->crc == this) {
        m_copies->crc = nullptr;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CrcBehind::advance(std::int64_t offset) {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (offset <= m_available) {
            return;
        }
        m_available = offset;
    }
    m_wake.notify_one();
}

void CrcBehind::written(std::int64_t offset, const char* data, std::size_t size) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_written.empty() && m_written.back().offset + m_written.back().crc.length == offset) {
        ParallelCrc::Crc& crc = m_written.back().crc;
        crc.crc = Crc32::update(crc.crc, data, size);
        crc.length += static_cast<std::int64_t>(size);
    } else {
        m_written.push_back({offset, {Crc32::update(0, data, size), static_cast<std::int64_t>(size)}});
    }
}

void CrcBehind::work() {
    // Enough per turn that the lock is rarely taken, little enough that a stop waits
    // for no long read.
    constexpr std::int64_t stretch = std::int64_t{4} << 20;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[ParallelCrc::blockBytes]);
    if (!buffer) {
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || m_available > m_done; });
        if (m_stop) {
            return;
        }
        // Ranges hashed as they were written are taken as they come; ones the reads
        // passed (none in a join) are of no more use.
        while (!m_written.empty() && m_written.front().offset <= m_done) {
            const ParallelCrc::Crc& written = m_written.front().crc;
            if (m_written.front().offset == m_done) {
                m_crc = Crc32::combine(m_crc, written.crc, written.length);
                m_done += written.length;
            }
            m_written.pop_front();
        }
        if (m_available <= m_done) {
            continue;
        }
        std::int64_t offset = m_done;
        std::int64_t end = std::min(m_available, offset + stretch);
        if (!m_written.empty()) {
            end = std::min(end, m_written.front().offset);
        }
        std::uint32_t crc = m_crc;
        lock.unlock();
        while (offset < end) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end - offset, ParallelCrc::blockBytes));
            const ssize_t n = ::pread(m_fd, buffer.get(), want, offset);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                // finish reads the rest again and tells what it finds.
                break;
            }
            crc = Crc32::update(crc, buffer.get(), static_cast<std::size_t>(n));
            offset += n;
        }
        lock.lock();
        const bool stalled = offset < end;
        m_done = offset;
        m_crc = crc;
        if (stalled) {
            return;
        }
    }
}

Result<ParallelCrc::Crc> CrcBehind::finish(std::int64_t length, unsigned threads, const std::function<bool()>& turn) {
    stop();
    ParallelCrc::Crc whole{m_crc, std::min(m_done, length)};
    if (m_done > length) {
        // Hashed past the length asked for: the file was written further than it is
        // to be checked. Never the case in a join; start again.
        whole = {};
        m_written.clear();
    }
    // The ranges still to be read, and between them those hashed as written.
    std::vector<ParallelCrc::Range> unread;
    std::vector<const ParallelCrc::Crc*> hashed;
    std::int64_t at = whole.length;
    for (const Written& written : m_written) {
        if (written.offset < at || written.offset + written.crc.length > length) {
            continue;
        }
        unread.push_back({m_fd, at, written.offset - at});
        hashed.push_back(&written.crc);
        at = written.offset + written.crc.length;
    }
    unread.push_back({m_fd, at, length - at});
    Result<std::vector<ParallelCrc::Crc>> read = ParallelCrc::ofRanges(unread, threads, turn);
    if (!read) {
        return read.fault();
    }
    for (std::size_t i = 0; i < read->size(); ++i) {
        const ParallelCrc::Crc& part = (*read)[i];
        whole.crc = Crc32::combine(whole.crc, part.crc, part.length);
        whole.length += part.length;
        if (part.length < unread[i].length || i == hashed.size()) {
            // The file ended early: what follows is not there.
            break;
        }
        whole.crc = Crc32::combine(whole.crc, hashed[i]->crc, hashed[i]->length);
        whole.length += hashed[i]->length;
    }
    return whole;
}

} // namespace Copy
