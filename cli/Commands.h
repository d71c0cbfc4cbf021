#pragma once

#include <cstdint>
#include <string>

class ConsoleHost;

// The commands of the command line. Split and join test their input in the order of
// the window's commands, refuse with the same messages, and return the program's
// exit status.
namespace Commands {

inline constexpr int exitSucceeded = 0;
inline constexpr int exitFailed = 1; // refused, failed, stopped, or a set with faults
inline constexpr int exitUsage = 2;

struct SplitOptions {
    std::int32_t chunkSize = 0;
    int parts = 0; // when above 0, the chunk size comes from the file's size
    bool checksums = false;
};

// Output folder, empty path, the two piece-set markers, existence, size against the
// chunk size, then `SplitFile`. Ends with "Done." unless the folder was missing or
// the split was stopped.
int split(const std::string& file, const SplitOptions& options, ConsoleHost& host);

// Empty path, existence, a list at all, then `JoinFiles`. The output folder is the
// joiner's to test.
int join(const std::string& manifest, ConsoleHost& host);

// Checks the set and prints one line for each piece that must be sent again.
int verify(const std::string& manifest, ConsoleHost& host);

// The manifest a join or verify uses for `path`: NAME.splt beside it when `path` names
// a piece NAME_spltN and that list exists; else `path` itself.
std::string manifestFor(const std::string& path);

} // namespace Commands
