#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/Copy.h"

namespace FileSize {

// 0 when no regular file can be opened there; never fails.
std::int64_t FileSize2(const std::string& path);

// Copies in blocks as Copy::copyBlock does (`destOffset` -1: the current position), aligned so that an aligned copy
// stays aligned. `turn` between blocks may stop it.

Result<Copy::Copied> ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t destOffset,
                                    std::int64_t length, Copy::Buffer& buffer,
                                    const std::function<bool(std::int64_t copied)>& turn);

} // namespace FileSize
