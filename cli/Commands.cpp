#include "cli/Commands.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include <unistd.h>

#include "cli/ConsoleHost.h"
#include "cli/Quoting.h"
#include "cli/TypedNames.h"
#include "engine/FileSize.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/Messages.h"
#include "engine/PieceSet.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/formats/ForeignSet.h"
#include "engine/recovery/Recovery.h"

namespace Commands {

namespace {

int exitStatus(SplitMergeFile::Outcome outcome) {
    return outcome == SplitMergeFile::Outcome::Succeeded ? exitSucceeded : exitFailed;
}

std::string describe(const Verify::Finding& finding, const std::string& sidecarName) {
    using Problem = Verify::Finding::Problem;
    const std::string length = std::to_string(finding.length) + " bytes";
    const std::string expected = std::to_string(finding.expected);
    switch (finding.problem) {
    case Problem::Missing:
        return "missing";
    case Problem::Unreadable:
        return std::string("cannot be read: ") + std::strerror(finding.error);
    case Problem::Short:
        return finding.last ? "empty" : "too short: " + length + ", every piece but the last has " + expected;
    case Problem::Long:
        return "too long: " + length +
               (finding.last ? ", the last piece has at most " : ", every piece but the last has ") + expected;
    case Problem::Damaged:
        return ConsoleHost::reason(NoticeId::PieceDamaged);
    case Problem::Unlisted:
        return "damaged: " + sidecarName + " holds no checksum for it";
    }
    return {};
}

// A fault of the recovery work; a file of the folder whose path ends with `folder`'s
// separator is named by that path.
void recoveryError(const std::string& folder, const Fault& fault, ConsoleHost& host) {
    const std::string& name = fault.path;
    host.fileError(name.empty() ? folder : name.find('/') == std::string::npos ? folder + name : name, fault.why());
}

Recovery::Progress recoveryProgress(ConsoleHost& host) {
    return [&host](std::uint64_t done, std::uint64_t total) {
        host.setExpectedBytes(static_cast<std::int64_t>(total));
        host.setProgressBytes(static_cast<std::int64_t>(done));
        return host.keepGoing();
    };
}

// Opens `folder` into `into` and takes its exclusive lock, as a split holds it; says why
// not when either fails.
bool lockFolder(RunFolder& into, const std::string& folder, ConsoleHost& host) {
    if (Status opened = into.open(folder); !opened) {
        host.fileError(folder, opened.fault().why());
        return false;
    }
    if (!into.lock()) {
        host.showNotice({NoticeId::AnotherRunWriting});
        return false;
    }
    return true;
}

// After a split that succeeded: an earlier set's recovery data goes, new data is written when asked for, then "Done."

int splitEnded(const std::string& folder, const std::string& baseName, const SplitMergeFile::SplitWritten& written,
               std::int64_t chunkSize, bool numbered, int lost, ConsoleHost& host) {
    RunFolder output;
    if (!lockFolder(output, folder, host)) {
        return exitFailed;
    }
    const std::string base = numbered ? baseName : PieceSet::manifestName(baseName);
    if (Status removed = Recovery::removeRecovery(output, base); !removed) {
        recoveryError(folder + "/", removed.fault(), host);
        return exitFailed;
    }
    if (lost > 0) {
        std::vector<std::string> names;
        std::vector<std::uint64_t> sizes;
        const std::int64_t pieces = written.pieces;
        for (int number = 1; number <= pieces; ++number) {
            names.push_back(numbered ? ForeignSet::numberedName(baseName, number, pieces)
                                     : PieceSet::pieceName(baseName, number));
            sizes.push_back(
                static_cast<std::uint64_t>(number == pieces ? written.bytes - (pieces - 1) * chunkSize : chunkSize));
        }
        const Recovery::Layout layout =
            Recovery::layoutFor(sizes, static_cast<std::uint64_t>(chunkSize), static_cast<std::uint32_t>(lost));
        if (Status made = Recovery::create(output, base, names, layout, recoveryProgress(host)); !made) {
            recoveryError(folder + "/", made.fault(), host);
            return exitFailed;
        }
    }
    host.showNotice({NoticeId::Done});
    return exitSucceeded;
}

// The line that says whether the scanned set can be repaired.
std::string repairLine(const Recovery::Scan& scan) {
    const std::string rebuild = std::to_string(scan.piecesToRebuild());
    const std::string available = std::to_string(scan.recoveryPieces());
    return scan.repairable() ? "The set can be repaired: " + rebuild + " pieces to rebuild, " + available +
                                   " recovery pieces available."
                             : "The set cannot be repaired: " + rebuild + " pieces to rebuild, only " + available +
                                   " recovery pieces available.";
}

// The manifest a join, verify or repair uses for `path`: NAME.splt beside it when
// `path` names a piece NAME_spltN and that list exists; else `path` itself.
std::string manifestFor(const std::string& path) {
    const std::string name = Main::GetFileName(path);
    const std::size_t marker = name.rfind(PieceSet::pieceMarker);
    if (marker == std::string::npos || marker == 0) {
        return path;
    }
    const std::string number = name.substr(marker + PieceSet::pieceMarker.size());
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return path;
    }
    const std::string manifest =
        Main::GetFolderPart(path) + name.substr(0, marker) + std::string(PieceSet::manifestSuffix);
    return Main::fileExists(manifest) ? manifest : path;
}

// The index of the recovery data of the numbered set a piece, .crc or PAR file named
// `name` belongs to ("NAME.par2"); empty for any other name.
std::string numberedIndex(const std::string& name) {
    constexpr std::string_view par2 = ".par2";
    if (name.size() > par2.size() && name.ends_with(par2)) {
        // A volume NAME.volA+B.par2 stands for its index.
        const std::string stem = name.substr(0, name.size() - par2.size());
        const std::size_t vol = stem.rfind(".vol");
        const std::string numbers = vol == std::string::npos ? std::string() : stem.substr(vol + 4);
        const std::size_t plus = numbers.find('+');
        const bool volume = plus != std::string::npos && plus > 0 && plus + 1 < numbers.size() &&
                            numbers.find_first_not_of("0123456789+") == std::string::npos &&
                            numbers.find('+', plus + 1) == std::string::npos;
        return volume ? stem.substr(0, vol) + std::string(par2) : name;
    }
    const std::optional<ForeignSet::NameForm> form = ForeignSet::classify(name);
    if (form && (form->crc || form->kind == ForeignSet::Kind::Numbered)) {
        return form->prefix + std::string(par2);
    }
    return {};
}

// The index of the recovery data of the set listed by, or numbered like, `manifest`.
std::string recoveryIndex(const std::string& manifest) {
    const std::string numbered = numberedIndex(Main::GetFileName(manifest));
    return numbered.empty() ? Recovery::indexName(Main::GetFileName(manifest)) : numbered;
}

// The absolute path of the list the operand of a join, verify or repair names; the
// pieces beside it are named as typed.
std::string listPath(const CommandLine::Arguments& arguments, TypedNames& names) {
    const std::string typed = manifestFor(arguments.operand);
    const std::string manifest = names.file(typed);
    names.listFolder(manifest, typed);
    return manifest;
}

// A split's --recovery N: the pieces to rebuild (0 without it), or nothing after saying
// why N does not fit a set of `pieces` pieces; `after` ends that line.
std::optional<int> recoveryFor(const CommandLine::Arguments& arguments, std::int64_t pieces, const std::string& after) {
    if (arguments.recovery == 0) {
        return 0;
    }
    const int lost = CommandLine::recoveryPieces(arguments, static_cast<int>(pieces));
    if (lost == 0) {
        ConsoleHost::printError("--recovery " + std::to_string(arguments.recovery) + " is more than the " +
                                std::to_string(pieces) + " pieces of the split" + after);
        return std::nullopt;
    }
    return lost;
}

} // namespace

