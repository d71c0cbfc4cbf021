#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The arguments of quarnel-cli and what they mean.
namespace CommandLine {

inline constexpr std::int32_t defaultChunkSize = 100000;

enum class Command { Help, Split, Join };

struct Arguments {
    Command command = Command::Help;
    std::string path; // FILE of a split, MANIFEST of a join; may be empty
    std::int32_t chunkSize = defaultChunkSize;
    std::string outputFolder;
};

// Either the arguments or the reason they are not usable (a usage error).
struct ParseResult {
    std::optional<Arguments> arguments;
    std::string error;
};

// A byte count as `split -b` writes it: an optional sign, decimal digits and an
// optional suffix K, M, G (powers of 1024) or KB, MB, GB (powers of 1000). Returns
// nothing for malformed text and for values outside signed 32 bits. Zero and
// negative values are returned: the engine refuses them with its own message.
std::optional<std::int32_t> parseChunkSize(std::string_view text);

// `path` prefixed with `currentFolder` and one '/' when it is relative; an empty or
// absolute path unchanged. Nothing else is touched: no "." or ".." folding, and a
// trailing '/' stays, because the manifest lines show the folder as given.
std::string makeAbsolute(const std::string& path, const std::string& currentFolder);

// Parses the arguments after the program name. Paths come back absolute against
// `currentFolder`, which is also the output folder when none is given.
ParseResult parse(const std::vector<std::string>& arguments, const std::string& currentFolder);

// The text of --help.
std::string helpText();

} // namespace CommandLine
