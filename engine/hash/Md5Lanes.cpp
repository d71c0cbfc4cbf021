#include "engine/hash/Md5Lanes.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUARNEL_MD5_LANES 1
#endif

// MD5 as RFC 1321 describes it: 64 steps a block, in four rounds of sixteen.
namespace Md5Lanes {

namespace {

// The additive constants: the integer part of 2^32 * |sin(i + 1)|.
struct Constants {
    std::array<std::uint32_t, 64> t{};
    Constants() {
        for (int i = 0; i < 64; ++i) {
            t[static_cast<std::size_t>(i)] =
                static_cast<std::uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
        }
    }
};
const Constants constants;

// Each step's message word and rotation.
constexpr int wordOf(int i) {
    return i < 16 ? i : i < 32 ? (5 * i + 1) % 16 : i < 48 ? (3 * i + 5) % 16 : (7 * i) % 16;
}
constexpr int rotations[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

std::uint32_t load32(const unsigned char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4); // MD5 is little-endian, as x86 is
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

void compressOne(std::uint32_t* state, const unsigned char* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t x[16];
        for (int j = 0; j < 16; ++j) {
            x[j] = load32(data + 4 * j);
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t f;
            switch (i / 16) {
            case 0:
                f = d ^ (b & (c ^ d));
                break;
            case 1:
                f = c ^ (d & (b ^ c));
                break;
            case 2:
                f = b ^ c ^ d;
                break;
            default:
                f = c ^ (b | ~d);
                break;
            }
            const std::uint32_t sum = a + f + x[wordOf(i)] + constants.t[static_cast<std::size_t>(i)];
            a = d;
            d = c;
            c = b;
            b = b + rotl(sum, rotations[i / 16][i % 4]);
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
    }
}

struct Job {
    std::uint32_t* state;
    const unsigned char* data;
    std::size_t blocks;
};

#ifdef QUARNEL_MD5_LANES
constexpr std::size_t avx2Lanes = 8;

namespace avx2 {
#define QUARNEL_LANES_TARGET __attribute__((target("avx2")))
#include "engine/hash/Md5Lanes.inc"
#undef QUARNEL_LANES_TARGET
} // namespace avx2

// The same with AVX-512's rotation and three-input logic on the eight lanes.
namespace avx512vl {
#define QUARNEL_LANES_TARGET __attribute__((target("avx2,avx512f,avx512vl")))
#define QUARNEL_LANES_VL 1
#include "engine/hash/Md5Lanes.inc"
#undef QUARNEL_LANES_TARGET
#undef QUARNEL_LANES_VL
} // namespace avx512vl

using Kernel = void (*)(std::uint32_t* const*, const unsigned char* const*, std::size_t);

std::atomic<Code> wanted{Code::best};

Kernel kernel() {
    if (wanted.load(std::memory_order_relaxed) == Code::plain) {
        return nullptr;
    }
    if (wanted.load(std::memory_order_relaxed) == Code::avx2) {
        return __builtin_cpu_supports("avx2") ? avx2::compress8 : nullptr;
    }
    static const Kernel chosen = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
                                     ? avx512vl::compress8
                                 : __builtin_cpu_supports("avx2") ? avx2::compress8
                                                                  : nullptr;
    return chosen;
}
#endif

bool lanes() {
#ifdef QUARNEL_MD5_LANES
    return kernel() != nullptr;
#else
    return false;
#endif
}

// The jobs' blocks, as many side by side as there are lanes; a lane whose job is done
// takes the next, and idle lanes hash the first lane's bytes into a scratch state.
void compress(std::vector<Job>& jobs) {
#ifdef QUARNEL_MD5_LANES
    if (lanes() && jobs.size() > 1) {
        std::size_t next = 0;
        std::array<Job*, avx2Lanes> active{};
        std::uint32_t scratch[avx2Lanes][4];
        for (;;) {
            std::size_t busy = 0;
            for (auto& lane : active) {
                if (lane && lane->blocks == 0) {
                    lane = nullptr;
                }
                if (!lane && next < jobs.size()) {
                    lane = &jobs[next++];
                }
                busy += lane ? 1 : 0;
            }
            if (busy <= 1) {
                break; // the last one alone gains nothing from lanes
            }
            std::size_t blocks = SIZE_MAX;
            const Job* any = nullptr;
            for (const Job* lane : active) {
                if (lane) {
                    blocks = std::min(blocks, lane->blocks);
                    any = lane;
                }
            }
            std::uint32_t* states[avx2Lanes];
            const unsigned char* data[avx2Lanes];
            for (std::size_t l = 0; l < avx2Lanes; ++l) {
                states[l] = active[l] ? active[l]->state : scratch[l];
                data[l] = active[l] ? active[l]->data : any->data;
            }
            kernel()(states, data, blocks);
            for (Job* lane : active) {
                if (lane) {
                    lane->data += blocks * 64;
                    lane->blocks -= blocks;
                }
            }
        }
    }
#endif
    for (Job& job : jobs) {
        compressOne(job.state, job.data, job.blocks);
        job.blocks = 0;
    }
}

} // namespace

std::size_t width() {
#ifdef QUARNEL_MD5_LANES
    return lanes() ? avx2Lanes : 1;
#else
    return 1;
#endif
}

void use(Code code) {
#ifdef QUARNEL_MD5_LANES
    wanted.store(code, std::memory_order_relaxed);
#else
    (void)code;
#endif
}

void update(std::span<const Update> updates) {
    std::vector<Job> jobs;
    jobs.reserve(updates.size());
    for (const Update& u : updates) {
        Stream& s = *u.stream;
        const unsigned char* data = u.data;
        std::size_t size = u.size;
        const std::size_t held = static_cast<std::size_t>(s.length % 64);
        s.length += size;
        if (held > 0) {
            const std::size_t take = std::min(size, 64 - held);
            std::memcpy(s.pending.data() + held, data, take);
            data += take;
            size -= take;
            if (held + take < 64) {
                continue;
            }
            compressOne(s.state.data(), s.pending.data(), 1);
        }
        if (size >= 64) {
            jobs.push_back({s.state.data(), data, size / 64});
        }
        std::memcpy(s.pending.data(), data + size / 64 * 64, size % 64);
    }
    compress(jobs);
}

void update(Stream& stream, const void* data, std::size_t size) {
    const Update one{&stream, static_cast<const unsigned char*>(data), size};
    update(std::span<const Update>(&one, 1));
}

Md5::Digest finish(Stream stream) {
    // A one bit, zeros to 56 bytes past a block's start, then the length in bits.
    const std::uint64_t bits = stream.length * 8;
    unsigned char tail[72] = {0x80};
    const std::size_t held = static_cast<std::size_t>(stream.length % 64);
    const std::size_t pad = held < 56 ? 56 - held : 120 - held;
    for (int i = 0; i < 8; ++i) {
        tail[pad + static_cast<std::size_t>(i)] = static_cast<unsigned char>(bits >> (8 * i));
    }
    update(stream, tail, pad + 8);
    Md5::Digest digest{};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t i = 0; i < 4; ++i) {
            digest[4 * w + i] = static_cast<unsigned char>(stream.state[w] >> (8 * i));
        }
    }
    return digest;
}

} // namespace Md5Lanes
