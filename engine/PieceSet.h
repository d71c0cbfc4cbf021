#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The piece-set format: numbered piece files "<base>_splt<i>" and the manifest
// "<base>.splt", one full piece path per line, every line ended by CR LF.
namespace PieceSet {

inline constexpr int maxPieces = 32767;
// The longest path a manifest line may hold (PATH_MAX).
inline constexpr std::size_t maxPathLength = 4096;
// What the splitter can write: 32,767 lines of up to maxPathLength bytes plus CR LF,
// with room for one more.
inline constexpr std::int64_t maxManifestBytes = std::int64_t{32768} * (maxPathLength + 2);
inline constexpr std::string_view pieceMarker = "_splt";
inline constexpr std::string_view manifestSuffix = ".splt";
inline constexpr std::string_view lineEnd = "\r\n";

// The base name, "_splt" and the number in decimal.
std::string pieceName(std::string_view baseName, int number);

// The base name and ".splt".
std::string manifestName(std::string_view baseName);

// Output folder text, one separator, base name, "_splt" and the number in decimal.
// A folder that ends with a separator gives a doubled one, as the format requires.
std::string piecePath(std::string_view outputFolder, std::string_view baseName, int number);

// Output folder text, one separator, base name and ".splt".
std::string manifestPath(std::string_view outputFolder, std::string_view baseName);

// Number of pieces of a source of `size` bytes cut every `chunkSize` bytes (0 for an
// empty source). chunkSize must be at least 1.
std::int64_t pieceCount(std::int64_t size, std::int64_t chunkSize);

// True when the text holds a CR or an LF byte, which no manifest line can hold.
bool hasLineBreak(std::string_view text);

// One entry of a manifest, as byte offsets into the manifest file.
struct Entry {
    std::int64_t start = 0; // the first byte of the line
    // The first byte of its piece name: the text after the line's last '/', or when it
    // has none after its last '\', or the whole line.
    std::int64_t nameStart = 0;
    std::int64_t end = 0; // the CR of the CR LF that ends it
    bool hasNul = false;  // a NUL byte anywhere in the line: it names no file
};

// Cuts a manifest into entries while it is read block by block, so that no more than
// a block and the entries' offsets are ever in memory. The text is cut at every CR LF;
// the text after the last CR LF is not an entry.
class ManifestScanner {
public:
    // Scans the next block of the manifest and appends every entry it completes to
    // `entries`. Returns false, and appends no more, once `entries` holds more than
    // `limit` entries.
    bool feed(std::string_view block, std::vector<Entry>& entries, std::size_t limit);

private:
    std::int64_t m_offset = 0; // offset of the next block
    Entry m_current;
    std::int64_t m_lastSlash = -1;
    std::int64_t m_lastBackslash = -1;
    bool m_afterCr = false;
};

// The joined file's name: the last component of the manifest path with every
// ".splt" removed, letters compared without regard to case.
std::string joinedName(std::string_view manifestPath);

} // namespace PieceSet
