#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

// SHA-256 of pieces and the checksum file "NAME.splt.sha256" beside a manifest, in
// the format of `sha256sum`: one line per file, 64 hexadecimal digits, two blanks,
// the file's name, LF. A name holding a backslash, CR or LF is written escaped and
// the line starts with a backslash, as `sha256sum` does.
namespace Checksum {

using Digest = std::array<unsigned char, 32>;

inline constexpr std::string_view sidecarSuffix = ".sha256";
// The longest line a split can write (a 255-byte name with every byte escaped) and
// the largest file (32767 pieces and the source), both rounded up.
inline constexpr std::size_t maxLineBytes = 1024;
inline constexpr std::int64_t maxSidecarBytes = std::int64_t{20} * 1024 * 1024;

// An incremental SHA-256 over OpenSSL's EVP interface. Throws std::bad_alloc when
// the context cannot be made.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t count);
    // The digest of everything given since construction or the last finish; starts afresh.
    Digest finish();

private:
    struct Context;
    Context* m_context;
};

// A SHA-256 computed on a thread of its own, beside the caller's work: the split
// hashes each piece and the whole source from the same bytes, and two cores do that
// in about the time of one. update() copies the bytes and returns once the block
// before them was taken. Without a thread to be had, it hashes in the caller's.
class BackgroundSha256 {
public:
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void update(const void* data, std::size_t count);
    // Waits for the bytes given so far; then as Sha256::finish.
    Digest finish();

private:
    struct Worker;
    Sha256 m_hash;
    std::unique_ptr<Worker> m_worker;
};

std::string toHex(const Digest& digest);

// The checksum file's path: the manifest path followed by ".sha256".
std::string sidecarPath(const std::string& manifestPath);

// One line of the checksum file, LF included.
std::string sidecarLine(const Digest& digest, std::string_view name);

// The digests a checksum file lists, by file name, in either form `sha256sum -c`
// reads: "DIGEST  NAME" (or " *NAME") and the tag form "SHA256 (NAME) = DIGEST", each
// escaped when it starts with a backslash. Lines in neither form are skipped, as
// `sha256sum -c` skips them.
class Sidecar {
public:
    enum class Status {
        Absent,
        Loaded,
        Failed,      // see `error`
        Conflicting, // a name is listed twice with different digests: no digest can be trusted
    };

    // Reads the file `path`, relative to the folder open at `folderFd`. Absent when
    // nothing stands there; Failed, with `error` set to an errno value, when it cannot
    // be opened or read, is not a regular file or is larger than maxSidecarBytes (EFBIG).
    static Sidecar load(const std::string& path, int folderFd);

    Status status() const { return m_status; }
    int error() const { return m_error; }

    // The digest listed for `name`, or nothing.
    std::optional<Digest> find(const std::string& name) const;

private:
    void addLine(std::string_view line);

    Status m_status = Status::Absent;
    int m_error = 0;
    std::unordered_map<std::string, Digest> m_digests;
};

} // namespace Checksum
