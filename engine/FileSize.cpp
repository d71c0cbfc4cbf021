#include "engine/FileSize.h"

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/Descriptor.h"

namespace FileSize {

std::int64_t FileSize2(const std::string& path) {
    struct stat st {};
    return openRegular(AT_FDCWD, path.c_str(), st) ? static_cast<std::int64_t>(st.st_size) : 0;
}

Result<Copy::Copied> ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t destOffset,
                                    std::int64_t length, Copy::Buffer& buffer,
                                    const std::function<bool(std::int64_t copied)>& turn) {
    using Clock = std::chrono::steady_clock;
    std::int64_t offset = sourceOffset;
    bool cloned = length > 0;
    for (std::int64_t done = 0; done < length;) {
        if (done > 0 && !turn(done)) {
            return Copy::Copied{false, true};
        }
        std::int64_t count = length - done;
        if (count > buffer.blockBytes) {
            count = buffer.blockBytes - buffer.blockBytes % Copy::Buffer::cloneAlignment;
        }
        const Clock::time_point start = Clock::now();
        const Result<Copy::Copied> block = Copy::copyBlock(sourceFd, offset, destFd, destOffset, count, buffer);
        if (!block) {
            return block;
        }
        cloned = cloned && block->cloned;
        // A short block says little about the disk's speed.
        if (count >= Copy::Buffer::minBlockBytes) {
            buffer.blockBytes = Copy::nextBlockSize(count, Clock::now() - start);
        }
        done += count;
    }
    return Copy::Copied{cloned};
}

} // namespace FileSize
