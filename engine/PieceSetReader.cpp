#include "engine/PieceSetReader.h"

#include <algorithm>
#include <cerrno>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/Main.h"
#include "engine/RunFolder.h"

namespace PieceSet {

Result<Scan> scanList(int fd, char* buffer, std::size_t size, std::vector<Entry>& entries,
                      const std::function<bool()>& turn) {
    // Small enough that a slow disk still gives the event loop turns.
    constexpr std::int64_t turnEvery = std::int64_t{8} << 20;
    ManifestScanner scanner;
    std::int64_t total = 0;
    std::int64_t sinceTurn = 0;
    Scan scan = Scan::Complete;
    const Status read = Copy::readBlocks(fd, buffer, size, [&](std::string_view block) {
        total += static_cast<std::int64_t>(block.size());
        if (total > maxManifestBytes || !scanner.feed(block, entries, maxPieces)) {
            scan = Scan::Invalid;
            return false;
        }
        sinceTurn += static_cast<std::int64_t>(block.size());
        if (sinceTurn >= turnEvery) {
            sinceTurn = 0;
            if (turn && !turn()) {
                scan = Scan::Stopped;
                return false;
            }
        }
        return true;
    });
    if (!read) {
        return read.fault();
    }
    return scan;
}

std::string pieceFolder(const std::string& manifestPath) {
    return Main::CollapseBackslashes(Main::GetFolderPart(manifestPath) + Main::nativeSeparator);
}

namespace {

constexpr std::size_t windowSize = std::size_t{64} << 10;
static_assert(windowSize >= maxPathLength);

} // namespace

Status NameReader::read(const Entry& entry, std::string& name, bool& whole) {
    const std::int64_t length = entry.end - entry.nameStart;
    whole = length <= static_cast<std::int64_t>(maxPathLength);
    const auto wanted = static_cast<std::size_t>(whole ? length : maxPathLength);
    if (entry.nameStart < m_start || entry.nameStart + static_cast<std::int64_t>(wanted) > m_start + m_filled) {
        if (Status filled = fill(entry.nameStart); !filled) {
            return filled;
        }
    }
    // A list that shrank since it was scanned: take what is there.
    const auto from = static_cast<std::size_t>(entry.nameStart - m_start);
    name.assign(m_window.data() + from, std::min(wanted, static_cast<std::size_t>(m_filled) - from));
    return {};
}

Status NameReader::fill(std::int64_t start) {
    m_window.resize(windowSize);
    m_start = start;
    m_filled = 0;
    while (static_cast<std::size_t>(m_filled) < windowSize) {
        const ssize_t n = ::pread(m_list.get(), m_window.data() + m_filled, windowSize - m_filled, m_start + m_filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            m_filled = 0;
            return Fault::ofErrno();
        }
        if (n == 0) {
            break;
        }
        m_filled += n;
    }
    return {};
}

std::int64_t namedLength(const RunFolder& folder, const Entry& entry, const std::string& name, bool whole) {
    if (entry.hasNul || !whole || !folder.isOpen()) {
        return -1;
    }
    const Result<struct stat> st = folder.statEntry(name, true);
    return st && S_ISREG(st->st_mode) ? st->st_size : -1;
}

std::int64_t pieceLength(std::vector<std::int64_t> lengths) {
    std::sort(lengths.begin(), lengths.end());
    std::int64_t best = -1;
    std::size_t bestCount = 0;
    for (std::size_t i = 0; i < lengths.size();) {
        std::size_t j = i;
        while (j < lengths.size() && lengths[j] == lengths[i]) {
            ++j;
        }
        if (j - i >= bestCount) {
            best = lengths[i];
            bestCount = j - i;
        }
        i = j;
    }
    return best;
}

int compareLength(std::int64_t length, std::int64_t expected, bool last) {
    if (last && length == 0) {
        return -1;
    }
    if (expected < 0 || length == expected || (last && length < expected)) {
        return 0;
    }
    return length < expected ? -1 : 1;
}

} // namespace PieceSet
