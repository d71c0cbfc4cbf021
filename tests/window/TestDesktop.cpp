#include <chrono>
#include <memory>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QtTest>

#include "shell/DesktopBus.h"
#include "tests/support/Harness.h"

// The desktop beside the window, on a private session bus of the test's own
// (dbus-run-session) where python3-dbusmock stands in for the notification daemon,
// logind and the portal: the notification after a long run, the dock's progress and
// the sleep inhibitor.
class TestDesktop : public HarnessTest {
    Q_OBJECT

public slots:
    void launcherUpdate(const QString& application, const QVariantMap& properties);

private slots:
    void initTestCase();
    void cleanupTestCase();
    void aLongRunEndsWithANotification_data();
    void aLongRunEndsWithANotification();
    void theDockShowsProgressAndClearsIt();
    void sleepIsInhibitedForTheRunOnly_data();
    void sleepIsInhibitedForTheRunOnly();

private:
    struct Call {
        QString method;
        QVariantList arguments;
    };
    // Starts a mock with `arguments` and waits for `service` on the bus.
    bool startMock(QProcess& mock, const QStringList& arguments, const QString& service);
    QList<Call> calls(const QString& service, const QString& path);
    int logindInhibitors();
    // The window ready to split (or join) with the bus of the mocks.
    Form1& prepare(bool joining);

    QProcess m_notifications;
    QProcess m_logind;
    QProcess m_portal;
    std::unique_ptr<QtDesktopBus> m_bus;
    QList<QVariantMap> m_updates;
};

namespace {

const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
constexpr const char* onPrivateBus = "QUARNEL_PRIVATE_BUS";

QDBusMessage callMock(const QString& service, const QString& path, const QString& method,
                      const QVariantList& arguments = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, mockInterface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call);
}

} // namespace

bool TestDesktop::startMock(QProcess& mock, const QStringList& arguments, const QString& service) {
    mock.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Debian's python3, which python3-dbusmock is installed for.
    mock.start(QStringLiteral("/usr/bin/python3"), QStringList{"-m", "dbusmock", "--session"} + arguments);
    if (!mock.waitForStarted()) {
        return false;
    }
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    for (int i = 0; i < 200 && !bus->isServiceRegistered(service); ++i) {
        QTest::qWait(50);
    }
    return bus->isServiceRegistered(service);
}

void TestDesktop::initTestCase() {
    if (!qEnvironmentVariableIsSet(onPrivateBus)) {
        QSKIP("dbus-run-session is missing: no private session bus");
    }
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(startMock(m_notifications, {"--template", "notification_daemon"},
                      QStringLiteral("org.freedesktop.Notifications")));
    QVERIFY(startMock(m_logind, {"--template", "logind"}, QStringLiteral("org.freedesktop.login1")));
    QVERIFY(QDBusConnection::sessionBus().connect(
        QString(), QStringLiteral("/example/velmarc/Quarnel"), QStringLiteral("com.canonical.Unity.LauncherEntry"),
        QStringLiteral("Update"), this, SLOT(launcherUpdate(QString, QVariantMap))));
}

void TestDesktop::cleanupTestCase() {
    for (QProcess* mock : {&m_notifications, &m_logind, &m_portal}) {
        mock->kill();
        mock->waitForFinished();
    }
}

void TestDesktop::launcherUpdate(const QString& application, const QVariantMap& properties) {
    if (application == QLatin1String("application://example.velmarc.Quarnel.desktop")) {
        m_updates << properties;
    }
}

QList<TestDesktop::Call> TestDesktop::calls(const QString& service, const QString& path) {
    QList<Call> result;
    const QDBusMessage reply = callMock(service, path, QStringLiteral("GetCalls"));
    if (reply.type() != QDBusMessage::ReplyMessage) {
        return result;
    }
    const auto list = reply.arguments().value(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        quint64 time = 0;
        Call call;
        list.beginStructure();
        list >> time >> call.method >> call.arguments;
        list.endStructure();
        for (QVariant& argument : call.arguments) {
            if (argument.userType() == qMetaTypeId<QDBusVariant>()) {
                argument = argument.value<QDBusVariant>().variant();
            }
            if (argument.userType() == qMetaTypeId<QDBusArgument>() &&
                argument.value<QDBusArgument>().currentType() == QDBusArgument::MapType) {
                argument = qdbus_cast<QVariantMap>(argument.value<QDBusArgument>());
            }
        }
        result << call;
    }
    list.endArray();
    return result;
}

