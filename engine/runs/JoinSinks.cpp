#include "engine/runs/JoinSinks.h"

#include <algorithm>
#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/FileSize.h"
#include "engine/Main.h"
#include "engine/runs/Steps.h"

namespace SplitMergeFile {

using namespace Steps;

bool JoinSink::append(const Descriptor& piece, std::int64_t length, const std::string& piecePath) {
    std::int64_t offset = 0;
    const int fd = target(offset);
    const Result<Copy::Copied> copied =
        FileSize::ReadFileChunks(piece.get(), 0, fd, offset, length, m_buffer, [this](std::int64_t done) {
            m_host.setProgressBytes(m_joined + done);
            return advance(m_joined + done) && m_host.keepGoing();
        });
    if (!copied) {
        failCopy(copied.fault(), 140, piecePath, 144, m_path);
    }
    if (copied->stopped) {
        return false;
    }
    m_lastCloned = copied->cloned;
    m_joined += length;
    m_host.setProgressBytes(m_joined);
    return appended() && advance(m_joined);
}

bool JoinSink::partOfSet(const struct stat& outputStat) const {
    if (sameFile(outputStat, m_set.listStatus())) {
        return true;
    }
    // A set found by name: the files that check it are part of it too.
    for (const PieceSet::SetReader::WholeCheck& check : m_set.wholeChecks()) {
        struct stat st {};
        if (::stat(check.path.c_str(), &st) == 0 && sameFile(st, outputStat)) {
            return true;
        }
    }
    PieceSet::NameReader names = m_set.names();
    for (const PieceSet::Entry& entry : m_set.entries()) {
        std::string name;
        bool whole = false;
        orFail(names.read(entry, name, whole), 128, m_set.manifestPath());
        if (entry.hasNul || !whole || !m_set.folder().isOpen()) {
            continue;
        }
        if (const Result<struct stat> st = m_set.folder().statEntry(name, true); st && sameFile(*st, outputStat)) {
            return true;
        }
    }
    return false;
}

std::optional<NoticeId> StreamSink::open() {
    struct stat outputStat {};
    if (::fstat(m_fd, &outputStat) != 0) {
        fail(118, m_path, Fault::ofErrno());
    }
    if (S_ISREG(outputStat.st_mode) && partOfSet(outputStat)) {
        return NoticeId::JoinOverwritesPieceSet;
    }
    return std::nullopt;
}

Result<bool> StreamSink::matchesWhole(const PieceSet::SetReader::WholeCheck& check) {
    return m_set.piecesMatchWhole(check, Checksum::Hashers::cores(), [this] { return m_host.keepGoing(); });
}

std::optional<NoticeId> FileSink::open() {
    m_name = m_set.joinedName();
    m_path = m_folder + Main::nativeSeparator + m_name;
    orFail(m_output.open(m_folder), 118, m_folder);
    if (m_name.empty() || m_name == "." || m_name == "..") {
        fail(118, m_path, Fault{EISDIR});
    }
    // One folder holds one lock: a join into the pieces' folder turns its shared
    // lock into the exclusive one, as a second lock would exclude the first.
    const bool intoPieceFolder = m_pieceFolder.isOpen() && m_output.sameFolder(m_pieceFolder);
    RunFolder& written = intoPieceFolder ? m_pieceFolder : m_output;
    if (!written.lock(RunFolder::Lock::Exclusive)) {
        return NoticeId::AnotherRunWriting;
    }
    clearLeftovers(written);
    if (const Result<struct stat> st = m_output.statEntry(m_name, false); !st && st.fault().error != ENOENT) {
        fail(118, m_path, st.fault());
    }
    if (const Result<struct stat> st = m_output.statEntry(m_name, true); st && partOfSet(*st)) {
        return NoticeId::JoinOverwritesPieceSet;
    }
    orFail(m_temporary.create(m_output.fd()), 118, m_path);
    if (m_set.checksums().present()) {
        startChecks();
    }
    const auto& whole = m_set.wholeChecks();
    if (std::any_of(whole.begin(), whole.end(), [](const auto& check) { return check.crc; })) {
        m_crcBehind.emplace(m_temporary.fd(), &m_buffer);
    }
    return std::nullopt;
}

// Each piece's range of the output is hashed on every core while the next pieces
// are appended.
void FileSink::startChecks() {
    m_expected.resize(m_set.count());
    // The copy is the work of one core; this thread hashes too whenever the hashing
    // threads fall behind.
    m_checks.emplace(
        std::max(Checksum::Hashers::cores(), 2U) - 1,
        [this](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) -> Status {
            if (!digest) {
                return Checksum::failure(digest.fault().why());
            }
            if (*digest != m_expected[job.index]) {
                found(job.index);
            }
            return {};
        },
        [this] { return m_host.keepGoing(); }, 0);
}

bool FileSink::take(const Piece& piece) {
    if (piece.index == 0) {
        m_firstLength = piece.length;
    }
    if (!m_checks) {
        return true;
    }
    m_expected[piece.index] = *piece.expected;
    if (m_buffer.ahead != nullptr && m_buffer.ahead->hashesCold(piece.index)) {
        m_cold = Cold{piece.index, m_joined, piece.length};
        return true;
    }
    return checked(m_checks->add({m_temporary.fd(), m_joined, piece.length, piece.index})) ==
           Checksum::Hashers::Going::On;
}

bool FileSink::appended() {
    if (!m_cold) {
        return true;
    }
    const Cold cold = *m_cold;
    m_cold.reset();
    if (m_buffer.ahead->copiedAsHashed(cold.index)) {
        m_coldAppended.push_back(cold.index);
        return true;
    }
    // Some of its bytes were read here after all: checked as a piece in the page cache is.
    return checked(m_checks->add({m_temporary.fd(), cold.offset, cold.length, cold.index})) ==
           Checksum::Hashers::Going::On;
}

void FileSink::found(std::size_t index) {
    std::size_t first = m_damaged.load();
    while (index < first && !m_damaged.compare_exchange_weak(first, index)) {
    }
}

void FileSink::collect(bool wait) {
    while (!m_coldAppended.empty()) {
        const std::size_t index = m_coldAppended.front();
        std::optional<Copy::ReadAhead::Hashed> hashed = m_buffer.ahead->digest(index, wait);
        if (!hashed) {
            return;
        }
        m_coldAppended.pop_front();
        if (!hashed->digest) {
            const Fault& fault = hashed->digest.fault();
            checked(Status(hashed->hashFailed ? fault : Checksum::failure(fault.why())));
        }
        if (*hashed->digest != m_expected[index]) {
            found(index);
        }
    }
}

bool FileSink::damageFound() {
    collect(false);
    return m_damaged.load() != noPiece;
}

bool FileSink::advance(std::int64_t offset) {
    if (m_crcBehind) {
        m_crcBehind->advance(offset);
    }
    return !m_checks || checked(m_checks->advance(offset)) == Checksum::Hashers::Going::On;
}

std::optional<std::size_t> FileSink::firstDamaged() {
    if (!m_checks) {
        return std::nullopt;
    }
    checked(m_checks->drain());
    collect(true);
    const std::size_t damaged = m_damaged.load();
    return damaged == noPiece ? std::nullopt : std::optional<std::size_t>(damaged);
}

template <typename T> T FileSink::checked(Result<T> result) {
    m_checksFailed = m_checksFailed || !result;
    return orFail(std::move(result), 140, m_path);
}

// Read back from the output, or the CRC the copy's companion computed.
Result<bool> FileSink::matchesWhole(const PieceSet::SetReader::WholeCheck& check) {
    const auto turn = [this] { return m_host.keepGoing(); };
    if (!check.crc || !m_crcBehind) {
        return PieceSet::matchesWhole({{m_temporary.fd(), 0, m_joined}}, check, Checksum::Hashers::cores(), turn);
    }
    const Result<ParallelCrc::Crc> crc = m_crcBehind->finish(m_joined, Checksum::Hashers::cores(), turn);
    m_crcBehind.reset();
    if (!crc) {
        return crc.fault();
    }
    return crc->length == check.size && crc->crc == check.crc;
}

void FileSink::cutTo(std::int64_t bytes) {
    if (::ftruncate(m_temporary.fd(), bytes) != 0) {
        const Fault fault = Fault::ofErrno();
        // The damaged bytes would stand under the output name.
        m_temporary.discard();
        fail(144, m_path, fault);
    }
    m_joined = bytes;
}

void FileSink::untrusted() {
    m_crcBehind.reset();
    m_checksFailed = true;
    if (m_temporary.isOpen()) {
        m_temporary.discard();
    }
}

// An earlier file of that name is replaced only after the new one reached the disk,
// so that a crash never loses both.
void FileSink::publish() {
    if (m_output.statEntry(m_name, false)) {
        orFail(m_temporary.flush(), 154, m_path);
    }
    orFail(m_temporary.publish(m_name, true), 154, m_path);
}

// A join that ends before its last piece keeps an earlier file of the output name
// untouched; with none, the pieces joined so far stand under that name.
void FileSink::endEarly() {
    // Nothing may read the file once it is closed.
    m_crcBehind.reset();
    if (!m_temporary.isOpen()) {
        return;
    }
    // No hashing thread may read the file once it is closed, and no damaged or
    // unchecked bytes may stand under the output name.
    try {
        const std::optional<std::size_t> damaged = firstDamaged();
        if (damaged && static_cast<std::int64_t>(*damaged) * m_firstLength < m_joined) {
            cutTo(static_cast<std::int64_t>(*damaged) * m_firstLength);
        }
    } catch (const StepFailure&) {
        m_checksFailed = true;
    }
    if (m_checksFailed) {
        m_temporary.discard();
        return;
    }
    if (const Result<struct stat> st = m_output.statEntry(m_name, false); st || st.fault().error != ENOENT) {
        m_temporary.discard();
    } else {
        // Nothing can be done about a failure here: the join has already ended.
        (void)m_temporary.publish(m_name, false);
    }
}

} // namespace SplitMergeFile
