#include "cli/CommandLine.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/PieceSet.h"

namespace CommandLine {

namespace {

constexpr std::int64_t largestChunk = std::numeric_limits<std::int32_t>::max();

// The power of the unit a suffix letter names (k and K: 1, M and m: 2, ...), or 0.
int suffixPower(char letter) {
    switch (letter) {
    case 'k':
    case 'K':
        return 1;
    case 'M':
    case 'm':
        return 2;
    case 'G':
        return 3;
    case 'T':
        return 4;
    case 'P':
        return 5;
    case 'E':
        return 6;
    case 'Z':
        return 7;
    case 'Y':
        return 8;
    case 'R':
        return 9;
    case 'Q':
        return 10;
    default:
        return 0;
    }
}

// The multiplier of a size suffix; 0 when it is not one.
std::int64_t multiplier(std::string_view suffix, int& power) {
    power = 0;
    if (suffix.empty()) {
        return 1;
    }
    if (suffix == "b") {
        return 512;
    }
    power = suffixPower(suffix.front());
    if (power == 0) {
        return 0;
    }
    const std::string_view unit = suffix.substr(1);
    if (unit.empty() || unit == "iB") {
        return 1024;
    }
    if (unit == "B" || unit == "D") {
        return 1000;
    }
    return 0;
}

bool takeValue(const std::string& argument, std::string_view option, std::string& value) {
    if (argument.size() <= option.size() || argument.compare(0, option.size(), option) != 0 ||
        argument[option.size()] != '=') {
        return false;
    }
    value = argument.substr(option.size() + 1);
    return true;
}

ParseResult usage(std::string error) {
    return ParseResult{std::nullopt, std::move(error)};
}

std::optional<int> parseParts(std::string_view text) {
    std::size_t i = text.empty() || text.front() != '+' ? 0 : 1;
    if (i == text.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
        if (value > PieceSet::maxPieces) {
            return std::nullopt;
        }
    }
    if (value < 1) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

const char* commandName(Command command) {
    switch (command) {
    case Command::Split:
        return "split";
    case Command::Join:
        return "join";
    case Command::Verify:
        return "verify";
    default:
        return "";
    }
}

} // namespace

ChunkSize parseChunkSize(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digitsStart = i;
    // Capping just past both limits keeps every product below 2^63 and still tells
    // -2^31 - 1 from -2^31.
    constexpr std::int64_t cap = largestChunk + 2;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), cap);
    }
    if (i == digitsStart) {
        return {};
    }
    int power = 0;
    const std::int64_t unit = multiplier(text.substr(i), power);
    if (unit == 0) {
        return {};
    }
    std::int64_t value = magnitude * (power == 0 ? unit : 1);
    for (int p = 0; p < power; ++p) {
        value = std::min(value * unit, cap);
    }
    if (negative) {
        value = -value;
        if (value < std::numeric_limits<std::int32_t>::min()) {
            return {};
        }
    } else if (value > largestChunk) {
        return {ChunkSize::Status::AboveLimit, 0};
    }
    return {ChunkSize::Status::Valid, static_cast<std::int32_t>(value)};
}

std::string makeAbsolute(const std::string& path, const std::string& currentFolder) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    // getcwd gives "/" alone for the root; do not make that "//".
    if (!currentFolder.empty() && currentFolder.back() == '/') {
        return currentFolder + path;
    }
    return currentFolder + "/" + path;
}

