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

// A failing step throws its number and fault; the run's outermost frame (guardedRun) reports it once and cleans up.
namespace SplitMergeFile::Steps {

struct StepFailure {
    int step;
    Fault fault;
};

[[noreturn]] inline void fail(int step, const std::string& path, const Fault& fault) {
    throw StepFailure{step, fault.named(path)};
}

[[noreturn]] inline void fail(int step, const std::string& path, const std::string& reason) {
    fail(step, path, Fault::because(reason));
}

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

[[noreturn]] inline void failCopy(const Fault& fault, int readStep, const std::string& readPath, int writeStep,
                                  const std::string& writePath) {
    if (fault.atDestination) {
        fail(writeStep, writePath, fault);
    }
    fail(readStep, readPath, fault);
}

// An allocation failure in `action` fails step `step`; outside such steps, step 104.
template <typename Action> decltype(auto) atStep(int step, const std::string& path, Action&& action) {
    try {
        return action();
    } catch (const std::bad_alloc&) {
        fail(step, path, Fault{ENOMEM});
    }
}

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

// Progress is only for show: its failure is reported and the run carries on.
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

// Under an exclusive lock, a hidden temporary file was left by a run that was killed.
inline void clearLeftovers(const RunFolder& folder) {
    if (folder.lockedExclusively()) {
        TemporaryFile::removeLeftovers(folder.fd());
    }
}

} // namespace SplitMergeFile::Steps
