#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The arguments of quarnel-cli and what they mean.
namespace CommandLine {

inline constexpr std::int32_t defaultChunkSize = 100000;

enum class Command { Help, Version, Split, Join, Verify };

struct Arguments {
    Command command = Command::Help;
    std::string path; // FILE of a split, MANIFEST of a join or verify; may be empty
    std::int32_t chunkSize = defaultChunkSize;
    int parts = 0; // -n: the chunk size comes from the file's size; 0 when not given
    bool checksum = false;
    bool quiet = false;
    std::string outputFolder;
};

// Either the arguments or the reason they are not usable (a usage error).
struct ParseResult {
    std::optional<Arguments> arguments;
    std::string error;
};

struct ChunkSize {
    enum class Status { Valid, Malformed, AboveLimit };
    Status status = Status::Malformed;
    std::int32_t bytes = 0;
};

// A byte count as `split -b` reads it: optional blanks, an optional sign, decimal
// digits and an optional suffix: b (512), or one of k K M m G T P E Z Y R Q alone or
// followed by iB (powers of 1024) or by B or D (powers of 1000). AboveLimit past
// 2147483647, the largest piece the format holds; Malformed for anything else that
// is not a signed 32-bit number. Zero and negative values are Valid: the engine
// refuses them with its own message.
ChunkSize parseChunkSize(std::string_view text);

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
