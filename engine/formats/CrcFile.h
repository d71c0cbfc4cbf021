#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/Result.h"

// The .crc file that Total Commander, Double Commander and Krusader put beside a set
// of numbered pieces: lines "filename=NAME", "filenameutf8=NAME", "size=BYTES" and
// "crc32=XXXXXXXX" (8 hexadecimal digits) describing the joined file, ended by CR LF
// or LF. Other lines are left alone, as those programs leave them.
namespace CrcFile {

inline constexpr std::string_view suffix = ".crc";
// A .crc holds a few short lines; anything far larger is not one.
inline constexpr std::int64_t maxBytes = 64 * 1024;
// Why a file is refused: no usable size= or crc32= line, conflicting lines, too large.
inline constexpr std::string_view invalidReason = "not a valid checksum file";

struct Entry {
    std::optional<std::string> fileName;     // filename=, bytes as written
    std::optional<std::string> fileNameUtf8; // filenameutf8=
    std::int64_t size = 0;
    std::uint32_t crc = 0;
};

// Reads the text of a .crc. Keys are matched in any case, hex digits in either case;
// a UTF-8 byte order mark at the start is skipped. Fails with invalidReason when a
// size= or crc32= line is missing or malformed, or when a key is given twice with
// different values.
Result<Entry> parse(std::string_view text);

// Reads and parses the file `name`, relative to the folder open at `folderFd`.
// Fails with the system's error when it cannot be opened or read (EISDIR for a
// folder), with invalidReason when it is larger than maxBytes or parse refuses it.
Result<Entry> load(int folderFd, const std::string& name);

// The name the joined file takes from `entry`: filenameutf8= (converted to the
// character set `codeset` where it can be; empty: the locale's), else filename=.
// Only the last part of a name holding '/' or '\' is taken, so that it names a file
// in the output folder; a name that is then empty, "." or "..", or holds a NUL byte,
// is passed over. Nothing when neither line gives a usable name.
std::optional<std::string> outputName(const Entry& entry, std::string_view codeset = {});

// The .crc text for a joined file `name` (bytes as the file system holds them, which
// are in the locale's character set) in Total Commander's form: "filename=" with the
// name as it is, "filenameutf8=" with it converted from `codeset` (empty: the locale's)
// to UTF-8 (left out when it is neither convertible nor valid UTF-8), "size=", and
// "crc32=" in upper-case hex, each line ended by CR LF. `name` holds no CR or LF (the
// splitter refuses such names, as for a list).
std::string format(std::string_view name, std::int64_t size, std::uint32_t crc, std::string_view codeset = {});

} // namespace CrcFile
