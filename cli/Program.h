#pragma once

// quarnel-cli as a whole: parses the arguments, runs the command, reports on the
// standard streams and returns the exit status; a stop signal ends the process by
// that signal after the clean-up.
namespace Program {

int run(int argc, char** argv);

} // namespace Program
