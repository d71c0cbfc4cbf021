#include "engine/hash/Crc32.h"

#include <algorithm>
#include <climits>

#include <zlib.h>

namespace Crc32 {

std::uint32_t update(std::uint32_t crc, const void* data, std::size_t size) {
    // zlib takes a length of its own (uInt) width; longer ranges go in parts.
    auto bytes = static_cast<const Bytef*>(data);
    uLong value = crc;
    while (size > 0) {
        const auto part = static_cast<uInt>(std::min<std::size_t>(size, UINT_MAX));
        value = crc32(value, bytes, part);
        bytes += part;
        size -= part;
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t combine(std::uint32_t first, std::uint32_t second, std::int64_t secondLength) {
    return static_cast<std::uint32_t>(crc32_combine64(first, second, secondLength));
}

} // namespace Crc32
