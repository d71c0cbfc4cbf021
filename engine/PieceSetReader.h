#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/PieceSet.h"
#include "engine/Result.h"
#include "engine/RunFolder.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/formats/ForeignSet.h"
#include "engine/hash/ParallelCrc.h"

// Reading a piece set, the same for the joiner and for verify, so that the two cannot
// differ about what a list names: the list is scanned once for where its entries lie,
// their names are read back from it a window at a time, and every piece is looked up
// in the list's own folder, opened once.
namespace PieceSet {

enum class Scan { Complete, Invalid, Stopped };

// The longest list kept in memory while a set is read.
inline constexpr std::size_t maxListText = std::size_t{4} << 20;

// Reads the list open at `fd` from its position to its end, through `buffer` of `size`
// bytes, and appends where each of its entries lies to `entries`; with `copyFd` (not
// -1), writes every byte it read there; with `copyText`, appends it there, and a list
// longer than maxListText is invalid. Invalid past maxManifestBytes or maxPieces
// entries; Stopped when `turn`, called after every 8 MiB, returns false. Fails when a
// read or a write fails.
Result<Scan> scanList(int fd, char* buffer, std::size_t size, std::vector<Entry>& entries,
                      const std::function<bool()>& turn, int copyFd = -1, std::string* copyText = nullptr);

// The folder of the pieces of the list at `manifestPath`, whatever folder its lines
// name: its folder part, ending with one separator.
std::string pieceFolder(const std::string& manifestPath);

// Reads the piece names of a list's entries a window at a time, so that names that
// follow each other in the file cost one read between them rather than one each.
class NameReader {
public:
    // From the file `list`, or from `text` where `list` is closed; for a set found by
    // name, from `foreign`'s numbering, each entry's start being its index.
    NameReader(const Descriptor& list, const std::string& text, const std::optional<ForeignSet::Set>& foreign)
        : m_list(list), m_text(text), m_foreign(foreign) {}

    // Sets `name` to the piece name of `entry`. A name longer than any path cannot name
    // a file: then only its beginning is read and `whole` is false. Fails when the list
    // cannot be read.
    Status read(const Entry& entry, std::string& name, bool& whole);

private:
    Status fill(std::int64_t start);

    const Descriptor& m_list;
    const std::string& m_text;
    const std::optional<ForeignSet::Set>& m_foreign;
    std::string m_window;
    std::int64_t m_start = 0;
    std::int64_t m_filled = 0;
};

// A listed piece set as a join and a verify read it, in the same steps: the pieces'
// folder opened and locked shared first, so that no split rewrites the set meanwhile;
// the list opened, then scanned once for where its entries lie while every byte of it
// is copied (to memory when it is small, else to an unnamed temporary file), from
// which the names are read back, so that a list rewritten in place during the run is
// never read half old, half new; last the
// checks that lie beside the list. Failures are left unnamed: the caller names the
// file and the step.
//
// A set found by name rather than listed (NAME.001.., xaa.., NAME.crc; see
// ForeignSet) fills the entries from its numbering instead of a list: every piece up to
// the highest present, and the one that would follow where its .crc says bytes are
// still missing, so that a gap is the designed stop at a missing piece. Its checks
// are the sums file beside that names its pieces and the .crc or sums lines that
// describe the joined file (wholeChecks), made once the bytes are together. The piece
// loops (the joiner's, verify's) ask only for count(), names, namedLength() and the
// checks.
class SetReader {
public:
    // A check of the joined bytes as a whole: their size and CRC-32 (a .crc) or their
    // SHA-256 or MD5 (a sums file's line naming the joined file), from the file `path`.
    struct WholeCheck {
        std::string path;
        std::optional<std::int64_t> size;
        std::optional<std::uint32_t> crc;
        std::optional<Checksum::Digest> sha256;
        std::optional<Md5::Digest> md5;
    };

    // Opens and locks the folder of the pieces of the list at `manifestPath` (its
    // folder, whatever folder its lines name). False when a split is writing there. A
    // folder that cannot be opened has no pieces to find.
    bool lockFolder(const std::string& manifestPath);
    // Opens the list, a regular file.
    Status openList();
    bool listTooLarge() const { return m_listStatus.st_size > maxManifestBytes; }
    // Scans the opened list into a snapshot, through `buffer` of `size` bytes.
    Result<Scan> scan(char* buffer, std::size_t size, const std::function<bool()>& turn);
    // Reads the checksum file beside the list, when there is one; for a set found by
    // name, the sums files beside it (see above).
    Status loadChecksums();

