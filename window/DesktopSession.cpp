#include "window/DesktopSession.h"

#include <QCoreApplication>
#include <QWidget>

#include "shell/DesktopBus.h"
#include "window/NoticeText.h"

DesktopSession::DesktopSession(QWidget& window) : m_window(window) {}

void DesktopSession::started(const QString& fileName) {
    m_running = true;
    m_fileName = fileName;
    m_start = m_clock();
    m_shownPercent = -1;
    if (m_bus) {
        m_bus->inhibit(QCoreApplication::translate("DesktopSession", "Splitting or joining %1").arg(fileName));
    }
}

void DesktopSession::progress(int value, int maximum) {
    if (!m_running || !m_bus || maximum <= 0) {
        return;
    }
    // The dock needs no more than whole percents; a signal per piece would flood the bus.
    const int percent = static_cast<int>(qBound(0LL, 100LL * value / maximum, 100LL));
    if (percent != m_shownPercent) {
        m_shownPercent = percent;
        m_bus->showProgress(true, percent / 100.0);
    }
}

void DesktopSession::outcome(Outcome outcome, const QString& text) {
    if (!m_running) {
        return;
    }
    // The box that ends a run waits for the user: the desktop hears of the end now,
    // not once the box is closed, so that neither the dock nor the inhibitor wait with it.
    const bool longRun = m_clock() - m_start > longRunTime;
    ended();
    if (!m_bus || !longRun || m_closing || m_window.isActiveWindow()) {
        return;
    }
    // The words of the box, the file they are about.
    if (outcome == Outcome::Failure) {
        m_bus->notify(NoticeText::errorCaption(), text);
    } else {
        m_bus->notify(text, m_fileName);
    }
}

void DesktopSession::ended() {
    if (!m_running) {
        return;
    }
    m_running = false;
    if (m_bus) {
        m_bus->showProgress(false, 0.0);
        m_bus->release();
    }
}
