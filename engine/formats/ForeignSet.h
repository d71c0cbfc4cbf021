#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/Result.h"
#include "engine/formats/CrcFile.h"
#include "engine/hash/Md5.h"

class RunFolder;

// Sets of pieces made by other programs, found from any one of their files:
// - numbered sets "NAME.001", "NAME.002", ... (7-Zip, file managers, HJSplit, `split -d`
//   with a "." prefix), from .000 or .001, 3 or more digits, all of one width or
//   unpadded past 999, often with "NAME.crc" beside;
// - coreutils `split` sets "PREFIXaa", "PREFIXab", ... or "PREFIX00", "PREFIX01", ...,
//   whose suffixes grow as split grows them ("yz", "zaaa"; "89", "9000").
// Names are bytes; pieces are found by stat-ing the names the set's numbering gives,
// never by listing the folder, so a folder of a million files costs no more than the
// set.
namespace ForeignSet {

enum class Kind {
    Numbered, // NAME.NNN
    Letters,  // coreutils: PREFIXaa
    Digits,   // coreutils: PREFIX00
};

// The most pieces a set may have; more is refused rather than held in memory.
inline constexpr std::int64_t maxPieces = 1'000'000;

// The form a file name has by itself, before the disk is asked.
struct NameForm {
    Kind kind;
    // The name before the suffix: for a numbered name without the ".NNN", for a
    // coreutils name without the 2 letters or digits.
    std::string prefix;
    bool crc = false;   // "NAME.crc", any case: prefix is NAME
    std::string digits; // a numbered name's digits
};

// What `name` (a file name, no folder) may be: a .crc, a numbered piece (3 or more
// digits after a '.', at most 18), or the first piece of a coreutils set ("aa" or "00"
// at its end). Nothing for any other name. Nothing either where the prefix would leave
// no usable joined name (".001").
std::optional<NameForm> classify(std::string_view name);

// The name of piece `number` (from 1) of a numbered set of `count` pieces that the
// splitter writes: NAME "." and the number in 3 digits, or in as many as `count` has
// when that is more than 999, so that every piece has the same width.
std::string numberedName(std::string_view name, std::int64_t number, std::int64_t count);

// The name of piece `index` (from 0) of a coreutils set with 2-character suffixes,
// grown as split grows them: letters "aa" ... "yz", "zaaa" ... "zyzz", "zzaaaa" ...;
// digits "00" ... "89", "9000" ... "9899", "990000" ...
std::string coreutilsName(std::string_view prefix, Kind kind, std::int64_t index);

enum class Algorithm { Sha256, Md5 };

// A sums file (`sha256sum` or `md5sum` form) beside the set, which may name its
// pieces or the joined file.
struct SumsFile {
    std::string name;
    Algorithm algorithm;
};

// The digests an md5sum file lists, by file name: lines "DIGEST  NAME" (or " *NAME"),
// "MD5 (NAME) = DIGEST", escaped where they start with a backslash, as `md5sum -c`
// reads them; other lines are skipped. A name listed twice with different digests is
// listed with none.
using Md5Sums = std::unordered_map<std::string, Md5::Digest>;

// Reads the md5sum file `name` of `folder`. Fails when it cannot be opened or read, or
// is larger than Checksum::maxSidecarBytes (EFBIG).
Result<Md5Sums> loadMd5Sums(const RunFolder& folder, const std::string& name);

struct Set {
    Kind kind = Kind::Numbered;
    std::string prefix;     // every piece name starts with it
    int width = 3;          // numbered: the fewest digits a number has
    std::int64_t first = 1; // numbered: the first piece's number, 0 or 1
    // Every piece in order, up to the last one present: its length, or -1 where no
    // regular file stands (a missing piece).
    std::vector<std::int64_t> lengths;
    std::string outputName; // the joined file's name, in the set's folder or another
    std::string stem;       // the pieces' name less suffix and the '.' before it
    // The .crc that describes the joined file, when one was given or stands beside.
    std::optional<std::string> crcName;
    std::optional<CrcFile::Entry> crc;
    // The sums files beside, in the order they are worth reading.
    std::vector<SumsFile> sums;

    std::size_t count() const { return lengths.size(); }
    std::string pieceName(std::size_t index) const;
    // The first missing piece, or nothing.
    std::optional<std::size_t> firstMissing() const;
    // The bytes of the pieces present.
    std::int64_t presentBytes() const;
    // A .crc whose size says bytes are still missing after the last piece: the name
    // of the piece that would follow it (that piece is the one not found). Nothing
    // when there is no .crc or the pieces reach its size.
    std::optional<std::string> missingAfterLast() const;
};

// The folder part of `path` (up to its last '/', "." when there is none) and its
// name part.
std::pair<std::string, std::string> splitPath(const std::string& path);

// Finds the set `name`, a file of the folder open in `folder`, belongs to. Nothing
// when the name has none of the forms above, a coreutils first piece has no second one
// beside it, or the piece given stands there but is not one of the set found (a file
// "backup.20231201" beside no "backup.001"). Each piece is looked up, and past the
// last one found the numbers go on being looked up for max(1000, a quarter of the
// pieces so far) more, so that lost pieces in the middle are found missing rather than
// the set taken to end before them. Fails when the .crc given or beside
// cannot be read or is refused (CrcFile::invalidReason), named by its file name, or
// when the set has more than maxPieces pieces (E2BIG).
Result<std::optional<Set>> find(const RunFolder& folder, const std::string& name);

} // namespace ForeignSet
