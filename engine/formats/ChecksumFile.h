#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/Result.h"
#include "engine/hash/Sha256.h"

// The checksum file "NAME.splt.sha256" beside a manifest, in the format of
// `sha256sum`: one line per file, 64 hexadecimal digits, two blanks, the file's name,
// LF. A name holding a backslash, CR or LF is written escaped and the line starts with
// a backslash, as `sha256sum` does.
namespace Checksum {

inline constexpr std::string_view sidecarSuffix = ".sha256";
// The longest line a split can write (a 255-byte name with every byte escaped) and
// the largest file (32767 pieces and the source), both rounded up.
inline constexpr std::size_t maxLineBytes = 1024;
inline constexpr std::int64_t maxSidecarBytes = std::int64_t{20} * 1024 * 1024;

// The checksum file's path: the manifest path followed by ".sha256".
std::string sidecarPath(const std::string& manifestPath);

// One line of the checksum file, LF included.
std::string sidecarLine(const Digest& digest, std::string_view name);

// Reads the `size` bytes that exactly 2 x `size` hex digits (either case) give; false
// for any other text.
bool fromHex(std::string_view text, unsigned char* bytes, std::size_t size);

// One line of a sums file as `sha256sum` or `md5sum` writes it for a digest of
// `digits` hex digits: "HEX  NAME", "HEX *NAME" or the tag form "TAG (NAME) = HEX",
// the name escaped when the line starts with a backslash, a CR before its end allowed.
// Nothing for a line in neither form, with an unknown escape or without a name.
struct SumsLine {
    std::string_view hex;
    std::string name;
};
std::optional<SumsLine> readSumsLine(std::string_view line, std::string_view tag, std::size_t digits);

// The digests a checksum file lists, by file name, in either form `sha256sum -c`
// reads: "DIGEST  NAME" (or " *NAME") and the tag form "SHA256 (NAME) = DIGEST", each
// escaped when it starts with a backslash. Lines in neither form are skipped, as
// `sha256sum -c` skips them.
class Sidecar {
public:
    // Reads the file `path`, relative to the folder open at `folderFd`: absent when
    // nothing stands there. Fails when it cannot be opened or read, is not a regular file
    // or is larger than maxSidecarBytes (EFBIG).
    static Result<Sidecar> load(const std::string& path, int folderFd);

    // A checksum file stood there and was read.
    bool present() const { return m_present; }
    // A name is listed twice with different digests: no digest can be trusted.
    bool conflicting() const { return m_conflicting; }

    // The digest listed for `name`, or nothing.
    std::optional<Digest> find(const std::string& name) const;

private:
    void addLine(std::string_view line);

    bool m_present = false;
    bool m_conflicting = false;
    std::unordered_map<std::string, Digest> m_digests;
};

} // namespace Checksum
