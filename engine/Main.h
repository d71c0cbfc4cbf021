#pragma once

#include <string>
#include <string_view>

// Path routines; the separator is a parameter so that paths written on Windows can be handled too.
namespace Main {

inline constexpr char nativeSeparator = '/';

std::string GetFileName(std::string_view path, char separator = nativeSeparator);
// Up to and including the last separator.
std::string GetFolderPart(std::string_view path, char separator = nativeSeparator);

// In one pass, a run of three becoming two; a leading run becomes '/' or, with '\', the network prefix "\\".
std::string CollapseBackslashes(std::string_view path, char separator = nativeSeparator);

// Links followed; never fail.
bool FolderExists(const std::string& path);
bool PathExists(const std::string& path);
bool fileExists(const std::string& path); // a regular file

} // namespace Main
