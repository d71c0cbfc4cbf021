#include "cli/ConsoleHost.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "engine/Messages.h"

namespace {

volatile std::sig_atomic_t stopSignalled = 0;

// Why `path` names no regular file, in the system's words where it has some.
std::string notAFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::strerror(errno);
    }
    if (S_ISDIR(st.st_mode)) {
        return std::strerror(EISDIR);
    }
    return "not a regular file";
}

// Why `path` names no folder.
std::string notAFolder(const std::string& path) {
    struct stat st {};
    return std::strerror(::stat(path.c_str(), &st) != 0 ? errno : ENOTDIR);
}

extern "C" void onStopSignal(int signalNumber) {
    stopSignalled = signalNumber;
}

// Writes the text and a line end and flushes; false with errno set when that fails.
bool writeLine(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    return std::fflush(stream) == 0 && std::ferror(stream) == 0;
}

} // namespace

ConsoleHost::ConsoleHost(TypedNames& names, bool showProgress, bool quiet)
    : m_names(names), m_showProgress(showProgress), m_quiet(quiet) {}

void ConsoleHost::installStopHandlers() {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        struct sigaction old = {};
        // A shell starts background jobs with SIGINT ignored; they must stay deaf to it.
        if (sigaction(signalNumber, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        // SA_RESTART keeps a copy in progress from failing with EINTR: the engine looks
        // at the request between blocks anyway.
        action.sa_flags = SA_RESTART | SA_RESETHAND;
        sigaction(signalNumber, &action, nullptr);
    }
}

int ConsoleHost::stopSignal() {
    return stopSignalled;
}

void ConsoleHost::printResult(const std::string& text) {
    clearProgress();
    errno = 0;
    if (m_outcomes == stderr) {
        writeLine(stderr, text);
    } else if (m_outputError == 0 && !writeLine(stdout, text)) {
        m_outputError = errno != 0 ? errno : EIO;
    }
}

void ConsoleHost::printOutcome(const std::string& text) {
    if (!m_quiet) {
        printResult(text);
    }
}

void ConsoleHost::printError(const std::string& text) {
    // Nothing sensible is left to do when standard error fails.
    writeLine(stderr, "quarnel-cli: " + text);
}

void ConsoleHost::refusal(const std::string& text) {
    clearProgress();
    printError(text);
}

void ConsoleHost::fileError(const std::string& path, const std::string& reason) {
    refusal(m_names.show(path) + ": " + reason);
}

void ConsoleHost::setProgressBytes(std::int64_t done) {
    m_doneBytes = done;
    // The first is drawn at once, the others at most every redraw interval.
    drawProgress(!std::exchange(m_started, true));
}

std::string ConsoleHost::reason(NoticeId id) {
    std::string_view text = Messages::englishTemplate(id);
    text.remove_prefix(text.substr(0, 3) == "%1 " ? 3 : 0);
    text.remove_prefix(text.substr(0, 3) == "is " ? 3 : 0);
    text.remove_suffix(!text.empty() && text.back() == '.' ? 1 : 0);
    return std::string(text);
}

// The notices that concern a file given or made say so as "NAME: what", the file as
// typed and the system's reason where it has one; the others read as designed.
void ConsoleHost::showNotice(const Notice& notice) {
    const std::string path = notice.arguments.empty() ? std::string() : notice.arguments.front();
    switch (notice.id) {
    case NoticeId::SplitSucceeded:
    case NoticeId::JoinSucceeded:
    case NoticeId::Done:
        printOutcome(Messages::text(notice));
        return;
    case NoticeId::FolderMissing:
        fileError(m_outputFolder, notAFolder(m_outputFolder));
        return;
    case NoticeId::SplitFileMissing:
    case NoticeId::JoinFileMissing:
        fileError(path, notAFile(path));
        return;
    case NoticeId::InvalidManifest:
    case NoticeId::PieceMissing:
    case NoticeId::PieceDamaged:
    case NoticeId::PieceLengthWrong:
    case NoticeId::ChecksumsConflict:
        fileError(path, reason(notice.id));
        return;
    case NoticeId::JoinedFileMismatch:
        refusal(Messages::text({notice.id, {m_names.show(path)}}));
        return;
    default:
        refusal(Messages::text(notice));
        return;
    }
}

// "NAME: reason (STEP)", the file named as typed.
void ConsoleHost::reportError(const std::string&, int step, const Fault& fault) {
    const std::string text = fault.path.empty() ? fault.why() : m_names.show(fault.path) + ": " + fault.why();
    refusal(text + " (" + std::to_string(step) + ")");
}

bool ConsoleHost::keepGoing() {
    return stopSignalled == 0;
}

void ConsoleHost::drawProgress(bool force) {
    if (!m_showProgress) {
        return;
    }
    // Redraws at most this often.
    constexpr std::chrono::milliseconds redrawInterval{250};
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - m_lastDraw < redrawInterval) {
        return;
    }
    m_lastDraw = now;
    m_progress.record(m_doneBytes, now);
    // The last column stays free: some terminals wrap a line that fills it.
    const std::size_t columns = ProgressLine::terminalWidth(STDERR_FILENO) - 1;
    std::string line = m_progress.text(m_expectedBytes, columns);
    const std::size_t width = line.size();
    if (width < m_shownWidth) {
        line.append(std::min(m_shownWidth, columns) - width, ' ');
    }
    std::fputc('\r', stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    m_shownWidth = std::max(width, std::min(m_shownWidth, columns));
}

void ConsoleHost::clearProgress() {
    if (m_shownWidth == 0) {
        return;
    }
    std::fputc('\r', stderr);
    std::fputs(std::string(m_shownWidth, ' ').c_str(), stderr);
    std::fputc('\r', stderr);
    std::fflush(stderr);
    m_shownWidth = 0;
}