    // After lockFolder: looks for the set found by name the given path is a file of (a
    // path ending in ".splt" never is one). True when there is one: its entries are
    // then filled, and openList and scan are not to be called. Fails, naming the file,
    // as ForeignSet::find fails.
    Result<bool> findForeign();
    bool foreign() const { return m_foreign.has_value(); }
    const std::optional<ForeignSet::Set>& foreignSet() const { return m_foreign; }
    // The joined file's name: the list's name less ".splt"; for a set found by name,
    // what its .crc names, else its pieces' name less their suffix.
    std::string joinedName() const;
    const std::vector<WholeCheck>& wholeChecks() const { return m_wholeChecks; }
    // For a set found by name without a sha256sum file of its pieces: the md5sum file
    // beside that names them, if any, and its path.
    const std::optional<ForeignSet::Md5Sums>& md5Pieces() const { return m_md5Pieces; }
    std::string md5Path() const { return m_folderText + m_md5Name; }
    // Whether the pieces, read one after the other from the folder, match `check`; see
    // matchesWhole. Fails, naming it, at a piece that cannot be opened or read.
    Result<bool> piecesMatchWhole(const WholeCheck& check, unsigned threads, const std::function<bool()>& turn) const;

    const std::string& manifestPath() const { return m_manifestPath; }
    const struct stat& listStatus() const { return m_listStatus; }
    const RunFolder& folder() const { return m_folder; }
    RunFolder& folder() { return m_folder; }
    // The pieces' folder as text, ending with one separator.
    const std::string& folderText() const { return m_folderText; }
    std::string checksumPath() const;
    const Checksum::Sidecar& checksums() const { return m_checksums; }

    const std::vector<Entry>& entries() const { return m_entries; }
    std::size_t count() const { return m_entries.size(); }
    // Reads entries' names from the snapshot; a reader of its own for each pass.
    NameReader names() const { return NameReader(m_list, m_text, m_foreign); }
    // See namedLength below.
    std::int64_t namedLength(std::size_t index, const std::string& name, bool whole) const;

private:
    Status loadForeignChecks();

    std::string m_manifestPath;
    std::string m_folderText;
    RunFolder m_folder;
    Descriptor m_original;
    // The snapshot, once scanned: a small list's text, a larger one's file.
    std::string m_text;
    Descriptor m_list;
    struct stat m_listStatus {};
    std::vector<Entry> m_entries;
    Checksum::Sidecar m_checksums;
    std::string m_checksumName; // the checksum file's name in the pieces' folder
    std::optional<ForeignSet::Set> m_foreign;
    std::vector<WholeCheck> m_wholeChecks;
    std::optional<ForeignSet::Md5Sums> m_md5Pieces;
    std::string m_md5Name;
};

// The hash a WholeCheck asks for, over ranges given in turn.
class WholeHash {
public:
    explicit WholeHash(const SetReader::WholeCheck& check) : m_check(check) {
        if (check.sha256) {
            m_sha256.emplace();
        } else if (check.md5) {
            m_md5.emplace();
        }
    }
    // Adds `ranges`; see matchesWhole.
    Status add(const std::vector<ParallelCrc::Range>& ranges, unsigned threads, const std::function<bool()>& turn);
    // Whether what was added matches; once only.
    Result<bool> matches();

private:
    const SetReader::WholeCheck& m_check;
    ParallelCrc::Crc m_crc;
    std::optional<Checksum::Sha256> m_sha256;
    std::optional<Md5> m_md5;
};

// Checks `ranges`, one after the other the joined bytes, against `check` on `threads`
// threads (the CRC-32 in parallel, a SHA-256 on the caller's): true when they match.
// Fails as the reads fail, with ECANCELED when `turn` asks to stop.
Result<bool> matchesWhole(const std::vector<ParallelCrc::Range>& ranges, const SetReader::WholeCheck& check,
                          unsigned threads, const std::function<bool()>& turn);

// The length of the piece `entry` names in `folder`, or -1 when it names none: a name
// with a NUL byte (cut there it would name another file), a name longer than any path,
// and a name at which no regular file stands (links followed) name no piece. `name`
// and `whole` as NameReader gave them.
std::int64_t namedLength(const RunFolder& folder, const Entry& entry, const std::string& name, bool whole);

// The piece length of a set, from the lengths of the pieces before the last that
// exist: the most common one, the longer on a tie, so that a first piece of another
// length is the one found damaged; -1 when there are none.
std::int64_t pieceLength(std::vector<std::int64_t> lengths);

// How a piece of `length` bytes fits a set of piece length `expected` (-1: unknown):
// negative when too short, positive when too long, 0 when it fits. A piece before the
// last has exactly that length; the last at least one byte and at most that many.
int compareLength(std::int64_t length, std::int64_t expected, bool last);

} // namespace PieceSet
