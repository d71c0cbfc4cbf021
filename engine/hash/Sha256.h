#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "engine/Result.h"

struct evp_md_ctx_st; // OpenSSL's EVP_MD_CTX

// SHA-256 over OpenSSL's libcrypto, in the caller's thread or on one of its own.
namespace Checksum {

using Digest = std::array<unsigned char, 32>;

// A checksum that could not be computed (OpenSSL failed, no hashing thread could be
// started, a hashing thread's read failed): "The checksum could not be computed:
// REASON".
Fault failure(const std::string& reason);
// A checksum failure with OpenSSL's own reason where it gives one.
Fault opensslFailure(const char* algorithm);

std::string toHex(const Digest& digest);

// An incremental SHA-256 over OpenSSL's EVP interface. A failure of OpenSSL's fails
// the call and every one after it.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    Status update(const void* data, std::size_t count);
    // The digest of everything given since construction or the last finish; starts afresh.
    Result<Digest> finish();

private:
    Status start();
    Status status() const;

    std::unique_ptr<evp_md_ctx_st, void (*)(evp_md_ctx_st*)> m_context;
    std::optional<Fault> m_broken;
};

// A SHA-256 computed on a thread of its own, beside the caller's work: the split of
// a stream hashes each piece and the whole source from the same bytes, which pass
// through memory once, and two cores do that in about the time of one. update()
// copies the bytes and returns once the block before them was taken. Without a thread
// to be had, it hashes in the caller's. Fails as Sha256 does; a failure on its thread
// fails the next call.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    Status update(const void* data, std::size_t count);
    // Waits for the bytes given so far; then as Sha256::finish.
    Result<Digest> finish();

private:
    struct Worker;
    Sha256 m_hash;
    std::unique_ptr<Worker> m_worker;
};

} // namespace Checksum
