#pragma once

#include <string>
#include <string_view>

// Path routines and simple file-system questions. The separator is a parameter so
// that paths written on Windows (backslash) can be handled too; it defaults to the
// platform's own.
namespace Main {

inline constexpr char nativeSeparator = '/';

// The text after the last separator; the whole path when it has none; empty when
// the path ends with a separator.
std::string GetFileName(std::string_view path, char separator = nativeSeparator);

// The path up to and including its last separator; empty when it has none.
std::string GetFolderPart(std::string_view path, char separator = nativeSeparator);

// Collapses doubled separators in one left-to-right pass (a run of three becomes
// two). A path that begins with a separator: with '/' its leading run becomes a
// single '/'; with '\' it becomes exactly two (the network-path prefix).
std::string CollapseBackslashes(std::string_view path, char separator = nativeSeparator);

// True when the path is an existing folder (symbolic links followed). Never fails.
bool FolderExists(const std::string& path);

// True when anything exists at the path. Never fails.
bool PathExists(const std::string& path);

// True when the path names an existing regular file (symbolic links followed); this
// is the existence test of the split and join commands and of the joiner.
bool fileExists(const std::string& path);

} // namespace Main
