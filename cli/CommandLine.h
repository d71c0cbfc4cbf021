#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The arguments of quarnel-cli and what they mean: a table of the commands and the
// options each takes, read by getopt_long, and the help and version texts made from it.
namespace CommandLine {

inline constexpr std::int32_t defaultChunkSize = 100000;
// The operand that stands for standard input (split) or standard output (join's --output).
inline constexpr std::string_view standardStream = "-";

enum class Command { Help, Version, Split, Join, Verify };

enum class Option { ChunkSize, Parts, Checksum, Output, Name, Quiet, Help, Version };

struct OptionSpec {
    Option option;
    char shortName;       // 0: a long form only
    const char* longName; // without the leading "--"
    const char* value;    // the value's name in the help; nullptr when it takes none
    const char* help;     // its lines in --help, '\n' between them
};

// One usage line of a command.
struct FormSpec {
    const char* operands;        // what follows the command's name: "FILE"
    std::vector<Option> without; // options of the command's groups this form does not take
};

struct CommandSpec {
    Command command;
    const char* name;
    std::vector<FormSpec> forms;
    // The options it takes, each group bracketed in the usage line; the options of a
    // group exclude each other.
    std::vector<std::vector<Option>> groups;
    // Options it takes that a form names rather than a group.
    std::vector<Option> formOptions;
    const char* help; // its lines in --help
};

const std::vector<OptionSpec>& options();
const std::vector<CommandSpec>& commands();
const OptionSpec& spec(Option option);
// Every option `command` takes, --help included.
std::vector<Option> optionsOf(const CommandSpec& command);

struct Arguments {
    Command command = Command::Help;
    std::string operand;               // FILE ("-": standard input) of a split, MANIFEST of a join or verify, as typed
    std::optional<std::string> output; // --output as typed; for a join "-" is standard output
    std::string name;                  // --name: the base name of a split of standard input
    std::int32_t chunkSize = defaultChunkSize;
    int parts = 0; // -n: the chunk size comes from the file's size; 0 when not given
    bool checksum = false;
    bool quiet = false;
};

// Either the arguments or the reason they are not usable (a usage error).
struct ParseResult {
    std::optional<Arguments> arguments;
    std::string error;
};

struct ChunkSize {
    enum class Status { Valid, Malformed, TooSmall, AboveLimit };
    Status status = Status::Malformed;
    std::int32_t bytes = 0;
};

// A byte count as `split -b` reads it: optional blanks, an optional sign, decimal
// digits and an optional suffix: b (512), or one of k K M m G T P E Z Y R Q alone or
// followed by iB (powers of 1024) or by B or D (powers of 1000). Valid from 1 to
// 2147483647, the largest piece the format holds; TooSmall for 0 and below,
// AboveLimit past the largest; Malformed for anything else.
ChunkSize parseChunkSize(std::string_view text);

// `path` prefixed with `currentFolder` and one '/' when it is relative; an empty or
// absolute path unchanged. Nothing else is touched: no "." or ".." folding, and a
// trailing '/' stays, because the manifest lines show the folder as given.
std::string makeAbsolute(const std::string& path, const std::string& currentFolder);

// Parses the arguments after the program name as getopt_long does: options before,
// between and after the operands, short options bundled, long ones abbreviated to
// any unique beginning, "--" ends the options. --help and --version answer at once.
ParseResult parse(const std::vector<std::string>& arguments);

// The text of --help and of --version.
std::string helpText();
std::string versionText();

} // namespace CommandLine
