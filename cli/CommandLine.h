#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <getopt.h>

// The arguments of quarnel-cli: getopt_long's table, the commands that take each option, help and version.
namespace CommandLine {

inline constexpr std::int32_t defaultChunkSize = 100000;
// Standard input (split) or standard output (join's --output).
inline constexpr std::string_view standardStream = "-";

enum class Command { Help, Version, Split, Join, Verify, Repair };

// Codes of the options without a short form.
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

// --version is no command's: it answers alone.
bool takes(Command command, int code);

struct Arguments {
    Command command = Command::Help;
    std::string operand; // as typed
    std::optional<std::string> output;
    std::string name; // of a split of standard input
    std::int32_t chunkSize = defaultChunkSize;
    int parts = 0; // the chunk size comes from the file's size
    bool checksum = false;
    bool numbered = false;
    bool quiet = false;
    int recovery = 0; // pieces, or with `recoveryPercent` a share of them, rounded up
    bool recoveryPercent = false;
};

// The pieces --recovery asks for of a set of `pieces` pieces; 0 when more than the set has.
int recoveryPieces(const Arguments& arguments, int pieces);

// The arguments, or a usage error.
struct ParseResult {
    std::optional<Arguments> arguments;
    std::string error;
};

// The arguments after the program name, as getopt_long reads them.
ParseResult parse(const std::vector<std::string>& arguments);

std::string helpText();
std::string versionText();

} // namespace CommandLine
