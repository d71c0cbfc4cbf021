#include "cli/Program.h"

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/ConsoleHost.h"
#include "cli/TypedNames.h"

namespace Program {

namespace {

// A run whose standard output could not be written or closed has failed, as with
// the tools beside it.
int closeStandardOutput(int status, int earlierError) {
    errno = 0;
    const bool flushed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    int error = flushed ? 0 : (errno != 0 ? errno : EIO);
    errno = 0;
    if (std::fclose(stdout) != 0 && error == 0) {
        error = errno != 0 ? errno : EIO;
    }
    if (earlierError != 0) {
        error = earlierError;
    }
    if (error == 0) {
        return status;
    }
    ConsoleHost::printError(std::string("standard output: ") + std::strerror(error));
    return status == Commands::exitSucceeded ? Commands::exitFailed : status;
}

int printText(const std::string& text) {
    errno = 0;
    // A text longer than stdout's buffer meets the error here, not at the last flush.
    const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return closeStandardOutput(Commands::exitSucceeded, written || errno == 0 ? 0 : errno);
}

} // namespace

int run(int argc, char** argv) {
    // The system's reasons in the user's language, and names quoted by what the
    // terminal's character set can show.
    std::setlocale(LC_ALL, "");
    // A standard stream closed by the caller must not become the first file the
    // engine opens, or messages would be written into a piece or the joined file.
    // Read-only, so that writes to it still fail and are reported.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDONLY) != fd) {
            return Commands::exitFailed;
        }
    }
    // A closed pipe on standard output is a write error to report, not a death that
    // leaves half-made files behind.
    std::signal(SIGPIPE, SIG_IGN);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::error_code currentFolderError;
    const std::string currentFolder = std::filesystem::current_path(currentFolderError);
    const CommandLine::ParseResult parsed = CommandLine::parse(arguments);
    if (!parsed.arguments) {
        // One line, as every other error: the reason, then where to read more.
        ConsoleHost::printError(parsed.error + " (try 'quarnel-cli --help')");
        return Commands::exitUsage;
    }
    const CommandLine::Arguments& args = *parsed.arguments;
    if (args.command == CommandLine::Command::Help) {
        return printText(CommandLine::helpText());
    }
    if (args.command == CommandLine::Command::Version) {
        return printText(CommandLine::versionText());
    }
    if (currentFolderError) {
        ConsoleHost::printError("cannot read the current folder: " + currentFolderError.message());
        return Commands::exitFailed;
    }

    // A join into standard output leaves nothing behind: when its reader goes, it
    // ends as cat does.
    if (args.command == CommandLine::Command::Join && args.output && *args.output == CommandLine::standardStream) {
        std::signal(SIGPIPE, SIG_DFL);
    }
    // verify writes nothing, so it has nothing to clean up and may die at once.
    if (args.command != CommandLine::Command::Verify) {
        ConsoleHost::installStopHandlers();
    }
    TypedNames names(currentFolder);
    ConsoleHost host(names, isatty(STDERR_FILENO) == 1, args.quiet);
    using Command = CommandLine::Command;
    const auto run = args.command == Command::Split    ? Commands::split
                     : args.command == Command::Join   ? Commands::join
                     : args.command == Command::Verify ? Commands::verify
                                                       : Commands::repair;
    int status = run(args, host);
    host.clearProgress();
    status = closeStandardOutput(status, host.outputError());

    // Cleaned up: now end the way the signal would have ended us, so that the shell
    // and any caller see it (130 or 143).
    if (const int signalNumber = ConsoleHost::stopSignal(); signalNumber != 0) {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
        return 128 + signalNumber;
    }
    return status;
}

} // namespace Program
