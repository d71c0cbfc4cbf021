#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <sys/stat.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/PieceSetReader.h"
#include "engine/Result.h"
#include "engine/formats/ChecksumFile.h"

namespace SplitMergeFile {

// What is wrong with a piece. The checks look in this order, and the first that
// applies is the piece's verdict, so that a join stops where verify finds the first
// bad piece.
enum class PieceProblem {
    Missing,    // the entry names no piece (see PieceSet::namedLength)
    Unreadable, // exists, but cannot be opened or read
    Short,      // shorter than the set's pieces; for the last piece: empty
    Long,       // longer than the set's pieces
    Damaged,    // its digest differs from the sums file's, or the recovery data found it bad
    Unlisted,   // the sums file lists no digest for it
};

// What the step found of a piece, all a verdict needs.
struct PieceLook {
    std::int64_t length = -1;             // -1: the entry names no piece
    int error = 0;                        // errno of a failed open or read
    std::optional<PieceProblem> checksum; // what the checks found
    bool unrepaired = false;              // the recovery data found it bad and could not rebuild it
};

// One piece of a set as the join and verify look at it.
struct Piece : PieceLook {
    std::size_t index = 0;
    std::string name; // see NameReader
    bool whole = false;
    std::string path; // in the pieces' folder
    Descriptor file;
    struct stat st {};
    std::optional<Fault> openFault;           // why a piece that is there could not be opened
    std::optional<Checksum::Digest> expected; // the checksum file's digest, for a check made beside
    bool hashFailed = false;                  // the checks' fault was the hash's, not the read's

    // The path as a message shows it: a NUL ends it where any C string would.
    std::string shownPath() const { return path.substr(0, path.find('\0')); }
};

// The per-piece step of the join and of verify: names each entry of the set in turn,
// opens it (from the read-ahead where that opened it), and makes the checks that apply
// to it: the checksum file's digest, hashed here when `hashSums` (a stream, whose
// bytes cannot be taken back) and else left to the caller; an md5sum file's; the
// recovery data's verdict, through the caller's `standIn`. With `copiesFromAhead`, the
// read-ahead reads pieces not in the page cache into blocks of `buffer` for the copy,
// and hashes them there where the checksum file's digests are left to the caller.
class PieceStep {
public:
    PieceStep(
        const PieceSet::SetReader& set, Copy::Buffer& buffer, bool hashSums,
        std::function<bool()> turn = [] { return true; }, bool copiesFromAhead = false);

    // Asks the read-ahead for the pieces from `index` on.
    void readAhead(std::size_t index) { m_readAhead.before(index); }
    // Pieces not in the page cache are left to whoever hashes them, who reads them around it.
    void leaveColdToCaller(bool leave) { m_readAhead.leaveColdToCaller(leave); }
    // Pieces not in the page cache are hashed as the read-ahead reads them (see
    // Copy::ReadAhead::hashCold); the digests are asked of ahead().
    void hashCold() { m_readAhead.hashCold(); }
    Copy::ReadAhead& ahead() { return m_readAhead; }

    // May put other bytes in the piece's place (rebuilt ones) or find it bad; false
    // when the host asked to stop.
    using StandIn = std::function<bool(Piece& piece)>;
    // Names and opens the piece at `index`; false when the host asked to stop. Fails,
    // unnamed, when the list cannot be read.
    Result<bool> open(std::size_t index, Piece& piece, const StandIn& standIn = {});
    // The checks of the piece's bytes, once it was opened and is as long as it must be.
    // False when the host asked to stop; a fault of the read or (`hashFailed`) of the hash.
    Result<bool> check(Piece& piece);

    // The verdict on a piece of a set whose pieces before the last are `pieceLength`
    // bytes long (-1: unknown); none when it is good.
    static std::optional<PieceProblem> verdict(const PieceLook& piece, std::int64_t pieceLength, bool last);

private:
    template <typename Hash, typename Digest>
    Result<bool> hashMatches(Hash& hash, Piece& piece, const Digest& expected);
    Descriptor openAhead(std::size_t index, struct stat& st);

    const PieceSet::SetReader& m_set;
    Copy::Buffer& m_buffer;
    bool m_hashSums;
    std::function<bool()> m_turn;
    // Separate windows: the read-ahead reads names far ahead of the step's own.
    PieceSet::NameReader m_names;
    PieceSet::NameReader m_namesAhead;
    Copy::ReadAhead m_readAhead;
};

} // namespace SplitMergeFile
