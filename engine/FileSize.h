#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/Copy.h"

namespace FileSize {

// The size in bytes of the regular file at `path` (symbolic links followed), as a
// 64-bit number. Returns 0 when the file cannot be opened or is not a regular file;
// never fails otherwise.
std::int64_t FileSize2(const std::string& path);

// Copies `length` bytes of `sourceFd`, starting at `sourceOffset`, to `destOffset`
// of `destFd` (-1: its current position), in blocks of at most 8 MiB (less on a slow
// disk) as Copy::copyBlock copies them: cloned where the two files' file system can,
// else through copy_file_range or read/write. Blocks other than the last are
// multiples of Copy::Buffer::cloneAlignment, so that an aligned copy stays aligned.
// Calls `turn` between blocks (not before the first one) with the bytes copied so
// far; when it returns false the copy ends, `stopped`. Failures as copyBlock reports
// them; `cloned` is set when every block was cloned.
Result<Copy::Copied> ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t destOffset,
                                    std::int64_t length, Copy::Buffer& buffer,
                                    const std::function<bool(std::int64_t copied)>& turn);

} // namespace FileSize