ParseResult parse(const std::vector<std::string>& arguments, const std::string& currentFolder) {
    for (const std::string& argument : arguments) {
        if (argument == "--") {
            break;
        }
        if (argument == "--help" || argument == "-h") {
            return ParseResult{Arguments{}, {}};
        }
        if (argument == "--version") {
            Arguments version;
            version.command = Command::Version;
            return ParseResult{version, {}};
        }
    }
    if (arguments.empty()) {
        return usage("missing command: split, join or verify");
    }

    Arguments result;
    const std::string& command = arguments.front();
    if (command == "split") {
        result.command = Command::Split;
    } else if (command == "join") {
        result.command = Command::Join;
    } else if (command == "verify") {
        result.command = Command::Verify;
    } else {
        return usage("unknown command '" + command + "': use split, join or verify");
    }
    const std::string name = commandName(result.command);
    const bool splitting = result.command == Command::Split;

    bool havePath = false;
    bool optionsEnded = false;
    bool haveChunkSize = false;
    std::optional<std::string> output;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        // Takes the value of an option given as "--name VALUE"; "--name=VALUE" and
        // "-nVALUE" have filled `value` already.
        const auto separateValue = [&] {
            if (++i == arguments.size()) {
                return false;
            }
            value = arguments[i];
            return true;
        };
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--chunk-size" || takeValue(argument, "--chunk-size", value))) {
            if (!splitting) {
                return usage(name + " takes no --chunk-size");
            }
            if (argument == "--chunk-size" && !separateValue()) {
                return usage("option --chunk-size needs a value");
            }
            const ChunkSize chunkSize = parseChunkSize(value);
            if (chunkSize.status == ChunkSize::Status::AboveLimit) {
                return usage("chunk size '" + value +
                             "' is too large: a piece of a split file holds at most 2147483647 bytes");
            }
            if (chunkSize.status == ChunkSize::Status::Malformed) {
                return usage("invalid chunk size '" + value +
                             "': a whole number of bytes, optionally followed by K, M, G (1024, 1024^2, 1024^3; "
                             "also KiB, MiB, GiB) or KB, MB, GB (1000, 1000^2, 1000^3)");
            }
            result.chunkSize = chunkSize.bytes;
            haveChunkSize = true;
        } else if (!optionsEnded &&
                   (argument == "-n" || argument == "--parts" || takeValue(argument, "--parts", value) ||
                    (argument.size() > 2 && argument.compare(0, 2, "-n") == 0))) {
            if (!splitting) {
                return usage(name + " takes no --parts");
            }
            if (argument == "-n" || argument == "--parts") {
                if (!separateValue()) {
                    return usage("option " + argument + " needs a value");
                }
            } else if (argument.compare(0, 2, "-n") == 0) {
                value = argument.substr(2);
            }
            const std::optional<int> parts = parseParts(value);
            if (!parts) {
                return usage("invalid number of parts '" + value +
                             "': a whole number from 1 to 32767, the most pieces a split file list holds");
            }
            result.parts = *parts;
        } else if (!optionsEnded && argument == "--checksum") {
            if (!splitting) {
                return usage(name + " takes no --checksum: every join and verify checks the checksum file "
                                    "when it lies beside the list");
            }
            result.checksum = true;
        } else if (!optionsEnded && (argument == "-q" || argument == "--quiet")) {
            result.quiet = true;
        } else if (!optionsEnded && (argument == "--output" || takeValue(argument, "--output", value))) {
            if (result.command == Command::Verify) {
                return usage("verify takes no --output: it writes nothing");
            }
            if (argument == "--output" && !separateValue()) {
                return usage("option --output needs a value");
            }
            output = value;
        } else if (!optionsEnded && argument.size() > 1 && argument.front() == '-') {
            return usage("unknown option '" + argument + "'");
        } else if (havePath) {
            return usage("unexpected argument '" + argument + "'");
        } else {
            result.path = makeAbsolute(argument, currentFolder);
            havePath = true;
        }
    }
    if (haveChunkSize && result.parts > 0) {
        return usage("use either --chunk-size or --parts, not both");
    }
    if (!havePath) {
        return usage("missing " + std::string(splitting ? "FILE" : "MANIFEST"));
    }
    result.outputFolder = output ? makeAbsolute(*output, currentFolder) : currentFolder;
    return ParseResult{result, {}};
}

std::string helpText() {
    return "Usage: quarnel-cli split FILE [--chunk-size BYTES | -n N] [--checksum]\n"
           "                         [--output DIR] [-q]\n"
           "       quarnel-cli join MANIFEST [--output DIR] [-q]\n"
           "       quarnel-cli verify MANIFEST [-q]\n"
           "       quarnel-cli --help | --version\n"
           "\n"
           "split   cuts FILE into pieces of BYTES bytes, NAME_splt1, NAME_splt2, ... in\n"
           "        DIR (NAME is FILE's name), and writes their list, NAME.splt, last.\n"
           "join    rebuilds the file listed by MANIFEST (a .splt file) from the pieces\n"
           "        that lie beside it; the file takes the manifest's name without .splt.\n"
           "        MANIFEST may also be one of the pieces: NAME.splt beside it is used.\n"
           "verify  checks the pieces MANIFEST lists without joining them: it names every\n"
           "        piece that is missing, has the wrong length or is damaged, and writes\n"
           "        nothing.\n"
           "\n"
           "Options:\n"
           "  --chunk-size BYTES  bytes per piece (default 100000, at most 2147483647);\n"
           "                      the suffixes K, M, G (also KiB, MiB, GiB) multiply by\n"
           "                      1024, 1024^2, 1024^3 and KB, MB, GB by 1000, 1000^2,\n"
           "                      1000^3, as split -b reads them\n"
           "  -n, --parts N       the smallest chunk size that gives at most N pieces\n"
           "                      (1 to 32767)\n"
           "  --checksum          also write NAME.splt.sha256, the SHA-256 of every piece\n"
           "                      and of FILE in sha256sum format; join and verify check\n"
           "                      the pieces against it whenever it lies beside the list\n"
           "  --output DIR        folder that receives the result (default: the current\n"
           "                      folder)\n"
           "  -q, --quiet         no outcome messages (\"Done.\" and the like)\n"
           "  -h, --help          show this help\n"
           "      --version       show the version\n"
           "\n"
           "Relative paths are taken from the current folder. Outcome messages go to\n"
           "standard output; refusals and failures go to standard error, one line each,\n"
           "a failure's step number last in parentheses. Progress is shown on standard\n"
           "error when it is a terminal. Ctrl-C or SIGTERM stops the work promptly: a\n"
           "stopped split leaves no list, a stopped join leaves an earlier file of its\n"
           "name untouched.\n"
           "\n"
           "Exit status: 0 when the split or join succeeded or the set is whole, 1 when\n"
           "it was refused, failed or found faults, 2 for a usage error; stopped by a\n"
           "signal, the program ends by that signal (130 for Ctrl-C in a shell).\n";
}

} // namespace CommandLine
