#include "engine/Verify.h"

#include <cerrno>
#include <optional>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/Checksum.h"
#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/Main.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"

namespace Verify {

namespace {

// A list opened and scanned, and the folder of its pieces, opened as the joiner opens
// them.
struct Set {
    Descriptor list;
    std::vector<PieceSet::Entry> entries;
    std::string folderText;
    RunFolder pieces;
};

bool stop(Result& result, Result::Status status, const std::string& path = {}, int error = 0) {
    result.status = status;
    result.failedPath = path;
    result.error = error;
    return false;
}

// False, with `result` saying why, when the list cannot be read, is not one or lists
// nothing.
bool openSet(const std::string& manifestPath, Set& set, Copy::Buffer& buffer, Result& result) {
    struct stat st {};
    set.list.reset(openRegular(AT_FDCWD, manifestPath.c_str(), st));
    if (set.list.get() < 0) {
        return stop(result, Result::Status::Failed, manifestPath, errno);
    }
    const PieceSet::Scan scan =
        st.st_size > PieceSet::maxManifestBytes
            ? PieceSet::Scan::Invalid
            : PieceSet::scanList(set.list.get(), buffer.data(), Copy::Buffer::size, set.entries, {});
    if (scan == PieceSet::Scan::Failed) {
        return stop(result, Result::Status::Failed, manifestPath, errno);
    }
    if (scan != PieceSet::Scan::Complete || set.entries.empty()) {
        return stop(result, Result::Status::NotAList);
    }
    result.pieces = static_cast<int>(set.entries.size());
    set.folderText = PieceSet::pieceFolder(manifestPath);
    set.pieces.open(set.folderText);
    return true;
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

} // namespace

Result VerifySet(const std::string& manifestPath, const std::function<void(const Finding&)>& report) {
    Result result;
    Set set;
    Copy::Buffer buffer;
    if (!openSet(manifestPath, set, buffer, result)) {
        return result;
    }
    Checksum::Sidecar sidecar;
    const std::string sidecarName = Checksum::sidecarPath(Main::GetFileName(manifestPath));
    if (set.pieces.isOpen()) {
        sidecar = Checksum::Sidecar::load(sidecarName, set.pieces.fd());
    }
    if (sidecar.status() == Checksum::Sidecar::Status::Failed) {
        stop(result, Result::Status::Failed, set.folderText + sidecarName, sidecar.error());
        return result;
    }
    if (sidecar.status() == Checksum::Sidecar::Status::Conflicting) {
        stop(result, Result::Status::ChecksumsConflict, set.folderText + sidecarName);
        return result;
    }
    result.checksummed = sidecar.status() == Checksum::Sidecar::Status::Loaded;

    PieceSet::NameReader names(set.list);
    std::string name;
    bool whole = false;
    const auto readName = [&](const PieceSet::Entry& entry) {
        return names.read(entry, name, whole) || stop(result, Result::Status::Failed, manifestPath, errno);
    };
    std::vector<Piece> pieces(set.entries.size());
    std::vector<std::int64_t> lengths; // of the pieces before the last
    // The pieces are looked up in order here and hashed on every core; what the
    // hashes find goes to their own records, reported in list order below.
    std::optional<Checksum::Hashers> hashers;
    try {
        if (result.checksummed) {
            hashers.emplace(Checksum::Hashers::cores(),
                            [&](const Checksum::Hashers::Job& job, int error, const Checksum::Digest& digest) {
                                Piece& piece = pieces[job.index];
                                piece.error = error;
                                if (error == 0 && digest != piece.expected) {
                                    piece.checksum = Finding::Problem::Damaged;
                                }
                            });
        }
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            if (!readName(set.entries[i])) {
                return result;
            }
            Piece& piece = pieces[i];
            piece.length = PieceSet::namedLength(set.pieces, set.entries[i], name, whole);
            if (piece.length < 0) {
                continue;
            }
            result.bytes += piece.length;
            if (i + 1 < pieces.size()) {
                lengths.push_back(piece.length);
            }
            struct stat st {};
            Descriptor file(openRegular(set.pieces.fd(), name.c_str(), st));
            if (file.get() < 0) {
                piece.error = errno;
                continue;
            }
            if (!result.checksummed) {
                continue;
            }
            const std::optional<Checksum::Digest> digest = sidecar.find(name);
            if (!digest) {
                piece.checksum = Finding::Problem::Unlisted;
                continue;
            }
            piece.expected = *digest;
            // To the end of the file as it is now, as a join would copy it.
            hashers->add({file.release(), 0, Checksum::Hashers::unlimited, i, true});
        }
        if (hashers) {
            hashers->drain();
        }
    } catch (const Checksum::Failure& failure) {
        result.status = Result::Status::ChecksumFailed;
        result.failedPath = manifestPath;
        result.reason = failure.what();
        return result;
    }

    const std::int64_t expected = PieceSet::pieceLength(std::move(lengths));
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const bool last = i + 1 == pieces.size();
        const std::optional<Finding::Problem> problem = problemOf(pieces[i], expected, last);
        if (!problem) {
            continue;
        }
        ++result.bad;
        if (!report) {
            continue;
        }
        // The names are read again rather than held.
        if (!readName(set.entries[i])) {
            return result;
        }
        const std::string path = set.folderText + name;
        report({path.substr(0, path.find('\0')), *problem, last, pieces[i].length, expected, pieces[i].error});
    }
    return result;
}

Result estimateSet(const std::string& manifestPath) {
    Result result;
    Set set;
    Copy::Buffer buffer;
    if (!openSet(manifestPath, set, buffer, result)) {
        return result;
    }
    PieceSet::NameReader names(set.list);
    const auto length = [&](const PieceSet::Entry& entry) -> std::int64_t {
        std::string name;
        bool whole = false;
        return names.read(entry, name, whole) ? PieceSet::namedLength(set.pieces, entry, name, whole) : -1;
    };
    const std::int64_t firstLength = length(set.entries.front());
    const std::int64_t lastLength = result.pieces == 1 ? firstLength : length(set.entries.back());
    if (firstLength >= 0 && lastLength >= 0) {
        result.bytes = firstLength * (result.pieces - 1) + lastLength;
    }
    return result;
}

} // namespace Verify
