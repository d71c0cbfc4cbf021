#include "engine/hash/HashingPool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "engine/Copy.h"

namespace Checksum {

struct Hashers::State {
    Done done;
    Turn turn;
    std::mutex mutex;
    // Each wakes only those who wait for what it tells, as a wake-up per piece costs a
    // set of small pieces more than its hash.
    std::condition_variable work;     // for idle hashing threads: a job, or the end
    std::condition_variable data;     // for hashing threads inside a job: bytes, or the end
    std::condition_variable room;     // for the caller: half the queue free, or a failure
    std::condition_variable progress; // for the caller: hashed bytes, a job done, or a failure
    std::deque<Job> queue;
    // Where each thread's job has come to; `idle` when it has none.
    std::vector<std::int64_t> positions;
    // The `available` each thread inside a job waits for; `idle` when it does not wait.
    std::vector<std::int64_t> wants;
    std::int64_t available;
    std::size_t busy = 0; // jobs taken and not done
    bool closed = false;  // no more bytes become available
    bool quit = false;
    std::optional<Fault> failure;
    // Started with a small stack of their own: a hashing thread needs little, and the
    // default of 8 MiB each would count against the process's data limit.
    struct Thread {
        Hashers* hashers;
        std::size_t slot;
        pthread_t id;
    };
    std::vector<Thread> threads;
    static constexpr std::size_t stackBytes = std::size_t{256} << 10;
    Hashers* owner = nullptr;
    std::atomic<bool> grown{false};

    // Starts `count` more threads (up to the slots there are); the error of the first
    // that could not be started, if any.
    int startThreads(std::size_t count) {
        pthread_attr_t attributes;
        int error = ::pthread_attr_init(&attributes);
        if (error == 0) {
            error = ::pthread_attr_setstacksize(&attributes, std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN));
        }
        const std::size_t end = std::min(threads.size() + count, positions.size());
        for (std::size_t slot = threads.size(); error == 0 && slot < end; ++slot) {
            Thread& thread = threads.emplace_back(Thread{owner, slot, {}});
            error = ::pthread_create(&thread.id, &attributes, &Hashers::start, &thread);
            if (error != 0) {
                threads.pop_back();
            }
        }
        ::pthread_attr_destroy(&attributes);
        return error;
    }

    // A thread that waits for the disk hashes nothing: once jobs are read around the
    // page cache, as many threads again hash while the others wait. Those that cannot
    // be started are done without.
    void growForDirect(std::unique_lock<std::mutex>& lock) {
        lock.lock();
        if (!grown && !quit) {
            grown = true;
            (void)startThreads(threads.size());
        }
        lock.unlock();
    }

    static constexpr std::int64_t idle = std::numeric_limits<std::int64_t>::max();
    static constexpr std::int64_t callerJobBytes = std::int64_t{16} * blockBytes;

    // A hashing thread's, or the caller's, buffer and hash; made for its first job.
    // Reads around the page cache go to a larger buffer, made for the first of them:
    // a request of a mebibyte keeps the disk busier than four of a quarter.
    struct Hasher {
        alignas(4096) std::array<char, blockBytes> buffer;
        Sha256 hash;
        std::unique_ptr<char, decltype(&std::free)> direct{nullptr, &std::free};
    };
    static constexpr std::size_t directBytes = std::size_t{1} << 20;

    // Whether `job` is to be read around the page cache: its own descriptor, on a
    // file system that takes such reads, and most of its first bytes not in the page
    // cache (a set just written or read is read from there, which is quicker).
    static bool readsDirect(const Job& job, Hasher& hasher) {
        if (!job.closeFd || job.offset % Copy::directAlignment != 0 ||
            !Copy::mostlyUncached(job.fd, job.offset, job.length)) {
            return false;
        }
        if (!hasher.direct) {
            hasher.direct.reset(static_cast<char*>(std::aligned_alloc(Copy::directAlignment, directBytes)));
        }
        return hasher.direct && Copy::setDirect(job.fd, true);
    }

