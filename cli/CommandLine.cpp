#include "CommandLine.h"

#include <limits>
#include <utility>

namespace CommandLine {

namespace {

struct Suffix {
    std::string_view text;
    std::int64_t multiplier;
};

constexpr Suffix suffixes[] = {
    {"", 1},      {"K", std::int64_t{1} << 10}, {"M", std::int64_t{1} << 20}, {"G", std::int64_t{1} << 30},
    {"KB", 1000}, {"MB", 1000 * 1000},          {"GB", 1000 * 1000 * 1000},
};

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

} // namespace

std::optional<std::int32_t> parseChunkSize(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digitsStart = i;
    // Anything above 2^31 is out of range whatever the sign and suffix, so capping
    // there keeps the product below 2^61.
    constexpr std::int64_t cap = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > cap) {
            return std::nullopt;
        }
    }
    if (i == digitsStart) {
        return std::nullopt;
    }
    const std::string_view suffixText = text.substr(i);
    for (const Suffix& suffix : suffixes) {
        if (suffix.text != suffixText) {
            continue;
        }
        const std::int64_t value = (negative ? -magnitude : magnitude) * suffix.multiplier;
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
            return std::nullopt;
        }
        return static_cast<std::int32_t>(value);
    }
    return std::nullopt;
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
    }
    if (arguments.empty()) {
        return usage("missing command: split or join");
    }

    Arguments result;
    const std::string& command = arguments.front();
    if (command == "split") {
        result.command = Command::Split;
    } else if (command == "join") {
        result.command = Command::Join;
    } else {
        return usage("unknown command '" + command + "': use split or join");
    }
    const char* pathName = result.command == Command::Split ? "FILE" : "MANIFEST";

    bool havePath = false;
    bool optionsEnded = false;
    std::optional<std::string> output;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        std::string value;
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (argument == "--chunk-size" || takeValue(argument, "--chunk-size", value))) {
            if (result.command != Command::Split) {
                return usage("join takes no --chunk-size");
            }
            if (argument == "--chunk-size") {
                if (++i == arguments.size()) {
                    return usage("option --chunk-size needs a value");
                }
                value = arguments[i];
            }
            const std::optional<std::int32_t> chunkSize = parseChunkSize(value);
            if (!chunkSize) {
                return usage("invalid chunk size '" + value +
                             "': a whole number of bytes from -2147483648 to 2147483647, optionally "
                             "followed by K, M, G (1024, 1024^2, 1024^3) or KB, MB, GB (1000, 1000^2, 1000^3)");
            }
            result.chunkSize = *chunkSize;
        } else if (!optionsEnded && (argument == "--output" || takeValue(argument, "--output", value))) {
            if (argument == "--output") {
                if (++i == arguments.size()) {
                    return usage("option --output needs a value");
                }
                value = arguments[i];
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
    if (!havePath) {
        return usage(std::string("missing ") + pathName);
    }
    result.outputFolder = output ? makeAbsolute(*output, currentFolder) : currentFolder;
    return ParseResult{result, {}};
}

std::string helpText() {
    return "Usage: quarnel-cli split FILE [--chunk-size BYTES] [--output DIR]\n"
           "       quarnel-cli join MANIFEST [--output DIR]\n"
           "\n"
           "split  cuts FILE into pieces of BYTES bytes, NAME_splt1, NAME_splt2, ... in DIR\n"
           "       (NAME is FILE's name), and writes their list, NAME.splt, last.\n"
           "join   rebuilds the file listed by MANIFEST (a .splt file) from the pieces\n"
           "       that lie beside it; the file takes the manifest's name without .splt.\n"
           "\n"
           "Options:\n"
           "  --chunk-size BYTES  bytes per piece (default 100000); the suffixes K, M, G\n"
           "                      multiply by 1024, 1024^2, 1024^3 and KB, MB, GB by\n"
           "                      1000, 1000^2, 1000^3\n"
           "  --output DIR        folder that receives the result (default: the current\n"
           "                      folder)\n"
           "  -h, --help          show this help\n"
           "\n"
           "Relative paths are taken from the current folder. Messages go to standard\n"
           "output, error reports to standard error, and progress to standard error when\n"
           "it is a terminal. Ctrl-C or SIGTERM stops the work promptly: a stopped split\n"
           "leaves no list, a stopped join leaves an earlier file of its name untouched.\n"
           "\n"
           "Exit status: 0 when the split or join succeeded, 1 when it was refused,\n"
           "failed or stopped, 2 for a usage error.\n";
}

} // namespace CommandLine
