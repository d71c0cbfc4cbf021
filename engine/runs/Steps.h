#pragma once

#include <cerrno>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include <sys/stat.h>

#include "engine/EngineHost.h"
#include "engine/Result.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/TemporaryFile.h"

// How a split or a join fails: a failing step throws its number and its fault, and
// the run's outermost frame (guardedRun) reports it, once, and cleans up. The numbers
// stay fixed where the code runs steps in another order: the manifest's temporary
// file is created with the first piece, and the output folder is opened at the first
// piece's step.
namespace SplitMergeFile::Steps {

// A failing step: reported with its number, then the operation ends.
struct StepFailure {
    int step;
    Fault fault;
};

// Descriptions name the file the failing call concerned: "PATH: reason".
[[noreturn]] inline void fail(int step, const std::string& path, const Fault& fault) {
    throw StepFailure{step, fault.named(path)};
}

[[noreturn]] inline void fail(int step, const std::string& path, const std::string& reason) {
    fail(step, path, Fault::because(reason));
}

// The value of a call of step `step` about `path`; its failure fails the step.
template <typename T>
requires(!std::is_void_v<T>) T orFail(Result<T>&& result, int step, const std::string& path) {
    if (!result) {
        fail(step, path, result.fault());
    }
    return std::move(*result);
}

inline void orFail(const Status& status, int step, const std::string& path) {
    if (!status) {
        fail(step, path, status.fault());
    }
}

// A copy's failure is one of the step that reads or of the step that writes.
[[noreturn]] inline void failCopy(const Fault& fault, int readStep, const std::string& readPath, int writeStep,
                                  const std::string& writePath) {
    if (fault.atDestination) {
        fail(writeStep, writePath, fault);
    }
    fail(readStep, readPath, fault);
}

// Runs `action` as step `step`: an allocation failure in it fails that step, naming
// `path`. Outside such steps it fails the run's first step.
template <typename Action> decltype(auto) atStep(int step, const std::string& path, Action&& action) {
    try {
        return action();
    } catch (const std::bad_alloc&) {
        fail(step, path, Fault{ENOMEM});
    }
}

// Runs a split or a join: a failing step is reported with its own number, an
// allocation failure outside the steps that name their own at 104, naming `path`;
// either way `onFailure` cleans up and the run has failed.
template <typename Run, typename OnFailure>
Outcome guardedRun(EngineHost& host, const char* label, const std::string& path, Run&& run, OnFailure&& onFailure) {
    try {
        return atStep(104, path, run);
    } catch (const StepFailure& failure) {
        host.reportError(label, failure.step, failure.fault);
    }
    onFailure();
    return Outcome::Failed;
}

// Progress is only for show: a failing progress step is reported and the run
// carries on.
template <typename Action> void progressStep(EngineHost& host, const char* label, int step, Action&& action) {
    try {
        action();
    } catch (const std::exception& e) {
        host.reportError(label, step, Fault::because(e.what()));
    }
}

inline bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder's lock says no other run is writing there: a hidden temporary file
// there was left by a run that was killed.
inline void clearLeftovers(const RunFolder& folder) {
    if (folder.lockedExclusively()) {
        TemporaryFile::removeLeftovers(folder.fd());
    }
}

} // namespace SplitMergeFile::Steps
