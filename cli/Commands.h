#pragma once

#include "cli/CommandLine.h"

class ConsoleHost;

// The commands of the command line; each returns the exit status. Split and join check their input in the window's
// order.
namespace Commands {

inline constexpr int exitSucceeded = 0;
inline constexpr int exitFailed = 1; // refused, failed, stopped, or a set with faults
inline constexpr int exitUsage = 2;

int split(const CommandLine::Arguments& arguments, ConsoleHost& host);
int join(const CommandLine::Arguments& arguments, ConsoleHost& host);
// One line for each piece that must be sent again, then whether recovery files can repair the set.
int verify(const CommandLine::Arguments& arguments, ConsoleHost& host);
// Rebuilds missing and damaged pieces from the recovery files, in place.
int repair(const CommandLine::Arguments& arguments, ConsoleHost& host);

} // namespace Commands
