#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "engine/Result.h"

// MD5 from libcrypto, for the formats that name files by it (PAR 2.0, md5sum files).
class Md5 {
public:
    using Digest = std::array<unsigned char, 16>;

    Md5();
    ~Md5();
    Md5(Md5&&) noexcept;
    Md5& operator=(Md5&&) noexcept;

    Status update(const void* data, std::size_t size);
    // The digest of everything given since construction or the last finish; starts afresh.
    Result<Digest> finish();
    // A hash that goes on from where this one is, this one left as it is.
    Result<Md5> copy() const;

    // The digest of one range at once.
    static Result<Digest> of(const void* data, std::size_t size);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};
