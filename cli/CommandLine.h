#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <getopt.h>

// The arguments of quarnel-cli and what they mean: getopt_long's table of the
// options, the commands that take them, and the help and version texts.
namespace CommandLine {

inline constexpr std::int32_t defaultChunkSize = 100000;
// The operand that stands for standard input (split) or standard output (join's --output).
inline constexpr std::string_view standardStream = "-";

enum class Command { Help, Version, Split, Join, Verify, Repair };

// getopt_long's codes of the options without a short form; the others go by their letter.
enum : int { checksumOption = 256, nameOption, versionOption, recoveryOption, numberedOption };

inline constexpr option longOptions[] = {
    {"chunk-size", required_argument, nullptr, 'b'},
    {"parts", required_argument, nullptr, 'n'},
    {"numbered", no_argument, nullptr, numberedOption},
    {"checksum", no_argument, nullptr, checksumOption},
    {"recovery", required_argument, nullptr, recoveryOption},
    {"output", required_argument, nullptr, 'o'},
    {"name", required_argument, nullptr, nameOption},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, versionOption},
    {nullptr, 0, nullptr, 0},
};

struct CommandName {
    Command command;
    const char* name;
};

inline constexpr CommandName commands[] = {
    {Command::Split, "split"},
    {Command::Join, "join"},
    {Command::Verify, "verify"},
    {Command::Repair, "repair"},
};

// Whether `command` takes the option of getopt_long code `code`. --version is no
// command's: it answers alone.
bool takes(Command command, int code);

struct Arguments {
    Command command = Command::Help;
    std::string operand;               // FILE ("-": standard input) of a split, MANIFEST of the others, as typed
    std::optional<std::string> output; // --output as typed; for a join "-" is standard output
    std::string name;                  // --name: the base name of a split of standard input
    std::int32_t chunkSize = defaultChunkSize;
    int parts = 0; // -n: the chunk size comes from the file's size; 0 when not given
    bool checksum = false;
    bool numbered = false; // --numbered: NAME.001, NAME.002, ... and NAME.crc in place of a list
    bool quiet = false;
    // --recovery: how many pieces the recovery data rebuilds (0: none), or with
    // `recoveryPercent` that share of the pieces, rounded up.
    int recovery = 0;
    bool recoveryPercent = false;
};

// The pieces --recovery asks for of a set of `pieces` pieces; 0 when more than the set has.
int recoveryPieces(const Arguments& arguments, int pieces);

// Either the arguments or the reason they are not usable (a usage error).
struct ParseResult {
    std::optional<Arguments> arguments;
    std::string error;
};

// Parses the arguments after the program name as getopt_long does: options before,
// between and after the operands, short options bundled, long ones abbreviated to
// any unique beginning, "--" ends the options. --help and --version answer at once.
ParseResult parse(const std::vector<std::string>& arguments);

// The text of --help and of --version.
std::string helpText();
std::string versionText();

} // namespace CommandLine
