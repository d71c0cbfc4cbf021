#include "engine/hash/Md5.h"

#include <optional>
#include <string>

#include <openssl/evp.h>

#include "engine/hash/Sha256.h"

namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

struct Md5::Context {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
    std::optional<Fault> broken; // once OpenSSL failed, every call fails

    Status start() {
        if (!broken && (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)) {
            broken = Checksum::opensslFailure("MD5");
        }
        return broken ? Status{*broken} : Status{};
    }
};

Md5::Md5() : m_context(std::make_unique<Context>()) {
    (void)m_context->start(); // a failure is kept and given by every later call
}

Md5::~Md5() = default;
Md5::Md5(Md5&&) noexcept = default;
Md5& Md5::operator=(Md5&&) noexcept = default;

Status Md5::update(const void* data, std::size_t size) {
    if (!m_context->broken && EVP_DigestUpdate(m_context->context.get(), data, size) != 1) {
        m_context->broken = Checksum::opensslFailure("MD5");
    }
    return m_context->broken ? Status{*m_context->broken} : Status{};
}

Result<Md5::Digest> Md5::finish() {
    Digest digest{};
    unsigned int size = 0;
    if (!m_context->broken && EVP_DigestFinal_ex(m_context->context.get(), digest.data(), &size) != 1) {
        m_context->broken = Checksum::opensslFailure("MD5");
    }
    if (m_context->broken) {
        return *m_context->broken;
    }
    if (Status started = m_context->start(); !started) {
        return started.fault();
    }
    return digest;
}

Result<Md5> Md5::copy() const {
    Md5 copied;
    if (!m_context->broken && !copied.m_context->broken &&
        EVP_MD_CTX_copy_ex(copied.m_context->context.get(), m_context->context.get()) != 1) {
        copied.m_context->broken = Checksum::opensslFailure("MD5");
    }
    if (m_context->broken || copied.m_context->broken) {
        return m_context->broken ? *m_context->broken : *copied.m_context->broken;
    }
    return copied;
}

Result<Md5::Digest> Md5::of(const void* data, std::size_t size) {
    Md5 md5;
    if (Status updated = md5.update(data, size); !updated) {
        return updated.fault();
    }
    return md5.finish();
}
