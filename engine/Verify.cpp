#include "engine/Verify.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "engine/Copy.h"
#include "engine/Main.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/hash/HashingPool.h"
#include "engine/runs/PieceStep.h"

namespace Verify {

namespace {

using Set = PieceSet::SetReader;

const std::vector<PieceSet::SetReader::WholeCheck> noWholeChecks;

// What the first pass learnt of one piece.
struct Record : SplitMergeFile::PieceLook {
    Checksum::Digest expected{}; // the checksum file's digest of it
};

} // namespace

Result<Summary> VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report) {
    Set set;
    Copy::Buffer buffer;
    Summary summary;
    const Result<PieceSet::Scan> scan = set.open(manifestPath, buffer.data(), Copy::Buffer::size, {});
    if (!scan) {
        return scan.fault();
    }
    if (*scan != PieceSet::Scan::Complete || set.count() == 0) {
        summary.verdict = *scan == PieceSet::Scan::Busy ? Summary::Verdict::Busy : Summary::Verdict::NotAList;
        return summary;
    }
    summary.pieces = static_cast<int>(set.count());
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

    std::vector<Record> pieces(set.count());
    std::vector<std::int64_t> lengths; // of the pieces before the last
    // The pieces are looked up in order here and hashed on every core; what the
    // hashes find goes to their own records, reported in list order below.
    std::optional<Checksum::Hashers> hashers;
    if (summary.checksummed) {
        hashers.emplace(Checksum::Hashers::cores(),
                        [&](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) {
                            Record& piece = pieces[job.index];
                            piece.error = digest ? 0 : digest.fault().error;
                            if (digest && *digest != piece.expected) {
                                piece.checksum = Finding::Problem::Damaged;
                            }
                            return Status{};
                        });
    }
    // What fails the hashers is a checksum failure already.
    const auto hashFailed = [&](const Fault& fault) { return fault.named(manifestPath); };
    // An md5sum file of the pieces, where no sha256sum file is, is checked as they are looked at.
    const bool md5 = !summary.checksummed && set.md5Pieces();
    SplitMergeFile::PieceStep step(set, buffer, false);
    SplitMergeFile::Piece piece;
    // Pieces not in the page cache are hashed as the read-ahead reads them around it,
    // those it cannot take by the hashing threads, which read them around it themselves.
    std::vector<std::size_t> hashedAhead;
    if (summary.checksummed) {
        step.hashCold();
    }
    step.leaveColdToCaller(summary.checksummed);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        // Pieces that are hashed are read ahead as a join reads them, so that a set not
        // in the page cache is read with many requests in flight rather than one per thread.
        if (summary.checksummed || md5) {
            step.readAhead(i);
        }
        if (const Result<bool> opened = step.open(i, piece); !opened) {
            return opened.fault().named(manifestPath);
        }
        Record& record = pieces[i];
        record.length = piece.length;
        if (piece.length < 0) {
            continue;
        }
        summary.bytes += piece.length;
        if (i + 1 < pieces.size()) {
            lengths.push_back(piece.length);
        }
        if (piece.openFault) {
            record.error = piece.error;
            continue;
        }
        if (const Result<bool> checked = step.check(piece); !checked) {
            record.error = piece.hashFailed ? EIO : checked.fault().error;
            continue;
        }
        record.checksum = piece.checksum;
        if (!piece.expected || piece.checksum) {
            continue;
        }
        record.expected = *piece.expected;
        if (step.ahead().hashesCold(i)) {
            hashedAhead.push_back(i);
            continue;
        }
        // To the end of the file as it is now, as a join would copy it.
        if (const auto added = hashers->add({piece.file.release(), 0, Checksum::Hashers::unlimited, i, true}); !added) {
            return hashFailed(added.fault());
        }
    }
    if (hashers) {
        if (const Status drained = hashers->drain(); !drained) {
            return hashFailed(drained.fault());
        }
    }
    for (const std::size_t i : hashedAhead) {
        const std::optional<Copy::ReadAhead::Hashed> hashed = step.ahead().digest(i, true);
        if (hashed->hashFailed) {
            return hashFailed(hashed->digest.fault());
        }
        pieces[i].error = hashed->digest ? 0 : hashed->digest.fault().error;
        if (hashed->digest && *hashed->digest != pieces[i].expected) {
            pieces[i].checksum = Finding::Problem::Damaged;
        }
    }

    if (md5) {
        summary.checksummed = true;
        summary.checksumFile = set.md5Path();
    }
    // The joined bytes as a whole, when every piece can be read to make them.
    const bool allThere = std::all_of(pieces.begin(), pieces.end(),
                                      [](const Record& piece) { return piece.length >= 0 && piece.error == 0; });
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
    PieceSet::NameReader names = set.names();
    std::string name;
    bool whole = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        const std::optional<Finding::Problem> problem = SplitMergeFile::PieceStep::verdict(pieces[i], expected, last);
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
    return summary;
}

} // namespace Verify
