#include <QtTest>

#include "shell/Settings.h"
#include "shell/StartUp.h"

// The start-up rules and the settings store, without the window.
class TestShell : public QObject {
    Q_OBJECT

private slots:
    void applicationTitle_data();
    void applicationTitle();
    void trailingSeparator_data();
    void trailingSeparator();
    void desktopFolderFallsBackToHome();
    void settingsReadWithDefaultAndWriteAtOnce();
    void settingsWriteFailureThrows();
};

void TestShell::applicationTitle_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("three words") << "Alpha Bravo Charlie"
                                 << "Alpha Bravo";
    QTest::newRow("eight words, 49 characters") << "Alpha Bravo Charlie Delta Echo Foxtrot Golf Hotel"
                                                << "Alpha Bravo Charlie Delta Echo Foxtrot";
    QTest::newRow("no blank") << "Quarnel"
                              << "Quarnel";
    QTest::newRow("exactly 40 after one removal")
        << QString(40, QLatin1Char('a')) + QStringLiteral(" b") << QString(40, QLatin1Char('a'));
}

void TestShell::applicationTitle() {
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(StartUp::applicationTitle(name), title);
    QVERIFY(title.size() <= 40 || !title.contains(QLatin1Char(' ')));
}

void TestShell::trailingSeparator_data() {
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "/home/a"
                           << "/home/a/";
    QTest::newRow("already") << "/home/a/"
                             << "/home/a/";
    QTest::newRow("doubled") << "/home/a//"
                             << "/home/a/";
    QTest::newRow("root") << "/"
                          << "/";
}

void TestShell::trailingSeparator() {
    QFETCH(QString, folder);
    QFETCH(QString, expected);
    QCOMPARE(StartUp::withTrailingSeparator(folder), expected);
}

void TestShell::desktopFolderFallsBackToHome() {
    QTemporaryDir dir;
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/.config")));
    qunsetenv("XDG_DESKTOP_DIR");
    QCOMPARE(StartUp::GetDesktopFolder(), dir.path() + QStringLiteral("/"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Desktop")));
    QCOMPARE(StartUp::GetDesktopFolder(), dir.path() + QStringLiteral("/Desktop/"));
}

void TestShell::settingsReadWithDefaultAndWriteAtOnce() {
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/Velmarc.conf");
    Settings settings(file);
    QCOMPARE(settings.read(QStringLiteral("Chunk Size"), QStringLiteral("100000")), QStringLiteral("100000"));

    settings.write(QStringLiteral("Output Folder"), QStringLiteral("/a, b/c=d;e/"));
    settings.write(QStringLiteral("Chunk Size"), QString());
    // Another writer of the same file is seen at once: nothing is cached.
    Settings(file).write(QStringLiteral("LastFolderDot"), QStringLiteral("/srv"));
    QCOMPARE(settings.read(QStringLiteral("Output Folder"), QStringLiteral("x")), QStringLiteral("/a, b/c=d;e/"));
    QCOMPARE(settings.read(QStringLiteral("Chunk Size"), QStringLiteral("100000")), QString());
    QCOMPARE(settings.read(QStringLiteral("LastFolderDot"), QString()), QStringLiteral("/srv"));

    QFile raw(file);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray contents = raw.readAll();
    QVERIFY2(contents.startsWith("[Quarnel]"), contents.constData());
}

void TestShell::settingsWriteFailureThrows() {
    QTemporaryDir dir;
    // A folder where the settings file should be.
    Settings settings(dir.path());
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, settings.write(QStringLiteral("Chunk Size"), QStringLiteral("1")));
}

QTEST_MAIN(TestShell)
#include "TestShell.moc"
