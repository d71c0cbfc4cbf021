#include "shell/DesktopBus.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QVariantMap>

namespace {

// A service that hangs must not hold the window up for long.
constexpr int callTimeoutMs = 2000;

// Portal flags: suspend and idle.
constexpr uint inhibitSuspendAndIdle = 4 | 8;

} // namespace

QtDesktopBus::QtDesktopBus(const QDBusConnection& session, const QDBusConnection& system, QString desktopId,
                           QString applicationName, QString iconName)
    : m_session(session), m_system(system), m_desktopId(std::move(desktopId)),
      m_applicationName(std::move(applicationName)), m_iconName(std::move(iconName)) {}

QtDesktopBus::~QtDesktopBus() {
    release();
}

void QtDesktopBus::notify(const QString& summary, const QString& body) {
    if (!m_session.isConnected()) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), m_desktopId}};
    call << m_applicationName << uint(0) << m_iconName << summary << body << QStringList() << hints << int(-1);
    // Nobody waits for the answer: a missing daemon is no error of ours.
    m_session.call(call, QDBus::NoBlock);
}

void QtDesktopBus::showProgress(bool visible, double fraction) {
    if (!m_session.isConnected()) {
        return;
    }
    QDBusMessage signal = QDBusMessage::createSignal(
        QStringLiteral("/") + QString(m_desktopId).replace(QLatin1Char('.'), QLatin1Char('/')),
        QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), fraction}, {QStringLiteral("progress-visible"), visible}};
    signal << QStringLiteral("application://%1.desktop").arg(m_desktopId) << properties;
    m_session.send(signal);
}

void QtDesktopBus::inhibit(const QString& reason) {
    release();
    if (!inhibitThroughPortal(reason)) {
        inhibitThroughLogind(reason);
    }
}

bool QtDesktopBus::inhibitThroughPortal(const QString& reason) {
    if (!m_session.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
    call << QString() << inhibitSuspendAndIdle << QVariantMap{{QStringLiteral("reason"), reason}};
    const QDBusReply<QDBusObjectPath> reply = m_session.call(call, QDBus::Block, callTimeoutMs);
    if (!reply.isValid()) {
        return false;
    }
    m_portalRequest = reply.value().path();
    return true;
}

bool QtDesktopBus::inhibitThroughLogind(const QString& reason) {
    if (!m_system.isConnected()) {
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << m_applicationName << reason << QStringLiteral("block");
    const QDBusReply<QDBusUnixFileDescriptor> reply = m_system.call(call, QDBus::Block, callTimeoutMs);
    if (!reply.isValid()) {
        return false;
    }
    m_logind = reply.value();
    return m_logind.isValid();
}

void QtDesktopBus::release() {
    if (!m_portalRequest.isEmpty()) {
        m_session.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"), m_portalRequest,
                                                      QStringLiteral("org.freedesktop.portal.Request"),
                                                      QStringLiteral("Close")),
                       QDBus::NoBlock);
        m_portalRequest.clear();
    }
    // Closing our copy of the descriptor ends logind's inhibitor.
    m_logind = QDBusUnixFileDescriptor();
}
