#include "cli/CommandLine.h"

#include <algorithm>
#include <limits>
#include <utility>

#include <getopt.h>

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

ParseResult usage(std::string error) {
    return ParseResult{std::nullopt, std::move(error)};
}

std::string quoted(std::string_view text) {
    return Quoting::quote(text, Quoting::When::Always);
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

// getopt_long's code of an option: its letter, or past every byte for a long form only.
constexpr int longOnlyCode = 256;

int codeOf(const OptionSpec& option) {
    return option.shortName != 0 ? option.shortName : longOnlyCode + static_cast<int>(&option - options().data());
}

const OptionSpec* byCode(int code) {
    for (const OptionSpec& option : options()) {
        if (codeOf(option) == code) {
            return &option;
        }
    }
    return nullptr;
}

const CommandSpec* commandNamed(std::string_view name) {
    for (const CommandSpec& command : commands()) {
        if (name == command.name) {
            return &command;
        }
    }
    return nullptr;
}

std::string longForm(const OptionSpec& option) {
    return std::string("--") + option.longName;
}

// The option as the usage lines show it: the short form where there is one.
std::string usageForm(const OptionSpec& option) {
    std::string form = option.shortName != 0 ? std::string{'-', option.shortName} : longForm(option);
    if (option.value != nullptr) {
        form += std::string(" ") + option.value;
    }
    return form;
}

// The option as the help's list names it: "-b, --chunk-size=BYTES".
std::string helpTag(const OptionSpec& option) {
    std::string tag = option.shortName != 0 ? std::string{'-', option.shortName} + ", " : "    ";
    tag += longForm(option);
    if (option.value != nullptr) {
        tag += std::string("=") + option.value;
    }
    return tag;
}

// The long options `typed` ("--ch", "--ch=5") may abbreviate.
std::vector<std::string> longOptionsBeginningWith(std::string_view typed) {
    typed.remove_prefix(std::min<std::size_t>(2, typed.size()));
    std::vector<std::string> found;
    for (const OptionSpec& option : options()) {
        if (std::string_view(option.longName).substr(0, typed.size()) == typed) {
            found.push_back(longForm(option));
        }
    }
    return found;
}

// The reason getopt_long refused an option: `code` is ':' for a missing value, else
// '?'; `typed` is the argument it read last.
std::string optionError(int code, std::string_view typed) {
    const bool longTyped = typed.substr(0, 2) == "--";
    const OptionSpec* option = optopt != 0 ? byCode(optopt) : nullptr;
    if (code == ':' && option != nullptr) {
        return "option " + (longTyped ? longForm(*option) : std::string{'-', option->shortName}) + " needs a value";
    }
    if (option != nullptr) {
        return "option " + longForm(*option) + " takes no value";
    }
    if (optopt != 0) {
        return "unknown option " + quoted(std::string{'-', static_cast<char>(optopt)});
    }
    const std::string name(typed.substr(0, typed.find('=')));
    const std::vector<std::string> candidates = longOptionsBeginningWith(name);
    if (candidates.size() > 1) {
        std::string list;
        for (const std::string& candidate : candidates) {
            list += (list.empty() ? "" : ", ") + candidate;
        }
        return "option " + quoted(name) + " is ambiguous: " + list;
    }
    return "unknown option " + quoted(name);
}

// Why `command` does not take `option`.
std::string notTaken(const CommandSpec& command, const OptionSpec& option) {
    std::string reason = std::string(command.name) + " takes no " + longForm(option);
    if (option.option == Option::Checksum) {
        reason += ": every join and verify checks the checksum file when it lies beside the list";
    } else if (option.option == Option::Output && command.command == Command::Verify) {
        reason += ": it writes nothing";
    }
    return reason;
}

bool takes(const CommandSpec& command, Option option) {
    const std::vector<Option> taken = optionsOf(command);
    return std::find(taken.begin(), taken.end(), option) != taken.end();
}

std::string chunkSizeError(const std::string& value, ChunkSize::Status status) {
    if (status == ChunkSize::Status::AboveLimit) {
        return "chunk size " + quoted(value) + " is too large: a piece of a split file holds at most 2147483647 bytes";
    }
    return "invalid chunk size " + quoted(value) +
           ": a whole number of bytes from 1 to 2147483647, optionally followed by K, M, G (1024, 1024^2, "
           "1024^3; also KiB, MiB, GiB) or KB, MB, GB (1000, 1000^2, 1000^3)";
}

// The base name of a split of standard input: a name, not a path. Its line breaks
// and its length are the splitter's to refuse, as for any file's name.
std::optional<std::string> nameError(const std::string& name) {
    if (name.empty()) {
        return "--name needs a file name: that of the pieces and of their list";
    }
    if (name.find('/') != std::string::npos) {
        return "--name " + quoted(name) + " is a path: give the file name alone, and the folder with --output";
    }
    return std::nullopt;
}

ParseResult checkOperands(Arguments& result, const CommandSpec& command, const std::vector<std::string>& operands,
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
    if (splitting && haveName) {
        if (const auto error = nameError(result.name)) {
            return usage(*error);
        }
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

const std::vector<OptionSpec>& options() {
    static const std::vector<OptionSpec> table = {
        {Option::ChunkSize, 'b', "chunk-size", "BYTES",
         "bytes per piece (default 100000, at most 2147483647);\n"
         "the suffixes K, M, G (also KiB, MiB, GiB) multiply by\n"
         "1024, 1024^2, 1024^3 and KB, MB, GB by 1000, 1000^2,\n"
         "1000^3, as split -b reads them"},
        {Option::Parts, 'n', "parts", "N", "the smallest chunk size that gives at most N pieces\n(1 to 32767)"},
        {Option::Checksum, 0, "checksum", nullptr,
         "also write NAME.splt.sha256, the SHA-256 of every piece\n"
         "and of FILE in sha256sum format; join and verify check\n"
         "the pieces against it whenever it lies beside the list"},
        {Option::Output, 'o', "output", "DIR",
         "folder that receives the result (default: the current\n"
         "folder); for join, - writes the file to standard output"},
        {Option::Name, 0, "name", "NAME", "the name of a split of standard input: NAME_splt1, ..."},
        {Option::Quiet, 'q', "quiet", nullptr, "no outcome messages (\"Done.\" and the like)"},
        {Option::Help, 'h', "help", nullptr, "show this help"},
        {Option::Version, 0, "version", nullptr, "show the version, the copyright and the licence"},
    };
    return table;
}

const std::vector<CommandSpec>& commands() {
    static const std::vector<CommandSpec> table = {
        {Command::Split,
         "split",
         {{"FILE", {}}, {"- --name NAME", {Option::Parts}}},
         {{Option::ChunkSize, Option::Parts}, {Option::Checksum}, {Option::Output}, {Option::Quiet}},
         {Option::Name},
         "cuts FILE into pieces of BYTES bytes, NAME_splt1, NAME_splt2, ... in\n"
         "DIR (NAME is FILE's name), and writes their list, NAME.splt, last.\n"
         "FILE - reads standard input to its end; --name gives the NAME."},
        {Command::Join,
         "join",
         {{"MANIFEST", {}}},
         {{Option::Output}, {Option::Quiet}},
         {},
         "rebuilds the file listed by MANIFEST (a .splt file) from the pieces\n"
         "that lie beside it; the file takes the manifest's name without .splt.\n"
         "MANIFEST may also be one of the pieces: NAME.splt beside it is used."},
        {Command::Verify,
         "verify",
         {{"MANIFEST", {}}},
         {{Option::Quiet}},
         {},
         "checks the pieces MANIFEST lists without joining them: it names every\n"
         "piece that is missing, has the wrong length or is damaged, and writes\n"
         "nothing."},
    };
    return table;
}

const OptionSpec& spec(Option option) {
    for (const OptionSpec& candidate : options()) {
        if (candidate.option == option) {
            return candidate;
        }
    }
    return options().front();
}

std::vector<Option> optionsOf(const CommandSpec& command) {
    std::vector<Option> taken;
    for (const std::vector<Option>& group : command.groups) {
        taken.insert(taken.end(), group.begin(), group.end());
    }
    taken.insert(taken.end(), command.formOptions.begin(), command.formOptions.end());
    taken.push_back(Option::Help);
    return taken;
}

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
    // Capping just past the limit keeps every product below 2^63.
    constexpr std::int64_t cap = largestChunk + 1;
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
    if (negative || value == 0) {
        return {ChunkSize::Status::TooSmall, 0};
    }
    if (value > largestChunk) {
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

ParseResult parse(const std::vector<std::string>& arguments) {
    // getopt_long permutes argv: it gets copies.
    std::vector<std::string> words{"quarnel-cli"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // A leading ':' makes a missing value ':' and not '?'.
    std::string shortOptions = ":";
    std::vector<option> longOptions;
    for (const OptionSpec& spec : options()) {
        if (spec.shortName != 0) {
            shortOptions += spec.shortName;
            if (spec.value != nullptr) {
                shortOptions += ':';
            }
        }
        longOptions.push_back(
            {spec.longName, spec.value != nullptr ? required_argument : no_argument, nullptr, codeOf(spec)});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    Arguments result;
    std::vector<Option> given;
    bool haveChunkSize = false;
    bool haveName = false;
    // 0 starts getopt afresh, as every parse must; its own messages stay unprinted.
    optind = 0;
    opterr = 0;
    const int argc = static_cast<int>(argv.size()) - 1;
    for (int code; (code = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
        const OptionSpec* option = byCode(code);
        if (option == nullptr) {
            return usage(optionError(code, argv[static_cast<std::size_t>(optind) - 1]));
        }
        given.push_back(option->option);
        const std::string value = optarg != nullptr ? optarg : "";
        switch (option->option) {
        case Option::Help:
            return ParseResult{Arguments{}, {}};
        case Option::Version: {
            Arguments version;
            version.command = Command::Version;
            return ParseResult{version, {}};
        }
        case Option::ChunkSize: {
            const ChunkSize chunkSize = parseChunkSize(value);
            if (chunkSize.status != ChunkSize::Status::Valid) {
                return usage(chunkSizeError(value, chunkSize.status));
            }
            result.chunkSize = chunkSize.bytes;
            haveChunkSize = true;
            break;
        }
        case Option::Parts: {
            const std::optional<int> parts = parseParts(value);
            if (!parts) {
                return usage("invalid number of parts " + quoted(value) +
                             ": a whole number from 1 to 32767, the most pieces a split file list holds");
            }
            result.parts = *parts;
            break;
        }
        case Option::Checksum:
            result.checksum = true;
            break;
        case Option::Output:
            result.output = value;
            break;
        case Option::Name:
            result.name = value;
            haveName = true;
            break;
        case Option::Quiet:
            result.quiet = true;
            break;
        }
    }
    // In argv, which getopt_long has put in order: the options first, then the operands.
    const std::vector<std::string> operands(argv.begin() + optind, argv.end() - 1);
    if (operands.empty()) {
        return usage("missing command: split, join or verify");
    }
    const CommandSpec* command = commandNamed(operands.front());
    if (command == nullptr) {
        return usage("unknown command " + quoted(operands.front()) + ": use split, join or verify");
    }
    result.command = command->command;
    for (const Option option : given) {
        if (!takes(*command, option)) {
            return usage(notTaken(*command, spec(option)));
        }
    }
    return checkOperands(result, *command, operands, haveChunkSize, haveName);
}

namespace {

// Lines of `text` after `first` on the first and `indent` blanks on the others.
std::string indented(const std::string& first, std::size_t indent, const std::string& text) {
    std::string out;
    std::size_t start = 0;
    for (bool firstLine = true; start <= text.size(); firstLine = false) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        out += firstLine ? first : std::string(indent, ' ');
        out.append(text, start, end - start);
        out += '\n';
        start = end + 1;
    }
    return out;
}

} // namespace

std::string helpText() {
    constexpr std::size_t column = 26;
    std::string text;
    for (const CommandSpec& command : commands()) {
        for (const FormSpec& form : command.forms) {
            std::string line =
                std::string(text.empty() ? "Usage: " : "       ") + "quarnel-cli " + command.name + " " + form.operands;
            for (const std::vector<Option>& group : command.groups) {
                std::string forms;
                for (const Option option : group) {
                    if (std::find(form.without.begin(), form.without.end(), option) == form.without.end()) {
                        forms += (forms.empty() ? "" : " | ") + usageForm(spec(option));
                    }
                }
                if (!forms.empty()) {
                    line += " [" + forms + "]";
                }
            }
            text += line + "\n";
        }
    }
    text += "       quarnel-cli --help | --version\n\n";
    for (const CommandSpec& command : commands()) {
        std::string name = command.name;
        name.resize(8, ' ');
        text += indented(name, 8, command.help);
    }
    text += "\nOptions:\n";
    for (const OptionSpec& option : options()) {
        std::string tag = "  " + helpTag(option);
        if (tag.size() + 2 > column) {
            text += tag + "\n";
            tag.clear();
        }
        tag.resize(column, ' ');
        text += indented(tag, column, option.help);
    }
    text += "\n"
            "Relative paths are taken from the current folder. Outcome messages go to\n"
            "standard output (to standard error when it carries a joined file);\n"
            "refusals and failures go to standard error, one line each, a failure's\n"
            "step number last in parentheses. Progress is shown on standard error\n"
            "when it is a terminal. Ctrl-C or SIGTERM stops the work promptly: a\n"
            "stopped split leaves no list, a stopped join leaves an earlier file of its\n"
            "name untouched.\n"
            "\n"
            "Exit status: 0 when the split or join succeeded or the set is whole, 1 when\n"
            "it was refused, failed or found faults, 2 for a usage error; stopped by a\n"
            "signal, the program ends by that signal (130 for Ctrl-C in a shell).\n"
            "\n"
            "Quarnel home page: <" QUARNEL_HOME_PAGE ">\n";
    return text;
}

std::string versionText() {
    return "quarnel-cli " QUARNEL_VERSION "\n"
           "Copyright (C) " QUARNEL_COPYRIGHT "\n"
           "License MIT: <https://opensource.org/licenses/MIT>.\n"
           "This is free software: you are free to change and redistribute it.\n"
           "There is NO WARRANTY, to the extent permitted by law.\n";
}

} // namespace CommandLine