int TestDesktop::logindInhibitors() {
    const QDBusMessage reply = QDBusConnection::sessionBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListInhibitors")));
    const auto list = reply.arguments().value(0).value<QDBusArgument>();
    int count = 0;
    list.beginArray();
    for (; !list.atEnd(); ++count) {
        list.asVariant();
    }
    list.endArray();
    return count;
}

Form1& TestDesktop::prepare(bool joining) {
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = harness.showReadyToSplit(200000);
    if (joining) {
        harness.button(4)->click();
        harness.waitUntilIdle();
        harness.messages.shown.clear();
        QDir(root).mkdir(QStringLiteral("joined"));
        harness.text(2)->setText(root + QStringLiteral("/joined/"));
        harness.text(4)->setText(root + QStringLiteral("/a.bin.splt"));
    }
    m_bus = std::make_unique<QtDesktopBus>(QDBusConnection::sessionBus(), QDBusConnection::sessionBus(),
                                           QStringLiteral("example.velmarc.Quarnel"), QStringLiteral("Quarnel"),
                                           QStringLiteral("quarnel"));
    form.desktopSession().setBus(m_bus.get());
    // What earlier runs sent has come back by the time the bus answers.
    QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.login1"));
    QCoreApplication::processEvents();
    m_updates.clear();
    callMock(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
             QStringLiteral("ClearCalls"));
    return form;
}

void TestDesktop::aLongRunEndsWithANotification_data() {
    QTest::addColumn<bool>("joining");
    QTest::addColumn<QString>("fault"); // "missing piece", "directory at a piece" or none
    QTest::addColumn<int>("seconds");
    QTest::addColumn<bool>("active");
    QTest::addColumn<QString>("summary"); // empty: no notification
    QTest::addColumn<QString>("body");    // what it holds; %1 the test's folder
    QTest::newRow("split, long, elsewhere") << false << "" << 11 << false << "File successfully split"
                                            << "%1/a.bin";
    QTest::newRow("join, long, elsewhere") << true << "" << 600 << false << "Files successfully joined"
                                           << "%1/a.bin.splt";
    QTest::newRow("join refused") << true << "missing piece" << 11 << false << "%1/a.bin_splt7 splitted file not found"
                                  << "%1/a.bin.splt";
    QTest::newRow("split failed") << false << "directory at a piece" << 11 << false << "Application Error"
                                  << "/a.bin_splt3: Is a directory";
    QTest::newRow("long, window active") << false << "" << 11 << true << ""
                                         << "";
    QTest::newRow("short, elsewhere") << false << "" << 10 << false << ""
                                      << "";
}