    // Reads up to `want` bytes at `at` for a job: around the page cache while `direct`,
    // asking for whole blocks (at the file's end, more than it holds); through it once
    // that is refused, or an offset or length left the blocks' bounds (a short read
    // before the end of a file that shrank). The bytes are in `data`.
    static ssize_t readFor(const Job& job, Hasher& hasher, bool& direct, std::int64_t at, std::int64_t want,
                           char*& data) {
        for (;;) {
            if (direct && at % Copy::directAlignment != 0) {
                direct = false;
                (void)Copy::setDirect(job.fd, false);
            }
            const auto count = static_cast<std::size_t>(direct ? (want + Copy::directAlignment - 1) /
                                                                     Copy::directAlignment * Copy::directAlignment
                                                               : std::min<std::int64_t>(want, blockBytes));
            data = direct ? hasher.direct.get() : hasher.buffer.data();
            const ssize_t n = ::pread(job.fd, data, count, at);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EINVAL && direct) {
                direct = false;
                (void)Copy::setDirect(job.fd, false);
                continue;
            }
            return n < 0 ? n : std::min<ssize_t>(n, static_cast<ssize_t>(want));
        }
    }
    std::unique_ptr<Hasher> callerHasher;
    std::int64_t callerPosition = idle; // where the caller's own job has come to

    // Whether an idle thread is to take the job at the queue's front now: once its
    // first bytes are there, or no more are to come.
    bool frontReady() const { return !queue.empty() && (closed || available > queue.front().offset); }

    // Takes the job at the queue's front and hashes its range outside the lock, read
    // with pread a block at a time, then tells `done` and closes what the job owns.
    // Before each block, `allow(at, want)` says how many of the `want` bytes at `at`
    // may be read now: 0 ends the job there, its digest of no use. `position` follows
    // the job. False when it failed the whole.
    template <typename Allow>
    bool hashFront(std::unique_lock<std::mutex>& lock, std::unique_ptr<Hasher>& hasher, std::int64_t& position,
                   Allow&& allow) {
        const Job job = queue.front();
        queue.pop_front();
        // What is left may be enough for another thread.
        if (frontReady()) {
            work.notify_one();
        }
        if (queue.size() == maxQueued / 2) {
            room.notify_all();
        }
        ++busy;
        position = job.offset;
        lock.unlock();
        const std::int64_t end =
            job.offset + std::min(job.length, std::numeric_limits<std::int64_t>::max() - job.offset);
        Status read;
        Status outcome;
        bool whole = true;
        try {
            if (!hasher) {
                hasher = std::make_unique<Hasher>();
            }
            bool direct = readsDirect(job, *hasher);
            if (direct && !grown) {
                growForDirect(lock);
            }
            for (std::int64_t at = job.offset; at < end && outcome;) {
                const std::int64_t block = direct ? directBytes : blockBytes;
                const std::int64_t want = allow(at, std::min<std::int64_t>(end - at, block));
                if (want <= 0) {
                    whole = false;
                    break;
                }
                char* data = nullptr;
                const ssize_t n = readFor(job, *hasher, direct, at, want, data);
                if (n <= 0) {
                    // A file that ended early is hashed as far as it goes.
                    read = statusOf(n == 0);
                    break;
                }
                outcome = hasher->hash.update(data, static_cast<std::size_t>(n));
                at += n;
            }
            const Result<Digest> digest = hasher->hash.finish();
            if (outcome && !digest) {
                outcome = digest.fault();
            }
            if (outcome && whole) {
                outcome = done(job, read ? digest : Result<Digest>(read.fault()));
            }
        } catch (const std::bad_alloc&) {
            outcome = Checksum::failure(std::strerror(ENOMEM));
        }
        if (job.closeFd) {
            ::close(job.fd);
        }
        lock.lock();
        if (!outcome) {
            fail(outcome.fault());
        }
        position = idle;
        --busy;
        progress.notify_all();
        return outcome.ok();
    }

    // Hashes the job at the queue's front on the calling thread, where the caller would
    // otherwise wait for the hashing threads: all of its bytes are there, and it is
    // short, so that the caller's turns are not long in coming. False when there is
    // no such job. A failure fails the whole.
    bool hashOnCaller(std::unique_lock<std::mutex>& lock) {
        if (failure || queue.empty() || queue.front().length > callerJobBytes ||
            available - queue.front().offset < queue.front().length) {
            return false;
        }
        return hashFront(lock, callerHasher, callerPosition, [](std::int64_t, std::int64_t want) { return want; });
    }

    // Wakes the thread inside a job whose bytes have come, if any.
    void tellData() {
        for (const std::int64_t wanted : wants) {
            if (wanted <= available) {
                data.notify_all();
                return;
            }
        }
    }

    // The first byte made available that is not hashed yet.
    std::int64_t lowest() const {
        std::int64_t low = std::min(available, callerPosition);
        for (const std::int64_t position : positions) {
            low = std::min(low, position);
        }
        for (const Job& job : queue) {
            low = std::min(low, job.offset);
        }
        return low;
    }

    void fail(const Fault& fault) {
        if (!failure) {
            failure = fault;
        }
        work.notify_all();
        data.notify_all();
        room.notify_all();
        progress.notify_all();
    }

    // Waits, under `lock`, until `ready` holds, giving turns; Stopped when a turn asked
    // to stop and `stoppable`.
    template <typename Ready>
    Result<Going> waitFor(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, bool stoppable,
                          Ready&& ready) {
        for (;;) {
            if (failure) {
                return *failure;
            }
            if (ready()) {
                return Going::On;
            }
            if (changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return failure || ready(); })) {
                continue;
            }
            if (turn) {
                lock.unlock();
                const bool go = turn();
                lock.lock();
                if (!go && stoppable) {
                    return Going::Stopped;
                }
            }
        }
    }
};

