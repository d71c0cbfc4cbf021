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

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
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
        buffer.copyRange = copiesRemotely(destFd);
    }
    while (count > 0 && *buffer.copyRange) {
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
        if (n < 0 && !copyRangeUnsupported(errno)) {
            return atDestination(Fault::ofErrno());
        }
        if (n < 0) {
            buffer.copyRange = false;
        }
        // n == 0: the source may have ended early, or the file system copies nothing
        // through this call; plain reads tell which.
        break;
    }
    while (count > 0) {
        if (buffer.ahead != nullptr) {
            // Written as the buffer's blocks are: larger writes into new pages were slower.
            const std::string_view block =
                buffer.ahead->readAt(sourceFd, offset, std::min<std::int64_t>(count, Buffer::size));
            if (!block.empty()) {
                if (Status written = writeAllAt(destFd, block.data(), block.size(), destOffset); !written) {
                    return atDestination(written.fault());
                }
                offset += static_cast<std::int64_t>(block.size());
                count -= static_cast<std::int64_t>(block.size());
                continue;
            }
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
        if (Status written = writeAllAt(destFd, buffer.data(), static_cast<std::size_t>(n), destOffset); !written) {
            return atDestination(written.fault());
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

bool mostlyUncached(int fd, std::int64_t offset, std::int64_t length) {
    constexpr std::int64_t looked = std::int64_t{4} << 20;
    const long page = ::sysconf(_SC_PAGESIZE);
    struct stat st {};
    if (page <= 0 || offset < 0 || offset % page != 0 || ::fstat(fd, &st) != 0 ||
        std::min(length, st.st_size - offset) < directSmallest) {
        return false;
    }
    // Pages past the end of the file would count as not in the page cache.
    const auto bytes = static_cast<std::size_t>(std::min({length, st.st_size - offset, looked}));
    const std::size_t pages = (bytes + static_cast<std::size_t>(page) - 1) / static_cast<std::size_t>(page);
    // mincore looks without reading anything in.
    void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(offset));
    if (map == MAP_FAILED) {
        return false;
    }
    unsigned char resident[(looked + 4095) / 4096] = {};
    std::size_t inCache = pages;
    if (pages <= sizeof resident && ::mincore(map, bytes, resident) == 0) {
        inCache = static_cast<std::size_t>(
            std::count_if(resident, resident + pages, [](unsigned char page) { return (page & 1) != 0; }));
    }
    ::munmap(map, bytes);
    return 2 * inCache < pages;
}

bool setDirect(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = on ? flags | O_DIRECT : flags & ~O_DIRECT;
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// The threads that read pieces around the page cache, and the blocks they read into.
// The readers claim blocks of the queued pieces in order, each a slot at the back,
// and fill them; the join takes the slots from the front as it copies.
struct ReadAhead::Direct {
    // A piece opened for reads around the page cache; closed once nothing reads it.
    struct Piece {
        std::size_t index;
        int fd;
        std::int64_t size; // as it was when opened: what is read of it
        dev_t device;
        ino_t inode;
        std::atomic<std::size_t>& open;
        Piece(std::size_t index, int fd, std::int64_t size, const struct stat& st, std::atomic<std::size_t>& open)
            : index(index), fd(fd), size(size), device(st.st_dev), inode(st.st_ino), open(open) {
            ++open;
        }
        Piece(const Piece&) = delete;
        Piece& operator=(const Piece&) = delete;
        ~Piece() {
            ::close(fd);
            --open;
        }
    };
    struct Slot {
        std::shared_ptr<Piece> piece;
        std::int64_t offset;
        char* data;
        std::int64_t bytes = 0; // read; none after a failure or past the end
        bool filled = false;
    };

    // Pieces queued or in slots: their descriptors are open. First, so that it
    // outlives them.
    std::atomic<std::size_t> pieces{0};
    std::mutex mutex;
    std::condition_variable claimable; // for the readers: a piece and a free block, or the end
    std::condition_variable filled;    // for the join: a slot filled
    std::deque<std::shared_ptr<Piece>> queue;
    std::int64_t claimed = 0; // of the queue's front piece
    std::deque<Slot> slots;   // references stay valid as the ends change
    std::vector<char*> free;
    std::vector<char*> blocks;
    std::size_t current = 0; // the join's piece: those before it are of no more use
    std::int64_t used = 0;   // of the front slot
    bool quit = false;
    std::atomic<bool> refused{false}; // a read around the page cache was refused
    std::vector<std::thread> readers;

    Direct() {
        for (std::size_t i = 0; i < directBlocks; ++i) {
            if (char* block = static_cast<char*>(std::aligned_alloc(directAlignment, directBlockBytes))) {
                blocks.push_back(block);
                free.push_back(block);
            }
        }
        for (unsigned i = 0; i < directReaders && !blocks.empty(); ++i) {
            try {
                readers.emplace_back([this] { read(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    ~Direct() {
        {
            const std::lock_guard lock(mutex);
            quit = true;
        }
        claimable.notify_all();
        for (std::thread& reader : readers) {
            reader.join();
        }
        for (char* block : blocks) {
            std::free(block);
        }
    }

    Direct(const Direct&) = delete;
    Direct& operator=(const Direct&) = delete;

    void read() {
        std::unique_lock lock(mutex);
        for (;;) {
            claimable.wait(lock, [this] { return quit || (!queue.empty() && !free.empty()); });
            if (quit) {
                return;
            }
            const std::shared_ptr<Piece> piece = queue.front();
            const std::int64_t offset = claimed;
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(
                directBlockBytes, (piece->size - offset + directAlignment - 1) / directAlignment * directAlignment));
            claimed += static_cast<std::int64_t>(want);
            if (claimed >= piece->size) {
                queue.pop_front();
                claimed = 0;
            }
            Slot& slot = slots.emplace_back(Slot{piece, offset, free.back()});
            free.pop_back();
            lock.unlock();
            ssize_t n = 0;
            do {
                n = ::pread(piece->fd, slot.data, want, offset);
            } while (n < 0 && errno == EINTR);
            if (n < 0 && errno == EINVAL) {
                // Refused after all: the join reads the piece itself, and the kernel
                // reads it ahead, as it does the pieces after it.
                refused = true;
                ::posix_fadvise(piece->fd, offset, piece->size - offset, POSIX_FADV_WILLNEED);
            }
            lock.lock();
            slot.bytes = std::max<ssize_t>(n, 0);
            slot.filled = true;
            filled.notify_all();
        }
    }

    // Under `lock`: the front slot is done with; waits for a read still in flight.
    void popFront(std::unique_lock<std::mutex>& lock) {
        filled.wait(lock, [this] { return slots.front().filled; });
        free.push_back(slots.front().data);
        slots.pop_front();
        used = 0;
        claimable.notify_one();
    }

    void pass(std::size_t index) {
        std::unique_lock lock(mutex);
        current = index;
        while (!queue.empty() && queue.front()->index < index) {
            queue.pop_front();
            claimed = 0;
        }
        while (!slots.empty() && slots.front().piece->index < index) {
            popFront(lock);
        }
    }

    std::string_view readAt(const struct stat& st, std::int64_t offset, std::int64_t count) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (slots.empty()) {
                if (queue.empty() || queue.front()->index != current) {
                    return {};
                }
                filled.wait(lock, [this] { return !slots.empty(); });
                continue;
            }
            Slot& front = slots.front();
            if (front.piece->index != current || front.piece->device != st.st_dev || front.piece->inode != st.st_ino) {
                return {};
            }
            if (!front.filled) {
                filled.wait(lock, [&] { return front.filled; });
            }
            if (used > 0 && used == front.bytes) {
                popFront(lock);
                continue;
            }
            // A piece cut short since is read again, so that the copy finds it ended.
            if (front.offset + used != offset || front.bytes == used || front.offset + front.bytes > st.st_size) {
                return {};
            }
            const std::int64_t taken = std::min(count, front.bytes - used);
            const std::string_view bytes(front.data + used, static_cast<std::size_t>(taken));
            used += taken;
            return bytes;
        }
    }
};

ReadAhead::ReadAhead(std::size_t count, Open open, Buffer* copies)
    : m_copies(copies), m_count(count), m_open(std::move(open)) {
    // The window and the piece about to be taken, but no more than a quarter of the
    // descriptors a process may open, so that the join's own opens and whatever else
    // the process holds never run short.
    rlimit files{};
    const rlim_t limit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0;
    m_heldLimit = static_cast<std::size_t>(std::min<rlim_t>(limit / 4, windowPieces + 1));
}

ReadAhead::~ReadAhead() {
    if (m_copies != nullptr && m_copies->ahead == this) {
        m_copies->ahead = nullptr;
    }
    m_direct.reset();
    dropBefore(m_count);
}

void ReadAhead::before(std::size_t index) {
    dropBefore(index);
    // Pieces from `index` on are being copied or asked for; forget the ones before.
    while (!m_ahead.empty() && m_next - m_ahead.size() <= index) {
        m_aheadBytes -= m_ahead.front();
        m_ahead.pop_front();
    }
    m_next = std::max(m_next, index + 1);
    if (!m_atWork) {
        const bool sample = !m_sampled || index % probeEvery == 0;
        m_sampled = true;
        if (!sample || m_next >= m_count || cached(m_next)) {
            return;
        }
        m_atWork = true;
    }
    while (m_next < m_count && m_ahead.size() < windowPieces && m_aheadBytes < windowBytes) {
        std::int64_t asked = 0;
        std::int64_t size = 0;
        bool kept = false;
        const int fd = open(m_next, size, kept);
        if (fd >= 0 && size > 0) {
            // The rest of a long piece the kernel's own read-ahead fetches as it is copied.
            asked = std::min<std::int64_t>(size, windowBytes - m_aheadBytes);
            if (!readDirect(m_next, fd, size) && !(m_callerReadsCold && mostlyUncached(fd, 0, size))) {
                ::posix_fadvise(fd, 0, asked, POSIX_FADV_WILLNEED);
            }
        }
        if (fd >= 0 && !kept) {
            ::close(fd);
        }
        m_ahead.push_back(asked);
        m_aheadBytes += asked;
        ++m_next;
    }
}

Descriptor ReadAhead::take(std::size_t index, struct stat& st) {
    dropBefore(index);
    if (m_direct) {
        m_direct->pass(index);
    }
    if (m_held.empty() || m_held.front().index != index) {
        return Descriptor();
    }
    st = m_held.front().st;
    Descriptor fd(m_held.front().fd);
    m_held.pop_front();
    return fd;
}

std::string_view ReadAhead::readAt(int fd, std::int64_t offset, std::int64_t count) {
    struct stat st {};
    if (!m_direct || ::fstat(fd, &st) != 0) {
        return {};
    }
    return m_direct->readAt(st, offset, count);
}

bool ReadAhead::readDirect(std::size_t index, int fd, std::int64_t size) {
    if (m_copies == nullptr || !mostlyUncached(fd, 0, size)) {
        return false;
    }
    if (!m_direct) {
        m_direct = std::make_unique<Direct>();
        m_copies->ahead = this;
    }
    if (m_direct->readers.empty() || m_direct->refused || m_direct->pieces >= m_heldLimit) {
        return false;
    }
    // A descriptor of its own, as the flag would change the join's too.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int direct = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    struct stat st {};
    if (direct < 0) {
        return false;
    }
    if (::fstat(direct, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(direct);
        return false;
    }
    auto piece = std::make_shared<Direct::Piece>(index, direct, size, st, m_direct->pieces);
    {
        const std::lock_guard lock(m_direct->mutex);
        m_direct->queue.push_back(std::move(piece));
    }
    m_direct->claimable.notify_one();
    return true;
}

// Whether the last byte of piece `index` is in the page cache; a piece that cannot
// be looked at counts as cached, since reading ahead could not help it either.
bool ReadAhead::cached(std::size_t index) {
    std::int64_t size = 0;
    bool kept = false;
    const int fd = open(index, size, kept);
    if (fd < 0) {
        return true;
    }
    bool inCache = true;
    if (size > 0) {
        // Asked of the last page through mincore, which reads nothing in: a read that
        // must not wait (RWF_NOWAIT) starts reading the page, and on a fast disk it may
        // be there before the read looks again.
        const long page = ::sysconf(_SC_PAGESIZE);
        const off_t last = static_cast<off_t>((size - 1) / page * page);
        void* map = ::mmap(nullptr, static_cast<std::size_t>(page), PROT_READ, MAP_SHARED, fd, last);
        unsigned char resident = 1;
        if (map != MAP_FAILED) {
            if (::mincore(map, static_cast<std::size_t>(page), &resident) == 0) {
                inCache = (resident & 1) != 0;
            }
            ::munmap(map, static_cast<std::size_t>(page));
        }
    }
    if (!kept) {
        ::close(fd);
    }
    return inCache;
}

int ReadAhead::open(std::size_t index, std::int64_t& size, bool& kept) {
    if (!m_held.empty() && m_held.back().index == index) {
        kept = true;
        size = m_held.back().st.st_size;
        return m_held.back().fd;
    }
    Held held{index, -1, {}};
    held.fd = m_open(index, held.st).release();
    size = held.fd >= 0 && S_ISREG(held.st.st_mode) ? held.st.st_size : 0;
    kept = held.fd >= 0 && m_held.size() < m_heldLimit;
    if (kept) {
        m_held.push_back(held);
    }
    return held.fd;
}

void ReadAhead::dropBefore(std::size_t index) {
    while (!m_held.empty() && m_held.front().index < index) {
        ::close(m_held.front().fd);
        m_held.pop_front();
    }
}

CrcBehind::CrcBehind(int fd) : m_fd(fd) {
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
        std::int64_t offset = m_done;
        const std::int64_t end = std::min(m_available, offset + stretch);
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
    }
    Result<std::vector<ParallelCrc::Crc>> rest =
        ParallelCrc::ofRanges({{m_fd, whole.length, length - whole.length}}, threads, turn);
    if (!rest) {
        return rest.fault();
    }
    const ParallelCrc::Crc& part = rest->front();
    whole.crc = Crc32::combine(whole.crc, part.crc, part.length);
    whole.length += part.length;
    return whole;
}

} // namespace Copy
