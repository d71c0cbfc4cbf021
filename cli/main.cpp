#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "CommandLine.h"
#include "Commands.h"
#include "ConsoleHost.h"

namespace {

// The current folder as getcwd gives it; empty when it cannot be read.
std::string workingFolder() {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string currentFolder = workingFolder();
    const int currentFolderError = errno;
    const CommandLine::ParseResult parsed = CommandLine::parse(arguments, currentFolder);
    if (!parsed.arguments) {
        std::fprintf(stderr, "quarnel-cli: %s\nTry 'quarnel-cli --help' for more information.\n", parsed.error.c_str());
        return Commands::exitUsage;
    }
    const CommandLine::Arguments& args = *parsed.arguments;
    if (args.command == CommandLine::Command::Help) {
        std::fputs(CommandLine::helpText().c_str(), stdout);
        return Commands::exitSucceeded;
    }
    if (currentFolder.empty()) {
        std::fprintf(stderr, "quarnel-cli: cannot read the current folder: %s\n", std::strerror(currentFolderError));
        return Commands::exitFailed;
    }

    ConsoleHost::installStopHandlers();
    ConsoleHost host(args.outputFolder, isatty(STDERR_FILENO) == 1);
    const int status = args.command == CommandLine::Command::Split ? Commands::split(args.path, args.chunkSize, host)
                                                                   : Commands::join(args.path, host);
    host.clearProgress();
    return status;
}
