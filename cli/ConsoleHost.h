#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/ProgressLine.h"
#include "cli/TypedNames.h"
#include "engine/EngineHost.h"

// The engine's host on a terminal: outcomes on standard output unless quiet, every other notice and failure one line
// on standard error, files named as typed; progress on standard error when that is a terminal.
class ConsoleHost : public EngineHost {
public:
    ConsoleHost(TypedNames& names, bool showProgress, bool quiet);

    TypedNames& names() { return m_names; }
    void setOutputFolder(std::string folder) { m_outputFolder = std::move(folder); }
    // When standard output carries data.
    void setOutcomesToStandardError() { m_outcomes = stderr; }

    // SIGINT and SIGTERM ask the engine to stop; a second one ends the program at once. One ignored at start stays
    // ignored.
    static void installStopHandlers();
    static int stopSignal(); // 0: none

    void printResult(const std::string& text); // even when quiet
    void printOutcome(const std::string& text);
    static void printError(const std::string& text);
    void fileError(const std::string& path, const std::string& reason);
    // A notice's text after "NAME: ": "%1 is damaged: ..." gives "damaged: ...", without the full stop.
    static std::string reason(NoticeId id);

    void setExpectedBytes(std::int64_t bytes) override { m_expectedBytes = bytes; }
    void clearProgress();
    // The errno of the first failed write to standard output.
    int outputError() const { return m_outputError; }

    const std::string& outputFolder() const { return m_outputFolder; }
    // A terminal shows bytes, not pieces.
    void setProgressValue(int) override {}
    void setProgressMaximum(int) override {}
    void setProgressBytes(std::int64_t done) override;
    void showNotice(const Notice& notice) override;
    void reportError(const std::string& sourceLabel, int step, const Fault& fault) override;
    bool keepGoing() override;

private:
    void refusal(const std::string& text);

    void drawProgress(bool force);

    TypedNames& m_names;
    std::string m_outputFolder;
    std::FILE* m_outcomes = stdout;
    bool m_showProgress;
    bool m_quiet;
    std::int64_t m_expectedBytes = 0;
    std::int64_t m_doneBytes = 0;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_lastDraw;
    ProgressLine m_progress;
    std::size_t m_shownWidth = 0; // 0: no progress line on screen
    int m_outputError = 0;
};
