#pragma once

#include <cstdint>
#include <string>

class EngineHost;

// The split and join commands of the command line. They test their input in the
// order of the window's commands, refuse with the same messages, and return the
// program's exit status.
namespace Commands {

inline constexpr int exitSucceeded = 0;
inline constexpr int exitFailed = 1; // refused, failed or stopped
inline constexpr int exitUsage = 2;

// Output folder, empty path, the two piece-set markers, existence, size against the
// chunk size, then `SplitFile`. Ends with "Done." unless the folder was missing or
// the split was stopped.
int split(const std::string& file, std::int32_t chunkSize, EngineHost& host);

// Empty path, existence, then `JoinFiles`. The output folder is the joiner's to test.
int join(const std::string& manifest, EngineHost& host);

} // namespace Commands
