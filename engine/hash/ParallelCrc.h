#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/Result.h"

// CRC-32 of ranges of files on every core: what a .crc checks is the CRC of the joined
// bytes, and one core's CRC is slower than a disk's read from the page cache. Each range
// is cut into chunks hashed apart and put back together with Crc32::combine, so that a
// single long file uses every core as well as many short pieces do.
namespace ParallelCrc {

struct Range {
    int fd;
    std::int64_t offset;
    std::int64_t length;
};

struct Crc {
    std::uint32_t crc = 0;
    std::int64_t length = 0; // the bytes hashed: less than asked where the file ended
};

inline constexpr std::int64_t chunkBytes = std::int64_t{16} << 20;
inline constexpr std::size_t blockBytes = std::size_t{256} << 10;

// The CRC of each of `ranges` (lengths of 0 or more), read with pread on `threads`
// threads (the caller's one of them; fewer where no more can be started). A range whose
// file ends early gives the CRC of the bytes it has, with their count. `turn` is called
// on the caller's thread after its first block and about every 50 ms; when it returns
// false the work ends with ECANCELED. Fails with the first read's error, and sets
// `failed`, when given, to the index of the range it read.
Result<std::vector<Crc>> ofRanges(const std::vector<Range>& ranges, unsigned threads,
                                  const std::function<bool()>& turn = {}, std::size_t* failed = nullptr);

// The CRC of the ranges one after another.
Crc concatenated(const std::vector<Crc>& crcs);

} // namespace ParallelCrc
