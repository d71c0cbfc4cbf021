#include "ConsoleHost.h"

#include <csignal>
#include <cstdio>
#include <utility>

#include "ErrorReport.h"

namespace {

volatile std::sig_atomic_t stopSignalled = 0;

extern "C" void onStopSignal(int) {
    stopSignalled = 1;
}

void writeLine(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

ConsoleHost::ConsoleHost(std::string outputFolder, bool showProgress)
    : m_outputFolder(std::move(outputFolder)), m_showProgress(showProgress) {}

void ConsoleHost::installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // SA_RESTART keeps a copy in progress from failing with EINTR: the engine looks at
    // the request between blocks anyway.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool ConsoleHost::stopRequested() {
    return stopSignalled != 0;
}

std::string ConsoleHost::outputFolder() {
    return m_outputFolder;
}

void ConsoleHost::setProgressValue(int value) {
    m_value = value;
    drawProgress();
}

void ConsoleHost::setProgressMaximum(int maximum) {
    m_maximum = maximum;
    drawProgress();
}

int ConsoleHost::progressMaximum() {
    return m_maximum;
}

void ConsoleHost::showMessage(const std::string& text) {
    clearProgress();
    writeLine(stdout, text);
}

void ConsoleHost::reportError(const std::string& sourceLabel, int step, const std::string& description) {
    clearProgress();
    writeLine(stderr, ErrorReport::text(description, sourceLabel, step));
}

bool ConsoleHost::processEvents() {
    return stopSignalled == 0;
}

void ConsoleHost::drawProgress() {
    if (!m_showProgress || m_maximum <= 0) {
        return;
    }
    long long percent = static_cast<long long>(m_value) * 100 / m_maximum;
    percent = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
    // Redraw only when the figure changes: the engine reports every piece.
    if (percent == m_shownPercent) {
        return;
    }
    m_shownPercent = static_cast<int>(percent);
    std::fprintf(stderr, "\r%3lld%%", percent);
    std::fflush(stderr);
}

void ConsoleHost::clearProgress() {
    if (m_shownPercent < 0) {
        return;
    }
    m_shownPercent = -1;
    std::fputs("\r    \r", stderr);
    std::fflush(stderr);
}
