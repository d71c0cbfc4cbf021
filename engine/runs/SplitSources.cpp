#include "engine/runs/SplitSources.h"

#include <algorithm>
#include <utility>

#include "engine/Copy.h"
#include "engine/FileSize.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/HashingPool.h"
#include "engine/hash/Sha256.h"
#include "engine/runs/Steps.h"

namespace SplitMergeFile {

using namespace Steps;

void FileCut::open() {
    if (m_source.fd() < 0) {
        fail(104, m_path, m_source.openFault());
    }
}

std::string FileCut::baseName() const {
    return Main::GetFileName(m_path);
}

std::int64_t FileCut::pieces(std::int32_t chunkSize) const {
    return chunkSize < 1 ? 0 : PieceSet::pieceCount(m_source.status().st_size, chunkSize);
}

int FileCut::lastNumber(std::int64_t pieces) const {
    return static_cast<int>(std::max<std::int64_t>(pieces, 1));
}

Outcome FileCut::copy(std::int64_t pieces, Cut& cut) {
    Copy::Buffer buffer;
    const int source = m_source.fd();
    const std::int64_t size = m_source.status().st_size;
    EngineHost& host = cut.host;
    std::optional<SplitHashes> hashes;
    if (cut.checksums) {
        hashes.emplace(source, size, static_cast<std::size_t>(pieces), m_path, [&host] { return host.keepGoing(); });
    }
    std::optional<SourceCrc> crc;
    if (cut.numbered) {
        crc.emplace(source, m_path, host);
    }
    for (int number = 1; number <= pieces; ++number) {
        if (!host.keepGoing()) {
            return Outcome::Stopped;
        }
        std::string piecePath;
        Descriptor piece = cut.openPiece(number, pieces, piecePath);
        const std::int64_t offset = std::int64_t{number - 1} * cut.chunkSize;
        const std::int64_t length = std::min<std::int64_t>(cut.chunkSize, size - offset);
        const Result<Copy::Copied> copied = atStep(120, m_path, [&]() -> Result<Copy::Copied> {
            if (hashes && !hashes->add(offset, length, static_cast<std::size_t>(number - 1))) {
                return Copy::Copied{false, true};
            }
            return FileSize::ReadFileChunks(source, offset, piece.get(), 0, length, buffer, [&](std::int64_t done) {
                host.setProgressBytes(offset + done);
                return (!hashes || hashes->advance(offset + done)) && host.keepGoing();
            });
        });
        if (!copied) {
            failCopy(copied.fault(), 120, m_path, 122, piecePath);
        }
        if (copied->stopped) {
            return Outcome::Stopped;
        }
        orFail(piece.close(), 124, piecePath);
        if (hashes && !hashes->advance(offset + length)) {
            return Outcome::Stopped;
        }
        if (crc && !crc->add(offset, length)) {
            return Outcome::Stopped;
        }
        host.setProgressBytes(offset + length);
        progressStep(host, splitLabel, 128, [&] { host.setProgressValue(number); });
    }
    if (hashes) {
        hashes->finish();
        cut.digests = hashes->pieces();
        cut.sourceDigest = hashes->source();
    }
    if (crc) {
        const std::optional<std::uint32_t> whole = crc->finish();
        if (!whole) {
            return Outcome::Stopped;
        }
        cut.crc = *whole;
    }
    cut.written = {pieces, size};
    return Outcome::Succeeded;
}

void StreamCut::open() {
    // A stream redirected from a file is guarded against as a file is.
    if (::fstat(m_fd, &m_stat) != 0) {
        fail(104, m_path, Fault::ofErrno());
    }
}

std::optional<Outcome> StreamCut::start(std::int32_t chunkSize, EngineHost& host) {
    m_stream.emplace(m_fd, m_path, host);
    if (!m_stream->next(chunkSize)) {
        return Outcome::Stopped;
    }
    if (m_stream->size() == 0) {
        host.showNotice({NoticeId::NotLargerThanChunk});
        return Outcome::Refused;
    }
    return std::nullopt;
}

// A piece is made only for bytes that came. A numbered set's piece N is named by N's
// own width here and renamed at the end when the set is wider.
Outcome StreamCut::copy(std::int64_t, Cut& cut) {
    StreamSource& stream = *m_stream;
    EngineHost& host = cut.host;
    std::optional<Checksum::Sha256> pieceHash;
    std::optional<Checksum::BackgroundSha256> sourceHash;
    if (cut.checksums) {
        pieceHash.emplace();
        sourceHash.emplace();
    }
    std::int64_t total = 0;
    int number = 1;
    for (; stream.size() > 0; ++number) {
        if (number > PieceSet::maxPieces) {
            host.showNotice({NoticeId::TooManyPieces});
            return Outcome::Failed;
        }
        std::string piecePath;
        Descriptor piece = cut.openPiece(number, number, piecePath);
        for (std::int64_t length = 0;;) {
            if (cut.numbered) {
                cut.crc = Crc32::update(cut.crc, stream.data(), stream.size());
            }
            if (pieceHash) {
                checksummed(pieceHash->update(stream.data(), stream.size()));
                checksummed(sourceHash->update(stream.data(), stream.size()));
            }
            orFail(Copy::writeAll(piece.get(), stream.data(), stream.size()), 122, piecePath);
            length += static_cast<std::int64_t>(stream.size());
            total += static_cast<std::int64_t>(stream.size());
            host.setProgressBytes(total);
            if (length == cut.chunkSize || stream.ended()) {
                break;
            }
            if (!stream.next(cut.chunkSize - length)) {
                return Outcome::Stopped;
            }
        }
        orFail(piece.close(), 124, piecePath);
        if (pieceHash) {
            cut.digests.push_back(checksummed(pieceHash->finish()));
        }
        progressStep(host, splitLabel, 128, [&] { host.setProgressValue(number); });
        if (stream.ended()) {
            ++number;
            break;
        }
        // At the stream's end, this brings nothing, and no piece is made.
        if (!stream.next(cut.chunkSize)) {
            return Outcome::Stopped;
        }
    }
    if (sourceHash) {
        cut.sourceDigest = checksummed(sourceHash->finish());
    }
    cut.written = {number - 1, total};
    return Outcome::Succeeded;
}

void StreamCut::checksummed(const Status& status) const {
    orFail(status, 120, m_path);
}

Checksum::Digest StreamCut::checksummed(Result<Checksum::Digest>&& digest) const {
    return orFail(std::move(digest), 120, m_path);
}

} // namespace SplitMergeFile
