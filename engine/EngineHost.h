#pragma once

#include <cstdint>
#include <string>

#include "engine/Messages.h"
#include "engine/Result.h"

// What the engine needs from whoever drives it: the window, the command line or a
// test. Paths are byte strings exactly as the file system names them.
class EngineHost {
public:
    virtual ~EngineHost() = default;

    // The output folder as the user gave it; it may or may not end with a separator.
    virtual std::string outputFolder() = 0;

    virtual void setProgressValue(int value) = 0;
    virtual void setProgressMaximum(int maximum) = 0;
    virtual int progressMaximum() = 0;

    // Bytes of the source read (split) or of the output written (join) so far, told
    // after each piece and between the blocks of a long one. Only a terminal shows it.
    virtual void setProgressBytes(std::int64_t done) { (void)done; }

    // A plain notice: OK button only, the application title as caption. Messages::text
    // gives its designed English text.
    virtual void showNotice(const Notice& notice) = 0;

    // The "Application Error" report of a failing step. See ErrorReport.h for its text;
    // its description is fault.description(), "PATH: reason".
    virtual void reportError(const std::string& sourceLabel, int step, const Fault& fault) = 0;

    // Gives the event loop one turn. Returns false when the engine must stop at once
    // (the window is closing, the user interrupted the command line).
    virtual bool processEvents() = 0;
};
