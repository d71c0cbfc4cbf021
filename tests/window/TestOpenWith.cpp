#include <QProcess>
#include <QProgressBar>
#include <QtTest>

#include "shell/Arguments.h"
#include "tests/support/Harness.h"

// `quarnel FILE` from a file manager: which field the file fills, that nothing
// starts, and what the real program answers without a display.
class TestOpenWith : public QObject {
    Q_OBJECT

private slots:
    void argumentsGiveOneFileOrAnAnswer_data();
    void argumentsGiveOneFileOrAnAnswer();
    void theFileKeepsTheBytesOfItsArgument_data();
    void theFileKeepsTheBytesOfItsArgument();
    void theFileFillsItsFieldAndNothingStarts_data();
    void theFileFillsItsFieldAndNothingStarts();
    void theProgramAnswersWithoutADisplay_data();
    void theProgramAnswersWithoutADisplay();
};

using Action = Arguments::Outcome::Action;

void TestOpenWith::argumentsGiveOneFileOrAnAnswer_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("field"); // 1 or 4 for a path
    const QString here = QDir::currentPath();
    const auto row = [](const char* name, const QStringList& arguments, Action action, const QString& path = {},
                        int field = 0) {
        QTest::newRow(name) << arguments << static_cast<int>(action) << path << field;
    };
    row("nothing", {}, Action::ShowWindow);
    row("piece list", {"/a/b.bin.splt"}, Action::ShowWindow, "/a/b.bin.splt", 4);
    row("piece list, upper case", {"/a/B.BIN.SPLT"}, Action::ShowWindow, "/a/B.BIN.SPLT", 4);
    row("piece list, mixed case", {"/a/b.Splt"}, Action::ShowWindow, "/a/b.Splt", 4);
    row("a piece is split again", {"/a/b.bin_splt1"}, Action::ShowWindow, "/a/b.bin_splt1", 1);
    row(".splt inside the name", {"/a/b.splt.bin"}, Action::ShowWindow, "/a/b.splt.bin", 1);
    row("no dot", {"/a/bsplt"}, Action::ShowWindow, "/a/bsplt", 1);
    row("relative", {"sub/c.splt"}, Action::ShowWindow, here + "/sub/c.splt", 4);
    row("a dash after --", {"--", "-odd.pdf"}, Action::ShowWindow, here + "/-odd.pdf", 1);
    row("blanks and a line break", {"/a/b c\nd"}, Action::ShowWindow, "/a/b c\nd", 1);
    // A set's first piece and its .crc are known by their names alone.
    row("numbered first piece", {"/a/c.iso.001"}, Action::ShowWindow, "/a/c.iso.001", 4);
    row("numbered from zero, 4 digits", {"/a/c.iso.0000"}, Action::ShowWindow, "/a/c.iso.0000", 4);
    row(".crc", {"/a/c.iso.crc"}, Action::ShowWindow, "/a/c.iso.crc", 4);
    row("later piece, no set there", {"/a/c.iso.002"}, Action::ShowWindow, "/a/c.iso.002", 1);
    row("coreutils name, no set there", {"/a/xaa"}, Action::ShowWindow, "/a/xaa", 1);
    row("only a number", {"/a/.001"}, Action::ShowWindow, "/a/.001", 1);
    row("help", {"--help"}, Action::Help);
    row("help, short, with files", {"-h", "x", "y"}, Action::Help);
    row("version", {"--version"}, Action::Version);
    row("version, short", {"-v"}, Action::Version);
    row("two files", {"/a/b.splt", "/a/c"}, Action::Usage);
    row("unknown option", {"--start"}, Action::Usage);
    row("Qt option", {"-platform", "offscreen"}, Action::Usage);
    row("empty name", {""}, Action::Usage);
}

void TestOpenWith::argumentsGiveOneFileOrAnAnswer() {
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QFETCH(QString, path);
    QFETCH(int, field);
    const Arguments::Outcome outcome = Arguments::parse(QStringList{"/usr/bin/quarnel"} + arguments);
    QCOMPARE(static_cast<int>(outcome.action), action);
    QCOMPARE(outcome.path, path);
    if (field != 0) {
        QCOMPARE(Arguments::fieldFor(outcome.path) == Arguments::Field::Text4 ? 4 : 1, field);
    }
    switch (outcome.action) {
    case Action::ShowWindow:
        QVERIFY(outcome.text.isEmpty());
        break;
    case Action::Help:
        QVERIFY2(outcome.text.startsWith("Usage: quarnel [FILE]\n"), qPrintable(outcome.text));
        break;
    case Action::Version:
        QCOMPARE(outcome.text, QStringLiteral("quarnel " QUARNEL_VERSION "\n"));
        break;
    case Action::Usage:
        QVERIFY2(outcome.text.startsWith("quarnel: ") && outcome.text.contains("\nUsage: quarnel [FILE]\n"),
                 qPrintable(outcome.text));
        break;
    }
}

