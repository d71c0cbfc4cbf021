#include "PieceSet.h"

#include "Main.h"

#include <algorithm>
#include <cctype>

namespace PieceSet {

namespace {

std::string folderAndName(std::string_view outputFolder, std::string_view name) {
    std::string path;
    path.reserve(outputFolder.size() + 1 + name.size() + 8);
    path.append(outputFolder);
    path += Main::nativeSeparator;
    path.append(name);
    return path;
}

bool startsWithNoCase(std::string_view text, std::size_t at, std::string_view word) {
    if (text.size() - at < word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[at + i]);
        const auto b = static_cast<unsigned char>(word[i]);
        if (std::tolower(a) != std::tolower(b)) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string piecePath(std::string_view outputFolder, std::string_view baseName, int number) {
    std::string path = folderAndName(outputFolder, baseName);
    path.append(pieceMarker);
    path += std::to_string(number);
    return path;
}

std::string manifestPath(std::string_view outputFolder, std::string_view baseName) {
    std::string path = folderAndName(outputFolder, baseName);
    path.append(manifestSuffix);
    return path;
}

std::int64_t pieceCount(std::int64_t size, std::int64_t chunkSize) {
    return size / chunkSize + (size % chunkSize != 0 ? 1 : 0);
}

std::vector<std::string> manifestEntries(std::string_view text) {
    std::vector<std::string> entries;
    std::size_t start = 0;
    for (auto end = text.find(lineEnd); end != std::string_view::npos; end = text.find(lineEnd, start)) {
        entries.emplace_back(text.substr(start, end - start));
        start = end + lineEnd.size();
    }
    return entries;
}

std::string entryName(std::string_view line) {
    // Piece sets written on Windows hold backslash paths; a Linux name may itself
    // contain a backslash, so '/' wins when the line has one.
    if (line.find('/') != std::string_view::npos) {
        return Main::GetFileName(line, '/');
    }
    return Main::GetFileName(line, '\\');
}

std::string joinedName(std::string_view manifestPath) {
    const std::string name = Main::GetFileName(manifestPath);
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        if (startsWithNoCase(name, i, manifestSuffix)) {
            i += manifestSuffix.size();
        } else {
            out += name[i++];
        }
    }
    return out;
}

} // namespace PieceSet
