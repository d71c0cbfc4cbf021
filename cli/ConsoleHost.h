#pragma once

#include <string>

#include "EngineHost.h"

// The engine's host on a terminal: messages to standard output, error reports to
// standard error, a percentage on standard error when that is a terminal, and a stop
// request raised by SIGINT or SIGTERM.
class ConsoleHost : public EngineHost {
public:
    ConsoleHost(std::string outputFolder, bool showProgress);

    // Makes SIGINT and SIGTERM ask the engine to stop at its next event-loop turn.
    // A second signal of the same kind ends the program at once.
    static void installStopHandlers();
    static bool stopRequested();

    // Removes the progress line, if one is shown.
    void clearProgress();

    std::string outputFolder() override;
    void setProgressValue(int value) override;
    void setProgressMaximum(int maximum) override;
    int progressMaximum() override;
    void showMessage(const std::string& text) override;
    void reportError(const std::string& sourceLabel, int step, const std::string& description) override;
    bool processEvents() override;

private:
    void drawProgress();

    std::string m_outputFolder;
    bool m_showProgress;
    int m_value = 0;
    int m_maximum = 0;
    int m_shownPercent = -1;
};
