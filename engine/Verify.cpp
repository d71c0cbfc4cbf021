#include "engine/Verify.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Checksum.h"
#include "engine/FileSize.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"

namespace Verify {

namespace {

// Only the end of an overlong line is kept: a piece name is what follows its last
// separator, and no file name is longer than this.
constexpr std::size_t keptLineBytes = 8192;

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Opens a regular file for reading without hanging on a FIFO; -1 with errno set.
int openRegular(const std::string& path, struct stat& st) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Streams the entries of a manifest (its text cut at every CR LF) without holding
// more than one line. Returns false with errno set when the file cannot be read, and
// sets `tooLarge` past the joiner's limits.
bool forEachEntry(const std::string& manifestPath, bool& tooLarge,
                  const std::function<void(int index, std::string_view entry)>& visit) {
    tooLarge = false;
    struct stat st {};
    const Descriptor manifest(openRegular(manifestPath, st));
    if (manifest.get() < 0) {
        return false;
    }
    if (st.st_size > PieceSet::maxManifestBytes) {
        tooLarge = true;
        return true;
    }
    std::string line;
    bool pendingCr = false;
    int index = 0;
    std::int64_t total = 0;
    char block[65536];
    const int error = FileSize::readBlocks(manifest.get(), block, sizeof block, [&](std::string_view text) {
        total += static_cast<std::int64_t>(text.size());
        if (total > PieceSet::maxManifestBytes) {
            tooLarge = true;
            return false;
        }
        for (const char c : text) {
            if (pendingCr && c == '\n') {
                if (index == PieceSet::maxPieces) {
                    tooLarge = true;
                    return false;
                }
                visit(index++, line);
                line.clear();
                pendingCr = false;
                continue;
            }
            if (pendingCr) {
                line += '\r';
            }
            pendingCr = c == '\r';
            if (!pendingCr) {
                line += c;
            }
            if (line.size() > 2 * keptLineBytes) {
                line.erase(0, line.size() - keptLineBytes);
            }
        }
        return true;
    });
    errno = error;
    return error == 0;
}

// The piece length of the set: the most common length of the pieces before the last,
// the longer one on a tie. Taken from all of them rather than from the first, so
// that a damaged first piece is the one named.
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

// What pass one learnt of one piece.
struct Piece {
    std::int64_t length = -1; // -1: missing
    int error = 0;            // errno of a failed open or read
    bool hashChecked = false;
    bool hashMatches = false;
    bool listed = true;
};

bool hashFile(int fd, Checksum::Sha256& hash, FileSize::CopyBuffer& buffer, int& error) {
    error = FileSize::readBlocks(fd, buffer.data(), FileSize::CopyBuffer::size, [&](std::string_view block) {
        hash.update(block.data(), block.size());
        return true;
    });
    return error == 0;
}

std::string piecePathOf(const std::string& manifestFolder, std::string_view entry) {
    return Main::CollapseBackslashes(manifestFolder + Main::nativeSeparator + PieceSet::entryName(entry));
}

// The length of the piece at `path`, named by `entry`; -1 when no regular file is
// there. A NUL byte would cut the name short and find another file: it names none.
std::int64_t pieceFileLength(const std::string& path, std::string_view entry) {
    struct stat st {};
    if (entry.find('\0') != std::string_view::npos || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return st.st_size;
}

} // namespace

Result VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report) {
    Result result;
    const auto failed = [&](const std::string& path, int error) {
        result.status = Result::Status::Failed;
        result.failedPath = path;
        result.error = error;
        return result;
    };

    const std::string sidecarPath = Checksum::sidecarPath(manifestPath);
    const Checksum::Sidecar sidecar = Checksum::Sidecar::load(sidecarPath);
    if (sidecar.status() == Checksum::Sidecar::Status::Failed) {
        return failed(sidecarPath, sidecar.error());
    }
    result.checksummed = sidecar.status() == Checksum::Sidecar::Status::Loaded;

    const std::string folder = Main::GetFolderPart(manifestPath);
    std::vector<Piece> pieces;
    FileSize::CopyBuffer buffer;
    std::optional<Checksum::Sha256> hash;
    if (result.checksummed) {
        hash.emplace();
    }
    bool tooLarge = false;
    const bool read = forEachEntry(manifestPath, tooLarge, [&](int, std::string_view entry) {
        Piece piece;
        const std::string path = piecePathOf(folder, entry);
        piece.length = pieceFileLength(path, entry);
        if (piece.length < 0) {
            pieces.push_back(piece);
            return;
        }
        if (hash) {
            struct stat st {};
            const std::optional<Checksum::Digest> expected = sidecar.find(PieceSet::entryName(entry));
            piece.listed = expected.has_value();
            const Descriptor file(openRegular(path, st));
            if (file.get() < 0) {
                piece.error = errno;
            } else if (expected && hashFile(file.get(), *hash, buffer, piece.error)) {
                piece.hashChecked = true;
                piece.hashMatches = hash->finish() == *expected;
            }
        }
        pieces.push_back(piece);
    });
    if (!read) {
        return failed(manifestPath, errno);
    }
    if (tooLarge || pieces.empty()) {
        result.status = Result::Status::NotAList;
        return result;
    }

    result.pieces = static_cast<int>(pieces.size());
    std::vector<std::int64_t> lengths;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        if (pieces[i].length >= 0) {
            lengths.push_back(pieces[i].length);
        }
    }
    std::int64_t expected = pieceLength(std::move(lengths));

