#include "engine/FileSize.h"

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>

#include "engine/Descriptor.h"

namespace FileSize {

std::int64_t FileSize2(const std::string& path) {
    struct stat st {};
    const Descriptor file(openRegular(AT_FDCWD, path.c_str(), st));
    return file.get() >= 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

Copy::Result ReadFileChunks(int sourceFd, std::int64_t sourceOffset, int destFd, std::int64_t destOffset,
                            std::int64_t length, Copy::Buffer& buffer,
                            const std::function<bool(std::int64_t copied)>& turn) {
    using Clock = std::chrono::steady_clock;
    std::int64_t offset = sourceOffset;
    bool cloned = length > 0;
    for (std::int64_t done = 0; done < length;) {
        if (done > 0 && !turn(done)) {
            return {Copy::Result::Status::Stopped, 0};
        }
        std::int64_t count = length - done;
        if (count > buffer.blockBytes) {
            count = buffer.blockBytes - buffer.blockBytes % Copy::Buffer::cloneAlignment;
        }
        const Clock::time_point start = Clock::now();
        const Copy::Result result = Copy::copyBlock(sourceFd, offset, destFd, destOffset, count, buffer);
        if (result.status != Copy::Result::Status::Copied) {
            return result;
        }
        cloned = cloned && result.cloned;
        // A short block says little about the disk's speed.
        if (count >= Copy::Buffer::minBlockBytes) {
            buffer.blockBytes = Copy::nextBlockSize(count, Clock::now() - start);
        }
        done += count;
    }
    return {Copy::Result::Status::Copied, 0, cloned};
}

} // namespace FileSize
