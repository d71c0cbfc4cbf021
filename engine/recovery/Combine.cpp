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
constexpr std::size_t page = 4096;
// Each worker multiplies a tile of the slices at a time: the tiles of every output
// stay in its cache while the inputs' tiles stream past once. Memory, not the
// arithmetic, is what is short on the machines we build for.
constexpr std::size_t outputTiles = 1u << 20;
constexpr std::size_t smallestTile = 16u << 10;
constexpr std::size_t largestTile = 64u << 10;
// Tiles in a stripe, so that a worker held up (the machine is busy) leaves its share
// to the others rather than keeping them waiting.
constexpr std::size_t tilesPerStripe = 16;
// The inputs read ahead at a time, twice over.
constexpr std::size_t inputWindow = 12u << 20;

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

namespace {

// How a combination is cut: tiles, stripes of tiles, batches of inputs per stripe.
struct Cut {
    std::size_t tile;
    std::size_t stripe;
    std::size_t batch;
};

Cut cutFor(const Combination& c, std::size_t memory, unsigned threads) {
    Cut cut{};
    cut.tile = std::clamp(outputTiles / c.outputs / page * page, smallestTile, largestTile);
    // A small budget takes smaller tiles rather than more memory.
    cut.tile = std::min(cut.tile, std::max(page, memory / (c.outputs + 2) / page * page));
    const std::size_t window = std::max(cut.tile, std::min(inputWindow, memory / 2));
    cut.stripe = cut.tile * std::max<std::size_t>(tilesPerStripe, threads);
    cut.batch = std::clamp<std::size_t>(window / (2 * cut.stripe), 1, c.inputs);
    if (cut.batch == c.inputs) {
        // Few inputs: longer stripes, fewer rounds.
        cut.stripe = std::max(cut.stripe, window / (2 * cut.batch) / cut.tile * cut.tile);
    }
    const std::size_t outputRoom = memory > 2 * cut.batch * cut.stripe ? memory - 2 * cut.batch * cut.stripe : 0;
    cut.stripe = std::max(cut.tile, std::min(cut.stripe, outputRoom / c.outputs / cut.tile * cut.tile));
    if (cut.stripe >= c.length) {
        cut.stripe = static_cast<std::size_t>(c.length);
    }
    return cut;
}

} // namespace

Status combine(const Combination& c, std::size_t memory) {
    if (c.inputs == 0 || c.outputs == 0 || c.length == 0) {
        return {};
    }
    if (!Gf16::init()) {
        return Fault::because("The GF(2^16) arithmetic could not be set up (gf-complete)");
    }
    const unsigned threads = threadCount();
    const Cut cut = cutFor(c, memory, threads);
    const std::size_t batch = cut.batch;
    const std::size_t stripe = cut.stripe;
    const std::size_t tile = cut.tile;
    const std::size_t pitch = (stripe + alignment - 1) / alignment * alignment;
    Block outputs = allocate(pitch * c.outputs);
    Block inputs[2] = {allocate(pitch * batch), allocate(pitch * batch)};
    if (!outputs || !inputs[0] || !inputs[1]) {
        return Fault{ENOMEM};
    }
    const std::size_t batches = (c.inputs + batch - 1) / batch;
    const std::size_t stripes = static_cast<std::size_t>((c.length + stripe - 1) / stripe);
    const std::size_t steps = stripes * batches;
    const std::uint64_t total = c.length * c.inputs;

    // Step k is batch k % batches of stripe k / batches; its inputs are in inputs[k % 2].
    auto offsetOf = [&](std::size_t k) { return static_cast<std::uint64_t>(k / batches) * stripe; };
    auto sizeOf = [&](std::size_t k) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(stripe, c.length - offsetOf(k)));
    };
    auto readStep = [&](std::size_t k) -> Status {
        unsigned char* into = inputs[k % 2].get();
        const std::size_t first = k % batches * batch;
        const std::size_t last = std::min(c.inputs, first + batch);
        for (std::size_t i = first; i < last; ++i) {
            if (Status s = c.read(i, offsetOf(k), sizeOf(k), into + (i - first) * pitch); !s) {
                return s;
            }
        }
        return {};
    };
    std::atomic<std::size_t> nextTile{0};
    auto multiply = [&](std::size_t k) {
        // Tiles taken one at a time: a worker run late leaves the rest to the others.
        const unsigned char* from = inputs[k % 2].get();
        const std::size_t first = k % batches * batch;
        const std::size_t last = std::min(c.inputs, first + batch);
        const std::size_t size = sizeOf(k);
        for (std::size_t at; (at = nextTile++ * tile) < size;) {
            const std::size_t bytes = std::min(tile, size - at);
            for (std::size_t i = first; i < last; ++i) {
                for (std::size_t o = 0; o < c.outputs; ++o) {
                    Gf16::multiplyAdd(from + (i - first) * pitch + at, outputs.get() + o * pitch + at,
                                      c.coefficients[o * c.inputs + i], bytes);
                }
            }
        }
    };

    if (Status s = readStep(0); !s) {
        return s;
    }
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t size = sizeOf(k);
        if (k % batches == 0) {
            std::memset(outputs.get(), 0, pitch * c.outputs);
        }
        // The next step's inputs are read while every core multiplies these.
        std::future<Status> next;
        Status readInline;
        if (k + 1 < steps) {
            try {
                next = std::async(std::launch::async, readStep, k + 1);
            } catch (const std::system_error&) {
                readInline = readStep(k + 1); // no thread to read beside: read first
            }
        }
        const std::size_t tiles = (size + tile - 1) / tile;
        nextTile = 0;
        onThreads(static_cast<unsigned>(std::min<std::size_t>(threads, tiles)), [&](unsigned) { multiply(k); });
        if (next.valid()) {
            readInline = next.get();
        }
        if (!readInline) {
            return readInline;
        }
        if (k % batches != batches - 1) {
            continue;
        }
        // The outputs' writes (and whatever hashing the caller does there) on every core.
        const std::uint64_t offset = offsetOf(k);
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
