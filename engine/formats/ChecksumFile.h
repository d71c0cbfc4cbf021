#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/Result.h"
#include "engine/hash/Sha256.h"

// The checksum file "NAME.splt.sha256" beside a list, in `sha256sum`'s format, names escaped as it escapes them.
namespace Checksum {

inline constexpr std::string_view sidecarSuffix = ".sha256";
// What a split can write (a 255-byte name all escaped; 32767 pieces and the source), rounded up.
inline constexpr std::size_t maxLineBytes = 1024;
inline constexpr std::int64_t maxSidecarBytes = std::int64_t{20} * 1024 * 1024;

std::string sidecarPath(const std::string& manifestPath);
std::string sidecarLine(const Digest& digest, std::string_view name);

// False unless `text` is exactly 2 x `size` hex digits.
bool fromHex(std::string_view text, unsigned char* bytes, std::size_t size);

// A line of `sha256sum` or `md5sum`: "HEX  NAME", "HEX *NAME" or "TAG (NAME) = HEX", escaped after a leading
// backslash. Nothing for a line in neither form.
struct SumsLine {
    std::string_view hex;
    std::string name;
};
std::optional<SumsLine> readSumsLine(std::string_view line, std::string_view tag, std::size_t digits);

// The digests a checksum file lists by name; other lines are skipped, as `sha256sum -c` skips them.
class Sidecar {
public:
    // Not present when nothing stands at `path`; EFBIG past maxSidecarBytes.
    static Result<Sidecar> load(const std::string& path, int folderFd);

    bool present() const { return m_present; }
    // A name listed twice with different digests: none can be trusted.
    bool conflicting() const { return m_conflicting; }
    std::optional<Digest> find(const std::string& name) const;

private:
    void addLine(std::string_view line);

    bool m_present = false;
    bool m_conflicting = false;
    std::unordered_map<std::string, Digest> m_digests;
};

} // namespace Checksum
