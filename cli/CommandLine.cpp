#include "cli/CommandLine.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <utility>

#include "cli/Quoting.h"
#include "engine/PieceSet.h"

namespace CommandLine {

namespace {

constexpr std::int64_t largestChunk = std::numeric_limits<std::int32_t>::max();

// The power of the unit a suffix letter names (K: 1, M: 2, ... Q: 10; k and m also in
// lower case, as split reads them), or 0.
int suffixPower(char letter) {
    constexpr std::string_view units = "KMGTPEZYRQ";
    const std::size_t at = units.find(letter == 'k' ? 'K' : letter == 'm' ? 'M' : letter);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
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

struct ChunkSize {
    enum class Status { Valid, Invalid, AboveLimit };
    Status status = Status::Invalid;
    std::int32_t bytes = 0;
};

// A byte count as `split -b` reads it (suffixes b, K.., KiB.., KB..), valid from 1 to the largest piece.
ChunkSize parseChunkSize(const std::string& text) {
    char* end = nullptr;
    // Too many digits give the largest number, which is above the limit as they are.
    const long long number = std::strtoll(text.c_str(), &end, 10);
    int power = 0;
    const std::int64_t unit = end == text.c_str() ? 0 : multiplier(end, power);
    if (unit == 0 || number <= 0) {
        return {};
    }
    // Capping just past the limit keeps every product below 2^63.
    constexpr std::int64_t cap = largestChunk + 1;
    std::int64_t value = std::min<std::int64_t>(number, cap) * (power == 0 ? unit : 1);
    for (int p = 0; p < power; ++p) {
        value = std::min(value * unit, cap);
    }
    if (value > largestChunk) {
        return {ChunkSize::Status::AboveLimit, 0};
    }
    return {ChunkSize::Status::Valid, static_cast<std::int32_t>(value)};
}

ParseResult usage(std::string error) {
    return ParseResult{std::nullopt, std::move(error)};
}

std::string quoted(std::string_view text) {
    return Quoting::quote(text, Quoting::When::Always);
}

// A whole number from 1 to `most`, in decimal digits alone.
std::optional<int> wholeNumber(std::string_view text, int most) {
    int value = 0;
    const char* end = text.data() + text.size();
    // from_chars takes a '-' too, and refuses blanks and a '+'.
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < 1 || value > most) {
        return std::nullopt;
    }
    return value;
}

// A whole number of pieces, an optional '+' before it, from 1 to the most a list holds.
std::optional<int> parseParts(std::string_view text) {
    text.remove_prefix(text.substr(0, 1) == "+" ? 1 : 0);
    return wholeNumber(text, PieceSet::maxPieces);
}

// --recovery's N (1 to the most pieces a list holds) or N% (1 to 100).
bool parseRecovery(std::string_view text, Arguments& result) {
    result.recoveryPercent = !text.empty() && text.back() == '%';
    text.remove_suffix(result.recoveryPercent ? 1 : 0);
    const std::optional<int> value = wholeNumber(text, result.recoveryPercent ? 100 : PieceSet::maxPieces);
    result.recovery = value.value_or(0);
    return value.has_value();
}

// The long form of getopt_long's code `code`, or null.
const option* optionOf(int code) {
    for (const option* entry = longOptions; entry->name != nullptr; ++entry) {
        if (entry->val == code) {
            return entry;
        }
    }
    return nullptr;
}

// getopt_long's refusal (`code` ':' or '?'), which it is told not to print, in the words of the other usage errors.

std::string optionError(int code, std::string_view typed) {
    const option* known = optopt != 0 ? optionOf(optopt) : nullptr;
    const std::string longForm = known != nullptr ? std::string("--") + known->name : std::string();
    const std::string shortForm{'-', static_cast<char>(optopt)};
    if (code == ':' && known != nullptr) {
        return "option " + (typed.substr(0, 2) == "--" ? longForm : shortForm) + " needs a value";
    }
    if (known != nullptr) {
        return "option " + longForm + " takes no value";
    }
    if (optopt != 0) {
        return "unknown option " + quoted(shortForm);
    }
    // A long option that is unknown, or that begins more than one.
    const std::string_view name = typed.substr(0, typed.find('='));
    const std::string_view begun = name.substr(std::min<std::size_t>(2, name.size()));
    std::string candidates;
    int count = 0;
    for (const option* entry = longOptions; entry->name != nullptr; ++entry) {
        if (std::string_view(entry->name).substr(0, begun.size()) == begun) {
            candidates += (count++ == 0 ? "--" : ", --") + std::string(entry->name);
        }
    }
    return count > 1 ? "option " + quoted(name) + " is ambiguous: " + candidates : "unknown option " + quoted(name);
}

// Why `command` does not take the option of code `code`.
std::string notTaken(const CommandName& command, int code) {
    std::string reason = std::string(command.name) + " takes no --" + optionOf(code)->name;
    if (code == checksumOption) {
        reason += ": every join and verify checks the checksum file when it lies beside the list";
    } else if (code == 'o' && command.command != Command::Join) {
        reason += ": it writes nothing";
    }
    return reason;
}

std::string chunkSizeError(const std::string& value, ChunkSize::Status status) {
    if (status == ChunkSize::Status::AboveLimit) {
        return "chunk size " + quoted(value) + " is too large: a piece of a split file holds at most 2147483647 bytes";
    }
    return "invalid chunk size " + quoted(value) +
           ": a whole number of bytes from 1 to 2147483647, optionally followed by K, M, G (1024, 1024^2, "
           "1024^3; also KiB, MiB, GiB) or KB, MB, GB (1000, 1000^2, 1000^3)";
}

ParseResult checkOperands(Arguments& result, const CommandName& command, const std::vector<std::string>& operands,
                          bool haveChunkSize, bool haveName) {
    const bool splitting = command.command == Command::Split;
    if (operands.size() < 2) {
        return usage("missing " + std::string(splitting ? "FILE" : "MANIFEST"));
    }
    if (operands.size() > 2) {
        return usage("unexpected argument " + quoted(operands[2]));
    }
    result.operand = operands[1];
    if (haveChunkSize && result.parts > 0) {
        return usage("use either --chunk-size or --parts, not both");
    }
    const bool fromStream = result.operand == standardStream;
    if (splitting && fromStream && !haveName) {
        return usage("split - needs --name NAME: the name of the pieces and of their list");
    }
    if (splitting && !fromStream && haveName) {
        return usage("--name is for a split of standard input (-) only; a file's pieces take its name");
    }
    // The base name of a split of standard input: a name, not a path. Its line breaks
    // and its length are the splitter's to refuse, as for any file's name.
    if (splitting && haveName && result.name.empty()) {
        return usage("--name needs a file name: that of the pieces and of their list");
    }
    if (splitting && haveName && result.name.find('/') != std::string::npos) {
        return usage("--name " + quoted(result.name) +
                     " is a path: give the file name alone, and the folder with --output");
    }
    if (splitting && fromStream && result.parts > 0) {
        return usage("--parts needs the size of the file: a split of standard input takes --chunk-size");
    }
    if (!splitting && fromStream) {
        return usage(std::string(command.name) +
                     " reads its list from a file, not from standard input: the pieces are looked for beside it");
    }
    if (splitting && result.output && *result.output == standardStream) {
        return usage("split writes pieces into a folder: --output - is for join only");
    }
    return ParseResult{result, {}};
}

} // namespace

int recoveryPieces(const Arguments& arguments, int pieces) {
    const int wanted = arguments.recoveryPercent
                           ? static_cast<int>((std::int64_t{arguments.recovery} * pieces + 99) / 100)
                           : arguments.recovery;
    return wanted <= pieces ? wanted : 0;
}

bool takes(Command command, int code) {
    switch (code) {
    case 'b':
    case 'n':
    case checksumOption:
    case numberedOption:
    case nameOption:
    case recoveryOption:
        return command == Command::Split;
    case 'o':
        return command == Command::Split || command == Command::Join;
    case 'q':
    case 'h':
        return true;
    default:
        return false;
    }
}

ParseResult parse(const std::vector<std::string>& arguments) {
    // getopt_long permutes argv: it gets copies.
    std::vector<std::string> words{"quarnel-cli"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    Arguments result;
    std::vector<int> given;
    bool haveChunkSize = false;
    bool haveName = false;
    // 0 starts getopt afresh, as every parse must; its own messages stay unprinted.
    optind = 0;
    opterr = 0;
    const int argc = static_cast<int>(argv.size()) - 1;
    // The leading ':' makes a missing value ':' and not '?'.
    for (int code; (code = getopt_long(argc, argv.data(), ":b:n:o:qh", longOptions, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        switch (code) {
        case 'h':
            return ParseResult{Arguments{}, {}};
        case versionOption: {
            Arguments version;
            version.command = Command::Version;
            return ParseResult{version, {}};
        }
        case 'b': {
            const ChunkSize chunkSize = parseChunkSize(value);
            if (chunkSize.status != ChunkSize::Status::Valid) {
                return usage(chunkSizeError(value, chunkSize.status));
            }
            result.chunkSize = chunkSize.bytes;
            haveChunkSize = true;
            break;
        }
        case 'n': {
            const std::optional<int> parts = parseParts(value);
            if (!parts) {
                return usage("invalid number of parts " + quoted(value) +
                             ": a whole number from 1 to 32767, the most pieces a split file list holds");
            }
            result.parts = *parts;
            break;
        }
        case checksumOption:
            result.checksum = true;
            break;
        case numberedOption:
            result.numbered = true;
            break;
        case 'o':
            result.output = value;
            break;
        case nameOption:
            result.name = value;
            haveName = true;
            break;
        case recoveryOption:
            if (!parseRecovery(value, result)) {
                return usage("invalid recovery " + quoted(value) +
                             ": a whole number of pieces from 1 to the piece count, or N% of the pieces");
            }
            break;
        case 'q':
            result.quiet = true;
            break;
        default:
            return usage(optionError(code, argv[static_cast<std::size_t>(optind) - 1]));
        }
        given.push_back(code);
    }
    // In argv, which getopt_long has put in order: the options first, then the operands.
    const std::vector<std::string> operands(argv.begin() + optind, argv.end() - 1);
    if (operands.empty()) {
        return usage("missing command: split, join, verify or repair");
    }
    const CommandName* command = std::find_if(std::begin(commands), std::end(commands),
                                              [&](const CommandName& known) { return operands.front() == known.name; });
    if (command == std::end(commands)) {
        return usage("unknown command " + quoted(operands.front()) + ": use split, join, verify or repair");
    }
    result.command = command->command;
    for (const int code : given) {
        if (!takes(command->command, code)) {
            return usage(notTaken(*command, code));
        }
    }
    return checkOperands(result, *command, operands, haveChunkSize, haveName);
}

std::string helpText() {
    return "Usage: quarnel-cli split FILE [-b BYTES | -n N] [--numbered] [--checksum] [--recovery N] [-o DIR] [-q]\n"
           "       quarnel-cli split - --name NAME [-b BYTES] [--numbered] [--checksum] [--recovery N] [-o DIR] [-q]\n"
           "       quarnel-cli join MANIFEST [-o DIR] [-q]\n"
           "       quarnel-cli verify MANIFEST [-q]\n"
           "       quarnel-cli repair MANIFEST [-q]\n"
           "       quarnel-cli --help | --version\n"
           "\n"
           "split   cuts FILE into pieces of BYTES bytes, NAME_splt1, NAME_splt2, ... in\n"
           "        DIR (NAME is FILE's name), and writes their list, NAME.splt, last.\n"
           "        FILE - reads standard input to its end; --name gives the NAME.\n"
           "join    rebuilds the file listed by MANIFEST (a .splt file) from the pieces\n"
           "        that lie beside it; the file takes the manifest's name without .splt.\n"
           "        MANIFEST may also be one of the pieces: NAME.splt beside it is used.\n"
           "        Sets of other programs join too: MANIFEST is then any piece NAME.001\n"
           "        (NAME.000 ...), the first piece xaa or x00 of a coreutils split, or\n"
           "        the set's .crc; the file is the .crc's name, else the piece's name\n"
           "        less its suffix, checked against the .crc or sums file beside. With\n"
           "        recovery files beside, missing and damaged pieces are rebuilt for\n"
           "        the join; the pieces on disk stay as they are.\n"
           "verify  checks the pieces MANIFEST lists without joining them: it names every\n"
           "        piece that is missing, has the wrong length or is damaged, and writes\n"
           "        nothing; with recovery files beside the list, it also says whether\n"
           "        the set can be repaired.\n"
           "repair  rebuilds the missing and damaged pieces MANIFEST lists from the\n"
           "        recovery files beside it, keeping a damaged piece as PIECE.damaged.\n"
           "        For a numbered set, MANIFEST is any of its pieces or NAME.par2.\n"
           "\n"
           "Options:\n"
           "  -b, --chunk-size=BYTES  bytes per piece (default 100000, at most 2147483647);\n"
           "                          the suffixes K, M, G (also KiB, MiB, GiB) multiply by\n"
           "                          1024, 1024^2, 1024^3 and KB, MB, GB by 1000, 1000^2,\n"
           "                          1000^3, as split -b reads them\n"
           "  -n, --parts=N           the smallest chunk size that gives at most N pieces\n"
           "                          (1 to 32767)\n"
           "      --numbered          write the pieces as NAME.001, NAME.002, ... (more digits\n"
           "                          past 999 pieces) and, in place of the list, NAME.crc\n"
           "                          with the size and CRC-32 of FILE, which 7-Zip, file\n"
           "                          managers and cat join; the other files are then\n"
           "                          NAME.sha256, NAME.par2 and NAME.volA+B.par2\n"
           "      --checksum          also write NAME.splt.sha256, the SHA-256 of every piece\n"
           "                          and of FILE in sha256sum format; join and verify check\n"
           "                          the pieces against it whenever it lies beside the list\n"
           "      --recovery=N        also write PAR 2.0 recovery files, NAME.splt.par2 and\n"
           "                          NAME.splt.volA+B.par2, that rebuild any N missing or\n"
           "                          damaged pieces (1 to the piece count, or N% of the\n"
           "                          pieces, rounded up); they take about N pieces of\n"
           "                          bytes\n"
           "  -o, --output=DIR        folder that receives the result (default: the current\n"
           "                          folder); for join, - writes the file to standard output\n"
           "      --name=NAME         the name of a split of standard input: NAME_splt1, ...\n"
           "  -q, --quiet             no outcome messages (\"Done.\" and the like)\n"
           "  -h, --help              show this help\n"
           "      --version           show the version, the copyright and the licence\n"
           "\n"
           "Relative paths are taken from the current folder. Outcome messages go to\n"
           "standard output (to standard error when it carries a joined file);\n"
           "refusals and failures go to standard error, one line each, a failure's\n"
           "step number last in parentheses. Progress is shown on standard error\n"
           "when it is a terminal. Ctrl-C or SIGTERM stops the work promptly: a\n"
           "stopped split leaves no list, a stopped join leaves an earlier file of its\n"
           "name untouched.\n"
           "\n"
           "Exit status: 0 when the split or join succeeded or the set is whole, 1 when\n"
           "it was refused, failed or found faults (or a set cannot be repaired), 2\n"
           "for a usage error; stopped by a signal, the program ends by that signal\n"
           "(130 for Ctrl-C in a shell).\n"
           "\n"
           "Quarnel home page: <" QUARNEL_HOME_PAGE ">\n";
}

std::string versionText() {
    return "quarnel-cli " QUARNEL_VERSION "\n"
           "Copyright (C) " QUARNEL_COPYRIGHT "\n"
           "License MIT: <https://opensource.org/licenses/MIT>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

} // namespace CommandLine
