#include "engine/runs/PieceStep.h"

#include <string_view>
#include <utility>

#include "engine/PieceSet.h"
#include "engine/hash/Md5.h"
#include "engine/hash/Sha256.h"

namespace SplitMergeFile {

PieceStep::PieceStep(const PieceSet::SetReader& set, Copy::Buffer& buffer, bool hashSums, std::function<bool()> turn,
                     bool copiesFromAhead)
    : m_set(set), m_buffer(buffer), m_hashSums(hashSums), m_turn(std::move(turn)), m_names(set.names()),
      m_namesAhead(set.names()),
      m_readAhead(
          set.count(), [this](std::size_t index, struct stat& st) { return openAhead(index, st); },
          copiesFromAhead ? &buffer : nullptr) {
    if (copiesFromAhead && !hashSums && set.checksums().present()) {
        m_readAhead.hashCold();
    }
}

// For the read-ahead: the piece opened for reading when it is a regular file, else
// none; looked at first, so that a FIFO or a device is never opened. A hint only, so
// its failures are nobody's concern.
Descriptor PieceStep::openAhead(std::size_t index, struct stat& st) {
    std::string name;
    bool whole = false;
    if (!m_namesAhead.read(m_set.entries()[index], name, whole) || m_set.namedLength(index, name, whole) < 0) {
        return Descriptor();
    }
    Result<Descriptor> opened = openRegular(m_set.folder().fd(), name.c_str(), st);
    return opened ? std::move(*opened) : Descriptor();
}

Result<bool> PieceStep::open(std::size_t index, Piece& piece, const StandIn& standIn) {
    piece = Piece();
    piece.index = index;
    if (const Status read = m_names.read(m_set.entries()[index], piece.name, piece.whole); !read) {
        return read.fault();
    }
    piece.path = m_set.folderText() + piece.name;
    // A piece the read-ahead opened was looked at as it is looked at here.
    piece.file = m_readAhead.take(index, piece.st);
    if (standIn && !standIn(piece)) {
        return false;
    }
    if (piece.file.get() < 0) {
        const std::int64_t length = m_set.namedLength(index, piece.name, piece.whole);
        if (length < 0) {
            return true;
        }
        Result<Descriptor> opened = openRegular(m_set.folder().fd(), piece.name.c_str(), piece.st);
        if (!opened) {
            piece.openFault = opened.fault();
            piece.error = opened.fault().error;
            piece.length = length;
            return true;
        }
        piece.file = std::move(*opened);
    }
    piece.length = piece.st.st_size;
    return true;
}

Result<bool> PieceStep::check(Piece& piece) {
    // A piece the sums file does not list cannot be trusted either.
    if (const Checksum::Sidecar& sums = m_set.checksums(); sums.present()) {
        piece.expected = sums.find(piece.name);
        if (!piece.expected) {
            piece.checksum = PieceProblem::Unlisted;
            return true;
        }
        if (!m_hashSums) {
            return true;
        }
        Checksum::Sha256 hash;
        return hashMatches(hash, piece, *piece.expected);
    }
    if (const std::optional<ForeignSet::Md5Sums>& sums = m_set.md5Pieces()) {
        const auto listed = sums->find(piece.name);
        if (listed == sums->end()) {
            piece.checksum = PieceProblem::Unlisted;
            return true;
        }
        Md5 hash;
        return hashMatches(hash, piece, listed->second);
    }
    return true;
}

// Hashes the piece from its position to its end, giving the host turns.
template <typename Hash, typename Digest>
Result<bool> PieceStep::hashMatches(Hash& hash, Piece& piece, const Digest& expected) {
    bool stopped = false;
    Status hashed;
    std::int64_t sinceTurn = 0;
    const Status read =
        Copy::readBlocks(piece.file.get(), m_buffer.data(), Copy::Buffer::size, [&](std::string_view block) {
            hashed = hash.update(block.data(), block.size());
            sinceTurn += static_cast<std::int64_t>(block.size());
            if (sinceTurn >= Copy::Buffer::maxBlockBytes) {
                sinceTurn = 0;
                stopped = !m_turn();
            }
            return hashed && !stopped;
        });
    if (!read) {
        return read.fault();
    }
    piece.hashFailed = true;
    if (!hashed) {
        return hashed.fault();
    }
    const Result<Digest> digest = hash.finish();
    if (!digest) {
        return digest.fault();
    }
    piece.hashFailed = false;
    if (stopped) {
        return false;
    }
    if (*digest != expected) {
        piece.checksum = PieceProblem::Damaged;
    }
    return true;
}

std::optional<PieceProblem> PieceStep::verdict(const PieceLook& piece, std::int64_t pieceLength, bool last) {
    if (piece.length < 0) {
        return PieceProblem::Missing;
    }
    if (piece.error != 0) {
        return PieceProblem::Unreadable;
    }
    if (const int fit = PieceSet::compareLength(piece.length, pieceLength, last); fit != 0) {
        return fit < 0 ? PieceProblem::Short : PieceProblem::Long;
    }
    if (piece.checksum) {
        return piece.checksum;
    }
    return piece.unrepaired ? std::optional<PieceProblem>(PieceProblem::Damaged) : std::nullopt;
}

} // namespace SplitMergeFile