int split(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    TypedNames& names = host.names();
    const std::string folder = names.folder(arguments.output);
    host.setOutputFolder(folder);
    if (!Main::FolderExists(folder)) {
        host.showNotice({NoticeId::FolderMissing});
        return exitFailed;
    }
    const bool fromStream = arguments.operand == CommandLine::standardStream;
    // A stream is split as a file of its name would be.
    const std::string file = fromStream ? arguments.name : names.file(arguments.operand);
    if (InputChecks::containsManifestSuffix(file) || InputChecks::containsPieceMarker(file)) {
        host.showNotice({NoticeId::AlreadySplit});
        return exitFailed;
    }
    const SplitMergeFile::SplitOptions options{arguments.checksum, arguments.numbered};
    SplitMergeFile::SplitWritten written;
    if (fromStream) {
        // The pieces are counted only at the stream's end: recovery data that does not
        // fit them is found out there, the pieces made.
        const SplitMergeFile::Outcome outcome =
            SplitMergeFile::SplitStream(STDIN_FILENO, std::string(CommandLine::standardStream), arguments.name,
                                        arguments.chunkSize, folder, host, options, &written);
        if (outcome != SplitMergeFile::Outcome::Succeeded) {
            return exitFailed;
        }
        const std::optional<int> lost = recoveryFor(arguments, written.pieces, ": no recovery files were written");
        return lost ? splitEnded(folder, arguments.name, written, arguments.chunkSize, arguments.numbered, *lost, host)
                    : exitFailed;
    }
    const InputChecks::SplitSource source(file);
    if (!source.exists()) {
        host.showNotice({NoticeId::SplitFileMissing, {file}});
        return exitFailed;
    }
    const std::int64_t size = source.size();
    // The smallest chunk size that gives at most `parts` pieces.
    const std::int64_t chunkSize =
        arguments.parts > 0 ? (size + arguments.parts - 1) / arguments.parts : std::int64_t{arguments.chunkSize};
    if (chunkSize > std::numeric_limits<std::int32_t>::max()) {
        host.showNotice({NoticeId::TooLargeForParts, {std::to_string(arguments.parts)}});
        return exitFailed;
    }
    if (source.size() <= chunkSize) {
        host.showNotice({NoticeId::NotLargerThanChunk});
        return exitFailed;
    }
    const std::optional<int> lost =
        recoveryFor(arguments, PieceSet::pieceCount(size, chunkSize), " (try 'quarnel-cli --help')");
    if (!lost) {
        return exitUsage;
    }
    host.setExpectedBytes(size);
    const SplitMergeFile::Outcome outcome =
        SplitMergeFile::SplitFile(source, static_cast<std::int32_t>(chunkSize), folder, host, options, &written);
    if (outcome != SplitMergeFile::Outcome::Succeeded) {
        return exitFailed;
    }
    return splitEnded(folder, Main::GetFileName(file), written, chunkSize, arguments.numbered, *lost, host);
}

