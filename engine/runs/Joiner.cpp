#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/FileSize.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/TemporaryFile.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/hash/HashingPool.h"
#include "engine/hash/Md5.h"
#include "engine/recovery/Recovery.h"
#include "engine/runs/JoinRepair.h"
#include "engine/runs/Steps.h"

// The joiner: one piece loop that reads a set through SetReader, looks at each piece
// (there, of the right length, matching its checks) and appends it to the output.
namespace SplitMergeFile {

namespace {

using namespace Steps;

class Joiner {
public:
    Joiner(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host)
        : m_manifestPath(manifestPath), m_outputFolder(outputFolder), m_host(host) {}

    // A join into the stream at `outputFd`, named `outputName` in descriptions.
    Joiner(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host)
        : m_manifestPath(manifestPath), m_outputFolder(outputName), m_host(host), m_outputPath(outputName),
          m_outputFd(outputFd) {}

    Outcome guardedRun() {
        return Steps::guardedRun(
            m_host, joinLabel, m_manifestPath, [this] { return run(); }, [this] { endEarly(); });
    }

private:
    using Scan = PieceSet::Scan;

    Outcome run() {
        // Pieces are looked for beside the manifest, whatever folder the lines name.
        // Its lock is taken before the manifest is read, so that no split rewrites the
        // set until the join ends. A folder that cannot be opened has no pieces to find.
        if (!m_set.lockFolder(m_manifestPath)) {
            return refuse({NoticeId::AnotherRunWriting});
        }
        // A piece or .crc of a set found by name stands for its set; anything else is a list.
        if (!orFail(m_set.findForeign(), 102, m_manifestPath)) {
            orFail(m_set.openList(), 102, m_manifestPath);
            if (m_set.listTooLarge()) {
                return refuseManifest();
            }
        }
        return atStep(110, m_manifestPath, [this] { return joinScanned(); });
    }