    std::vector<Finding> findings; // at most one per piece; paths filled in pass two
    std::vector<int> findingIndex;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const bool last = i + 1 == pieces.size();
        if (piece.length >= 0) {
            result.bytes += piece.length;
        }
        Finding finding;
        finding.last = last;
        finding.length = piece.length;
        finding.expected = expected;
        finding.error = piece.error;
        if (piece.length < 0) {
            finding.problem = Finding::Problem::Missing;
        } else if (piece.error != 0) {
            finding.problem = Finding::Problem::Unreadable;
        } else if (last ? piece.length == 0 : (expected >= 0 && piece.length < expected)) {
            finding.problem = Finding::Problem::Short;
        } else if (expected >= 0 && piece.length > expected) {
            finding.problem = Finding::Problem::Long;
        } else if (hash && !piece.listed) {
            finding.problem = Finding::Problem::Unlisted;
        } else if (piece.hashChecked && !piece.hashMatches) {
            finding.problem = Finding::Problem::Damaged;
        } else {
            continue;
        }
        findings.push_back(finding);
        findingIndex.push_back(static_cast<int>(i));
    }
    result.bad = static_cast<int>(findings.size());
    if (findings.empty() || !report) {
        return result;
    }

    // Pass two names the bad pieces; the manifest is read again rather than held.
    std::size_t next = 0;
    forEachEntry(manifestPath, tooLarge, [&](int index, std::string_view entry) {
        if (next < findings.size() && findingIndex[next] == index) {
            const std::string path = piecePathOf(folder, entry);
            findings[next].piecePath = path.substr(0, path.find('\0'));
            report(findings[next]);
            ++next;
        }
    });
    return result;
}

Result estimateSet(const std::string& manifestPath) {
    Result result;
    std::string first;
    std::string last;
    bool tooLarge = false;
    const bool read = forEachEntry(manifestPath, tooLarge, [&](int index, std::string_view entry) {
        (index == 0 ? first : last).assign(entry);
        result.pieces = index + 1;
    });
    if (!read) {
        result.status = Result::Status::Failed;
        result.failedPath = manifestPath;
        result.error = errno;
        return result;
    }
    if (tooLarge || result.pieces == 0) {
        result.status = Result::Status::NotAList;
        return result;
    }
    const std::string folder = Main::GetFolderPart(manifestPath);
    const auto length = [&](std::string_view entry) { return pieceFileLength(piecePathOf(folder, entry), entry); };
    const std::int64_t firstLength = length(first);
    const std::int64_t lastLength = result.pieces == 1 ? firstLength : length(last);
    if (firstLength >= 0 && lastLength >= 0) {
        result.bytes = firstLength * (result.pieces - 1) + lastLength;
    }
    return result;
}

} // namespace Verify
