#include "engine/hash/Sha256.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace Checksum {

Fault failure(const std::string& reason) {
    return Fault::because("The checksum could not be computed: " + reason);
}

Fault opensslFailure(const char* algorithm) {
    std::string reason = std::string("OpenSSL's ") + algorithm + " failed";
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        reason += std::string(" (") + text + ")";
    }
    return failure(reason);
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

Sha256::Sha256() : m_context(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (!m_context) {
        m_broken = opensslFailure("SHA-256");
    }
    (void)start();
}

Sha256::~Sha256() = default;

Status Sha256::start() {
    if (!m_broken && EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1) {
        m_broken = opensslFailure("SHA-256");
    }
    return status();
}

Status Sha256::status() const {
    return m_broken ? Status{*m_broken} : Status{};
}

Status Sha256::update(const void* data, std::size_t count) {
    if (!m_broken && EVP_DigestUpdate(m_context.get(), data, count) != 1) {
        m_broken = opensslFailure("SHA-256");
    }
    return status();
}

Result<Digest> Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (!m_broken && (EVP_DigestFinal_ex(m_context.get(), digest.data(), &length) != 1 || length != digest.size())) {
        m_broken = opensslFailure("SHA-256");
    }
    if (Status started = start(); !started) {
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

} // namespace Checksum