    Outcome joinScanned() {
        const Scan scan =
            m_set.foreign()
                ? Scan::Complete
                : orFail(m_set.scan(m_buffer.data(), Copy::Buffer::size, [this] { return m_host.keepGoing(); }), 106,
                         m_manifestPath);
        if (scan == Scan::Stopped) {
            return Outcome::Stopped;
        }
        if (scan == Scan::Invalid) {
            return refuseManifest();
        }

        // Checksums beside the manifest are checked piece by piece as the pieces
        // are joined.
        orFail(m_set.loadChecksums(), 102, m_set.checksumPath());
        if (m_set.checksums().conflicting()) {
            return refuse({NoticeId::ChecksumsConflict, {m_set.checksumPath()}});
        }
        const bool checksummed = m_set.checksums().present();
        if (checksummed && m_outputFd >= 0) {
            m_pieceHash.emplace();
        }

        if (const auto refusal = m_outputFd >= 0 ? checkOutputStream() : openOutput()) {
            return refuse({*refusal});
        }
        if (checksummed && m_outputFd < 0) {
            startChecks();
        }
        const auto& whole = m_set.wholeChecks();
        if (m_outputFd < 0 && std::any_of(whole.begin(), whole.end(), [](const auto& check) { return check.crc; })) {
            m_crcBehind.emplace(m_temporary.fd());
        }
        startRepair();

        const int count = static_cast<int>(m_set.entries().size());
        progressStep(m_host, joinLabel, 120, [&] { m_host.setProgressValue(0); });
        m_maximum = count;
        progressStep(m_host, joinLabel, 122, [&] { m_host.setProgressMaximum(count); });

        m_host.setProgressBytes(0);
        Copy::ReadAhead readAhead(m_set.entries().size(),
                                  [this](std::size_t index, struct stat& st) { return openAhead(index, st); });
        for (int index = 0; index < count; ++index) {
            if (!m_host.keepGoing()) {
                endEarly();
                return Outcome::Stopped;
            }
            if (m_checks && m_damaged.load() != noPiece) {
                return stopBefore(index, {NoticeId::PieceDamaged}, Outcome::Damaged);
            }
            // Pieces that clone are never read: reading them ahead would cost time for
            // nothing. Whether they do, the first one tells.
            if (index > 0 && !m_lastCloned) {
                readAhead.before(static_cast<std::size_t>(index));
            }
            const PieceSet::Entry& entry = m_set.entries()[static_cast<std::size_t>(index)];
            bool whole = false;
            const std::string name = atStep(128, m_manifestPath, [&] { return readName(entry, whole); });
            const std::string piecePath = m_set.folderText() + name;
            struct stat pieceStat {};
            // A piece the read-ahead opened was looked at as the join looks at it.
            Descriptor piece = readAhead.take(static_cast<std::size_t>(index), pieceStat);
            bool unrepaired = false;
            std::optional<JoinRepair::Appended> earlier;
            if (m_repair.active() && !checkedByRecovery(name, piecePath, piece, pieceStat, unrepaired, earlier)) {
                endEarly();
                return Outcome::Stopped;
            }
            if (earlier) {
                return stopBeforeAppended(*earlier);
            }
            if (piece.get() < 0) {
                if (PieceSet::namedLength(m_set.folder(), entry, name, whole) < 0) {
                    // A NUL ends the text where any C string would end it.
                    return stopBefore(index, {NoticeId::PieceMissing, {piecePath.substr(0, piecePath.find('\0'))}},
                                      Outcome::Missing);
                }
                piece = orFail(openRegular(m_set.folder().fd(), name.c_str(), pieceStat), 136, piecePath);
            }
            if (index == 0) {
                m_firstLength = pieceStat.st_size;
            }
            if (PieceSet::compareLength(pieceStat.st_size, m_firstLength, index + 1 == count) != 0) {
                return stopBefore(index, {NoticeId::PieceLengthWrong, {piecePath}}, Outcome::Damaged);
            }
            std::optional<Checksum::Digest> expected;
            if (m_pieceHash || m_checks) {
                // A piece the checksum file does not list cannot be trusted either.
                expected = m_set.checksums().find(name);
                if (!expected) {
                    return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
                }
            }
            if (m_pieceHash) {
                const std::optional<bool> matches =
                    atStep(140, m_manifestPath, [&] { return hashMatches(*m_pieceHash, piece, piecePath, *expected); });
                if (!matches) {
                    return Outcome::Stopped;
                }
                if (!*matches) {
                    return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
                }
            }
            if (!m_pieceHash && !m_checks && m_set.md5Pieces()) {
                // An md5sum file is checked piece by piece before each is appended.
                const auto listed = m_set.md5Pieces()->find(name);
                Md5 hash;
                const std::optional<bool> matches =
                    listed == m_set.md5Pieces()->end() ? std::optional<bool>(false) : atStep(140, m_manifestPath, [&] {
                        return hashMatches(hash, piece, piecePath, listed->second);
                    });
                if (!matches) {
                    endEarly();
                    return Outcome::Stopped;
                }
                if (!*matches) {
                    return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
                }
            }
            if (unrepaired) {
                return stopBefore(index, {NoticeId::PieceDamaged, {piecePath}}, Outcome::Damaged);
            }
            if (m_checks) {
                m_expected[static_cast<std::size_t>(index)] = *expected;
                if (checked(m_checks->add({m_temporary.fd(), m_joined, pieceStat.st_size,
                                           static_cast<std::size_t>(index)})) == Checksum::Hashers::Going::Stopped) {
                    endEarly();
                    return Outcome::Stopped;
                }
            }
            if (!atStep(140, m_manifestPath, [&] { return appendPiece(piece, pieceStat.st_size, piecePath); })) {
                endEarly();
                return Outcome::Stopped;
            }
            m_repair.appended(name, {std::size_t(index), m_joined - pieceStat.st_size}, pieceStat.st_size);
            progressStep(m_host, joinLabel, 150, [&] { m_host.setProgressValue(index + 1); });
        }
        if (firstDamaged()) {
            return stopBefore(count, {NoticeId::PieceDamaged}, Outcome::Damaged);
        }
        if (std::optional<JoinRepair::Appended> earlier; m_repair.active()) {
            if (!fromRepair(m_repair.settle(m_output.fd(), [this] { return m_host.keepGoing(); }), m_manifestPath,
                            earlier)) {
                endEarly();
                return Outcome::Stopped;
            }
            if (earlier) {
                return stopBeforeAppended(*earlier);
            }
        }
        if (m_repair.rewroteOutput()) {
            m_crcBehind.reset(); // it hashed bytes since written over
        }
        if (const std::optional<Outcome> whole = checkWhole()) {
            return *whole;
        }

        if (m_outputFd < 0) {
            publishOutput();
        }
        if (const std::size_t rebuilt = m_repair.rebuiltTaken(); rebuilt > 0) {
            m_host.showNotice({NoticeId::PiecesRebuilt, {std::to_string(rebuilt)}});
        }
        m_host.showNotice({NoticeId::JoinSucceeded});
        return Outcome::Succeeded;
    }