Hashers::Hashers(unsigned threads, Done done, Turn turn, std::int64_t available) : m_state(std::make_unique<State>()) {
    m_state->done = std::move(done);
    m_state->turn = std::move(turn);
    m_state->available = available;
    m_state->owner = this;
    // Room for the threads added once a job is read around the page cache.
    const std::size_t count = std::max(threads, 1U);
    m_state->positions.assign(2 * count, State::idle);
    m_state->wants.assign(m_state->positions.size(), State::idle);
    // Reserved, so that the threads' records never move.
    m_state->threads.reserve(m_state->positions.size());
    const int error = m_state->startThreads(count);
    if (m_state->threads.empty()) {
        m_state->failure = failure(std::strerror(error));
    }
}

void* Hashers::start(void* thread) {
    const auto& record = *static_cast<const State::Thread*>(thread);
    record.hashers->work(record.slot);
    return nullptr;
}

Hashers::~Hashers() {
    {
        const std::lock_guard lock(m_state->mutex);
        m_state->quit = true;
    }
    m_state->work.notify_all();
    m_state->data.notify_all();
    for (const State::Thread& thread : m_state->threads) {
        ::pthread_join(thread.id, nullptr);
    }
    for (const Job& job : m_state->queue) {
        if (job.closeFd) {
            ::close(job.fd);
        }
    }
}

Result<Hashers::Going> Hashers::add(const Job& job) {
    std::unique_lock lock(m_state->mutex);
    while (m_state->queue.size() >= maxQueued && m_state->hashOnCaller(lock)) {
    }
    // A full queue is let half empty before the next job goes in.
    const bool full = m_state->queue.size() >= maxQueued;
    const Result<Going> room =
        m_state->waitFor(m_state->room, lock, true, [&] { return !full || m_state->queue.size() <= maxQueued / 2; });
    if (!room || *room == Going::Stopped) {
        if (job.closeFd) {
            ::close(job.fd);
        }
        return room;
    }
    m_state->queue.push_back(job);
    if (m_state->frontReady()) {
        m_state->work.notify_one();
    }
    return Going::On;
}

Result<Hashers::Going> Hashers::advance(std::int64_t offset) {
    std::unique_lock lock(m_state->mutex);
    if (offset > m_state->available) {
        m_state->available = offset;
        m_state->tellData();
        if (m_state->frontReady()) {
            m_state->work.notify_one();
        }
    }
    // Well before the copy would wait, it lends a hand, so that little is left to
    // hash once the copy is done.
    while (m_state->available - m_state->lowest() > window / 4 && m_state->hashOnCaller(lock)) {
    }
    return m_state->waitFor(m_state->progress, lock, true,
                            [this] { return m_state->available - m_state->lowest() <= window; });
}

Status Hashers::drain() {
    std::unique_lock lock(m_state->mutex);
    m_state->closed = true;
    m_state->work.notify_all();
    m_state->data.notify_all();
    const Result<Going> drained = m_state->waitFor(m_state->progress, lock, false,
                                                   [this] { return m_state->queue.empty() && m_state->busy == 0; });
    return drained ? Status{} : Status{drained.fault()};
}

unsigned Hashers::cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int count = ::sched_getaffinity(0, sizeof set, &set) == 0
                          ? CPU_COUNT(&set)
                          : static_cast<int>(std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp(count, 1, 16));
}

void Hashers::work(std::size_t slot) {
    State& state = *m_state;
    std::unique_ptr<State::Hasher> hasher;
    std::unique_lock lock(state.mutex);
    std::int64_t& position = state.positions[slot];
    // Reads only what the copy made available. As each block is asked for, the one
    // before it is hashed: the job's position moves on.
    const auto allow = [&](std::int64_t at, std::int64_t want) {
        lock.lock();
        if (at > position) {
            position = at;
            state.progress.notify_all();
        }
        // A block, or the rest of the job, before this thread wakes.
        state.wants[slot] = at + want;
        state.data.wait(
            lock, [&] { return state.quit || state.failure || state.closed || state.available >= state.wants[slot]; });
        state.wants[slot] = State::idle;
        const std::int64_t allowed = state.quit || state.failure ? 0 : std::min(want, state.available - at);
        lock.unlock();
        return allowed;
    };
    for (;;) {
        state.work.wait(lock, [&] { return state.quit || state.failure || state.frontReady(); });
        if (state.quit || state.failure) {
            return;
        }
        state.hashFront(lock, hasher, position, allow);
    }
}

} // namespace Checksum
