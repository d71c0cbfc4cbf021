#pragma once

#include <cstdint>
#include <string>

#include "engine/Messages.h"
#include "engine/Result.h"

// What the engine tells whoever drives it (the window, the command line or a test),
// and the one question it asks. Everything a run needs from its caller (the output
// folder among it) is a parameter, read once when the run starts. Paths are byte
// strings exactly as the file system names them.
class EngineHost {
public:
    virtual ~EngineHost() = default;

    virtual void setProgressValue(int value) = 0;
    virtual void setProgressMaximum(int maximum) = 0;

    // Bytes of the source read (split) or of the output written (join) so far, told
    // after each piece and between the blocks of a long one. Only a terminal shows it.
    virtual void setProgressBytes(std::int64_t done) { (void)done; }
    // The bytes the run will have read or written in all, as soon as it knows them (0:
    // it cannot tell); told before the first setProgressBytes.
    virtual void setExpectedBytes(std::int64_t bytes) { (void)bytes; }

    // A plain notice: OK button only, the application title as caption. Messages::text
    // gives its designed English text.
    virtual void showNotice(const Notice& notice) = 0;

    // The "Application Error" report of a failing step. See ErrorReport.h for its text;
    // its description is fault.description(), "PATH: reason".
    virtual void reportError(const std::string& sourceLabel, int step, const Fault& fault) = 0;

    // Asked before each piece and between the blocks of a long one: false when the engine must stop at once.
    virtual bool keepGoing() = 0;
};
