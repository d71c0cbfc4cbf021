#pragma once

// quarnel-cli as a whole; a stop signal ends the process by that signal after the clean-up.

namespace Program {

int run(int argc, char** argv);

} // namespace Program
