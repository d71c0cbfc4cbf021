#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The piece-set format: numbered piece files "<base>_splt<i>" and the manifest
// "<base>.splt", one full piece path per line, every line ended by CR LF.
namespace PieceSet {

inline constexpr int maxPieces = 32767;
inline constexpr std::int64_t maxManifestBytes = std::int64_t{64} * 1024 * 1024;
inline constexpr std::string_view pieceMarker = "_splt";
inline constexpr std::string_view manifestSuffix = ".splt";
inline constexpr std::string_view lineEnd = "\r\n";

// Output folder text, one separator, base name, "_splt" and the number in decimal.
// A folder that ends with a separator gives a doubled one, as the format requires.
std::string piecePath(std::string_view outputFolder, std::string_view baseName, int number);

// Output folder text, one separator, base name and ".splt".
std::string manifestPath(std::string_view outputFolder, std::string_view baseName);

// Number of pieces of a source of `size` bytes cut every `chunkSize` bytes (0 for an
// empty source). chunkSize must be at least 1.
std::int64_t pieceCount(std::int64_t size, std::int64_t chunkSize);

// The entries of a manifest: its text cut at every CR LF; the text after the last
// CR LF is not an entry, so a manifest without any CR LF has none.
std::vector<std::string> manifestEntries(std::string_view text);

// The piece name of a manifest line: the text after its last '/', or when it has
// none after its last '\', or the whole line.
std::string entryName(std::string_view line);

// The joined file's name: the last component of the manifest path with every
// ".splt" removed, letters compared without regard to case.
std::string joinedName(std::string_view manifestPath);

} // namespace PieceSet
