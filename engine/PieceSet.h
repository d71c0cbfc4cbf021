#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The piece-set format: pieces "<base>_splt<i>" and the list "<base>.splt", one full piece path a line, each ended
// by CR LF.
namespace PieceSet {

inline constexpr int maxPieces = 32767;
inline constexpr std::size_t maxPathLength = 4096; // PATH_MAX
// What the splitter can write, with room for one more line.
inline constexpr std::int64_t maxManifestBytes = std::int64_t{32768} * (maxPathLength + 2);
inline constexpr std::string_view pieceMarker = "_splt";
inline constexpr std::string_view manifestSuffix = ".splt";
inline constexpr std::string_view lineEnd = "\r\n";

std::string pieceName(std::string_view baseName, int number);
std::string manifestName(std::string_view baseName);
// A folder that ends with a separator gives a doubled one, as the format requires.
std::string piecePath(std::string_view outputFolder, std::string_view baseName, int number);
std::string manifestPath(std::string_view outputFolder, std::string_view baseName);

// 0 for an empty source; chunkSize at least 1.
std::int64_t pieceCount(std::int64_t size, std::int64_t chunkSize);

// No list line can hold a CR or an LF.
bool hasLineBreak(std::string_view text);

// One entry of a list, as byte offsets into it.
struct Entry {
    std::int64_t start = 0;
    // After the line's last '/', else its last '\'.
    std::int64_t nameStart = 0;
    std::int64_t end = 0; // the CR of its CR LF
    bool hasNul = false;  // it names no file
};

// Cuts a list into entries block by block, so that only a block and the offsets are in memory. The text after the
// last CR LF is no entry.
class ManifestScanner {
public:
    // False, appending no more, once `entries` holds more than `limit`.
    bool feed(std::string_view block, std::vector<Entry>& entries, std::size_t limit);

private:
    std::int64_t m_offset = 0;
    Entry m_current;
    std::int64_t m_lastSlash = -1;
    std::int64_t m_lastBackslash = -1;
    bool m_afterCr = false;
};

// The list's name with every ".splt" removed, in any case.

std::string joinedName(std::string_view manifestPath);

} // namespace PieceSet
