#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/ProgressLine.h"
#include "cli/TypedNames.h"
#include "engine/EngineHost.h"

// The engine's host on a terminal. The outcome messages ("File successfully split",
// "Done.", "Files successfully joined") go to standard output unless quiet; every
// other notice, and each failing step, is one line on standard error after
// "quarnel-cli: ", the files in it named as typed. Progress (bytes, speed, time left)
// is drawn on standard error when that is a terminal. SIGINT and SIGTERM raise a stop
// request.
class ConsoleHost : public EngineHost {
public:
    ConsoleHost(TypedNames& names, bool showProgress, bool quiet);

    TypedNames& names() { return m_names; }
    void setOutputFolder(std::string folder) { m_outputFolder = std::move(folder); }
    // Outcomes and results go to standard error, as standard output carries data.
    void setOutcomesToStandardError() { m_outcomes = stderr; }

    // Makes SIGINT and SIGTERM ask the engine to stop at its next event-loop turn; a
    // second signal of the same kind ends the program at once. A signal that was
    // ignored when the program started stays ignored.
    static void installStopHandlers();
    // The signal that asked for a stop, or 0.
    static int stopSignal();

    // Prints a line of the command's result on standard output, even when quiet.
    void printResult(const std::string& text);
    // Prints an outcome message on standard output unless quiet.
    void printOutcome(const std::string& text);
    // Prints "quarnel-cli: " and the text on standard error.
    static void printError(const std::string& text);
    // "NAME: reason" on standard error, the file named as typed.
    void fileError(const std::string& path, const std::string& reason);
    // What a notice about one file says after "NAME: ", from its designed text:
    // "%1 is damaged: ..." gives "damaged: ...", without the full stop.
    static std::string reason(NoticeId id);

    // The total the byte progress counts towards; 0 when unknown.
    void setExpectedBytes(std::int64_t bytes) override { m_expectedBytes = bytes; }

    // Removes the progress line, if one is shown.
    void clearProgress();

    // The errno of the first failed write to standard output, or 0.
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
    // A refusal or failure that names no file, on standard error.
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
