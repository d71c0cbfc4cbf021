#include "engine/recovery/Combine.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "engine/hash/Gf16.h"

namespace Recovery {
namespace {

constexpr std::size_t alignment = 64;
// Small enough that one input tile and the tiles of many outputs stay in the cache.
constexpr std::size_t tile = 16u << 10;
constexpr std::size_t largestBatch = 8;

struct FreeAligned {
    void operator()(unsigned char* p) const { std::free(p); }
};
using Block = std::unique_ptr<unsigned char, FreeAligned>;

Block allocate(std::size_t bytes) {
    const std::size_t rounded = std::max<std::size_t>(alignment, (bytes + alignment - 1) / alignment * alignment);
    return Block(static_cast<unsigned char*>(std::aligned_alloc(alignment, rounded)));
}

unsigned threadCount() {
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace

void onThreads(unsigned count, const std::function<void(unsigned worker)>& work) {
    std::vector<unsigned> notStarted;
    {
        std::vector<std::jthread> helpers;
        for (unsigned w = 1; w < count; ++w) {
            try {
                helpers.emplace_back(work, w);
            } catch (const std::system_error&) {
                notStarted.push_back(w);
            }
        }
        work(0);
    }
    for (unsigned w : notStarted) {
        work(w);
    }
}

Status combine(const Combination& c, std::size_t memory) {
    if (c.inputs == 0 || c.outputs == 0 || c.length == 0) {
        return {};
    }
    if (!Gf16::init()) {
        return Fault::because("The GF(2^16) arithmetic could not be set up (gf-complete)");
    }
    const std::size_t batch = std::min(c.inputs, largestBatch);
    std::size_t stripe = memory / (c.outputs + 2 * batch) / tile * tile;
    stripe = std::max(stripe, tile);
    if (stripe >= c.length) {
        stripe = static_cast<std::size_t>(c.length);
    }
    const std::size_t pitch = (stripe + alignment - 1) / alignment * alignment;
    Block outputs = allocate(pitch * c.outputs);
    Block inputs[2] = {allocate(pitch * batch), allocate(pitch * batch)};
    if (!outputs || !inputs[0] || !inputs[1]) {
        return Fault{ENOMEM};
    }
    const unsigned threads = threadCount();
    const std::size_t batches = (c.inputs + batch - 1) / batch;
    const std::uint64_t total = c.length * c.inputs;

    for (std::uint64_t offset = 0; offset < c.length; offset += stripe) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(stripe, c.length - offset));
        const std::size_t tiles = (size + tile - 1) / tile;
        std::memset(outputs.get(), 0, pitch * c.outputs);

        auto readBatch = [&](std::size_t b) -> Status {
            unsigned char* into = inputs[b % 2].get();
            const std::size_t first = b * batch;
            const std::size_t last = std::min(c.inputs, first + batch);
            for (std::size_t i = first; i < last; ++i) {
                if (Status s = c.read(i, offset, size, into + (i - first) * pitch); !s) {
                    return s;
                }
            }
            return {};
        };
        auto multiply = [&](std::size_t b, unsigned worker) {
            // Tiles dealt round-robin by worker number: a worker run late still does its own.
            const unsigned char* from = inputs[b % 2].get();
            const std::size_t first = b * batch;
            const std::size_t last = std::min(c.inputs, first + batch);
            for (std::size_t t = worker; t < tiles; t += threads) {
                const std::size_t at = t * tile;
                const std::size_t bytes = std::min(tile, size - at);
                for (std::size_t o = 0; o < c.outputs; ++o) {
                    unsigned char* to = outputs.get() + o * pitch + at;
                    const std::uint16_t* row = c.coefficients.data() + o * c.inputs;
                    for (std::size_t i = first; i < last; ++i) {
                        Gf16::multiplyAdd(from + (i - first) * pitch + at, to, row[i], bytes);
                    }
                }
            }
        };

        if (Status s = readBatch(0); !s) {
            return s;
        }
        for (std::size_t b = 0; b < batches; ++b) {
            std::future<Status> next;
            Status readInline;
            if (b + 1 < batches) {
                try {
                    next = std::async(std::launch::async, readBatch, b + 1);
                } catch (const std::system_error&) {
                    readInline = readBatch(b + 1); // no thread to read beside: read first
                }
            }
            onThreads(static_cast<unsigned>(std::min<std::size_t>(threads, tiles)),
                      [&](unsigned worker) { multiply(b, worker); });
            if (next.valid()) {
                readInline = next.get();
            }
            if (!readInline) {
                return readInline;
            }
        }
        // The outputs' writes (and whatever hashing the caller does there) on every core.
        std::atomic<std::size_t> nextOutput{0};
        std::vector<Status> written(threads);
        auto writeOutputs = [&](unsigned worker) {
            for (std::size_t o; written[worker] && (o = nextOutput++) < c.outputs;) {
                written[worker] = c.write(o, offset, size, outputs.get() + o * pitch);
            }
        };
        onThreads(static_cast<unsigned>(std::min<std::size_t>(threads, c.outputs)), writeOutputs);
        for (const Status& s : written) {
            if (!s) {
                return s;
            }
        }
        if (c.progress && !c.progress((offset + size) * c.inputs, total)) {
            return Fault{ECANCELED};
        }
    }
    return {};
}

} // namespace Recovery
