#include "engine/PieceSetReader.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/Main.h"
#include "engine/RunFolder.h"

namespace PieceSet {

Result<Scan> scanList(int fd, char* buffer, std::size_t size, std::vector<Entry>& entries,
                      const std::function<bool()>& turn, int copyFd, std::string* copyText) {
    // Small enough that a slow disk still gives the event loop turns.
    constexpr std::int64_t turnEvery = std::int64_t{8} << 20;
    ManifestScanner scanner;
    std::int64_t total = 0;
    std::int64_t sinceTurn = 0;
    Scan scan = Scan::Complete;
    Status copied;
    const Status read = Copy::readBlocks(fd, buffer, size, [&](std::string_view block) {
        if (copyFd >= 0 && !(copied = Copy::writeAll(copyFd, block.data(), block.size()))) {
            return false;
        }
        if (copyText != nullptr && copyText->size() + block.size() > maxListText) {
            scan = Scan::Invalid;
            return false;
        }
        if (copyText != nullptr) {
            copyText->append(block);
        }
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
    if (!copied) {
        return copied.fault();
    }
    return scan;
}

std::string pieceFolder(const std::string& manifestPath) {
    return Main::CollapseBackslashes(Main::GetFolderPart(manifestPath) + Main::nativeSeparator);
}

namespace {

// An unnamed file among the system's temporary files, gone when closed; a hidden
// name removed at once where the file system has no unnamed files.
Result<Descriptor> unnamedFile() {
    const char* folder = std::getenv("TMPDIR");
    const std::string path = folder != nullptr && *folder != '\0' ? folder : "/tmp";
    if (const int fd = ::open(path.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); fd >= 0) {
        return Descriptor(fd);
    }
    std::string name = path + "/.quarnel-list-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return Fault::ofErrno();
    }
    ::unlink(name.c_str());
    return Descriptor(fd);
}

} // namespace

bool SetReader::lockFolder(const std::string& manifestPath) {
    m_manifestPath = manifestPath;
    m_folderText = pieceFolder(manifestPath);
    return !m_folder.open(m_folderText) || m_folder.lock(RunFolder::Lock::Shared);
}

Status SetReader::openList() {
    Result<Descriptor> opened = openRegular(AT_FDCWD, m_manifestPath.c_str(), m_listStatus);
    if (!opened) {
        return opened.fault();
    }
    m_original = std::move(*opened);
    return {};
}

Result<Scan> SetReader::scan(char* buffer, std::size_t size, const std::function<bool()>& turn) {
    if (m_listStatus.st_size <= static_cast<std::int64_t>(maxListText)) {
        return scanList(m_original.get(), buffer, size, m_entries, turn, -1, &m_text);
    }
    Result<Descriptor> snapshot = unnamedFile();
    if (!snapshot) {
        return snapshot.fault();
    }
    m_list = std::move(*snapshot);
    return scanList(m_original.get(), buffer, size, m_entries, turn, m_list.get());
}

std::string SetReader::checksumPath() const {
    return m_folderText + Checksum::sidecarPath(Main::GetFileName(m_manifestPath));
}

Status SetReader::loadChecksums() {
    if (!m_folder.isOpen()) {
        return {};
    }
    Result<Checksum::Sidecar> loaded =
        Checksum::Sidecar::load(Checksum::sidecarPath(Main::GetFileName(m_manifestPath)), m_folder.fd());
    if (!loaded) {
        return loaded.fault();
    }
    m_checksums = std::move(*loaded);
    return {};
}

std::int64_t SetReader::namedLength(std::size_t index, const std::string& name, bool whole) const {
    return PieceSet::namedLength(m_folder, m_entries[index], name, whole);
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
    if (m_list.get() < 0) {
        const auto from = std::min(static_cast<std::size_t>(start), m_text.size());
        m_filled = static_cast<std::int64_t>(m_text.copy(m_window.data(), windowSize, from));
        return {};
    }
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
