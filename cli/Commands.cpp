#include "cli/Commands.h"

#include <cstring>
#include <limits>

#include "cli/ConsoleHost.h"
#include "engine/Checksum.h"
#include "engine/FileSize.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/Messages.h"
#include "engine/PieceSet.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"

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
        return "damaged: its checksum does not match";
    case Problem::Unlisted:
        return "damaged: " + sidecarName + " holds no checksum for it";
    }
    return {};
}

} // namespace

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

int split(const std::string& file, const SplitOptions& options, ConsoleHost& host) {
    if (!InputChecks::outputFolderExists(host.outputFolder())) {
        host.showNotice({NoticeId::FolderMissing});
        return exitFailed;
    }
    int status = exitFailed;
    if (!InputChecks::namesFile(file)) {
        // The window says nothing more than "Done." here either.
    } else if (InputChecks::containsManifestSuffix(file) || InputChecks::containsPieceMarker(file)) {
        host.showNotice({NoticeId::AlreadySplit});
    } else if (const InputChecks::SplitSource source(file); !source.exists()) {
        host.showNotice({NoticeId::SplitFileMissing, {file}});
    } else {
        const std::int64_t size = source.size();
        // The smallest chunk size that gives at most `parts` pieces.
        const std::int64_t chunkSize =
            options.parts > 0 ? (size + options.parts - 1) / options.parts : std::int64_t{options.chunkSize};
        if (chunkSize > std::numeric_limits<std::int32_t>::max()) {
            host.showNotice({NoticeId::TooLargeForParts, {std::to_string(options.parts)}});
        } else if (InputChecks::notLargerThanChunk(source, chunkSize)) {
            host.showNotice({NoticeId::NotLargerThanChunk});
        } else {
            host.setExpectedBytes(size);
            const SplitMergeFile::Outcome outcome =
                SplitMergeFile::SplitFile(source, static_cast<std::int32_t>(chunkSize), host, options.checksums);
            if (outcome == SplitMergeFile::Outcome::Stopped) {
                return exitFailed;
            }
            status = exitStatus(outcome);
        }
    }
    host.showNotice({NoticeId::Done});
    return status;
}

int join(const std::string& given, ConsoleHost& host) {
    if (!InputChecks::namesFile(given)) {
        host.showNotice({NoticeId::NoFileToJoin});
        return exitFailed;
    }
    const std::string manifest = manifestFor(given);
    if (!InputChecks::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    // A file without a single CR LF lists nothing: joining it would only make an empty file.
    const Verify::Result scan = Verify::estimateSet(manifest);
    if (scan.status == Verify::Result::Status::NotAList) {
        host.showNotice({NoticeId::InvalidManifest, {manifest}});
        return exitFailed;
    }
    host.setExpectedBytes(scan.bytes);
    return exitStatus(SplitMergeFile::JoinFiles(manifest, host));
}

int verify(const std::string& given, ConsoleHost& host) {
    if (given.empty()) {
        host.showNotice({NoticeId::NoFileToVerify});
        return exitFailed;
    }
    const std::string manifest = manifestFor(given);
    if (!Main::fileExists(manifest)) {
        host.showNotice({NoticeId::JoinFileMissing, {manifest}});
        return exitFailed;
    }
    const std::string sidecarName = Main::GetFileName(Checksum::sidecarPath(manifest));
    const Verify::Result result = Verify::VerifySet(manifest, [&](const Verify::Finding& finding) {
        host.printResult(finding.piecePath + ": " + describe(finding, sidecarName));
    });
    switch (result.status) {
    case Verify::Result::Status::Failed:
        ConsoleHost::printError(result.failedPath + ": " + std::strerror(result.error));
        return exitFailed;
    case Verify::Result::Status::NotAList:
        host.showNotice({NoticeId::InvalidManifest, {manifest}});
        return exitFailed;
    case Verify::Result::Status::ChecksumsConflict:
        host.showNotice({NoticeId::ChecksumsConflict, {result.failedPath}});
        return exitFailed;
    case Verify::Result::Status::Checked:
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
