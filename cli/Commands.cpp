#include "Commands.h"

#include "EngineHost.h"
#include "FileSize.h"
#include "Main.h"
#include "Messages.h"
#include "PieceSet.h"
#include "SplitMergeFile.h"

namespace Commands {

namespace {

int exitStatus(SplitMergeFile::Outcome outcome) {
    return outcome == SplitMergeFile::Outcome::Succeeded ? exitSucceeded : exitFailed;
}

} // namespace

int split(const std::string& file, std::int32_t chunkSize, EngineHost& host) {
    if (!Main::FolderExists(host.outputFolder())) {
        host.showMessage(Messages::folderMissing);
        return exitFailed;
    }
    int status = exitFailed;
    if (file.empty()) {
        // The window says nothing more than "Done." here either.
    } else if (file.find(PieceSet::manifestSuffix) != std::string::npos ||
               file.find(PieceSet::pieceMarker) != std::string::npos) {
        host.showMessage(Messages::alreadySplit);
    } else if (!Main::fileExists(file)) {
        host.showMessage(file + Messages::splitFileMissingSuffix);
    } else if (FileSize::FileSize2(file) <= chunkSize) {
        host.showMessage(Messages::notLargerThanChunk);
    } else {
        const SplitMergeFile::Outcome outcome = SplitMergeFile::SplitFile(file, chunkSize, host);
        if (outcome == SplitMergeFile::Outcome::Stopped) {
            return exitFailed;
        }
        status = exitStatus(outcome);
    }
    host.showMessage(Messages::done);
    return status;
}

int join(const std::string& manifest, EngineHost& host) {
    if (manifest.empty()) {
        host.showMessage(Messages::noFileToJoin);
        return exitFailed;
    }
    if (!Main::fileExists(manifest)) {
        host.showMessage(manifest + Messages::joinFileMissingSuffix);
        return exitFailed;
    }
    return exitStatus(SplitMergeFile::JoinFiles(manifest, host));
}

} // namespace Commands
