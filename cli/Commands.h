#pragma once

#include "cli/CommandLine.h"

class ConsoleHost;

// The commands of the command line. Split and join test their input in the order of
// the window's commands and return the program's exit status. Messages name files as
// typed (see TypedNames.h) with the system's reason; a refusal or a failure ends the
// command without "Done.".
namespace Commands {

inline constexpr int exitSucceeded = 0;
inline constexpr int exitFailed = 1; // refused, failed, stopped, or a set with faults
inline constexpr int exitUsage = 2;

// Output folder, the two piece-set markers, existence, size against the chunk size,
// then `SplitFile`; "-" splits standard input under --name with `SplitStream`. Ends
// with "Done." when the split succeeded.
int split(const CommandLine::Arguments& arguments, ConsoleHost& host);

// Existence, a list at all, then `JoinFiles`, or `JoinToStream` into standard output
// for --output -. The output folder is the joiner's to test.
int join(const CommandLine::Arguments& arguments, ConsoleHost& host);

// Checks the set and prints one line for each piece that must be sent again; with
// recovery files beside the list, then whether the set can be repaired.
int verify(const CommandLine::Arguments& arguments, ConsoleHost& host);

// Rebuilds the missing and damaged pieces of the set from its recovery files, in place.
int repair(const CommandLine::Arguments& arguments, ConsoleHost& host);

} // namespace Commands
