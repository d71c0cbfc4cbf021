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

// Copies `length` bytes of `sourceFd`, starting at `sourceOffset`, to the current
// position of `destFd`, in blocks of at most 8 MiB (less on a slow disk). Uses
// copy_file_range, or read/write through `buffer` where the two files' file systems
// cannot serve it; an `observe` function makes it use read/write, since the bytes
// must pass through memory. Calls `turn` between blocks (not before the
// first one) with the bytes copied so far; when it returns false the copy ends with
// Stopped. Failures as Copy::copyBlock reports them.
Copy::Result ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length,
                            Copy::Buffer& buffer, const std::function<bool(std::int64_t copied)>& turn,
                            const Copy::Observer& observe = {});

} // namespace FileSize
