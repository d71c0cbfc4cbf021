#include "engine/PieceSet.h"

#include <strings.h>

#include "engine/Main.h"

namespace PieceSet {

namespace {

std::string folderAndName(std::string_view outputFolder, const std::string& name) {
    return std::string(outputFolder) + Main::nativeSeparator + name;
}

} // namespace

std::string pieceName(std::string_view baseName, int number) {
    std::string name(baseName);
    name.append(pieceMarker);
    name += std::to_string(number);
    return name;
}

std::string manifestName(std::string_view baseName) {
    std::string name(baseName);
    name.append(manifestSuffix);
    return name;
}

std::string piecePath(std::string_view outputFolder, std::string_view baseName, int number) {
    return folderAndName(outputFolder, pieceName(baseName, number));
}

std::string manifestPath(std::string_view outputFolder, std::string_view baseName) {
    return folderAndName(outputFolder, manifestName(baseName));
}

std::int64_t pieceCount(std::int64_t size, std::int64_t chunkSize) {
    return size / chunkSize + (size % chunkSize != 0 ? 1 : 0);
}

bool hasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool ManifestScanner::feed(std::string_view block, std::vector<Entry>& entries, std::size_t limit) {
    for (std::size_t i = 0; i < block.size(); ++i) {
        if (entries.size() > limit) {
            return false;
        }
        const char c = block[i];
        const std::int64_t at = m_offset + static_cast<std::int64_t>(i);
        if (c == '\n' && m_afterCr) {
            // Piece sets written on Windows hold backslash paths; a Linux name may itself
            // contain a backslash, so '/' wins when the line has one.
            m_current.end = at - 1;
            m_current.nameStart = m_lastSlash >= 0       ? m_lastSlash + 1
                                  : m_lastBackslash >= 0 ? m_lastBackslash + 1
                                                         : m_current.start;
            entries.push_back(m_current);
            m_current = Entry{};
            m_current.start = at + 1;
            m_lastSlash = m_lastBackslash = -1;
            m_afterCr = false;
            continue;
        }
        m_afterCr = c == '\r';
        if (c == '/') {
            m_lastSlash = at;
        } else if (c == '\\') {
            m_lastBackslash = at;
        } else if (c == '\0') {
            m_current.hasNul = true;
        }
    }
    m_offset += static_cast<std::int64_t>(block.size());
    return entries.size() <= limit;
}

std::string joinedName(std::string_view manifestPath) {
    const std::string name = Main::GetFileName(manifestPath);
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        if (::strncasecmp(name.c_str() + i, manifestSuffix.data(), manifestSuffix.size()) == 0) {
            i += manifestSuffix.size();
        } else {
            out += name[i++];
        }
    }
    return out;
}

} // namespace PieceSet
