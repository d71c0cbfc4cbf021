#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Descriptor.h"
#include "engine/PieceSet.h"
#include "engine/Result.h"

class RunFolder;

// Reading a piece set, the same for the joiner and for verify, so that the two cannot
// differ about what a list names: the list is scanned once for where its entries lie,
// their names are read back from it a window at a time, and every piece is looked up
// in the list's own folder, opened once.
namespace PieceSet {

enum class Scan { Complete, Invalid, Stopped };

// Reads the list open at `fd` from its position to its end, through `buffer` of `size`
// bytes, and appends where each of its entries lies to `entries`. Invalid past
// maxManifestBytes or maxPieces entries; Stopped when `turn`, called after every
// 8 MiB, returns false. Fails when a read fails.
Result<Scan> scanList(int fd, char* buffer, std::size_t size, std::vector<Entry>& entries,
                      const std::function<bool()>& turn);

// The folder of the pieces of the list at `manifestPath`, whatever folder its lines
// name: its folder part, ending with one separator.
std::string pieceFolder(const std::string& manifestPath);

// Reads the piece names of a list's entries a window at a time, so that names that
// follow each other in the file cost one read between them rather than one each.
class NameReader {
public:
    explicit NameReader(const Descriptor& list) : m_list(list) {}

    // Sets `name` to the piece name of `entry`. A name longer than any path cannot name
    // a file: then only its beginning is read and `whole` is false. Fails when the list
    // cannot be read.
    Status read(const Entry& entry, std::string& name, bool& whole);

private:
    Status fill(std::int64_t start);

    const Descriptor& m_list;
    std::string m_window;
    std::int64_t m_start = 0;
    std::int64_t m_filled = 0;
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
