#include "engine/Checksum.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"

namespace Checksum {

namespace {

// OpenSSL's own reason where it gives one.
Fault opensslFailed() {
    std::string reason = "OpenSSL's SHA-256 failed";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        reason += std::string(" (") + text + ")";
    }
    return failure(reason);
}

} // namespace

struct Sha256::Context {
    EVP_MD_CTX* context = nullptr;
    std::optional<Fault> broken; // once OpenSSL failed, every call fails

    Status start() {
        if (!broken && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
            broken = opensslFailed();
        }
        return status();
    }
    Status status() const { return broken ? Status{*broken} : Status{}; }
};

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<Digest> fromHex(std::string_view text) {
    Digest digest{};
    if (text.size() != 2 * digest.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return digest;
}

bool needsEscape(std::string_view name) {
    return name.find_first_of("\\\n\r") != std::string_view::npos;
}

// Undoes sha256sum's escapes; nothing when an escape is unknown.
std::optional<std::string> unescape(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '\\') {
            out += name[i];
            continue;
        }
        if (++i == name.size()) {
            return std::nullopt;
        }
        switch (name[i]) {
        case '\\':
            out += '\\';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

} // namespace

Fault failure(const std::string& reason) {
    return Fault::because("The checksum could not be computed: " + reason);
}

Sha256::Sha256() : m_context(new Context) {
    m_context->context = EVP_MD_CTX_new();
    if (m_context->context == nullptr) {
        m_context->broken = opensslFailed();
    }
    (void)m_context->start();
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_context->context);
    delete m_context;
}

Status Sha256::update(const void* data, std::size_t count) {
    if (!m_context->broken && EVP_DigestUpdate(m_context->context, data, count) != 1) {
        m_context->broken = opensslFailed();
    }
    return m_context->status();
}

Result<Digest> Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (!m_context->broken &&
        (EVP_DigestFinal_ex(m_context->context, digest.data(), &length) != 1 || length != digest.size())) {
        m_context->broken = opensslFailed();
    }
    if (Status started = m_context->start(); !started) {
        return started.fault();
    }
    return digest;
}

struct BackgroundSha256::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<char> block;
    bool pending = false; // `block` holds bytes not hashed yet
    bool quit = false;
    Status status; // the first failure of the hash, if any
    std::thread thread;

    void run(Sha256& hash) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return pending || quit; });
            if (!pending) {
                return;
            }
            // The caller waits for `pending` to clear before it touches `block`.
            lock.unlock();
            Status updated = hash.update(block.data(), block.size());
            lock.lock();
            if (!updated && status) {
                status = std::move(updated);
            }
            pending = false;
            changed.notify_all();
        }
    }

    void waitIdle(std::unique_lock<std::mutex>& lock) {
        changed.wait(lock, [this] { return !pending; });
    }
};

BackgroundSha256::BackgroundSha256() : m_worker(std::make_unique<Worker>()) {
    try {
        m_worker->thread = std::thread([this] { m_worker->run(m_hash); });
    } catch (const std::system_error&) {
        m_worker.reset();
    }
}

BackgroundSha256::~BackgroundSha256() {
    if (m_worker) {
        {
            const std::lock_guard lock(m_worker->mutex);
            m_worker->quit = true;
        }
        m_worker->changed.notify_all();
        m_worker->thread.join();
    }
}

Status BackgroundSha256::update(const void* data, std::size_t count) {
    if (!m_worker) {
        return m_hash.update(data, count);
    }
    std::unique_lock lock(m_worker->mutex);
    m_worker->waitIdle(lock);
    if (!m_worker->status) {
        return m_worker->status;
    }
    m_worker->block.assign(static_cast<const char*>(data), static_cast<const char*>(data) + count);
    m_worker->pending = true;
    m_worker->changed.notify_all();
    return {};
}

