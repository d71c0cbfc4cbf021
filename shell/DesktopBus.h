#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>

// What the window tells the desktop beside itself: a notification, the dock's
// progress and a sleep inhibitor. Every call is silent where no desktop bus or no
// service answers: Quarnel works the same without one.
class DesktopBus {
public:
    virtual ~DesktopBus() = default;
    // A notification with the application's icon and name.
    virtual void notify(const QString& summary, const QString& body) = 0;
    // The progress the dock or taskbar shows, 0 to 1; hidden when `visible` is false.
    virtual void showProgress(bool visible, double fraction) = 0;
    // Keeps the computer from sleeping, saying why, until release().
    virtual void inhibit(const QString& reason) = 0;
    virtual void release() = 0;
};

// org.freedesktop.Notifications, com.canonical.Unity.LauncherEntry, and the
// portal's Inhibit or, where there is no portal, logind's.
class QtDesktopBus : public DesktopBus {
public:
    // `desktopId` without ".desktop"; logind is asked on `system`.
    QtDesktopBus(const QDBusConnection& session, const QDBusConnection& system, QString desktopId,
                 QString applicationName, QString iconName);
    ~QtDesktopBus() override;

    void notify(const QString& summary, const QString& body) override;
    void showProgress(bool visible, double fraction) override;
    void inhibit(const QString& reason) override;
    void release() override;

private:
    bool inhibitThroughPortal(const QString& reason);
    bool inhibitThroughLogind(const QString& reason);

    QDBusConnection m_session;
    QDBusConnection m_system;
    QString m_desktopId;
    QString m_applicationName;
    QString m_iconName;
    QString m_portalRequest;          // the portal's handle while it inhibits
    QDBusUnixFileDescriptor m_logind; // logind inhibits while this is open
};
