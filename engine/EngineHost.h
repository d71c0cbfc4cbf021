#pragma once

#include <cstdint>
#include <string>

#include "engine/Messages.h"
#include "engine/Result.h"

// What the engine tells whoever drives it, and the one question it asks. Everything else a run needs is a parameter.
class EngineHost {
public:
    virtual ~EngineHost() = default;

    virtual void setProgressValue(int value) = 0;
    virtual void setProgressMaximum(int maximum) = 0;

    // Only a terminal shows bytes; the total (0: unknown) comes first.
    virtual void setProgressBytes(std::int64_t done) { (void)done; }
    virtual void setExpectedBytes(std::int64_t bytes) { (void)bytes; }
    virtual void showNotice(const Notice& notice) = 0;
    // The "Application Error" report of a failing step.
    virtual void reportError(const std::string& sourceLabel, int step, const Fault& fault) = 0;
    // Asked before each piece and between the blocks of a long one.

    virtual bool keepGoing() = 0;
};
