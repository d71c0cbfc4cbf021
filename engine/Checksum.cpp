#include "engine/Checksum.h"

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/FileSize.h"

namespace Checksum {

struct Sha256::Context {
    EVP_MD_CTX* context;
};

namespace {

void start(EVP_MD_CTX* context) {
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

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

Sha256::Sha256() : m_context(new Context{EVP_MD_CTX_new()}) {
    if (m_context->context == nullptr) {
        delete m_context;
        throw std::bad_alloc();
    }
    try {
        start(m_context->context);
    } catch (...) {
        EVP_MD_CTX_free(m_context->context);
        delete m_context;
        throw;
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(m_context->context);
    delete m_context;
}

void Sha256::update(const void* data, std::size_t count) {
    if (EVP_DigestUpdate(m_context->context, data, count) != 1) {
        throw std::bad_alloc();
    }
}

Digest Sha256::finish() {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(m_context->context, digest.data(), &length) != 1 || length != digest.size()) {
        throw std::bad_alloc();
    }
    start(m_context->context);
    return digest;
}

struct BackgroundSha256::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<char> block;
    bool pending = false; // `block` holds bytes not hashed yet
    bool quit = false;
    bool failed = false;
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
            bool ok = true;
            try {
                hash.update(block.data(), block.size());
            } catch (const std::bad_alloc&) {
                ok = false;
            }
            lock.lock();
            failed = failed || !ok;
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

void BackgroundSha256::update(const void* data, std::size_t count) {
    if (!m_worker) {
        m_hash.update(data, count);
        return;
    }
    std::unique_lock lock(m_worker->mutex);
    m_worker->waitIdle(lock);
    m_worker->block.assign(static_cast<const char*>(data), static_cast<const char*>(data) + count);
    m_worker->pending = true;
    m_worker->changed.notify_all();
}

Digest BackgroundSha256::finish() {
    if (m_worker) {
        std::unique_lock lock(m_worker->mutex);
        m_worker->waitIdle(lock);
        if (m_worker->failed) {
            throw std::bad_alloc();
        }
    }
    return m_hash.finish();
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

Sidecar Sidecar::load(const std::string& path, int folderFd) {
    Sidecar sidecar;
    struct stat st {};
    const Descriptor file(openRegular(folderFd, path.c_str(), st));
    const auto failed = [&](int error) {
        sidecar.m_status = Status::Failed;
        sidecar.m_error = error;
        return std::move(sidecar);
    };
    if (file.get() < 0) {
        // A list whose name is as long as a name can be has no room for the suffix:
        // no checksum file can stand beside it.
        return errno == ENOENT || errno == ENAMETOOLONG ? std::move(sidecar) : failed(errno);
    }
    if (st.st_size > maxSidecarBytes) {
        return failed(EFBIG);
    }
    char block[65536];
    std::string line;
    bool overlong = false;
    std::int64_t total = 0;
    int error = 0;
    const int readError = FileSize::readBlocks(file.get(), block, sizeof block, [&](std::string_view text) {
        // It may have grown since fstat.
        total += static_cast<std::int64_t>(text.size());
        if (total > maxSidecarBytes) {
            error = EFBIG;
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
    if (readError != 0 || error != 0) {
        return failed(readError != 0 ? readError : error);
    }
    if (!overlong && !line.empty()) {
        sidecar.addLine(line);
    }
    if (sidecar.m_status != Status::Conflicting) {
        sidecar.m_status = Status::Loaded;
    }
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
        m_status = Status::Conflicting;
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