int join(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    TypedNames& names = host.names();
    const std::string manifest = listPath(arguments, names);
    const bool toStream = arguments.output && *arguments.output == CommandLine::standardStream;
    if (toStream) {
        // Standard output carries the joined bytes and nothing else.
        host.setOutcomesToStandardError();
    } else {
        host.setOutputFolder(names.folder(arguments.output));
    }
    if (!Main::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    // A file without a single CR LF lists nothing: joining it would only make an empty file.
    const SplitMergeFile::JoinOptions options{.refuseEmptyList = true};
    if (toStream) {
        return exitStatus(SplitMergeFile::JoinToStream(manifest, STDOUT_FILENO,
                                                       std::string(CommandLine::standardStream), host, options));
    }
    return exitStatus(SplitMergeFile::JoinFiles(manifest, host.outputFolder(), host, options));
}

int verify(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    TypedNames& names = host.names();
    const std::string manifest = listPath(arguments, names);
    if (!Main::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    std::vector<Verify::Finding> findings;
    const Result<Verify::Summary> verified =
        Verify::VerifySet(manifest, [&](const Verify::Finding& finding) { findings.push_back(finding); });
    if (!verified) {
        host.fileError(verified.fault().path, verified.fault().why());
        return exitFailed;
    }
    const Verify::Summary& result = *verified;
    // A set found by name has its checksum file under a name of its own.
    const std::string sidecarName = Quoting::quote(
        Main::GetFileName(result.checksumFile.empty() ? Checksum::sidecarPath(manifest) : result.checksumFile));
    std::vector<std::string> reported;
    for (const Verify::Finding& finding : findings) {
        reported.push_back(finding.piecePath);
        host.printResult(names.show(finding.piecePath) + ": " + describe(finding, sidecarName));
    }
    for (const std::string& file : result.wholeMismatches) {
        host.printResult(Messages::text({NoticeId::JoinedFileMismatch, {names.show(file)}}));
    }
    switch (result.verdict) {
    case Verify::Summary::Verdict::NotAList:
        host.showNotice({NoticeId::InvalidManifest, {manifest}});
        return exitFailed;
    case Verify::Summary::Verdict::ChecksumsConflict:
        host.showNotice({NoticeId::ChecksumsConflict, {result.checksumFile}});
        return exitFailed;
    case Verify::Summary::Verdict::Busy:
        host.showNotice({NoticeId::AnotherRunWriting});
        return exitFailed;
    case Verify::Summary::Verdict::Checked:
        break;
    }
    const std::string pieces = std::to_string(result.pieces) + (result.pieces == 1 ? " piece" : " pieces");
    // The recovery data checks every slice, so it also finds damage the lengths and
    // a missing checksum file cannot show.
    std::optional<Recovery::Scan> recovery;
    const std::string folder = Main::GetFolderPart(manifest);
    RunFolder pieceFolder;
    // A numbered set's recovery files are named after its pieces, a list's after it.
    const std::string index = recoveryIndex(manifest);
    if (pieceFolder.open(folder) && pieceFolder.statEntry(index, true)) {
        Result<Recovery::Scan> scan = Recovery::scan(pieceFolder, index);
        if (!scan) {
            recoveryError(folder, scan.fault(), host);
            return exitFailed;
        }
        recovery = std::move(*scan);
    }
    std::int64_t bad = result.bad;
    for (const Recovery::PieceState& piece : recovery ? recovery->pieces : std::vector<Recovery::PieceState>{}) {
        const std::string path = folder + piece.name;
        if (!piece.whole() && std::find(reported.begin(), reported.end(), path) == reported.end()) {
            host.printResult(names.show(path) + ": " + ConsoleHost::reason(NoticeId::PieceDamaged));
            ++bad;
        }
    }
    if (bad == 0 && !result.wholeMismatches.empty()) {
        host.printOutcome("The set is not whole: its pieces do not make the file " +
                          names.show(result.wholeMismatches.front()) + " describes.");
        return exitFailed;
    }
    if (bad > 0) {
        host.printOutcome("The set is not whole: " + std::to_string(bad) + " of " + pieces + " must be sent again.");
        if (recovery) {
            host.printResult(repairLine(*recovery));
        }
        return exitFailed;
    }
    host.printOutcome(result.checksummed || recovery
                          ? "The set is whole: " + pieces + ", every checksum matches."
                          : "The set is whole: " + pieces + " of the right lengths (there is no " + sidecarName +
                                ", so their bytes were not checked).");
    return exitSucceeded;
}

int repair(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    const std::string manifest = listPath(arguments, host.names());
    // A numbered set has no list: any piece names it, also one that is missing.
    if (numberedIndex(Main::GetFileName(manifest)).empty() && !Main::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    const std::string index = recoveryIndex(manifest);
    const std::string folder = Main::GetFolderPart(manifest);
    RunFolder pieceFolder;
    if (!lockFolder(pieceFolder, folder, host)) {
        return exitFailed;
    }
    const Result<Recovery::Scan> scan =
        Recovery::scan(pieceFolder, index, Recovery::Depth::Crc32AndMd5, recoveryProgress(host));
    if (!scan) {
        recoveryError(folder, scan.fault(), host);
        return exitFailed;
    }
    if (scan->whole()) {
        host.printOutcome("The set is whole: nothing to rebuild.");
        return exitSucceeded;
    }
    if (!scan->repairable()) {
        ConsoleHost::printError(repairLine(*scan));
        return exitFailed;
    }
    const Result<std::vector<std::string>> rebuilt = Recovery::repair(pieceFolder, *scan, recoveryProgress(host));
    if (!rebuilt) {
        recoveryError(folder, rebuilt.fault(), host);
        return exitFailed;
    }
    host.showNotice({NoticeId::PiecesRebuilt, {std::to_string(rebuilt->size())}});
    return exitSucceeded;
}

} // namespace Commands
