#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/EngineHost.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/TemporaryFile.h"
#include "engine/hash/HashingPool.h"
#include "engine/runs/PieceStep.h"

namespace SplitMergeFile {

// Where a join's bytes go: a file or a stream. Failures are thrown as the steps'
// (see Steps.h).
class JoinSink {
public:
    JoinSink(const PieceSet::SetReader& set, Copy::Buffer& buffer, EngineHost& host, std::string path)
        : m_set(set), m_buffer(buffer), m_host(host), m_path(std::move(path)) {}
    virtual ~JoinSink() = default;
    JoinSink(const JoinSink&) = delete;
    JoinSink& operator=(const JoinSink&) = delete;

    // Opens the output; a refusal, if any.
    virtual std::optional<NoticeId> open() = 0;
    // Whether the checksum file's digests are checked by the piece step, before a
    // piece's bytes go out, rather than here behind the copy.
    virtual bool hashesAhead() const = 0;
    // The folder open where rebuilt pieces are made, as unnamed files.
    virtual int scratchFolder() const = 0;
    // The piece is about to be appended; false when the host asked to stop meanwhile.
    virtual bool take(const Piece& piece) {
        (void)piece;
        return true;
    }
    // Appends a piece of `length` bytes; false when the host asked to stop meanwhile.
    bool append(const Descriptor& piece, std::int64_t length, const std::string& piecePath);
    // Whether the checks behind the copy found a piece damaged so far.
    virtual bool damageFound() { return false; }
    // The first piece found damaged behind the copy, once the checks of every piece
    // appended are done.
    virtual std::optional<std::size_t> firstDamaged() { return std::nullopt; }
    // Whether the joined bytes match `check`. Fails as the reads fail, with ECANCELED
    // when the host asked to stop.
    virtual Result<bool> matchesWhole(const PieceSet::SetReader::WholeCheck& check) = 0;
    // What a failure to check the joined bytes names.
    virtual const std::string& wholePath() const { return m_path; }
    // The output, where recovery data may check pieces once appended and write rebuilt
    // ones over them; -1 where they are checked before.
    virtual int checkedBehind() const { return -1; }
    // Bytes appended before were written over.
    virtual void rewritten() {}
    // Cuts the output back to its first `bytes`, where it can be.
    virtual void cutTo(std::int64_t bytes) { (void)bytes; }
    // The joined bytes cannot be vouched for, or did not match: none may stand under
    // the output's name.
    virtual void untrusted() {}
    // Gives the joined file its name.
    virtual void publish() {}
    // The join ended before its last piece.
    virtual void endEarly() {}

    const std::string& path() const { return m_path; }
    std::int64_t joined() const { return m_joined; }
    bool lastCloned() const { return m_lastCloned; }

protected:
    // The stream is written at its position, a file at the joined length.
    virtual int target(std::int64_t& offset) const = 0;
    // The copy has come to `offset`; false when the host asked to stop.
    virtual bool advance(std::int64_t offset) {
        (void)offset;
        return true;
    }
    // The piece taken last is appended whole; false when the host asked to stop.
    virtual bool appended() { return true; }
    // The output (the list's name less ".splt" there) is part of the piece set.
    bool partOfSet(const struct stat& outputStat) const;

    const PieceSet::SetReader& m_set;
    Copy::Buffer& m_buffer;
    EngineHost& m_host;
    std::string m_path;
    std::int64_t m_joined = 0; // bytes of the pieces appended so far
    bool m_lastCloned = false; // the piece appended last was cloned
};

// A join into standard output or a pipe: pieces are checked before they go out, as no
// reader can be made to forget bytes, and nothing is cut back.
class StreamSink : public JoinSink {
public:
    StreamSink(const PieceSet::SetReader& set, Copy::Buffer& buffer, EngineHost& host, int fd, std::string name)
        : JoinSink(set, buffer, host, std::move(name)), m_fd(fd) {}
    // Refused when the stream is the list or one of its pieces (a shell's "> piece"
    // would already have emptied it).
    std::optional<NoticeId> open() override;
    bool hashesAhead() const override { return true; }
    int scratchFolder() const override { return m_set.folder().fd(); }
    // Read again from the pieces.
    Result<bool> matchesWhole(const PieceSet::SetReader::WholeCheck& check) override;
    const std::string& wholePath() const override { return m_set.manifestPath(); }

private:
    int target(std::int64_t& offset) const override {
        offset = -1;
        return m_fd;
    }

    int m_fd;
};

// A join into a file: a temporary file in the output folder, named when the join
// succeeded. The checksum file's digests are checked behind the copy: a piece the
// read-ahead read around the page cache and hashed, and copied from its blocks, by
// that digest, so that it is read once; any other piece on the output's bytes read
// back from the page cache, so that what is checked is what the output holds. A .crc's
// CRC-32 is computed as the bytes are written.
class FileSink : public JoinSink {
public:
    FileSink(const PieceSet::SetReader& set, Copy::Buffer& buffer, EngineHost& host, RunFolder& pieceFolder,
             std::string folder)
        : JoinSink(set, buffer, host, {}), m_pieceFolder(pieceFolder), m_folder(std::move(folder)) {}
    // Opens the output folder and the temporary output file in it.
    std::optional<NoticeId> open() override;
    bool hashesAhead() const override { return false; }
    int scratchFolder() const override { return m_output.fd(); }
    bool take(const Piece& piece) override;
    bool damageFound() override;
    std::optional<std::size_t> firstDamaged() override;
    Result<bool> matchesWhole(const PieceSet::SetReader::WholeCheck& check) override;
    // Not where the checksum file's checks run behind the copy: they would find a
    // piece damaged before it could be rebuilt.
    int checkedBehind() const override { return m_checks ? -1 : m_temporary.fd(); }
    // A CRC-32 taken as the bytes were written no longer holds.
    void rewritten() override { m_crcBehind.reset(); }
    void cutTo(std::int64_t bytes) override;
    void untrusted() override;
    void publish() override;
    void endEarly() override;

private:
    int target(std::int64_t& offset) const override {
        offset = m_joined;
        return m_temporary.fd();
    }
    bool advance(std::int64_t offset) override;
    bool appended() override;
    void startChecks();
    // Compares the read-ahead's digests of the pieces appended, as far as they are
    // there, or (`wait`) all of them.
    void collect(bool wait);
    void found(std::size_t index);
    // A check that cannot be made fails the join at the copy's step: the output's
    // bytes can no longer be vouched for.
    template <typename T> T checked(Result<T> result);

    RunFolder& m_pieceFolder;
    std::string m_folder;
    std::string m_name;
    RunFolder m_output;
    TemporaryFile m_temporary;
    std::int64_t m_firstLength = -1;
    // The checks, when the checksum file is there: the digests it lists, by entry, and
    // the first piece found damaged. Its threads end before the output is closed.
    static constexpr std::size_t noPiece = std::numeric_limits<std::size_t>::max();
    std::vector<Checksum::Digest> m_expected;
    std::atomic<std::size_t> m_damaged{noPiece};
    bool m_checksFailed = false;
    std::optional<Checksum::Hashers> m_checks;
    // The piece being appended where the read-ahead hashes it: entry, offset and length.
    struct Cold {
        std::size_t index;
        std::int64_t offset;
        std::int64_t length;
    };
    std::optional<Cold> m_cold;
    std::deque<std::size_t> m_coldAppended; // their digests not compared yet
    // The CRC-32 of the output, for a .crc, computed as it is written.
    std::optional<Copy::CrcBehind> m_crcBehind;
};

} // namespace SplitMergeFile
