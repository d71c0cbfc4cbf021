#include "cli/Commands.h"

#include <cstring>
#include <limits>

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

// "Done." after a split that succeeded, as the window ends one.
int splitEnded(SplitMergeFile::Outcome outcome, ConsoleHost& host) {
    if (outcome != SplitMergeFile::Outcome::Succeeded) {
        return exitFailed;
    }
    host.showNotice({NoticeId::Done});
    return exitSucceeded;
}

// The manifest a join or verify uses for `path`: NAME.splt beside it when `path` names
// a piece NAME_spltN and that list exists; else `path` itself.
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
    if (fromStream) {
        return splitEnded(SplitMergeFile::SplitStream(STDIN_FILENO, std::string(CommandLine::standardStream),
                                                      arguments.name, arguments.chunkSize, folder, host,
                                                      arguments.checksum),
                          host);
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
    if (InputChecks::notLargerThanChunk(source, chunkSize)) {
        host.showNotice({NoticeId::NotLargerThanChunk});
        return exitFailed;
    }
    host.setExpectedBytes(size);
    return splitEnded(
        SplitMergeFile::SplitFile(source, static_cast<std::int32_t>(chunkSize), folder, host, arguments.checksum),
        host);
}

int join(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    TypedNames& names = host.names();
    const std::string typed = manifestFor(arguments.operand);
    const std::string manifest = names.file(typed);
    names.listFolder(manifest, typed);
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
    // A list that cannot be read fails the join itself, at its step.
    const Result<Verify::Summary> scan = Verify::estimateSet(manifest);
    if (scan && scan->verdict == Verify::Summary::Verdict::NotAList) {
        host.showNotice({NoticeId::InvalidManifest, {manifest}});
        return exitFailed;
    }
    host.setExpectedBytes(scan ? scan->bytes : 0);
    if (toStream) {
        return exitStatus(
            SplitMergeFile::JoinToStream(manifest, STDOUT_FILENO, std::string(CommandLine::standardStream), host));
    }
    return exitStatus(SplitMergeFile::JoinFiles(manifest, host.outputFolder(), host));
}

int verify(const CommandLine::Arguments& arguments, ConsoleHost& host) {
    TypedNames& names = host.names();
    const std::string typed = manifestFor(arguments.operand);
    const std::string manifest = names.file(typed);
    names.listFolder(manifest, typed);
    if (!Main::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    const std::string sidecarName = Quoting::quote(Main::GetFileName(Checksum::sidecarPath(manifest)));
    const Result<Verify::Summary> verified = Verify::VerifySet(manifest, [&](const Verify::Finding& finding) {
        host.printResult(names.show(finding.piecePath) + ": " + describe(finding, sidecarName));
    });
    if (!verified) {
        host.fileError(verified.fault().path, verified.fault().why());
        return exitFailed;
    }
    const Verify::Summary& result = *verified;
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
    if (result.bad > 0) {
        host.printOutcome("The set is not whole: " + std::to_string(result.bad) + " of " + pieces +
                          " must be sent again.");
        return exitFailed;
    }
    host.printOutcome(result.checksummed ? "The set is whole: " + pieces + ", every checksum matches."
                                         : "The set is whole: " + pieces + " of the right lengths (there is no " +
                                               sidecarName + ", so their bytes were not checked).");
    return exitSucceeded;
}

} // namespace Commands
