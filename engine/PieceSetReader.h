#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "engine/formats/ChecksumFile.h"
#include "engine/Descriptor.h"
#include "engine/PieceSet.h"
#include "engine/Result.h"
#include "engine/RunFolder.h"

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
    // From the file `list`, or from `text` where `list` is closed.
    NameReader(const Descriptor& list, const std::string& text) : m_list(list), m_text(text) {}

    // Sets `name` to the piece name of `entry`. A name longer than any path cannot name
    // a file: then only its beginning is read and `whole` is false. Fails when the list
    // cannot be read.
    Status read(const Entry& entry, std::string& name, bool& whole);

private:
    Status fill(std::int64_t start);

    const Descriptor& m_list;
    const std::string& m_text;
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
// What plugs in here: a check of the pieces (the checksum file today; a `.crc` of the
// whole file, PAR 2.0 slice checksums next) is loaded beside the list and asked for
// what piece i must match; a set found by name rather than listed (NAME.001.., xaa..)
// is another way to fill the entries and to name entry i. The piece loops (the
// joiner's, verify's) ask only for count(), name(), namedLength() and the checks.
class SetReader {
public:
    // Opens and locks the folder of the pieces of the list at `manifestPath` (its
    // folder, whatever folder its lines name). False when a split is writing there. A
    // folder that cannot be opened has no pieces to find.
    bool lockFolder(const std::string& manifestPath);
    // Opens the list, a regular file.
    Status openList();
    bool listTooLarge() const { return m_listStatus.st_size > maxManifestBytes; }
    // Scans the opened list into a snapshot, through `buffer` of `size` bytes.
    Result<Scan> scan(char* buffer, std::size_t size, const std::function<bool()>& turn);
    // Reads the checksum file beside the list, when there is one.
    Status loadChecksums();

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
    NameReader names() const { return NameReader(m_list, m_text); }
    // See namedLength below.
    std::int64_t namedLength(std::size_t index, const std::string& name, bool whole) const;

private:
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
};

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
