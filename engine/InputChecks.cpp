#include "engine/InputChecks.h"

#include "engine/FileSize.h"
#include "engine/Main.h"
#include "engine/PieceSet.h"

namespace InputChecks {

bool outputFolderExists(const std::string& folder) {
    return Main::FolderExists(folder);
}

bool namesFile(const std::string& path) {
    return !path.empty();
}

bool containsManifestSuffix(const std::string& path) {
    return path.find(PieceSet::manifestSuffix) != std::string::npos;
}

bool containsPieceMarker(const std::string& path) {
    return path.find(PieceSet::pieceMarker) != std::string::npos;
}

bool fileExists(const std::string& path) {
    return Main::fileExists(path);
}

bool notLargerThanChunk(const std::string& path, std::int64_t chunkSize) {
    return FileSize::FileSize2(path) <= chunkSize;
}

} // namespace InputChecks
