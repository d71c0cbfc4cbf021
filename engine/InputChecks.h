#pragma once

#include <cstdint>
#include <string>

// The input checks of the split and join commands, written once for both front
// ends: the window makes them one by one as numbered steps, the command line in a
// row. Paths are byte strings. Join checks: a manifest is named, it exists.
namespace InputChecks {

// Split, in this order: the output folder exists; a file is named; it does not look
// already split (".splt", then "_splt", anywhere in the path, case-sensitive); it
// exists as a regular file; it is larger than one piece.
bool outputFolderExists(const std::string& folder);
bool namesFile(const std::string& path);
bool containsManifestSuffix(const std::string& path);
bool containsPieceMarker(const std::string& path);
bool fileExists(const std::string& path);
// The file's size is at most `chunkSize`; a file the size probe cannot read counts 0.
bool notLargerThanChunk(const std::string& path, std::int64_t chunkSize);

} // namespace InputChecks
