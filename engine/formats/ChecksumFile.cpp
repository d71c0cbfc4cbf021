#include "engine/formats/ChecksumFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <utility>

#include <sys/stat.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"

namespace Checksum {

namespace {

// The characters sha256sum escapes, each with the letter that follows its backslash.
constexpr std::array<std::pair<char, char>, 3> escapes{{{'\\', '\\'}, {'\n', 'n'}, {'\r', 'r'}}};

// Undoes sha256sum's escapes; nothing when an escape is unknown.
std::optional<std::string> unescape(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            out += name[i];
            continue;
        }
        if (++i == name.size()) {
            return std::nullopt;
        }
        const auto* escape =
            std::find_if(escapes.begin(), escapes.end(), [&](const auto& e) { return e.second == name[i]; });
        if (escape == escapes.end()) {
            return std::nullopt;
        }
        out += escape->first;
    }
    return out;
}

} // namespace

std::string sidecarPath(const std::string& manifestPath) {
    return manifestPath + std::string(sidecarSuffix);
}

std::string sidecarLine(const Digest& digest, std::string_view name) {
    std::string escaped;
    for (const char c : name) {
        const auto* escape = std::find_if(escapes.begin(), escapes.end(), [&](const auto& e) { return e.first == c; });
        if (escape != escapes.end()) {
            escaped += '\\';
        }
        escaped += escape != escapes.end() ? escape->second : c;
    }
    // A line whose name is escaped starts with a backslash.
    const std::string_view mark = escaped.size() == name.size() ? "" : "\\";
    return std::string(mark) + toHex(digest) + "  " + escaped + '\n';
}

Result<Sidecar> Sidecar::load(const std::string& path, int folderFd) {
    Sidecar sidecar;
    struct stat st {};
    const Result<Descriptor> file = openRegular(folderFd, path.c_str(), st);
    if (!file) {
        // A list whose name is as long as a name can be has no room for the suffix:
        // no checksum file can stand beside it.
        const int error = file.fault().error;
        return error == ENOENT || error == ENAMETOOLONG ? Result<Sidecar>(std::move(sidecar)) : file.fault();
    }
    if (st.st_size > maxSidecarBytes) {
        return Fault{EFBIG};
    }
    char block[65536];
    std::string line;
    bool overlong = false;
    std::int64_t total = 0;
    bool tooLarge = false;
    const Status read = Copy::readBlocks(file->get(), block, sizeof block, [&](std::string_view text) {
        // It may have grown since fstat.
        total += static_cast<std::int64_t>(text.size());
        if (total > maxSidecarBytes) {
            tooLarge = true;
            return false;
        }
        // Line by line, so that only the digests are held, never the whole text.
        for (std::string_view rest = text; !rest.empty();) {
            const std::size_t end = rest.find('\n');
            const std::string_view part = rest.substr(0, end);
            if (!overlong) {
                line.append(part);
                overlong = line.size() > maxLineBytes;
            }
            if (end == std::string_view::npos) {
                break;
            }
            if (!overlong) {
                sidecar.addLine(line);
            }
            line.clear();
            overlong = false;
            rest.remove_prefix(end + 1);
        }
        return true;
    });
    if (!read) {
        return read.fault();
    }
    if (tooLarge) {
        return Fault{EFBIG};
    }
    if (!overlong && !line.empty()) {
        sidecar.addLine(line);
    }
    sidecar.m_present = true;
    return sidecar;
}

bool fromHex(std::string_view text, unsigned char* bytes, std::size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    for (std::size_t i = 0; i < size; ++i) {
        const char* const at = text.data() + 2 * i;
        if (std::from_chars(at, at + 2, bytes[i], 16).ptr != at + 2) {
            return false;
        }
    }
    return true;
}

std::optional<SumsLine> readSumsLine(std::string_view line, std::string_view tag, std::size_t digits) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const bool escaped = !line.empty() && line.front() == '\\';
    if (escaped) {
        line.remove_prefix(1);
    }
    std::string_view hex;
    std::string_view name;
    const std::string tagStart = std::string(tag) + " (";
    constexpr std::string_view tagEnd = ") = ";
    if (line.substr(0, tagStart.size()) == tagStart) {
        // The tag form: "TAG (NAME) = " and the digits. These come last, so a name may
        // hold ") = " itself.
        if (line.size() >= tagStart.size() + tagEnd.size() + digits &&
            line.substr(line.size() - digits - tagEnd.size(), tagEnd.size()) == tagEnd) {
            hex = line.substr(line.size() - digits);
            name = line.substr(tagStart.size(), line.size() - digits - tagEnd.size() - tagStart.size());
        }
    } else if (line.size() > digits + 2 && line[digits] == ' ' &&
               (line[digits + 1] == ' ' || line[digits + 1] == '*')) {
        // The digits, then "  " (text mode) or " *" (binary mode), then the name.
        hex = line.substr(0, digits);
        name = line.substr(digits + 2);
    }
    std::optional<std::string> unescaped = escaped ? unescape(name) : std::optional<std::string>(name);
    if (hex.empty() || !unescaped || unescaped->empty()) {
        return std::nullopt;
    }
    return SumsLine{hex, std::move(*unescaped)};
}

void Sidecar::addLine(std::string_view line) {
    std::optional<SumsLine> parsed = readSumsLine(line, "SHA256", 2 * sizeof(Digest));
    Digest digest{};
    if (!parsed || !fromHex(parsed->hex, digest.data(), digest.size())) {
        return;
    }
    const auto [listed, added] = m_digests.try_emplace(std::move(parsed->name), digest);
    if (!added && listed->second != digest) {
        m_conflicting = true;
    }
}

std::optional<Digest> Sidecar::find(const std::string& name) const {
    const auto found = m_digests.find(name);
    return found == m_digests.end() ? std::nullopt : std::optional<Digest>(found->second);
}

} // namespace Checksum
