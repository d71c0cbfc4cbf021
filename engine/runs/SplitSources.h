#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "engine/Descriptor.h"
#include "engine/EngineHost.h"
#include "engine/InputChecks.h"
#include "engine/SplitMergeFile.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/runs/SplitParts.h"

namespace SplitMergeFile {

// What the copy of a split takes from the split and leaves it.
struct Cut {
    using OpenPiece = std::function<Descriptor(int number, std::int64_t count, std::string& path)>;
    Cut(EngineHost& host, std::int32_t chunkSize, bool checksums, bool numbered, OpenPiece openPiece)
        : host(host), chunkSize(chunkSize), checksums(checksums), numbered(numbered), openPiece(std::move(openPiece)) {}

    EngineHost& host;
    std::int32_t chunkSize;
    bool checksums;
    bool numbered;
    OpenPiece openPiece; // creates and lists a piece; `count` gives its name's width

    std::vector<Checksum::Digest> digests; // of the pieces, with `checksums`
    Checksum::Digest sourceDigest{};
    std::uint32_t crc = 0; // of the source, for a numbered set
    SplitWritten written;
};

// A split's source: a file copied range by range, or a stream whose pieces are made as its bytes come.
class CutSource {
public:
    explicit CutSource(const std::string& path) : m_path(path) {}
    virtual ~CutSource() = default;
    CutSource(const CutSource&) = delete;
    CutSource& operator=(const CutSource&) = delete;

    virtual void open() = 0; // step 104
    // A stream's is what it was redirected from, guarded against as a file is.
    virtual const struct stat& status() const = 0;
    virtual std::string baseName() const = 0;
    virtual std::int64_t pieces(std::int32_t chunkSize) const = 0; // 0: known only at the end
    virtual int lastNumber(std::int64_t pieces) const = 0;
    // Before anything is touched: a refusal, or Stopped.
    virtual std::optional<Outcome> start(std::int32_t chunkSize, EngineHost& host) = 0;
    virtual Outcome copy(std::int64_t pieces, Cut& cut) = 0;
    // Pieces named by their own number's width, renamed to the set's at the end.
    virtual bool widensNames() const = 0;

protected:
    const std::string& m_path; // in descriptions
};

// A regular file the commands' checks have opened.
class FileCut : public CutSource {
public:
    explicit FileCut(const InputChecks::SplitSource& source) : CutSource(source.path()), m_source(source) {}
    void open() override;
    const struct stat& status() const override { return m_source.status(); }
    std::string baseName() const override;
    std::int64_t pieces(std::int32_t chunkSize) const override;
    int lastNumber(std::int64_t pieces) const override;
    std::optional<Outcome> start(std::int32_t, EngineHost&) override { return std::nullopt; }
    Outcome copy(std::int64_t pieces, Cut& cut) override;
    bool widensNames() const override { return false; }

private:
    const InputChecks::SplitSource& m_source;
};

// A pipe. Its bytes pass through memory and are hashed there, the source's on a thread of its own.
class StreamCut : public CutSource {
public:
    StreamCut(int fd, const std::string& name, std::string baseName)
        : CutSource(name), m_fd(fd), m_baseName(std::move(baseName)) {}
    void open() override;
    const struct stat& status() const override { return m_stat; }
    std::string baseName() const override { return m_baseName; }
    std::int64_t pieces(std::int32_t) const override { return 0; }
    int lastNumber(std::int64_t) const override { return PieceSet::maxPieces; }
    // An empty stream is refused before an earlier set is touched.
    std::optional<Outcome> start(std::int32_t chunkSize, EngineHost& host) override;
    Outcome copy(std::int64_t pieces, Cut& cut) override;
    bool widensNames() const override { return true; }

private:
    void checksummed(const Status& status) const;

    Checksum::Digest checksummed(Result<Checksum::Digest>&& digest) const;

    int m_fd;
    std::string m_baseName;
    struct stat m_stat {};
    std::optional<Steps::StreamSource> m_stream;
};

} // namespace SplitMergeFile
