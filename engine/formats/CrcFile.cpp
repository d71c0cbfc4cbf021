#include "engine/formats/CrcFile.h"

#include <cerrno>
#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Descriptor.h"

namespace CrcFile {

namespace {

Fault invalid() {
    return Fault::because(std::string(invalidReason));
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool sameKey(std::string_view key, std::string_view expected) {
    if (key.size() != expected.size()) {
        return false;
    }
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (lower(key[i]) != expected[i]) {
            return false;
        }
    }
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::int64_t> parseSize(std::string_view text) {
    text = trimBlanks(text);
    std::int64_t value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint32_t> parseCrc(std::string_view text) {
    text = trimBlanks(text);
    if (text.size() != 8) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (lower(c) >= 'a' && lower(c) <= 'f') {
            digit = lower(c) - 'a' + 10;
        } else {
            return std::nullopt;
        }
        value = value << 4 | static_cast<std::uint32_t>(digit);
    }
    return value;
}

// Keeps the first value of a key; a second, different one makes the file ambiguous.
template <typename T> bool assign(std::optional<T>& slot, const T& value) {
    if (slot && *slot != value) {
        return false;
    }
    slot = value;
    return true;
}

std::string localeCodeset(std::string_view codeset) {
    if (!codeset.empty()) {
        return std::string(codeset);
    }
    const char* name = nl_langinfo(CODESET);
    return name != nullptr ? name : "";
}

bool isUtf8Codeset(std::string_view codeset) {
    std::string plain;
    for (const char c : codeset) {
        if (c != '-' && c != '_') {
            plain += lower(c);
        }
    }
    return plain == "utf8";
}

// `text` from character set `from` to `to`; nothing when iconv knows neither or a
// byte sequence has no equivalent.
std::optional<std::string> convert(std::string_view text, const std::string& from, const std::string& to) {
    const iconv_t converter = iconv_open(to.c_str(), from.c_str());
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string input(text);
    std::string output(4 * input.size() + 16, '\0');
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    const bool flushed = done != static_cast<std::size_t>(-1) &&
                         iconv(converter, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(converter);
    if (!flushed || inLeft != 0) {
        return std::nullopt;
    }
    output.resize(output.size() - outLeft);
    return output;
}

bool validUtf8(std::string_view text) {
    return convert(text, "UTF-8", "UTF-8").has_value();
}

// The last part of `name` after any '/' or '\' (a .crc written on Windows may use
// either), or nothing when that part cannot name a file of the output folder.
std::optional<std::string> lastPart(std::string_view name) {
    const std::size_t separator = name.find_last_of("/\\");
    if (separator != std::string_view::npos) {
        name.remove_prefix(separator + 1);
    }
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(name);
}

} // namespace

Result<Entry> parse(std::string_view text) {
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
        text.remove_prefix(byteOrderMark.size());
    }
    Entry entry;
    std::optional<std::int64_t> size;
    std::optional<std::uint32_t> crc;
    bool malformed = false;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trimBlanks(line.substr(0, equals));
        const std::string_view value = line.substr(equals + 1);
        bool consistent = true;
        if (sameKey(key, "filename")) {
            consistent = assign(entry.fileName, std::string(value));
        } else if (sameKey(key, "filenameutf8")) {
            consistent = assign(entry.fileNameUtf8, std::string(value));
        } else if (sameKey(key, "size")) {
            const std::optional<std::int64_t> parsed = parseSize(value);
            malformed = malformed || !parsed;
            consistent = !parsed || assign(size, *parsed);
        } else if (sameKey(key, "crc32")) {
            const std::optional<std::uint32_t> parsed = parseCrc(value);
            malformed = malformed || !parsed;
            consistent = !parsed || assign(crc, *parsed);
        }
        if (!consistent) {
            return invalid();
        }
    }
    if (malformed || !size || !crc) {
        return invalid();
    }
    entry.size = *size;
    entry.crc = *crc;
    return entry;
}

Result<Entry> load(int folderFd, const std::string& name) {
    struct stat st {};
    const Result<Descriptor> file = openRegular(folderFd, name.c_str(), st);
    if (!file) {
        return file.fault();
    }
    if (st.st_size > maxBytes) {
        return invalid();
    }
    // One more byte than allowed tells a file that grew since fstat.
    std::string text(static_cast<std::size_t>(maxBytes) + 1, '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = ::read(file->get(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fault::ofErrno();
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    if (filled > static_cast<std::size_t>(maxBytes)) {
        return invalid();
    }
    text.resize(filled);
    return parse(text);
}

std::optional<std::string> outputName(const Entry& entry, std::string_view codeset) {
    if (entry.fileNameUtf8) {
        std::optional<std::string> name = lastPart(*entry.fileNameUtf8);
        if (name) {
            const std::string target = localeCodeset(codeset);
            if (!isUtf8Codeset(target)) {
                // Where it has no equivalent in the locale's set, or one holding a
                // separator byte, its UTF-8 bytes still name a file.
                std::optional<std::string> local = convert(*name, "UTF-8", target);
                if (local && lastPart(*local) == local) {
                    return local;
                }
            }
            return name;
        }
    }
    if (entry.fileName) {
        return lastPart(*entry.fileName);
    }
    return std::nullopt;
}

std::string format(std::string_view name, std::int64_t size, std::uint32_t crc, std::string_view codeset) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const std::string source = localeCodeset(codeset);
    std::optional<std::string> utf8;
    if (!isUtf8Codeset(source)) {
        utf8 = convert(name, source, "UTF-8");
    }
    if (!utf8 && validUtf8(name)) {
        utf8 = std::string(name);
    }
    std::string text = "filename=";
    text += name;
    text += "\r\n";
    if (utf8) {
        text += "filenameutf8=" + *utf8 + "\r\n";
    }
    text += "size=" + std::to_string(size) + "\r\n";
    text += "crc32=";
    for (int shift = 28; shift >= 0; shift -= 4) {
        text += digits[(crc >> shift) & 0xf];
    }
    text += "\r\n";
    return text;
}

} // namespace CrcFile
