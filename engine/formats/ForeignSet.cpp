#include "engine/formats/ForeignSet.h"

#include <algorithm>
#include <cerrno>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/RunFolder.h"
#include "engine/formats/ChecksumFile.h"

namespace ForeignSet {

namespace {

constexpr std::size_t maxDigits = 18;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWithAnyCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) {
        return false;
    }
    const std::string_view tail = text.substr(text.size() - end.size());
    return std::equal(tail.begin(), tail.end(), end.begin(), [](char a, char b) { return lower(a) == lower(b); });
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The joined file's name when no .crc gives one: the pieces' prefix less a '.' at
// its end.
std::string stemOf(std::string_view prefix, Kind kind) {
    if (kind != Kind::Numbered && !prefix.empty() && prefix.back() == '.') {
        prefix.remove_suffix(1);
    }
    return std::string(prefix);
}

bool usableName(std::string_view name) {
    return !name.empty() && name != "." && name != "..";
}

std::string padded(std::int64_t number, int width) {
    std::string digits = std::to_string(number);
    if (digits.size() < static_cast<std::size_t>(width)) {
        digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    }
    return digits;
}

std::int64_t power10(int exponent) {
    std::int64_t value = 1;
    for (int i = 0; i < exponent; ++i) {
        value *= 10;
    }
    return value;
}

// The length of the regular file `name` in `folder` (links followed), -1 when none
// stands there.
std::int64_t lengthOf(const RunFolder& folder, const std::string& name) {
    const Result<struct stat> st = folder.statEntry(name, true);
    return st && S_ISREG(st->st_mode) ? static_cast<std::int64_t>(st->st_size) : -1;
}

// The .crc beside a set named `stem`, in either case of its suffix.
std::optional<std::string> crcBeside(const RunFolder& folder, const std::string& stem) {
    for (const char* suffix : {".crc", ".CRC"}) {
        std::string name = stem + suffix;
        if (lengthOf(folder, name) >= 0) {
            return name;
        }
    }
    return std::nullopt;
}

// The names in the folder that start with `prefix`, where the folder holds at most
// `limit` entries; nothing where it holds more or cannot be listed. One listing of a
// small folder costs less than the thousand lookups past a set's last piece.
std::optional<std::unordered_set<std::string>> namesStarting(const RunFolder& folder, const std::string& prefix,
                                                             std::size_t limit = 4096) {
    const int fd = ::openat(folder.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) {
            ::close(fd);
        }
        return std::nullopt;
    }
    std::unordered_set<std::string> names;
    std::size_t seen = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (++seen > limit) {
            ::closedir(dir);
            return std::nullopt;
        }
        if (std::string_view(entry->d_name).starts_with(prefix)) {
            names.insert(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// Looks up every piece of `set` from the first, past gaps as find() promises.
Status probe(const RunFolder& folder, Set& set) {
    // A padded set of more than 3 digits has no names past its width.
    const std::int64_t lastNumber =
        set.kind == Kind::Numbered && set.width > 3 ? power10(set.width) - 1 : std::int64_t{-1};
    std::int64_t highest = -1;
    std::optional<std::unordered_set<std::string>> listed;
    bool triedListing = false;
    for (std::int64_t index = 0;; ++index) {
        if (index > highest + std::max<std::int64_t>(1000, (highest + 1) / 4)) {
            break;
        }
        if (lastNumber >= 0 && set.first + index > lastNumber) {
            break;
        }
        const std::string name = set.pieceName(static_cast<std::size_t>(index));
        // Past a gap, a name the folder's listing lacks needs no lookup of its own.
        if (highest + 1 < index && !triedListing) {
            triedListing = true;
            listed = namesStarting(folder, set.prefix);
        }
        const bool absent = listed && !listed->contains(name);
        const std::int64_t length = absent ? -1 : lengthOf(folder, name);
        if (length >= 0 && index >= maxPieces) {
            return Fault{E2BIG};
        }
        if (index >= maxPieces) {
            break;
        }
        set.lengths.push_back(length);
        if (length >= 0) {
            highest = index;
        }
    }
    // Nothing at all is a set whose first piece is missing, never an empty whole.
    set.lengths.resize(static_cast<std::size_t>(std::max<std::int64_t>(highest + 1, 1)));
    return {};
}

// The width and first number of a numbered set `stem` given by a .crc: the first
// width at which a .000 or .001 stands, else 3 digits from 1.
void numberingForCrc(const RunFolder& folder, Set& set) {
    for (int width = 3; width <= 7; ++width) {
        for (const std::int64_t first : {0, 1}) {
            if (lengthOf(folder, set.prefix + padded(first, width)) >= 0) {
                set.width = width;
                set.first = first;
                return;
            }
        }
    }
}

// The width and first number of the numbered set a piece with `digits` belongs to.
void numberingForPiece(const RunFolder& folder, Set& set, const std::string& digits) {
    const int width = static_cast<int>(digits.size());
    set.width = 3;
    if (width > 3) {
        // A leading zero can only come from padding to that width; "NAME.1000" is of a
        // set padded to 4 digits or of one padded to 3 that went past 999.
        if (digits.front() == '0' || lengthOf(folder, set.prefix + padded(0, width)) >= 0 ||
            lengthOf(folder, set.prefix + padded(1, width)) >= 0) {
            set.width = width;
        }
    }
    set.first = lengthOf(folder, set.prefix + padded(0, set.width)) >= 0 ? 0 : 1;
}

} // namespace

std::optional<NameForm> classify(std::string_view name) {
    NameForm form{Kind::Numbered, {}, false, {}};
    const std::size_t dot = name.rfind('.');
    if (endsWithAnyCase(name, CrcFile::suffix)) {
        form.crc = true;
        form.prefix = name.substr(0, name.size() - CrcFile::suffix.size());
    } else if (dot != std::string_view::npos && name.size() - dot - 1 >= 3 && name.size() - dot - 1 <= maxDigits &&
               allDigits(name.substr(dot + 1))) {
        form.prefix = name.substr(0, dot);
        form.digits = name.substr(dot + 1);
    } else if (name.size() > 2 && (name.substr(name.size() - 2) == "aa" || name.substr(name.size() - 2) == "00")) {
        form.kind = name.back() == 'a' ? Kind::Letters : Kind::Digits;
        form.prefix = name.substr(0, name.size() - 2);
    } else {
        return std::nullopt;
    }
    if (!usableName(stemOf(form.prefix, form.kind))) {
        return std::nullopt;
    }
    return form;
}

std::string numberedName(std::string_view name, std::int64_t number, std::int64_t count) {
    const int width = count > 999 ? static_cast<int>(std::to_string(count).size()) : 3;
    std::string result(name);
    result += '.';
    result += padded(number, width);
    return result;
}

std::string coreutilsName(std::string_view prefix, Kind kind, std::int64_t index) {
    const bool letters = kind == Kind::Letters;
    const std::int64_t base = letters ? 26 : 10;
    const char zero = letters ? 'a' : '0';
    // Level L holds the suffixes of L top characters, one that is not the top, and L+1
    // free ones: (base-1) * base^(L+1) of them.
    int level = 0;
    std::int64_t free = base; // base^(level+1)
    while (index >= (base - 1) * free) {
        index -= (base - 1) * free;
        ++level;
        free *= base;
    }
    std::string suffix(static_cast<std::size_t>(level), static_cast<char>(zero + base - 1));
    suffix += static_cast<char>(zero + index / free);
    std::string rest(static_cast<std::size_t>(level + 1), zero);
    index %= free;
    for (std::size_t i = rest.size(); i-- > 0; index /= base) {
        rest[i] = static_cast<char>(zero + index % base);
    }
    std::string result(prefix);
    result += suffix;
    result += rest;
    return result;
}

std::string Set::pieceName(std::size_t index) const {
    if (kind == Kind::Numbered) {
        return prefix + padded(first + static_cast<std::int64_t>(index), width);
    }
    return coreutilsName(prefix, kind, static_cast<std::int64_t>(index));
}

std::optional<std::size_t> Set::firstMissing() const {
    const auto missing = std::find(lengths.begin(), lengths.end(), -1);
    if (missing == lengths.end()) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(missing - lengths.begin());
}

std::int64_t Set::presentBytes() const {
    std::int64_t total = 0;
    for (const std::int64_t length : lengths) {
        total += std::max<std::int64_t>(length, 0);
    }
    return total;
}

std::optional<std::string> Set::missingAfterLast() const {
    if (!crc || firstMissing() || presentBytes() >= crc->size) {
        return std::nullopt;
    }
    return pieceName(count());
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

Result<std::optional<Set>> find(const RunFolder& folder, const std::string& name) {
    const std::optional<NameForm> form = classify(name);
    if (!form) {
        return std::optional<Set>();
    }
    Set set;
    set.kind = form->kind;
    set.stem = stemOf(form->prefix, form->kind);
    if (form->kind == Kind::Numbered) {
        set.prefix = form->prefix + ".";
        if (form->crc) {
            set.crcName = name;
            numberingForCrc(folder, set);
        } else {
            numberingForPiece(folder, set, form->digits);
        }
    } else {
        set.prefix = form->prefix;
        if (lengthOf(folder, coreutilsName(set.prefix, set.kind, 1)) < 0) {
            return std::optional<Set>();
        }
    }
    if (!set.crcName) {
        set.crcName = crcBeside(folder, set.stem);
    }
    if (set.crcName) {
        Result<CrcFile::Entry> crc = CrcFile::load(folder.fd(), *set.crcName);
        if (!crc) {
            return crc.fault().named(*set.crcName);
        }
        set.crc = std::move(*crc);
    }
    if (const Status probed = probe(folder, set); !probed) {
        return probed.fault();
    }
    // A file that stands there but is none of the set's pieces has only the form of one.
    if (form->kind == Kind::Numbered && !form->crc && lengthOf(folder, name) >= 0) {
        const std::int64_t index = std::stoll(form->digits) - set.first;
        if (index < 0 || static_cast<std::size_t>(index) >= set.count() ||
            set.pieceName(static_cast<std::size_t>(index)) != name) {
            return std::optional<Set>();
        }
    }
    std::optional<std::string> named = set.crc ? CrcFile::outputName(*set.crc) : std::nullopt;
    set.outputName = named ? *named : set.stem;
    std::vector<std::string> sumsStems{set.stem};
    if (set.outputName != set.stem) {
        sumsStems.push_back(set.outputName);
    }
    for (const std::string& stem : sumsStems) {
        for (const auto& [suffix, algorithm] : {std::pair{".sha256", Algorithm::Sha256}, {".md5", Algorithm::Md5}}) {
            if (lengthOf(folder, stem + suffix) >= 0) {
                set.sums.push_back({stem + suffix, algorithm});
            }
        }
    }
    for (const auto& [file, algorithm] : {std::pair{"SHA256SUMS", Algorithm::Sha256}, {"MD5SUMS", Algorithm::Md5}}) {
        if (lengthOf(folder, file) >= 0) {
            set.sums.push_back({file, algorithm});
        }
    }
    return std::optional<Set>(std::move(set));
}

namespace {

void addMd5Line(std::string_view line, Md5Sums& sums, std::vector<std::string>& conflicts) {
    std::optional<Checksum::SumsLine> parsed = Checksum::readSumsLine(line, "MD5", 2 * sizeof(Md5::Digest));
    Md5::Digest digest{};
    if (!parsed || !Checksum::fromHex(parsed->hex, digest.data(), digest.size())) {
        return;
    }
    const auto [listed, added] = sums.try_emplace(parsed->name, digest);
    if (!added && listed->second != digest) {
        conflicts.push_back(std::move(parsed->name));
    }
}

} // namespace

Result<Md5Sums> loadMd5Sums(const RunFolder& folder, const std::string& name) {
    struct stat st {};
    const Result<Descriptor> file = openRegular(folder.fd(), name.c_str(), st);
    if (!file) {
        return file.fault();
    }
    if (st.st_size > Checksum::maxSidecarBytes) {
        return Fault{EFBIG};
    }
    Md5Sums sums;
    std::vector<std::string> conflicts;
    std::string text;
    char block[65536];
    const Status read = Copy::readBlocks(file->get(), block, sizeof block, [&](std::string_view part) {
        text.append(part);
        return static_cast<std::int64_t>(text.size()) <= Checksum::maxSidecarBytes;
    });
    if (!read) {
        return read.fault();
    }
    if (static_cast<std::int64_t>(text.size()) > Checksum::maxSidecarBytes) {
        return Fault{EFBIG};
    }
    for (std::string_view rest = text; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        addMd5Line(rest.substr(0, end), sums, conflicts);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    for (const std::string& conflict : conflicts) {
        sums.erase(conflict);
    }
    return sums;
}

} // namespace ForeignSet
