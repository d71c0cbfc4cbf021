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
#include "engine/hash/Crc32.h"

namespace PieceSet {

namespace {

// The longest list kept in memory while a set is read.
constexpr std::size_t maxListText = std::size_t{4} << 20;

// Appends where each entry of the list at `fd` lies to `entries`, copying what it reads to `copyFd` or `copyText`.
// Invalid past maxManifestBytes or maxPieces entries.
Result<Scan> scanList(int fd, char* buffer, std::size_t size, std::vector<Entry>& entries,
                      const std::function<bool()>& turn, int copyFd, std::string* copyText = nullptr) {
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

std::string pieceFolder(const std::string& manifestPath) {
    return Main::CollapseBackslashes(Main::GetFolderPart(manifestPath) + Main::nativeSeparator);
}

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

Result<Scan> SetReader::open(const std::string& manifestPath, char* buffer, std::size_t size,
                             const std::function<bool()>& turn) {
    if (!lockFolder(manifestPath)) {
        return Scan::Busy;
    }
    const Result<bool> foreign = findForeign();
    if (!foreign || *foreign) {
        return foreign ? Result<Scan>(Scan::Complete) : foreign.fault();
    }
    if (const Status opened = openList(); !opened) {
        return opened.fault().named(manifestPath);
    }
    if (listTooLarge()) {
        return Scan::Invalid;
    }
    Result<Scan> scanned = scan(buffer, size, turn);
    return scanned ? scanned : scanned.fault().named(manifestPath);
}

std::string SetReader::checksumPath() const {
    if (m_foreign) {
        return m_folderText + m_checksumName;
    }
    return m_folderText + Checksum::sidecarPath(Main::GetFileName(m_manifestPath));
}

namespace {

bool endsWithAnyCase(std::string_view text, std::string_view end) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return text.size() >= end.size() && std::equal(end.begin(), end.end(), text.end() - end.size(),
                                                   [&](char a, char b) { return lower(a) == lower(b); });
}

} // namespace

Result<bool> SetReader::findForeign() {
    const std::string name = Main::GetFileName(m_manifestPath);
    if (!m_folder.isOpen() || endsWithAnyCase(name, manifestSuffix)) {
        return false;
    }
    // A piece of a list (NAME_splt100) is never the first of a coreutils set.
    if (const std::size_t marker = name.rfind(pieceMarker);
        marker != std::string::npos && marker > 0 && marker + pieceMarker.size() < name.size() &&
        name.find_first_not_of("0123456789", marker + pieceMarker.size()) == std::string::npos) {
        return false;
    }
    Result<std::optional<ForeignSet::Set>> found = ForeignSet::find(m_folder, name);
    if (!found) {
        Fault fault = found.fault();
        // The set's files are named by their names in the folder.
        fault.path = fault.path.empty() ? m_manifestPath : m_folderText + fault.path;
        return fault;
    }
    if (!*found) {
        return false;
    }
    m_foreign = std::move(*found);
    if (const Result<struct stat> st = m_folder.statEntry(name, true)) {
        m_listStatus = *st;
    }
    std::size_t count = m_foreign->count();
    // A .crc that says bytes are still missing names the pieces that would hold them:
    // as many as pieces as long as the first take.
    if (m_foreign->missingAfterLast()) {
        const std::int64_t first = m_foreign->lengths.front();
        const std::int64_t missing = m_foreign->crc->size - m_foreign->presentBytes();
        const std::int64_t more = first > 0 ? (missing + first - 1) / first : 1;
        const std::int64_t room = std::max<std::int64_t>(ForeignSet::maxPieces - static_cast<std::int64_t>(count), 1);
        count += static_cast<std::size_t>(std::clamp<std::int64_t>(more, 1, room));
    }
    m_entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto index = static_cast<std::int64_t>(i);
        m_entries.push_back({index, index, index, false});
    }
    return true;
}

std::string SetReader::joinedName() const {
    return m_foreign ? m_foreign->outputName : PieceSet::joinedName(m_manifestPath);
}

// The sums file that names the pieces checks them as a list's checksum file does;
// lines naming the joined file, and the .crc, check the whole.
Status SetReader::loadForeignChecks() {
    const ForeignSet::Set& set = *m_foreign;
    if (set.crc) {
        m_wholeChecks.push_back({m_folderText + *set.crcName, set.crc->size, set.crc->crc, {}, {}});
    }
    for (const ForeignSet::SumsFile& sums : set.sums) {
        if (sums.algorithm == ForeignSet::Algorithm::Md5) {
            Result<ForeignSet::Md5Sums> loaded = ForeignSet::loadMd5Sums(m_folder, sums.name);
            if (!loaded) {
                return loaded.fault().named(m_folderText + sums.name);
            }
            if (const auto whole = loaded->find(set.outputName); whole != loaded->end()) {
                m_wholeChecks.push_back({m_folderText + sums.name, {}, {}, {}, whole->second});
            }
            if (!m_md5Pieces && loaded->count(set.pieceName(0)) != 0) {
                m_md5Pieces = std::move(*loaded);
                m_md5Name = sums.name;
            }
            continue;
        }
        Result<Checksum::Sidecar> loaded = Checksum::Sidecar::load(sums.name, m_folder.fd());
        if (!loaded) {
            return loaded.fault().named(m_folderText + sums.name);
        }
        if (const std::optional<Checksum::Digest> whole = loaded->find(set.outputName)) {
            m_wholeChecks.push_back({m_folderText + sums.name, {}, {}, *whole, {}});
        }
        if (!m_checksums.present() && loaded->find(set.pieceName(0))) {
            m_checksums = std::move(*loaded);
            m_checksumName = sums.name;
        }
    }
    return {};
}

Status SetReader::loadChecksums() {
    if (!m_folder.isOpen()) {
        return {};
    }
    if (m_foreign) {
        return loadForeignChecks();
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
    if (m_foreign) {
        name = m_foreign->pieceName(static_cast<std::size_t>(entry.start));
        whole = true;
        return {};
    }
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

Status WholeHash::add(const std::vector<ParallelCrc::Range>& ranges, unsigned threads,
                      const std::function<bool()>& turn) {
    if (m_check.crc) {
        Result<std::vector<ParallelCrc::Crc>> crcs = ParallelCrc::ofRanges(ranges, threads, turn);
        if (!crcs) {
            return crcs.fault();
        }
        const ParallelCrc::Crc part = ParallelCrc::concatenated(*crcs);
        m_crc.crc = Crc32::combine(m_crc.crc, part.crc, part.length);
        m_crc.length += part.length;
        return {};
    }
    if (!m_sha256 && !m_md5) {
        return {};
    }
    Copy::Buffer buffer;
    std::int64_t sinceTurn = 0;
    for (const ParallelCrc::Range& range : ranges) {
        for (std::int64_t done = 0; done < range.length;) {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(range.length - done, Copy::Buffer::size));
            const ssize_t n = ::pread(range.fd, buffer.data(), want, range.offset + done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                return Fault::ofErrno();
            }
            if (n == 0) {
                break;
            }
            const Status hashed = m_sha256 ? m_sha256->update(buffer.data(), static_cast<std::size_t>(n))
                                           : m_md5->update(buffer.data(), static_cast<std::size_t>(n));
            if (!hashed) {
                return hashed.fault();
            }
            done += n;
            m_crc.length += n;
            sinceTurn += n;
            if (sinceTurn >= Copy::Buffer::maxBlockBytes) {
                sinceTurn = 0;
                if (turn && !turn()) {
                    return Fault{ECANCELED};
                }
            }
        }
    }
    return {};
}

Result<bool> WholeHash::matches() {
    if (m_check.crc) {
        return m_crc.length == m_check.size && m_crc.crc == m_check.crc;
    }
    if (m_md5) {
        Result<Md5::Digest> digest = m_md5->finish();
        if (!digest) {
            return digest.fault();
        }
        return *digest == m_check.md5;
    }
    Result<Checksum::Digest> digest = m_sha256->finish();
    if (!digest) {
        return digest.fault();
    }
    return *digest == m_check.sha256;
}

Result<bool> matchesWhole(const std::vector<ParallelCrc::Range>& ranges, const SetReader::WholeCheck& check,
                          unsigned threads, const std::function<bool()>& turn) {
    WholeHash hash(check);
    if (const Status added = hash.add(ranges, threads, turn); !added) {
        return added.fault();
    }
    return hash.matches();
}

Result<bool> SetReader::piecesMatchWhole(const WholeCheck& check, unsigned threads,
                                         const std::function<bool()>& turn) const {
    // A batch of pieces open at a time, well below any limit on open files.
    constexpr std::size_t batch = 128;
    WholeHash hash(check);
    NameReader reader = names();
    for (std::size_t start = 0; start < count(); start += batch) {
        std::vector<Descriptor> pieces;
        std::vector<ParallelCrc::Range> ranges;
        for (std::size_t i = start; i < std::min(start + batch, count()); ++i) {
            std::string name;
            bool whole = false;
            if (const Status read = reader.read(m_entries[i], name, whole); !read) {
                return read.fault().named(m_manifestPath);
            }
            struct stat st {};
            Result<Descriptor> piece = namedLength(i, name, whole) < 0 ? Result<Descriptor>(Fault{ENOENT})
                                                                       : openRegular(m_folder.fd(), name.c_str(), st);
            if (!piece) {
                return piece.fault().named(m_folderText + name);
            }
            pieces.push_back(std::move(*piece));
            // One byte past the length seen shows a piece that grew meanwhile.
            ranges.push_back({pieces.back().get(), 0, static_cast<std::int64_t>(st.st_size) + 1});
        }
        if (const Status added = hash.add(ranges, threads, turn); !added) {
            return added.fault();
        }
    }
    return hash.matches();
}

} // namespace PieceSet
