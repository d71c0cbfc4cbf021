#include <cerrno>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "engine/Copy.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"
#include "engine/PieceSetReader.h"
#include "engine/SplitMergeFile.h"
#include "engine/recovery/Recovery.h"
#include "engine/runs/JoinRepair.h"
#include "engine/runs/JoinSinks.h"
#include "engine/runs/PieceStep.h"
#include "engine/runs/Steps.h"

// The joiner: one piece loop that reads a set through SetReader, looks at each piece
// through PieceStep (there, of the right length, matching its checks) and appends it
// to its sink, a file or a stream.
namespace SplitMergeFile {

namespace {

using namespace Steps;

class Joiner {
public:
    Joiner(const std::string& manifestPath, EngineHost& host, const JoinOptions& options,
           const std::string& outputFolder)
        : m_manifestPath(manifestPath), m_host(host), m_options(options),
          m_sink(std::make_unique<FileSink>(m_set, m_buffer, host, m_set.folder(), outputFolder)) {}

    // A join into the stream at `outputFd`, named `outputName` in descriptions.
    Joiner(const std::string& manifestPath, EngineHost& host, const JoinOptions& options, int outputFd,
           const std::string& outputName)
        : m_manifestPath(manifestPath), m_host(host), m_options(options),
          m_sink(std::make_unique<StreamSink>(m_set, m_buffer, host, outputFd, outputName)) {}

    Outcome guardedRun() {
        return Steps::guardedRun(
            m_host, joinLabel, m_manifestPath, [this] { return atStep(110, m_manifestPath, [this] { return run(); }); },
            [this] { m_sink->endEarly(); });
    }

private:
    using Scan = PieceSet::Scan;

    Outcome run() {
        // Measured here: a copy from cached pieces into the output through
        // copy_file_range took as long as `cat`'s, by read and write up to three times
        // as long (ext4, Linux 6.18).
        m_buffer.copyRangeLocally = true;
        // The pieces' folder is locked before the manifest is read, so that no split rewrites the set until the join
        // ends.
        const Result<Scan> scan =
            m_set.open(m_manifestPath, m_buffer.data(), Copy::Buffer::size, [this] { return m_host.keepGoing(); });
        if (!scan) {
            fail(m_set.listOpen() ? 106 : 102, m_manifestPath, scan.fault());
        }
        if (*scan == Scan::Busy) {
            return refuse({NoticeId::AnotherRunWriting});
        }
        if (*scan == Scan::Stopped) {
            return Outcome::Stopped;
        }
        if (*scan == Scan::Invalid || (m_options.refuseEmptyList && m_set.count() == 0)) {
            return refuseManifest();
        }

        // Checksums beside the manifest are checked piece by piece as the pieces
        // are joined.
        orFail(m_set.loadChecksums(), 102, m_set.checksumPath());
        if (m_set.checksums().conflicting()) {
            return refuse({NoticeId::ChecksumsConflict, {m_set.checksumPath()}});
        }
        if (const auto refusal = m_sink->open()) {
            return refuse({*refusal});
        }
        startRepair();

        const std::size_t count = m_set.count();
        progressStep(m_host, joinLabel, 120, [&] { m_host.setProgressValue(0); });
        m_maximum = static_cast<int>(count);
        progressStep(m_host, joinLabel, 122, [&] { m_host.setProgressMaximum(m_maximum); });

        m_host.setExpectedBytes(expectedBytes());
        m_host.setProgressBytes(0);
        m_step.emplace(
            m_set, m_buffer, m_sink->hashesAhead(), [this] { return m_host.keepGoing(); }, true);
        const PieceStep::StandIn standIn = [this](Piece& piece) { return checkedByRecovery(piece); };
        for (std::size_t index = 0; index < count; ++index) {
            if (!m_host.keepGoing()) {
                m_sink->endEarly();
                return Outcome::Stopped;
            }
            if (m_sink->damageFound()) {
                return stopBefore(index, {NoticeId::PieceDamaged}, Outcome::Damaged);
            }
            // Pieces that clone are never read: reading them ahead would cost time for
            // nothing. Whether they do, the first one tells.
            if (index > 0 && !m_sink->lastCloned()) {
                m_step->readAhead(index);
            }
            if (!orFail(atStep(128, m_manifestPath,
                               [&] { return m_step->open(index, m_piece, m_repair.active() ? standIn : nullptr); }),
                        128, m_manifestPath)) {
                m_sink->endEarly();
                return Outcome::Stopped;
            }
            if (m_earlier) {
                return stopBeforeAppended(*m_earlier);
            }
            if (m_piece.length < 0) {
                return stopBefore(index, {NoticeId::PieceMissing, {m_piece.shownPath()}}, Outcome::Missing);
            }
            if (m_piece.openFault) {
                fail(136, m_piece.path, *m_piece.openFault);
            }
            if (index == 0) {
                m_firstLength = m_piece.length;
            }
            if (const std::optional<Outcome> ended = checkPiece(index + 1 == count)) {
                return *ended;
            }
            if (!m_sink->take(m_piece) || !atStep(140, m_manifestPath, [&] {
                    return m_sink->append(m_piece.file, m_piece.length, m_piece.path);
                })) {
                m_sink->endEarly();
                return Outcome::Stopped;
            }
            m_repair.appended(m_piece.name, {index, m_sink->joined() - m_piece.length}, m_piece.length);
            progressStep(m_host, joinLabel, 150, [&] { m_host.setProgressValue(static_cast<int>(index + 1)); });
        }
        if (m_sink->firstDamaged()) {
            return stopBefore(count, {NoticeId::PieceDamaged}, Outcome::Damaged);
        }
        if (std::optional<JoinRepair::Appended> earlier; m_repair.active()) {
            if (!fromRepair(m_repair.settle(m_sink->scratchFolder(), [this] { return m_host.keepGoing(); }),
                            m_manifestPath, earlier)) {
                m_sink->endEarly();
                return Outcome::Stopped;
            }
            if (earlier) {
                return stopBeforeAppended(*earlier);
            }
        }
        if (m_repair.rewroteOutput()) {
            m_sink->rewritten();
        }
        if (const std::optional<Outcome> whole = checkWhole()) {
            return *whole;
        }

        m_sink->publish();
        if (const std::size_t rebuilt = m_repair.rebuiltTaken(); rebuilt > 0) {
            m_host.showNotice({NoticeId::PiecesRebuilt, {std::to_string(rebuilt)}});
        }
        m_host.showNotice({NoticeId::JoinSucceeded});
        return Outcome::Succeeded;
    }