void TestDesktop::aLongRunEndsWithANotification() {
    QFETCH(bool, joining);
    QFETCH(QString, fault);
    QFETCH(int, seconds);
    QFETCH(bool, active);
    QFETCH(QString, summary);
    QFETCH(QString, body);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = prepare(joining);
    if (fault == QLatin1String("missing piece")) {
        QVERIFY(QFile::remove(root + QStringLiteral("/a.bin_splt7")));
    } else if (fault == QLatin1String("directory at a piece")) {
        QVERIFY(QDir(root).mkpath(QStringLiteral("a.bin_splt3/inside")));
    }
    QWidget other;
    if (!active) {
        other.show();
        other.activateWindow();
        QTRY_VERIFY(!form.isActiveWindow());
    }
    // Every look at the clock after the start is that much later.
    form.desktopSession().setClock([start = std::chrono::steady_clock::time_point(), seconds, calls = 0]() mutable {
        return calls++ == 0 ? start : start + std::chrono::seconds(seconds);
    });
    harness.button(joining ? 3 : 4)->click();
    QVERIFY(harness.waitUntilIdle());
    QVERIFY(!harness.messages.shown.isEmpty());

    // The mock answers in order: a notification sent is among the calls by now.
    QList<Call> notified;
    for (const Call& call :
         calls(QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"))) {
        if (call.method == QLatin1String("Notify")) {
            notified << call;
        }
    }
    if (summary.isEmpty()) {
        QCOMPARE(notified.size(), 0);
        return;
    }
    QCOMPARE(notified.size(), 1);
    const QVariantList arguments = notified.first().arguments;
    QCOMPARE(arguments.value(0).toString(), QStringLiteral("Quarnel"));
    QCOMPARE(arguments.value(2).toString(), QStringLiteral("quarnel"));
    QCOMPARE(arguments.value(3).toString(), summary.replace(QLatin1String("%1"), root));
    QVERIFY2(arguments.value(4).toString().contains(body.replace(QLatin1String("%1"), root)),
             qPrintable(arguments.value(4).toString()));
}

void TestDesktop::theDockShowsProgressAndClearsIt() {
    Harness& harness = *m_harness;
    prepare(false);
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    QTRY_VERIFY(!m_updates.isEmpty() && !m_updates.last().value(QStringLiteral("progress-visible")).toBool());
    // Whole percents, rising to the end, then hidden once.
    double last = -1;
    for (qsizetype i = 0; i + 1 < m_updates.size(); ++i) {
        QVERIFY(m_updates.at(i).value(QStringLiteral("progress-visible")).toBool());
        const double progress = m_updates.at(i).value(QStringLiteral("progress")).toDouble();
        QVERIFY2(progress > last && progress <= 1.0, qPrintable(QString::number(progress)));
        last = progress;
    }
    QCOMPARE(last, 1.0);
    QVERIFY(m_updates.size() <= 102);
}

void TestDesktop::sleepIsInhibitedForTheRunOnly_data() {
    QTest::addColumn<QString>("ending");
    QTest::addColumn<bool>("portal");
    for (const char* ending : {"success", "failure", "Esc", "close"}) {
        QTest::addRow("%s, logind", ending) << ending << false;
        QTest::addRow("%s, portal", ending) << ending << true;
    }
}

void TestDesktop::sleepIsInhibitedForTheRunOnly() {
    QFETCH(QString, ending);
    QFETCH(bool, portal);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    if (portal && m_portal.state() == QProcess::NotRunning) {
        QVERIFY(startMock(m_portal, {portalService, portalPath, "org.freedesktop.portal.Inhibit"}, portalService));
        QCOMPARE(callMock(portalService, portalPath, QStringLiteral("AddMethod"),
                          {QString(), QStringLiteral("Inhibit"), QStringLiteral("sua{sv}"), QStringLiteral("o"),
                           QStringLiteral("ret = dbus.ObjectPath('%1')").arg(portalPath)})
                     .type(),
                 QDBusMessage::ReplyMessage);
        // The request the portal hands out is the same object here.
        QCOMPARE(callMock(portalService, portalPath, QStringLiteral("AddMethod"),
                          {QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close"), QString(),
                           QString(), QString()})
                     .type(),
                 QDBusMessage::ReplyMessage);
    } else if (!portal && m_portal.state() != QProcess::NotRunning) {
        m_portal.kill();
        m_portal.waitForFinished();
        QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(portalService));
    }
    Form1& form = prepare(false);
    if (portal) {
        callMock(portalService, portalPath, QStringLiteral("ClearCalls"));
    }
    if (ending == QLatin1String("failure")) {
        QVERIFY(QDir(root).mkpath(QStringLiteral("a.bin_splt3/inside")));
    }
    // Held once the run is under way; the reason names the file.
    bool held = false;
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    connect(bar, &QProgressBar::valueChanged, &form, [&](int value) {
        if (value != 1) {
            return;
        }
        if (portal) {
            const QList<Call> made = calls(portalService, portalPath);
            held = made.size() == 1 && made.first().arguments.value(2).toMap().value("reason").toString().contains(
                                           root + QStringLiteral("/a.bin"));
        } else {
            held = logindInhibitors() == 1;
        }
        if (ending == QLatin1String("Esc")) {
            form.requestStop();
        } else if (ending == QLatin1String("close")) {
            form.close();
        }
    });
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    QVERIFY(held);
    if (ending != QLatin1String("close")) {
        QVERIFY(!harness.messages.shown.isEmpty());
    }
    if (portal) {
        QTRY_COMPARE(calls(portalService, portalPath).size(), 2);
        QCOMPARE(calls(portalService, portalPath).last().method, QStringLiteral("Close"));
    } else {
        QTRY_COMPARE(logindInhibitors(), 0);
    }
}

// The test runs itself again on a private session bus, so that no desktop of the
// machine ever sees its notifications, dock updates or inhibitors.
int main(int argc, char* argv[]) {
    if (!qEnvironmentVariableIsSet(onPrivateBus)) {
        const QString runner = QStandardPaths::findExecutable(QStringLiteral("dbus-run-session"));
        if (!runner.isEmpty()) {
            QProcess child;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QLatin1String(onPrivateBus), QStringLiteral("1"));
            child.setProcessEnvironment(environment);
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            QStringList arguments{QStringLiteral("--"), QString::fromLocal8Bit(argv[0])};
            for (int i = 1; i < argc; ++i) {
                arguments << QString::fromLocal8Bit(argv[i]);
            }
            child.start(runner, arguments);
            child.waitForFinished(-1);
            return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
        }
    }
    QApplication application(argc, argv);
    TestDesktop test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "TestDesktop.moc"