void TestOpenWith::theFileKeepsTheBytesOfItsArgument_data() {
    QTest::addColumn<QByteArrayList>("arguments");
    QTest::addColumn<QByteArray>("name");
    const QByteArray here = QFile::encodeName(QDir::currentPath());
    QTest::newRow("absolute, Latin-1") << QByteArrayList{"/a/caf\xe9.bin"} << QByteArray("/a/caf\xe9.bin");
    QTest::newRow("relative, Latin-1") << QByteArrayList{"b/\xff.splt"} << here + "/b/\xff.splt";
    QTest::newRow("a dash after --") << QByteArrayList{"--", "-\xe9"} << here + "/-\xe9";
    QTest::newRow("nothing") << QByteArrayList{} << QByteArray();
}

// What main hands the window: the argument's own bytes, which the decoded text no
// longer holds.
void TestOpenWith::theFileKeepsTheBytesOfItsArgument() {
    QFETCH(QByteArrayList, arguments);
    QFETCH(QByteArray, name);
    arguments.prepend("/usr/bin/quarnel");
    QStringList decoded;
    for (const QByteArray& argument : arguments) {
        decoded << QFile::decodeName(argument);
    }
    QCOMPARE(Arguments::fileName(Arguments::parse(decoded), arguments), name);
}

void TestOpenWith::theFileFillsItsFieldAndNothingStarts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("beside"); // files that stand beside it
    QTest::addColumn<int>("field");
    QTest::newRow("piece list") << "a.bin.splt" << QStringList() << 4;
    QTest::newRow("piece list, upper case") << "A.BIN.SPLT" << QStringList() << 4;
    QTest::newRow("any other file") << "a.bin" << QStringList() << 1;
    QTest::newRow("later numbered piece") << "c.iso.003" << QStringList{"c.iso.001", "c.iso.002"} << 4;
    QTest::newRow("piece past a gap") << "c.iso.003" << QStringList{"c.iso.001"} << 4;
    QTest::newRow("a dated name") << "backup.20231201" << QStringList{"backup.20231130"} << 1;
    QTest::newRow("coreutils first piece") << "xaa" << QStringList{"xab"} << 4;
    QTest::newRow("coreutils name alone") << "plazaa" << QStringList() << 1;
}

void TestOpenWith::theFileFillsItsFieldAndNothingStarts() {
    QFETCH(QString, name);
    QFETCH(QStringList, beside);
    QFETCH(int, field);
    Harness harness;
    for (const QString& other : beside) {
        Files::writeOrDie(harness.dir.filePath(other), QByteArray(10, 'p'));
    }
    // A file the split or join could really work on, in the output folder itself.
    harness.settings().write(QStringLiteral("Output Folder"), harness.dir.path() + "/");
    const QString path = harness.dir.filePath(name);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(field == 4 ? QByteArray("/elsewhere/a.bin_splt1\r\n") : QByteArray(300000, 'x'));
    file.close();
    const QStringList before = QDir(harness.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    Form1& form = harness.show();
    form.openFile(path);
    QCOMPARE(harness.text(field)->text(), path);
    QVERIFY(harness.text(field == 4 ? 1 : 4)->text().isEmpty());
    QCOMPARE(harness.text(2)->text(), harness.dir.path() + "/");
    QCOMPARE(harness.text(3)->text(), QStringLiteral("100000"));
    QCoreApplication::processEvents();
    QVERIFY(!form.Busy());
    QVERIFY(harness.messages.shown.isEmpty());
    QCOMPARE(form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"))->value(), 0);
    QCOMPARE(QDir(harness.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
}

void TestOpenWith::theProgramAnswersWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // the start of standard output
    QTest::addColumn<QString>("err"); // text standard error contains
    QTest::newRow("version") << QStringList{"--version"} << 0 << "quarnel " QUARNEL_VERSION "\n"
                             << "";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: quarnel [FILE]\n"
                          << "";
    QTest::newRow("two files") << QStringList{"a.splt", "b"} << 2 << ""
                               << "quarnel: one file at most, not 2\nUsage: quarnel [FILE]\n";
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << ""
                                    << "Usage: quarnel [FILE]\n";
}

void TestOpenWith::theProgramAnswersWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    // A window here would abort: no X server, no Wayland, no offscreen fallback.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    QProcess quarnel;
    quarnel.setProcessEnvironment(environment);
    quarnel.start(QStringLiteral(QUARNEL_APP), arguments);
    QVERIFY2(quarnel.waitForFinished(30000), "quarnel did not end by itself");
    const QString standardOutput = QString::fromLocal8Bit(quarnel.readAllStandardOutput());
    const QString standardError = QString::fromLocal8Bit(quarnel.readAllStandardError());
    QCOMPARE(quarnel.exitStatus(), QProcess::NormalExit);
    QVERIFY2(quarnel.exitCode() == exitCode, qPrintable(standardError));
    QVERIFY2(out.isEmpty() ? standardOutput.isEmpty() : standardOutput.startsWith(out), qPrintable(standardOutput));
    QVERIFY2(err.isEmpty() ? standardError.isEmpty() : standardError.contains(err), qPrintable(standardError));
}

QTEST_MAIN(TestOpenWith)
#include "TestOpenWith.moc"