    // The length rule, then the checks of the piece's bytes: how the join ends here, if
    // it does.
    std::optional<Outcome> checkPiece(bool last) {
        std::optional<PieceProblem> problem = PieceStep::verdict(m_piece, m_firstLength, last);
        if (!problem) {
            Result<bool> checked = atStep(140, m_manifestPath, [&] { return m_step->check(m_piece); });
            if (!checked && m_piece.hashFailed) {
                // A check that cannot be made: the bytes can no longer be vouched for.
                m_sink->untrusted();
                fail(140, m_sink->path(), checked.fault());
            }
            if (!orFail(std::move(checked), 140, m_piece.path)) {
                m_sink->endEarly();
                return Outcome::Stopped;
            }
            problem = PieceStep::verdict(m_piece, m_firstLength, last);
        }
        if (problem) {
            const bool length = problem == PieceProblem::Short || problem == PieceProblem::Long;
            return stopBefore(m_piece.index,
                              {length ? NoticeId::PieceLengthWrong : NoticeId::PieceDamaged, {m_piece.path}},
                              Outcome::Damaged);
        }
        return std::nullopt;
    }

    // The checks of the joined bytes as a whole (a .crc, a sums file's line naming the
    // joined file), once every piece is there. A mismatch publishes nothing and replaces
    // nothing; a stream's reader has had the bytes, but not the success.
    std::optional<Outcome> checkWhole() {
        for (const PieceSet::SetReader::WholeCheck& check : m_set.wholeChecks()) {
            const Result<bool> matches = m_sink->matchesWhole(check);
            if (!matches) {
                // Bytes that were never checked stand under no name.
                m_sink->untrusted();
                if (matches.fault().error == ECANCELED) {
                    m_sink->endEarly();
                    return Outcome::Stopped;
                }
                fail(140, m_sink->wholePath(), matches.fault());
            }
            if (!*matches) {
                progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_maximum); });
                m_sink->untrusted();
                m_host.showNotice({NoticeId::JoinedFileMismatch, {check.path}});
                return Outcome::Damaged;
            }
        }
        return std::nullopt;
    }

    // The bytes the join will write when the set is whole: every piece before the last
    // is as long as the first.
    std::int64_t expectedBytes() const {
        if (m_set.foreign()) {
            return m_set.foreignSet()->presentBytes();
        }
        const std::size_t count = m_set.count();
        PieceSet::NameReader names = m_set.names();
        const auto length = [&](std::size_t index) -> std::int64_t {
            std::string name;
            bool whole = false;
            return names.read(m_set.entries()[index], name, whole) ? m_set.namedLength(index, name, whole) : -1;
        };
        const std::int64_t first = count > 0 ? length(0) : -1;
        const std::int64_t last = count > 1 ? length(count - 1) : first;
        return first >= 0 && last >= 0 ? first * static_cast<std::int64_t>(count - 1) + last : 0;
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
    Outcome stopBefore(std::size_t index, Notice notice, Outcome outcome) {
        if (const std::optional<std::size_t> damaged = m_sink->firstDamaged(); damaged && *damaged < index) {
            index = *damaged;
            m_sink->cutTo(static_cast<std::int64_t>(index) * m_firstLength);
            notice = {NoticeId::PieceDamaged, {m_set.folderText() + nameOf(*damaged)}};
            outcome = Outcome::Damaged;
        }
        if (index > 0 && firstPieceIsOdd()) {
            m_sink->cutTo(0);
            notice = {NoticeId::PieceLengthWrong, {m_set.folderText() + nameOf(0)}};
            outcome = Outcome::Damaged;
        }
        progressStep(m_host, joinLabel, 146, [&] { m_host.setProgressValue(m_maximum); });
        m_sink->endEarly();
        m_host.showNotice(notice);
        if (const std::uint32_t needed = m_repair.piecesShort(); needed > 0) {
            m_host.showNotice({NoticeId::RecoveryNotEnough, {std::to_string(needed)}});
        }
        return outcome;
    }

    // The piece name of entry `index`; see NameReader.
    std::string nameOf(std::size_t index, PieceSet::NameReader* reader = nullptr) const {
        PieceSet::NameReader own = m_set.names();
        std::string name;
        bool whole = false;
        orFail((reader != nullptr ? *reader : own).read(m_set.entries()[index], name, whole), 128, m_manifestPath);
        return name;
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
        m_repair.start(
            m_set.folder(), index, m_set.count(), [&](std::size_t i) { return nameOf(i, &names); },
            m_sink->checkedBehind());
    }

    // Ends the join before `piece`, appended already, which the recovery data found
    // damaged and could not rebuild.
    Outcome stopBeforeAppended(const JoinRepair::Appended& piece) {
        m_sink->cutTo(piece.offset);
        return stopBefore(piece.index, {NoticeId::PieceDamaged, {m_set.folderText() + nameOf(piece.index)}},
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

    // What the recovery data says of the piece: where it was rebuilt, its file becomes
    // its rebuilt bytes; `unrepaired` where it is bad beyond the recovery data's reach;
    // m_earlier where a piece appended before it is. Rebuilt pieces go to the sink's
    // scratch folder, as unnamed files. False when the host asked to stop.
    bool checkedByRecovery(Piece& piece) {
        JoinRepair::Piece verdict;
        if (!fromRepair(m_repair.piece(piece.name, m_sink->scratchFolder(), [this] { return m_host.keepGoing(); }),
                        piece.path, verdict)) {
            return false;
        }
        m_earlier = verdict.earlier;
        piece.unrepaired = verdict.unrepaired;
        if (verdict.rebuilt.get() >= 0) {
            piece.file = std::move(verdict.rebuilt);
            if (::fstat(piece.file.get(), &piece.st) != 0) {
                fail(136, piece.path, Fault::ofErrno());
            }
        }
        return true;
    }

    bool firstPieceIsOdd() const {
        PieceSet::NameReader names = m_set.names();
        std::vector<std::int64_t> lengths;
        for (std::size_t i = 0; i + 1 < m_set.count(); ++i) {
            bool whole = false;
            std::string name;
            orFail(names.read(m_set.entries()[i], name, whole), 128, m_manifestPath);
            if (const std::int64_t length = m_set.namedLength(i, name, whole); length >= 0) {
                lengths.push_back(length);
            }
        }
        const std::int64_t expected = PieceSet::pieceLength(std::move(lengths));
        return expected >= 0 && expected != m_firstLength;
    }

    const std::string& m_manifestPath;
    EngineHost& m_host;
    const JoinOptions m_options;
    int m_maximum = 0; // what the bar counts to
    PieceSet::SetReader m_set;
    Copy::Buffer m_buffer;
    std::unique_ptr<JoinSink> m_sink;
    std::optional<PieceStep> m_step;
    Piece m_piece; // the piece being joined
    // A piece appended before it that the recovery data found bad and could not rebuild.
    std::optional<JoinRepair::Appended> m_earlier;
    std::int64_t m_firstLength = 0; // of the first piece: that of every piece but the last
    // Last: its checks read the pieces' folder and its rebuilt pieces lie in the output's.
    JoinRepair m_repair;
};

} // namespace

Outcome JoinFiles(const std::string& manifestPath, const std::string& outputFolder, EngineHost& host,
                  const JoinOptions& options) {
    return Joiner(manifestPath, host, options, outputFolder).guardedRun();
}

Outcome JoinToStream(const std::string& manifestPath, int outputFd, const std::string& outputName, EngineHost& host,
                     const JoinOptions& options) {
    return Joiner(manifestPath, host, options, outputFd, outputName).guardedRun();
}

} // namespace SplitMergeFile
