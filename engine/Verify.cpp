#include "engine/Verify.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/Main.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/hash/HashingPool.h"
#include "engine/hash/Md5.h"

namespace Verify {

namespace {

using Set = PieceSet::SetReader;

const std::vector<PieceSet::SetReader::WholeCheck> noWholeChecks;

// Opens and scans the list, or finds the set by name, as the joiner does; the summary's verdict says when it is
// not one, lists nothing, or lies in a folder a split is writing to.
Result<Summary> openSet(const std::string& manifestPath, Set& set, Copy::Buffer& buffer) {
    Summary summary;
    if (!set.lockFolder(manifestPath)) {
        summary.verdict = Summary::Verdict::Busy;
        return summary;
    }
    const Result<bool> foreign = set.findForeign();
    if (!foreign) {
        return foreign.fault();
    }
    if (*foreign) {
        summary.pieces = static_cast<int>(set.count());
        return summary;
    }
    if (const Status opened = set.openList(); !opened) {
        return opened.fault().named(manifestPath);
    }
    const Result<PieceSet::Scan> scan =
        set.listTooLarge() ? PieceSet::Scan::Invalid : set.scan(buffer.data(), Copy::Buffer::size, {});
    if (!scan) {
        return scan.fault().named(manifestPath);
    }
    if (*scan != PieceSet::Scan::Complete || set.count() == 0) {
        summary.verdict = Summary::Verdict::NotAList;
        return summary;
    }
    summary.pieces = static_cast<int>(set.count());
    return summary;
}

// What the first pass learnt of one piece.
struct Piece {
    std::int64_t length = -1; // -1: it names no piece
    int error = 0;            // errno of a failed open or read
    std::optional<Finding::Problem> checksum;
    Checksum::Digest expected{}; // the checksum file's digest of it
};

// The order of the joiner's checks, so that the first piece found bad is the one where
// a join stops.
std::optional<Finding::Problem> problemOf(const Piece& piece, std::int64_t expected, bool last) {
    using Problem = Finding::Problem;
    if (piece.length < 0) {
        return Problem::Missing;
    }
    if (piece.error != 0) {
        return Problem::Unreadable;
    }
    if (const int fit = PieceSet::compareLength(piece.length, expected, last); fit != 0) {
        return fit < 0 ? Problem::Short : Problem::Long;
    }
    return piece.checksum;
}

// Checks `file`, the piece `name`, against an md5sum file's `sums`.
void md5Check(const Descriptor& file, const ForeignSet::Md5Sums& sums, const std::string& name, Piece& piece) {
    const auto listed = sums.find(name);
    if (listed == sums.end()) {
        piece.checksum = Finding::Problem::Unlisted;
        return;
    }
    Md5 hash;
    Status hashed;
    char block[65536];
    const Status read = Copy::readBlocks(file.get(), block, sizeof block, [&](std::string_view part) {
        return (hashed = hash.update(part.data(), part.size())).ok();
    });
    const Result<Md5::Digest> digest = read && hashed ? hash.finish() : Result<Md5::Digest>(Fault{EIO});
    if (!read || !digest) {
        piece.error = !read ? read.fault().error : EIO;
        return;
    }
    if (*digest != listed->second) {
        piece.checksum = Finding::Problem::Damaged;
    }
}

} // namespace

Result<Summary> VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report) {
    Set set;
    Copy::Buffer buffer;
    Result<Summary> opened = openSet(manifestPath, set, buffer);
    if (!opened || opened->verdict != Summary::Verdict::Checked) {
        return opened;
    }
    Summary& summary = *opened;
    if (const Status loaded = set.loadChecksums(); !loaded) {
        return loaded.fault().named(set.checksumPath());
    }
    const Checksum::Sidecar& sidecar = set.checksums();
    if (sidecar.conflicting()) {
        summary.verdict = Summary::Verdict::ChecksumsConflict;
        summary.checksumFile = set.checksumPath();
        return summary;
    }
    summary.checksummed = sidecar.present();
    if (summary.checksummed) {
        summary.checksumFile = set.checksumPath();
    } else if (set.foreign()) {
        // What such a set would be checked by.
        summary.checksumFile = set.folderText() + set.foreignSet()->stem + std::string(CrcFile::suffix);
    }

    PieceSet::NameReader names = set.names();
    std::string name;
    bool whole = false;
    std::vector<Piece> pieces(set.count());
    std::vector<std::int64_t> lengths; // of the pieces before the last
    // The pieces are looked up in order here and hashed on every core; what the
    // hashes find goes to their own records, reported in list order below.
    std::optional<Checksum::Hashers> hashers;
    if (summary.checksummed) {
        hashers.emplace(Checksum::Hashers::cores(),
                        [&](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) {
                            Piece& piece = pieces[job.index];
                            piece.error = digest ? 0 : digest.fault().error;
                            if (digest && *digest != piece.expected) {
                                piece.checksum = Finding::Problem::Damaged;
                            }
                            return Status{};
                        });
    }
    // What fails the hashers is a checksum failure already.
    const auto hashFailed = [&](const Fault& fault) { return fault.named(manifestPath); };
    // An md5sum file of the pieces, where no sha256sum file is, is checked here.
    const bool md5 = !summary.checksummed && set.md5Pieces();
    // Pieces that are hashed are read ahead as a join reads them, so that a set not in
    // the page cache is read with many requests in flight rather than one per thread.
    PieceSet::NameReader namesAhead = set.names();
    std::optional<Copy::ReadAhead> readAhead;
    if (summary.checksummed || md5) {
        readAhead.emplace(pieces.size(), [&](std::size_t index, struct stat& st) {
            std::string aheadName;
            bool aheadWhole = false;
            if (!namesAhead.read(set.entries()[index], aheadName, aheadWhole) ||
                set.namedLength(index, aheadName, aheadWhole) < 0) {
                return Descriptor();
            }
            Result<Descriptor> opened = openRegular(set.folder().fd(), aheadName.c_str(), st);
            return opened ? std::move(*opened) : Descriptor();
        });
        // The hashing threads read pieces not in the page cache around it themselves.
        readAhead->leaveColdToCaller(summary.checksummed);
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (const Status read = names.read(set.entries()[i], name, whole); !read) {
            return read.fault().named(manifestPath);
        }
        Piece& piece = pieces[i];
        piece.length = set.namedLength(i, name, whole);
        if (piece.length < 0) {
            continue;
        }
        summary.bytes += piece.length;
        if (i + 1 < pieces.size()) {
            lengths.push_back(piece.length);
        }
        struct stat st {};
        Descriptor ahead;
        if (readAhead) {
            readAhead->before(i);
            ahead = readAhead->take(i, st);
        }
        Result<Descriptor> file =
            ahead.get() >= 0 ? Result<Descriptor>(std::move(ahead)) : openRegular(set.folder().fd(), name.c_str(), st);
        if (!file) {
            piece.error = file.fault().error;
            continue;
        }
        if (md5) {
            md5Check(*file, *set.md5Pieces(), name, piece);
            continue;
        }
        if (!summary.checksummed) {
            continue;
        }
        const std::optional<Checksum::Digest> digest = sidecar.find(name);
        if (!digest) {
            piece.checksum = Finding::Problem::Unlisted;
            continue;
        }
        piece.expected = *digest;
        // To the end of the file as it is now, as a join would copy it.
        if (const auto added = hashers->add({file->release(), 0, Checksum::Hashers::unlimited, i, true}); !added) {
            return hashFailed(added.fault());
        }
    }
    if (hashers) {
        if (const Status drained = hashers->drain(); !drained) {
            return hashFailed(drained.fault());
        }
    }

    if (md5) {
        summary.checksummed = true;
        summary.checksumFile = set.md5Path();
    }
    // The joined bytes as a whole, when every piece can be read to make them.
    const bool allThere = std::all_of(pieces.begin(), pieces.end(),
                                      [](const Piece& piece) { return piece.length >= 0 && piece.error == 0; });
    for (const PieceSet::SetReader::WholeCheck& check : allThere ? set.wholeChecks() : noWholeChecks) {
        const Result<bool> matches = set.piecesMatchWhole(check, Checksum::Hashers::cores(), {});
        if (!matches) {
            return matches.fault();
        }
        summary.checksummed = true;
        if (!*matches) {
            summary.wholeMismatches.push_back(check.path);
        }
    }

    const std::int64_t expected = PieceSet::pieceLength(std::move(lengths));
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        const std::optional<Finding::Problem> problem = problemOf(pieces[i], expected, last);
        if (!problem) {
            continue;
        }
        ++summary.bad;
        if (!report) {
            continue;
        }
        // The names are read again rather than held.
        if (const Status read = names.read(set.entries()[i], name, whole); !read) {
            return read.fault().named(manifestPath);
        }
        const std::string path = set.folderText() + name;
        report({path.substr(0, path.find('\0')), *problem, last, pieces[i].length, expected, pieces[i].error});
    }
    return opened;
}

Result<Summary> estimateSet(const std::string& manifestPath) {
    Set set;
    Copy::Buffer buffer;
    Result<Summary> opened = openSet(manifestPath, set, buffer);
    if (!opened || opened->verdict != Summary::Verdict::Checked) {
        return opened;
    }
    PieceSet::NameReader names = set.names();
    const auto length = [&](std::size_t index) -> std::int64_t {
        std::string name;
        bool whole = false;
        return names.read(set.entries()[index], name, whole) ? set.namedLength(index, name, whole) : -1;
    };
    if (set.foreign()) {
        opened->bytes = set.foreignSet()->presentBytes();
        return opened;
    }
    const std::int64_t firstLength = length(0);
    const std::int64_t lastLength = opened->pieces == 1 ? firstLength : length(set.count() - 1);
    if (firstLength >= 0 && lastLength >= 0) {
        opened->bytes = firstLength * (opened->pieces - 1) + lastLength;
    }
    return opened;
}

} // namespace Verify
