#pragma once

#include <chrono>
#include <functional>

#include <QString>

class DesktopBus;
class QWidget;

// A split or join as the desktop sees it: the dock shows its progress, the computer
// does not sleep while it runs, and a long run that ends while the user is in
// another window ends with a notification in the words of its message box. Without
// a bus it does nothing.
class DesktopSession {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    enum class Outcome { Success, Refusal, Failure };

    explicit DesktopSession(QWidget& window);

    // Null: no desktop bus. The bus outlives the session.
    void setBus(DesktopBus* bus) { m_bus = bus; }
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // A run of the file `fileName` starts now; ended() ends it however it ends.
    void started(const QString& fileName);
    void ended();
    void progress(int value, int maximum);
    // The message box that ends the run is about to show `text`: the run ends for the
    // desktop, with a notification when it was long and the user is elsewhere.
    void outcome(Outcome outcome, const QString& text);
    // The window closes: the run ends without a word.
    void closing() { m_closing = true; }

private:
    QWidget& m_window;
    DesktopBus* m_bus = nullptr;
    Clock m_clock = [] { return std::chrono::steady_clock::now(); };
    // Runs longer than this notify.
    static constexpr std::chrono::seconds longRunTime{10};
    bool m_running = false;
    bool m_closing = false;
    QString m_fileName;
    std::chrono::steady_clock::time_point m_start;
    int m_shownPercent = -1;
};
