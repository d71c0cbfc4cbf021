#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/Result.h"

namespace Recovery {

// A linear combination over GF(2^16) of equally long slices: output o is the sum over
// the inputs i of coefficients[o * inputs + i] times input i. Making recovery slices
// and rebuilding lost ones are both this.
struct Combination {
    std::size_t inputs = 0;
    std::size_t outputs = 0;
    std::uint64_t length = 0; // of every slice, a multiple of 4
    std::vector<std::uint16_t> coefficients;

    // Fills `buffer` with `size` bytes of input `index` from `offset`. Called on one
    // thread at a time, not always the caller's; never while `write` runs.
    std::function<Status(std::size_t index, std::uint64_t offset, std::size_t size, unsigned char* buffer)> read;
    // Takes the finished bytes of output `index` from `offset`; called for different
    // outputs on several threads at once, each output's stripes in order from its start.
    std::function<Status(std::size_t index, std::uint64_t offset, std::size_t size, const unsigned char* data)> write;
    // Told the bytes of input done so far and the total after every stripe; false stops
    // the work (ECANCELED).
    std::function<bool(std::uint64_t done, std::uint64_t total)> progress;
};

// The memory combine works in, whatever the sizes: every output and two batches of
// inputs are held for one stripe of the slices at a time.
constexpr std::size_t combineMemory = 96u << 20;

// Runs work(0) .. work(count - 1) at once, work(0) on the caller's thread; a thread
// that cannot be started has its share run on the caller's thread afterwards.
void onThreads(unsigned count, const std::function<void(unsigned worker)>& work);

// Computes the combination stripe by stripe, reading the next inputs while every core
// multiplies the ones read before. Fails with the first failing read or write.
Status combine(const Combination& combination, std::size_t memory = combineMemory);

} // namespace Recovery
