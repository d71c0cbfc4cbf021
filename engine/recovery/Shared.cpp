#include "engine/recovery/Shared.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include "engine/hash/Gf16.h"
#include "engine/hash/Md5Lanes.h"
#include "engine/recovery/Combine.h"

namespace Recovery {

Result<std::size_t> readAt(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
    auto* p = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fault::ofErrno();
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

Status writeAt(int fd, const void* data, std::size_t size, std::uint64_t offset) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? Fault::ofErrno() : Fault{ENOSPC};
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return {};
}

Status parallelFor(std::size_t count, const std::function<Status(std::size_t)>& body) {
    std::atomic<std::size_t> next{0};
    std::mutex lock;
    std::optional<Fault> failed;
    auto work = [&] {
        for (std::size_t i; (i = next++) < count;) {
            if (Status s = body(i); !s) {
                std::lock_guard guard(lock);
                if (!failed) {
                    failed = s.fault();
                }
                next = count;
            }
        }
    };
    const unsigned threads = std::max(1u, std::min<unsigned>(std::thread::hardware_concurrency(),
                                                             static_cast<unsigned>(std::min<std::size_t>(count, 64))));
    onThreads(threads, [&](unsigned) { work(); });
    return failed ? Status{*failed} : Status{};
}

std::size_t filesPerGroup(std::size_t count) {
    const std::size_t lanes = Md5Lanes::width();
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return lanes == 1 ? 1 : std::clamp<std::size_t>((count + cores - 1) / cores, 1, lanes);
}

Result<std::vector<std::optional<Md5::Digest>>> md5Of(const std::vector<ByteRange>& ranges) {
    std::vector<std::optional<Md5::Digest>> digests(ranges.size());
    const std::size_t perGroup = filesPerGroup(ranges.size());
    Status st = parallelFor((ranges.size() + perGroup - 1) / perGroup, [&](std::size_t g) -> Status {
        const std::size_t first = g * perGroup;
        const std::size_t count = std::min(perGroup, ranges.size() - first);
        const std::unique_ptr<unsigned char[]> buffers(new unsigned char[hashBlock * count]);
        std::vector<Md5Lanes::Stream> streams(count);
        std::vector<std::uint64_t> done(count, 0);
        std::vector<char> ended(count, 0);
        std::vector<Md5Lanes::Update> updates;
        for (;;) {
            updates.clear();
            for (std::size_t i = 0; i < count; ++i) {
                const ByteRange& range = ranges[first + i];
                if (ended[i] || done[i] == range.length) {
                    continue;
                }
                unsigned char* buffer = buffers.get() + i * hashBlock;
                const std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(hashBlock, range.length - done[i]));
                auto read = readAt(range.fd, buffer, want, range.offset + done[i]);
                if (!read) {
                    return range.name ? read.fault().named(*range.name) : read.fault();
                }
                ended[i] = *read != want;
                done[i] += *read;
                updates.push_back({&streams[i], buffer, *read});
            }
            if (updates.empty()) {
                break;
            }
            Md5Lanes::update(updates);
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!ended[i]) {
                digests[first + i] = Md5Lanes::finish(streams[i]);
            }
        }
        return {};
    });
    if (!st) {
        return st.fault();
    }
    return digests;
}

std::uint64_t slicesOf(std::uint64_t length, std::uint64_t sliceSize) {
    return (length + sliceSize - 1) / sliceSize;
}

Status readSlice(int fd, std::uint64_t length, std::uint64_t sliceSize, std::uint64_t slice, std::uint64_t offset,
                 std::size_t size, unsigned char* buffer) {
    const std::uint64_t at = slice * sliceSize + offset;
    std::size_t inFile = at >= length ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(size, length - at));
    if (inFile > 0) {
        auto read = readAt(fd, buffer, inFile, at);
        if (!read) {
            return read.fault();
        }
        if (*read != inFile) {
            return Fault::because("The file ended before its end");
        }
    }
    std::memset(buffer + inFile, 0, size - inFile);
    return {};
}

std::uint16_t constantPower(std::uint32_t slice, std::uint32_t exponent) {
    return Gf16::power(Gf16::inputConstant(slice), exponent);
}

Status arithmeticReady() {
    if (!Gf16::init()) {
        return Fault::because("The GF(2^16) arithmetic could not be set up (gf-complete)");
    }
    return {};
}

} // namespace Recovery
