#pragma once

#include <chrono>
#include <functional>

#include <QString>

class DesktopBus;
class QWidget;

// A run as the desktop sees it: progress in the dock, no sleep meanwhile, and a notification when a long run ends
// while the user is elsewhere.
class DesktopSession {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    enum class Outcome { Success, Refusal, Failure };

    explicit DesktopSession(QWidget& window);

    // Null: no desktop bus. The bus outlives the session.
    void setBus(DesktopBus* bus) { m_bus = bus; }
    void setClock(Clock clock) { m_clock = std::move(clock); }

    void started(const QString& fileName);
    void ended();
    void progress(int value, int maximum);
    // The box that ends the run is about to show `text`.
    void outcome(Outcome outcome, const QString& text);
    void closing() { m_closing = true; }

private:
    QWidget& m_window;
    DesktopBus* m_bus = nullptr;
    Clock m_clock = [] { return std::chrono::steady_clock::now(); };
    static constexpr std::chrono::seconds longRunTime{10};

    bool m_running = false;
    bool m_closing = false;
    QString m_fileName;
    std::chrono::steady_clock::time_point m_start;
    int m_shownPercent = -1;
};