    // The checks of the joined bytes as a whole (a .crc, a sums file's line naming the
    // joined file), once every piece is there: a file's bytes are read back from its
    // output, a stream's from the pieces. A mismatch publishes nothing and replaces
    // nothing; a stream's reader has had the bytes, but not the success.
    std::optional<Outcome> checkWhole() {
        const auto turn = [this] { return m_host.keepGoing(); };
        for (const PieceSet::SetReader::WholeCheck& check : m_set.wholeChecks()) {
            const Result<bool> matches =
                m_outputFd >= 0            ? m_set.piecesMatchWhole(check, Checksum::Hashers::cores(), turn)
                : check.crc && m_crcBehind ? crcMatches(check)
                                           : PieceSet::matchesWhole({{m_temporary.fd(), 0, m_joined}}, check,
                                                                    Checksum::Hashers::cores(), turn);
            if (!matches && matches.fault().error == ECANCELED) {
                // Bytes that were never checked stand under no name.
                m_checksFailed = true;
                endEarly();
                return Outcome::Stopped;
            }
            if (!matches) {
                m_checksFailed = true;
                fail(140, m_outputFd >= 0 ? m_manifestPath : m_outputPath, matches.fault());
            }
            if (!*matches) {
                progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_maximum); });
                if (m_temporary.isOpen()) {
                    m_temporary.discard();
                }
                m_host.showNotice({NoticeId::JoinedFileMismatch, {check.path}});
                return Outcome::Damaged;
            }
        }
        return std::nullopt;
    }

    // The CRC the copy's companion computed, against the .crc's.
    Result<bool> crcMatches(const PieceSet::SetReader::WholeCheck& check) {
        const Result<ParallelCrc::Crc> crc =
            m_crcBehind->finish(m_joined, Checksum::Hashers::cores(), [this] { return m_host.keepGoing(); });
        m_crcBehind.reset();
        if (!crc) {
            return crc.fault();
        }
        return crc->length == check.size && crc->crc == check.crc;
    }

    Outcome refuse(const Notice& notice) {
        m_host.showNotice(notice);
        return Outcome::Refused;
    }

    Outcome refuseManifest() { return refuse({NoticeId::InvalidManifest, {m_manifestPath}}); }

    // Ends the join before piece `index` with `notice`, as at a missing piece: the
    // pieces before it stay, joined. Those are all as long as the first; when most
    // pieces before the last are of another length, the first is the damaged one, and
    // nothing stays.
    // A piece found damaged by the checks that run beside the join is where it stops,
    // when it comes before `index`; the output is cut back to before it, so that only
    // checked bytes stay.
    Outcome stopBefore(int index, Notice notice, Outcome outcome) {
        if (const std::optional<std::size_t> damaged = firstDamaged(); damaged && *damaged < std::size_t(index)) {
            index = static_cast<int>(*damaged);
            cutTo(index * m_firstLength);
            bool whole = false;
            notice = {NoticeId::PieceDamaged, {m_set.folderText() + readName(m_set.entries()[*damaged], whole)}};
            outcome = Outcome::Damaged;
        }
        if (index > 0 && firstPieceIsOdd()) {
            cutTo(0);
            bool whole = false;
            notice = {NoticeId::PieceLengthWrong, {m_set.folderText() + readName(m_set.entries().front(), whole)}};
            outcome = Outcome::Damaged;
        }
        progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_maximum); });
        endEarly();
        m_host.showNotice(notice);
        if (const std::uint32_t needed = m_repair.piecesShort(); needed > 0) {
            m_host.showNotice({NoticeId::RecoveryNotEnough, {std::to_string(needed)}});
        }
        return outcome;
    }

    // Recovery data beside the list checks each piece before it is joined and stands
    // in for the bad ones it can rebuild.
    void startRepair() {
        if (!m_set.folder().isOpen()) {
            return;
        }
        PieceSet::NameReader names = m_set.names();
        // A numbered set's recovery files are named after its pieces' stem, as its split names them.
        const std::string index =
            Recovery::indexName(m_set.foreign() ? m_set.foreignSet()->stem : Main::GetFileName(m_manifestPath));
        // A file's pieces are checked once appended, from the output, which can be cut
        // back; a stream's before, and so are those a checksum file checks, so that no
        // piece is found damaged before it could be rebuilt.
        const int behind = m_outputFd < 0 && !m_checks ? m_temporary.fd() : -1;
        m_repair.start(
            m_set.folder(), index, m_set.entries().size(),
            [&](std::size_t i) {
                bool whole = false;
                std::string name;
                orFail(names.read(m_set.entries()[i], name, whole), 128, m_manifestPath);
                return name;
            },
            behind);
    }

    // Ends the join before `piece`, appended already, which the recovery data found
    // damaged and could not rebuild.
    Outcome stopBeforeAppended(const JoinRepair::Appended& piece) {
        cutTo(piece.offset);
        bool whole = false;
        const std::string name = readName(m_set.entries()[piece.index], whole);
        return stopBefore(static_cast<int>(piece.index), {NoticeId::PieceDamaged, {m_set.folderText() + name}},
                          Outcome::Damaged);
    }

    // The result of recovery work for the piece at `piecePath` into `value`; false when
    // the host asked to stop. A failure fails the step.
    template <typename T> bool fromRepair(Result<T> result, const std::string& piecePath, T& value) {
        if (!result && result.fault().error == ECANCELED) {
            return false;
        }
        if (!result && result.fault().path.find('/') == std::string::npos) {
            // The recovery work names the files of the pieces' folder by their names there.
            Fault fault = result.fault();
            fault.path = fault.path.empty() ? piecePath : m_set.folderText() + fault.path;
            fail(140, piecePath, fault);
        }
        value = orFail(std::move(result), 140, piecePath);
        return true;
    }

    // What the recovery data says of the piece `name`: where it was rebuilt, `piece`
    // becomes its rebuilt bytes; `unrepaired` where it is bad beyond the recovery
    // data's reach; `earlier` where a piece appended before it is. Rebuilt pieces go
    // to the output's folder, or for a stream to the pieces' own, as unnamed files.
    // False when the host asked to stop.
    bool checkedByRecovery(const std::string& name, const std::string& piecePath, Descriptor& piece,
                           struct stat& pieceStat, bool& unrepaired, std::optional<JoinRepair::Appended>& earlier) {
        const int scratch = m_outputFd >= 0 ? m_set.folder().fd() : m_output.fd();
        JoinRepair::Piece verdict;
        if (!fromRepair(m_repair.piece(name, scratch, [this] { return m_host.keepGoing(); }), piecePath, verdict)) {
            return false;
        }
        earlier = verdict.earlier;
        unrepaired = verdict.unrepaired;
        if (verdict.rebuilt.get() >= 0) {
            piece = std::move(verdict.rebuilt);
            if (::fstat(piece.get(), &pieceStat) != 0) {
                fail(136, piecePath, Fault::ofErrno());
            }
        }
        return true;
    }

    bool firstPieceIsOdd() const {
        std::vector<std::int64_t> lengths;
        for (std::size_t i = 0; i + 1 < m_set.entries().size(); ++i) {
            bool whole = false;
            const std::string name = readName(m_set.entries()[i], whole);
            const std::int64_t length = PieceSet::namedLength(m_set.folder(), m_set.entries()[i], name, whole);
            if (length >= 0) {
                lengths.push_back(length);
            }
        }
        const std::int64_t expected = PieceSet::pieceLength(std::move(lengths));
        return expected >= 0 && expected != m_firstLength;
    }

    // Cuts the output back to its first `bytes`. What a stream's reader has seen
    // cannot be taken back.
    void cutTo(std::int64_t bytes) {
        if (m_outputFd >= 0) {
            return;
        }
        if (::ftruncate(m_temporary.fd(), bytes) != 0) {
            const Fault fault = Fault::ofErrno();
            // The damaged bytes would stand under the output name.
            m_temporary.discard();
            fail(144, m_outputPath, fault);
        }
        m_joined = bytes;
    }

    // The piece name of an entry; see NameReader.
    std::string readName(const PieceSet::Entry& entry, bool& whole) const {
        std::string name;
        orFail(m_names.read(entry, name, whole), 128, m_manifestPath);
        return name;
    }

    // For the read-ahead: piece `index` opened for reading when it is a regular file,
    // else none; looked at first, so that a FIFO or a device is never opened. A hint
    // only, so its failures are nobody's concern.
    Descriptor openAhead(std::size_t index, struct stat& st) const {
        const PieceSet::Entry& entry = m_set.entries()[index];
        std::string name;
        bool whole = false;
        if (entry.hasNul || !m_namesAhead.read(entry, name, whole) ||
            PieceSet::namedLength(m_set.folder(), entry, name, whole) < 0) {
            return Descriptor();
        }
        Result<Descriptor> opened = openRegular(m_set.folder().fd(), name.c_str(), st);
        return opened ? std::move(*opened) : Descriptor();
    }

    // Opens the output folder and the temporary output file in it; returns a
    // refusal, if any.
    std::optional<NoticeId> openOutput() {
        const std::string& folder = m_outputFolder;
        m_outputName = m_set.joinedName();
        m_outputPath = folder + Main::nativeSeparator + m_outputName;
        orFail(m_output.open(folder), 118, folder);
        if (m_outputName.empty() || m_outputName == "." || m_outputName == "..") {
            fail(118, m_outputPath, Fault{EISDIR});
        }
        // One folder holds one lock: a join into the pieces' folder turns its shared
        // lock into the exclusive one, as a second lock would exclude the first.
        const bool intoPieceFolder = m_set.folder().isOpen() && m_output.sameFolder(m_set.folder());
        RunFolder& written = intoPieceFolder ? m_set.folder() : m_output;
        if (!written.lock(RunFolder::Lock::Exclusive)) {
            return NoticeId::AnotherRunWriting;
        }
        clearLeftovers(written);
        if (const Result<struct stat> st = m_output.statEntry(m_outputName, false); !st && st.fault().error != ENOENT) {
            fail(118, m_outputPath, st.fault());
        }
        if (wouldOverwritePieceSet()) {
            return NoticeId::JoinOverwritesPieceSet;
        }
        orFail(m_temporary.create(m_output.fd()), 118, m_outputPath);
        return std::nullopt;
    }

    // The stream a join writes to: refused when it is the list or one of its pieces
    // (a shell's "> piece" would already have emptied it).
    std::optional<NoticeId> checkOutputStream() const {
        struct stat outputStat {};
        if (::fstat(m_outputFd, &outputStat) != 0) {
            fail(118, m_outputPath, Fault::ofErrno());
        }
        if (S_ISREG(outputStat.st_mode) && isPartOfPieceSet(outputStat)) {
            return NoticeId::JoinOverwritesPieceSet;
        }
        return std::nullopt;
    }

    // Hashes a piece bound for a stream before any of it goes out, as no reader can
    // be made to forget bytes; nothing when the host asked to stop meanwhile.
    template <typename Hash, typename Digest>
    std::optional<bool> hashMatches(Hash& hash, const Descriptor& piece, const std::string& piecePath,
                                    const Digest& expected) {
        bool stopped = false;
        Status hashed;
        std::int64_t sinceTurn = 0;
        const Status read =
            Copy::readBlocks(piece.get(), m_buffer.data(), Copy::Buffer::size, [&](std::string_view block) {
                hashed = hash.update(block.data(), block.size());
                sinceTurn += static_cast<std::int64_t>(block.size());
                if (sinceTurn >= Copy::Buffer::maxBlockBytes) {
                    sinceTurn = 0;
                    stopped = !m_host.keepGoing();
                }
                return hashed && !stopped;
            });
        orFail(read, 140, piecePath);
        checked(hashed);
        const bool matches = checked(hash.finish()) == expected;
        if (stopped) {
            return std::nullopt;
        }
        return matches;
    }

    bool wouldOverwritePieceSet() const {
        const Result<struct stat> outputStat = m_output.statEntry(m_outputName, true);
        return outputStat && isPartOfPieceSet(*outputStat);
    }

    bool isPartOfPieceSet(const struct stat& outputStat) const {
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
        for (const PieceSet::Entry& entry : m_set.entries()) {
            bool whole = false;
            const std::string name = readName(entry, whole);
            if (entry.hasNul || !whole || !m_set.folder().isOpen()) {
                continue;
            }
            if (const Result<struct stat> st = m_set.folder().statEntry(name, true); st && sameFile(*st, outputStat)) {
                return true;
            }
        }
        return false;
    }

    // Appends one piece to the output; false when the host asked to stop
    // meanwhile.
    bool appendPiece(const Descriptor& piece, std::int64_t length, const std::string& piecePath) {
        // A stream is written at its position; its pieces were checked before.
        const bool toStream = m_outputFd >= 0;
        const Result<Copy::Copied> copied =
            FileSize::ReadFileChunks(piece.get(), 0, toStream ? m_outputFd : m_temporary.fd(), toStream ? -1 : m_joined,
                                     length, m_buffer, [this](std::int64_t done) {
                                         m_host.setProgressBytes(m_joined + done);
                                         return advanceChecks(m_joined + done) && m_host.keepGoing();
                                     });
        if (!copied) {
            failCopy(copied.fault(), 140, piecePath, 144, m_outputPath);
        }
        if (copied->stopped) {
            return false;
        }
        m_lastCloned = copied->cloned;
        m_joined += length;
        m_host.setProgressBytes(m_joined);
        return advanceChecks(m_joined);
    }

    // The checks against the checksum file: each piece's range of the output, read
    // back from the page cache once it was written, so that what is checked is what
    // the output holds, hashed on every core while the next pieces are appended.
    void startChecks() {
        m_expected.resize(m_set.entries().size());
        // The copy is the work of one core; this thread hashes too whenever the
        // hashing threads fall behind.
        m_checks.emplace(
            std::max(Checksum::Hashers::cores(), 2U) - 1,
            [this](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) -> Status {
                if (!digest) {
                    return Checksum::failure(digest.fault().why());
                }
                if (*digest != m_expected[job.index]) {
                    std::size_t first = m_damaged.load();
                    while (job.index < first && !m_damaged.compare_exchange_weak(first, job.index)) {
                    }
                }
                return {};
            },
            [this] { return m_host.keepGoing(); }, 0);
    }

    bool advanceChecks(std::int64_t offset) {
        if (m_crcBehind) {
            m_crcBehind->advance(offset);
        }
        return !m_checks || checked(m_checks->advance(offset)) == Checksum::Hashers::Going::On;
    }

    // The first damaged piece once the checks of every piece appended are done.
    std::optional<std::size_t> firstDamaged() {
        if (!m_checks) {
            return std::nullopt;
        }
        checked(m_checks->drain());
        const std::size_t damaged = m_damaged.load();
        return damaged == noPiece ? std::nullopt : std::optional<std::size_t>(damaged);
    }

    // A check that cannot be made fails the join at the copy's step: the output's
    // bytes can no longer be vouched for.
    template <typename T> T checked(Result<T> result) {
        m_checksFailed = m_checksFailed || !result;
        return orFail(std::move(result), 140, m_outputPath);
    }

    // Gives the joined file its name. An earlier file of that name is replaced
    // only after the new one reached the disk, so that a crash never loses both.
    void publishOutput() {
        if (m_output.statEntry(m_outputName, false)) {
            orFail(m_temporary.flush(), 154, m_outputPath);
        }
        orFail(m_temporary.publish(m_outputName, true), 154, m_outputPath);
    }

    // A join that ends before its last piece keeps an earlier file of the output
    // name untouched; with none, the pieces joined so far stand under that name.
    void endEarly() {
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
        if (const Result<struct stat> st = m_output.statEntry(m_outputName, false); st || st.fault().error != ENOENT) {
            m_temporary.discard();
        } else {
            // Nothing can be done about a failure here: the join has already ended.
            (void)m_temporary.publish(m_outputName, false);
        }
    }

    const std::string& m_manifestPath;
    const std::string m_outputFolder; // none for a stream; read once, as the run starts
    EngineHost& m_host;
    int m_maximum = 0; // what the bar counts to
    PieceSet::SetReader m_set;
    // Separate windows: the read-ahead reads names far ahead of the join's own.
    mutable PieceSet::NameReader m_names{m_set.names()};
    mutable PieceSet::NameReader m_namesAhead{m_set.names()};
    RunFolder m_output;
    std::string m_outputName;
    std::string m_outputPath;
    TemporaryFile m_temporary;
    Copy::Buffer m_buffer;
    std::optional<Checksum::Sha256> m_pieceHash; // for a stream, when the checksum file is there
    std::int64_t m_joined = 0;                   // bytes of the pieces appended so far
    std::int64_t m_firstLength = 0;              // of the first piece: that of every piece but the last
    bool m_lastCloned = false;                   // the piece appended last was cloned
    int m_outputFd = -1;                         // a stream the join writes to instead of a file
    // The checks of a file, when the checksum file is there: the digests it lists, by
    // entry, and the first piece found damaged. Its threads end before the output is
    // closed.
    static constexpr std::size_t noPiece = std::numeric_limits<std::size_t>::max();
    std::vector<Checksum::Digest> m_expected;
    std::atomic<std::size_t> m_damaged{noPiece};
    bool m_checksFailed = false;
    std::optional<Checksum::Hashers> m_checks;
    // The CRC-32 of the output, for a .crc, computed as it is written.
    std::optional<Copy::CrcBehind> m_crcBehind;
    // Last: its checks read the pieces' folder and its rebuilt pieces lie in the output's.
    JoinRepair m_repair;
};

} // namespace

Outcome JoinFiles(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host) {
    return Joiner(manifestPath, outputFolder, host).guardedRun();
}

Outcome JoinToStream(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host) {
    return Joiner(manifestPath, outputFd, outputName, host).guardedRun();
}

} // namespace SplitMergeFile
