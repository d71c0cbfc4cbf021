#include "engine/FileSize.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/Descriptor.h"

namespace FileSize {

std::int64_t FileSize2(const std::string& path) {
    struct stat st {};
    const Descriptor file(openRegular(AT_FDCWD, path.c_str(), st));
    return file.get() >= 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

Copy::Result ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t length,
                            Copy::Buffer& buffer, const std::function<bool(std::int64_t copied)>& turn,
                            const Copy::Observer& observe) {
    using Clock = std::chrono::steady_clock;
    std::int64_t offset = sourceOffset;
    // An observer must see the bytes, so they pass through memory. Otherwise the
    // kernel copies from page cache to page cache, at any offsets: measured faster
    // than read/write through the buffer for pieces of every size, aligned or not.
    const bool copyRange = !observe;
    for (std::int64_t done = 0; done < length;) {
        if (done > 0 && !turn(done)) {
            return {Copy::Result::Status::Stopped, 0};
        }
        const std::int64_t count = std::min(buffer.blockBytes, length - done);
        const Clock::time_point start = Clock::now();
        const Copy::Result result = Copy::copyBlock(sourceFd, offset, destFd, count, buffer, copyRange, observe);
        if (result.status != Copy::Result::Status::Copied) {
            return result;
        }
        // A short block says little about the disk's speed.
        if (count >= Copy::Buffer::minBlockBytes) {
            buffer.blockBytes = Copy::nextBlockSize(count, Clock::now() - start);
        }
        done += count;
    }
    return {};
}

} // namespace FileSize
