#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/DirectReads.h"
#include "engine/hash/HashingPool.h"

// The read-ahead of a join's and verify's pieces, and its reads around the page cache.
namespace Copy {

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
    if ((m_copies == nullptr && !m_hashCold) || !mostlyUncached(fd, 0, size)) {
        return false;
    }
    if (!m_direct) {
        m_direct = std::make_unique<Direct>(m_hashCold, m_copies != nullptr);
        if (m_copies != nullptr) {
            m_copies->ahead = this;
        }
    }
    if (!m_direct->copies) {
        // Nothing takes the pieces in turn: the hashes do, and the caller waits for them.
        m_direct->fewerThan(std::min(hashedPiecesAhead, m_heldLimit));
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
    if (m_hashCold) {
        m_coldHashed.resize(m_count);
        m_coldHashed[index] = true;
    }
    return true;
}

bool ReadAhead::copiedAsHashed(std::size_t index) {
    return hashesCold(index) && m_direct->copiedAsHashed(index);
}

std::optional<ReadAhead::Hashed> ReadAhead::digest(std::size_t index, bool wait) {
    if (!hashesCold(index)) {
        return std::nullopt;
    }
    return m_direct->digest(index, wait);
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

} // namespace Copy
