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

// Reading a piece set, one reader for the joiner and verify so that the two cannot differ about what a list names.
namespace PieceSet {

enum class Scan { Complete, Invalid, Stopped, Busy };

// The list's own folder, ending with one separator, whatever folder its lines name.
std::string pieceFolder(const std::string& manifestPath);

// Reads entries' names a window at a time: neighbouring names cost one read, not one each.
class NameReader {
public:
    NameReader(const Descriptor& list, const std::string& text, const std::optional<ForeignSet::Set>& foreign)
        : m_list(list), m_text(text), m_foreign(foreign) {}

    // A name longer than any path is read only in part, `whole` false.
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

// A piece set as a join and a verify read it. The list is copied while it is scanned (to memory, or to an unnamed
// file when large) and names are read back from the copy, so that a list rewritten during the run is never read half
// old, half new. A set found by name (NAME.001.., xaa.., NAME.crc) is numbered instead, up to the highest piece and on
// where its .crc counts bytes still missing, so that a gap stops the join at a missing piece.
class SetReader {
public:
    // A check of the joined bytes as a whole, from a .crc or a sums file's line naming the joined file.
    struct WholeCheck {
        std::string path;
        std::optional<std::int64_t> size;
        std::optional<std::uint32_t> crc;
        std::optional<Checksum::Digest> sha256;
        std::optional<Md5::Digest> md5;
    };

    // Opens the set as a join and a verify read it: the pieces' folder locked shared first (Busy when a split is
    // writing there), then the set found by name, else the list opened and scanned into a snapshot through `buffer`
    // (Invalid when too large). Failures name the manifest; listOpen() tells a failed scan from a failed open.
    Result<Scan> open(const std::string& manifestPath, char* buffer, std::size_t size,
                      const std::function<bool()>& turn);
    bool listOpen() const { return m_original.get() >= 0; }
    // Opens and locks the pieces' folder; false when a split is writing there. A folder that cannot be opened has no
    // pieces to find.
    bool lockFolder(const std::string& manifestPath);
    Status loadChecksums();

    // After lockFolder: true when the path is a file of a set found by name, its entries then filled.
    Result<bool> findForeign();
    bool foreign() const { return m_foreign.has_value(); }
    const std::optional<ForeignSet::Set>& foreignSet() const { return m_foreign; }
    std::string joinedName() const;
    const std::vector<WholeCheck>& wholeChecks() const { return m_wholeChecks; }
    // For a set found by name without a sha256sum file: an md5sum file of its pieces.
    const std::optional<ForeignSet::Md5Sums>& md5Pieces() const { return m_md5Pieces; }
    std::string md5Path() const { return m_folderText + m_md5Name; }
    Result<bool> piecesMatchWhole(const WholeCheck& check, unsigned threads, const std::function<bool()>& turn) const;

    const std::string& manifestPath() const { return m_manifestPath; }
    const struct stat& listStatus() const { return m_listStatus; }
    const RunFolder& folder() const { return m_folder; }
    RunFolder& folder() { return m_folder; }
    const std::string& folderText() const { return m_folderText; }
    std::string checksumPath() const;
    const Checksum::Sidecar& checksums() const { return m_checksums; }

    const std::vector<Entry>& entries() const { return m_entries; }
    std::size_t count() const { return m_entries.size(); }
    NameReader names() const { return NameReader(m_list, m_text, m_foreign); }
    std::int64_t namedLength(std::size_t index, const std::string& name, bool whole) const;

private:
    Status openList();
    bool listTooLarge() const { return m_listStatus.st_size > maxManifestBytes; }
    Result<Scan> scan(char* buffer, std::size_t size, const std::function<bool()>& turn);
    Status loadForeignChecks();

    std::string m_manifestPath;
    std::string m_folderText;
    RunFolder m_folder;
    Descriptor m_original;
    std::string m_text;
    Descriptor m_list;
    struct stat m_listStatus {};
    std::vector<Entry> m_entries;
    Checksum::Sidecar m_checksums;
    std::string m_checksumName;
    std::optional<ForeignSet::Set> m_foreign;
    std::vector<WholeCheck> m_wholeChecks;
    std::optional<ForeignSet::Md5Sums> m_md5Pieces;
    std::string m_md5Name;
};

class WholeHash {
public:
    explicit WholeHash(const SetReader::WholeCheck& check) : m_check(check) {
        if (check.sha256) {
            m_sha256.emplace();
        } else if (check.md5) {
            m_md5.emplace();
        }
    }
    Status add(const std::vector<ParallelCrc::Range>& ranges, unsigned threads, const std::function<bool()>& turn);
    // Once only.
    Result<bool> matches();

private:
    const SetReader::WholeCheck& m_check;
    ParallelCrc::Crc m_crc;
    std::optional<Checksum::Sha256> m_sha256;
    std::optional<Md5> m_md5;
};

// Whether `ranges`, one after the other, match `check` (a CRC-32 on `threads` threads, a digest on the caller's).
// ECANCELED when `turn` asks to stop.
Result<bool> matchesWhole(const std::vector<ParallelCrc::Range>& ranges, const SetReader::WholeCheck& check,
                          unsigned threads, const std::function<bool()>& turn);

// The length of the piece `entry` names, or -1: a name with a NUL byte (cut there it would name another file), one
// longer than any path, or one where no regular file stands.
std::int64_t namedLength(const RunFolder& folder, const Entry& entry, const std::string& name, bool whole);

// The most common length of the pieces before the last, the longer on a tie, so that a first piece of another length
// is the one found damaged; -1 when there are none.
std::int64_t pieceLength(std::vector<std::int64_t> lengths);

// Negative when too short, positive when too long, 0 when it fits: a piece before the last has exactly `expected`
// bytes (-1: unknown), the last 1 to `expected`.
int compareLength(std::int64_t length, std::int64_t expected, bool last);

} // namespace PieceSet