Result<Digest> BackgroundSha256::finish() {
    if (m_worker) {
        std::unique_lock lock(m_worker->mutex);
        m_worker->waitIdle(lock);
        if (!m_worker->status) {
            return m_worker->status.fault();
        }
    }
    return m_hash.finish();
}

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

    static constexpr std::int64_t idle = std::numeric_limits<std::int64_t>::max();

    // Whether an idle thread is to take the job at the queue's front now: once its
    // first bytes are there, or no more are to come.
    bool frontReady() const { return !queue.empty() && (closed || available > queue.front().offset); }

    // Hashes the job at the queue's front on the calling thread, where the caller would
    // otherwise wait for the hashing threads: all of its bytes are there, and it is
    // short, so that the caller's turns are not long in coming. False when there is
    // no such job. A failure fails the whole and is thrown.
    bool hashOnCaller(std::unique_lock<std::mutex>& lock) {
        if (failure || queue.empty() || queue.front().length > callerJobBytes ||
            available - queue.front().offset < queue.front().length) {
            return false;
        }
        if (!callerBuffer) {
            callerBuffer.reset(static_cast<char*>(std::aligned_alloc(4096, blockBytes)));
            if (!callerBuffer) {
                return false; // the threads do it
            }
        }
        const Job job = queue.front();
        queue.pop_front();
        ++busy;
        lock.unlock();
        Status outcome;
        try {
            if (!callerHash) {
                callerHash.emplace();
            }
            Status read;
            for (std::int64_t at = job.offset; at < job.offset + job.length && outcome;) {
                const auto want =
                    static_cast<std::size_t>(std::min<std::int64_t>(job.offset + job.length - at, blockBytes));
                ssize_t n = 0;
                do {
                    n = ::pread(job.fd, callerBuffer.get(), want, at);
                } while (n < 0 && errno == EINTR);
                if (n <= 0) {
                    // A file that ended early is hashed as far as it goes.
                    read = statusOf(n == 0);
                    break;
                }
                outcome = callerHash->update(callerBuffer.get(), static_cast<std::size_t>(n));
                at += n;
            }
            const Result<Digest> digest = callerHash->finish();
            if (outcome && !digest) {
                outcome = digest.fault();
            }
            if (outcome) {
                outcome = done(job, read ? digest : Result<Digest>(read.fault()));
            }
        } catch (const std::bad_alloc&) {
            outcome = Checksum::failure(std::strerror(ENOMEM));
        }
        if (job.closeFd) {
            ::close(job.fd);
        }
        lock.lock();
        --busy;
        if (!outcome) {
            fail(outcome.fault());
            return false;
        }
        return true;
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
    static constexpr std::int64_t callerJobBytes = std::int64_t{16} * blockBytes;
    std::unique_ptr<char, decltype(&std::free)> callerBuffer{nullptr, &std::free};
    std::optional<Sha256> callerHash;

    // The first byte made available that is not hashed yet.
    std::int64_t lowest() const {
        std::int64_t low = available;
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

    // Waits, under `lock`, until `ready` holds, giving turns; false when a turn asked
    // to stop and `stoppable`.
    template <typename Ready>
    Result<bool> waitFor(std::condition_variable& changed, std::unique_lock<std::mutex>& lock, bool stoppable,
                         Ready&& ready) {
        for (;;) {
            if (failure) {
                return *failure;
            }
            if (ready()) {
                return true;
            }
            if (changed.wait_for(lock, std::chrono::milliseconds(50), [&] { return failure || ready(); })) {
                continue;
            }
            if (turn) {
                lock.unlock();
                const bool go = turn();
                lock.lock();
                if (!go && stoppable) {
                    return false;
                }
            }
        }
    }
};

Hashers::Hashers(unsigned threads, Done done, Turn turn, std::int64_t available) : m_state(std::make_unique<State>()) {
    m_state->done = std::move(done);
    m_state->turn = std::move(turn);
    m_state->available = available;
    m_state->positions.assign(std::max(threads, 1U), State::idle);
    m_state->wants.assign(m_state->positions.size(), State::idle);
    // Reserved, so that the threads' records never move.
    m_state->threads.reserve(m_state->positions.size());
    pthread_attr_t attributes;
    int error = ::pthread_attr_init(&attributes);
    if (error == 0) {
        error = ::pthread_attr_setstacksize(&attributes, std::max<std::size_t>(State::stackBytes, PTHREAD_STACK_MIN));
    }
    for (std::size_t slot = 0; error == 0 && slot < m_state->positions.size(); ++slot) {
        State::Thread& thread = m_state->threads.emplace_back(State::Thread{this, slot, {}});
        error = ::pthread_create(&thread.id, &attributes, &Hashers::start, &thread);
        if (error != 0) {
            m_state->threads.pop_back();
        }
    }
    ::pthread_attr_destroy(&attributes);
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

Result<bool> Hashers::add(const Job& job) {
    std::unique_lock lock(m_state->mutex);
    while (m_state->queue.size() >= maxQueued && m_state->hashOnCaller(lock)) {
    }
    // A full queue is let half empty before the next job goes in.
    Result<bool> room = m_state->failure ? Result<bool>(*m_state->failure) : Result<bool>(true);
    if (room && m_state->queue.size() >= maxQueued) {
        room = m_state->waitFor(m_state->room, lock, true, [this] { return m_state->queue.size() <= maxQueued / 2; });
    }
    if (!room || !*room) {
        if (job.closeFd) {
            ::close(job.fd);
        }
        return room;
    }
    m_state->queue.push_back(job);
    if (m_state->frontReady()) {
        m_state->work.notify_one();
    }
    return true;
}

Result<bool> Hashers::advance(std::int64_t offset) {
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
    const Result<bool> drained = m_state->waitFor(m_state->progress, lock, false,
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
    std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(std::aligned_alloc(4096, blockBytes)),
                                                       &std::free);
    std::optional<Sha256> hash;
    try {
        hash.emplace();
    } catch (const std::bad_alloc&) {
    }
    std::unique_lock lock(state.mutex);
    if (buffer == nullptr || !hash) {
        state.fail(failure(std::strerror(ENOMEM)));
        return;
    }
    for (;;) {
        state.work.wait(lock, [&] { return state.quit || state.failure || state.frontReady(); });
        if (state.quit || state.failure) {
            return;
        }
        const Job job = state.queue.front();
        state.queue.pop_front();
        // What is left may be enough for another thread.
        if (state.frontReady()) {
            state.work.notify_one();
        }
        ++state.busy;
        std::int64_t& position = state.positions[slot];
        position = job.offset;
        if (state.queue.size() == maxQueued / 2) {
            state.room.notify_all();
        }
        const std::int64_t end =
            job.offset + std::min(job.length, std::numeric_limits<std::int64_t>::max() - job.offset);
        Status read;
        Status hashed;
        bool whole = true;
        while (position < end && hashed) {
            // A block, or the rest of the job, before this thread wakes.
            state.wants[slot] = position + std::min<std::int64_t>(end - position, blockBytes);
            state.data.wait(lock, [&] {
                return state.quit || state.failure || state.closed || state.available >= state.wants[slot];
            });
            state.wants[slot] = State::idle;
            if (state.quit || state.failure || state.available <= position) {
                whole = false;
                break;
            }
            const auto want = static_cast<std::size_t>(
                std::min<std::int64_t>({end - position, state.available - position, std::int64_t{blockBytes}}));
            const std::int64_t at = position;
            lock.unlock();
            ssize_t n = 0;
            do {
                n = ::pread(job.fd, buffer.get(), want, at);
            } while (n < 0 && errno == EINTR);
            read = statusOf(n >= 0);
            if (n > 0) {
                hashed = hash->update(buffer.get(), static_cast<std::size_t>(n));
            }
            lock.lock();
            if (n <= 0) {
                // A file that ended early is hashed as far as it goes.
                break;
            }
            position += n;
            state.progress.notify_all();
        }
        lock.unlock();
        const Result<Digest> digest = hash->finish();
        Status done = hashed;
        if (done && !digest) {
            done = digest.fault();
        }
        if (done && whole) {
            try {
                done = state.done(job, read ? digest : Result<Digest>(read.fault()));
            } catch (const std::bad_alloc&) {
                done = failure(std::strerror(ENOMEM));
            }
        }
        lock.lock();
        if (!done) {
            state.fail(done.fault());
        }
        if (job.closeFd) {
            ::close(job.fd);
        }
        position = State::idle;
        --state.busy;
        state.progress.notify_all();
    }
}

std::string toHex(const Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::string sidecarPath(const std::string& manifestPath) {
    return manifestPath + std::string(sidecarSuffix);
}

std::string sidecarLine(const Digest& digest, std::string_view name) {
    std::string line;
    const bool escaped = needsEscape(name);
    if (escaped) {
        line += '\\';
    }
    line += toHex(digest);
    line += "  ";
    for (const char c : name) {
        if (!escaped) {
            line += c;
        } else if (c == '\\') {
            line += "\\\\";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else {
            line += c;
        }
    }
    line += '\n';
    return line;
}

Result<Sidecar> Sidecar::load(const std::string& path, int folderFd) {
    Sidecar sidecar;
    struct stat st {};
    const Result<Descriptor> file = openRegular(folderFd, path.c_str(), st);
    if (!file) {
        // A list whose name is as long as a name can be has no room for the suffix:
        // no checksum file can stand beside it.
        const int error = file.fault().error;
        return error == ENOENT || error == ENAMETOOLONG ? Result<Sidecar>(std::move(sidecar)) : file.fault();
    }
    if (st.st_size > maxSidecarBytes) {
        return Fault{EFBIG};
    }
    char block[65536];
    std::string line;
    bool overlong = false;
    std::int64_t total = 0;
    bool tooLarge = false;
    const Status read = Copy::readBlocks(file->get(), block, sizeof block, [&](std::string_view text) {
        // It may have grown since fstat.
        total += static_cast<std::int64_t>(text.size());
        if (total > maxSidecarBytes) {
            tooLarge = true;
            return false;
        }
        // Line by line, so that only the digests are held, never the whole text.
        for (std::string_view rest = text; !rest.empty();) {
            const std::size_t end = rest.find('\n');
            const std::string_view part = rest.substr(0, end);
            if (!overlong) {
                line.append(part);
                overlong = line.size() > maxLineBytes;
            }
            if (end == std::string_view::npos) {
                break;
            }
            if (!overlong) {
                sidecar.addLine(line);
            }
            line.clear();
            overlong = false;
            rest.remove_prefix(end + 1);
        }
        return true;
    });
    if (!read) {
        return read.fault();
    }
    if (tooLarge) {
        return Fault{EFBIG};
    }
    if (!overlong && !line.empty()) {
        sidecar.addLine(line);
    }
    sidecar.m_present = true;
    return sidecar;
}

void Sidecar::addLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    const bool escaped = !line.empty() && line.front() == '\\';
    if (escaped) {
        line.remove_prefix(1);
    }
    std::string_view hex;
    std::string_view name;
    constexpr std::string_view tagStart = "SHA256 (";
    constexpr std::string_view tagEnd = ") = ";
    constexpr std::size_t digits = 2 * sizeof(Digest);
    if (line.substr(0, tagStart.size()) == tagStart) {
        // The form of `sha256sum --tag`: "SHA256 (NAME) = " and the digits. These come
        // last, so a name may hold ") = " itself.
        if (line.size() >= tagStart.size() + tagEnd.size() + digits &&
            line.substr(line.size() - digits - tagEnd.size(), tagEnd.size()) == tagEnd) {
            hex = line.substr(line.size() - digits);
            name = line.substr(tagStart.size(), line.size() - digits - tagEnd.size() - tagStart.size());
        }
    } else if (line.size() > digits + 2 && line[digits] == ' ' &&
               (line[digits + 1] == ' ' || line[digits + 1] == '*')) {
        // The digits, then "  " (text mode) or " *" (binary mode), then the name.
        hex = line.substr(0, digits);
        name = line.substr(digits + 2);
    }
    const std::optional<Digest> digest = fromHex(hex);
    std::optional<std::string> unescaped = escaped ? unescape(name) : std::optional<std::string>(name);
    if (!digest || !unescaped || unescaped->empty()) {
        return;
    }
    const auto [listed, added] = m_digests.try_emplace(std::move(*unescaped), *digest);
    if (!added && listed->second != *digest) {
        m_conflicting = true;
    }
}

std::optional<Digest> Sidecar::find(const std::string& name) const {
    const auto found = m_digests.find(name);
    if (found == m_digests.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace Checksum
