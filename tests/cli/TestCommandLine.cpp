#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "cli/CommandLine.h"
#include "tests/support/Files.h"

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The line of a failing step on standard error: the file as typed, the system's
// reason, the step.
QByteArray failureLine(const QString& file, int error, int step) {
    return "quarnel-cli: " + QFile::encodeName(file) + ": " + std::strerror(error) + " (" + QByteArray::number(step) +
           ")\n";
}

// A refusal or notice on standard error.
QByteArray errorLine(const QByteArray& text) {
    return text.isEmpty() ? QByteArray() : "quarnel-cli: " + text + "\n";
}

// A file of `size` bytes that takes no room: the size test only asks stat.
void writeSparseFile(const QString& path, qint64 size) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path + ": " + file.errorString()));
    QVERIFY(file.resize(size));
}

// Bytes with no CR in them, so no CR LF either: no split file list.
QByteArray withoutCrLf(QByteArray bytes) {
    return bytes.replace('\r', 'x');
}

// The expected text with %1 standing for the working folder.
QByteArray expand(const QString& text, const QString& folder) {
    return QString(text).replace(QStringLiteral("%1"), folder).toLocal8Bit();
}

QStringList expandAll(QStringList arguments, const QString& folder) {
    for (QString& argument : arguments) {
        argument.replace(QStringLiteral("%1"), folder);
    }
    return arguments;
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void init();

    void usageErrors_data();
    void usageErrors();
    void currentFolderGone();
    void help_data();
    void help();
    void version_data();
    void version();
    void chunkSizeSuffixes_data();
    void chunkSizeSuffixes();
    void splitChecks_data();
    void splitChecks();
    void joinChecks_data();
    void joinChecks();
    void relativePaths_data();
    void relativePaths();
    void roundTrip_data();
    void roundTrip();
    void missingPiece();
    void parts_data();
    void parts();
    void checksums_data();
    void checksums();
    void splitStandardInput_data();
    void splitStandardInput();
    void numberedSets_data();
    void numberedSets();
    void verify_data();
    void verify();
    void repair_data();
    void repair();
    void joinFromAPiece();
    void setsOfOtherPrograms_data();
    void setsOfOtherPrograms();
    void joinToStandardOutput_data();
    void joinToStandardOutput();
    void joinToAClosedPipe();
    void errorReports_data();
    void errorReports();
    void progressOnlyOnTerminal_data();
    void progressOnlyOnTerminal();
    void stopOnSignal_data();
    void stopOnSignal();
    void stopWhileTheStreamIsQuiet();
    void standardOutputFailures_data();
    void standardOutputFailures();
    void closedStandardStreams();
    void bashCompletion_data();
    void bashCompletion();

private:
    // A run that may end by a signal: the raw wait status, and the outputs in files.
    struct Child {
        pid_t pid = -1;
        QString out;
        QString err;
    };

    Run run(const QStringList& arguments, const std::function<void()>& inChild = {}, const QByteArray& input = {});
    Child spawn(const QStringList& arguments, const std::function<void()>& inChild = {});
    static int finish(const Child& child);
    QString path(const QString& name) const { return m_folder + QLatin1Char('/') + name; }
    // Splits `size` bytes of pattern into NAME_splt1.. (or NAME.001.. when numbered)
    // beside NAME in the working folder.
    QByteArray makeSet(const QString& name, qint64 size, int chunkSize, bool checksum, int recovery = 0,
                       bool numbered = false);
    // Piece `number` of the set of a.bin makeSet made last.
    QString pieceOfA(int number) const {
        return m_numbered ? QString("a.bin.%1").arg(number, 3, 10, QChar('0')) : "a.bin_splt" + QString::number(number);
    }
    void damage(const QString& faults);
    // Runs `program` in the working folder: its exit code and standard output. Skips
    // the test when it is not installed.
    Run tool(const QString& program, const QStringList& arguments);

    std::unique_ptr<QTemporaryDir> m_temporary; // a fresh one for every test function
    QString m_folder;                           // the working folder of every run, as getcwd reports it
    bool m_numbered = false;                    // of the set makeSet made
};

void TestCommandLine::init() {
    m_temporary = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temporary->isValid());
    m_folder = QDir(m_temporary->path()).canonicalPath();
}

Run TestCommandLine::run(const QStringList& arguments, const std::function<void()>& inChild, const QByteArray& input) {
    QProcess process;
    process.setWorkingDirectory(m_folder);
    if (inChild) {
        process.setChildProcessModifier(inChild);
    }
    process.start(QStringLiteral(QUARNEL_CLI), arguments);
    if (!input.isEmpty()) {
        process.write(input);
    }
    process.closeWriteChannel();
    Run result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        result.err = "<did not finish normally>";
        return result;
    }
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestCommandLine::usageErrors_data() {
    // Every usage error is the parser's (TestCommandLineParser); these show what the
    // program makes of one: status 2, one line on standard error, no file touched.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("reason"); // a part of the error line, when it matters
    QTest::newRow("no arguments") << QStringList{} << QByteArray();
    QTest::newRow("2^31") << QStringList{"split", "big.bin", "--chunk-size", "2147483648"}
                          << QByteArray("at most 2147483647 bytes");
    QTest::newRow("-n and --chunk-size") << QStringList{"split", "big.bin", "-n", "3", "--chunk-size", "100"}
                                         << QByteArray("not both");
    // A chunk size below 1 is a usage error, before the file is looked at.
    QTest::newRow("empty source, chunk 0")
        << QStringList{"split", "empty.bin", "-b", "0"} << QByteArray("invalid chunk size");
}

void TestCommandLine::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, reason);
    Files::write(path("big.bin"), Files::pattern(300));
    Files::write(path("other.bin"), Files::pattern(300));
    Files::write(path("empty.bin"), {});

    const Run result = run(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("quarnel-cli: ") && result.err.contains("--help"), result.err.constData());
    QVERIFY2(result.err.count('\n') == 1 && result.err.endsWith('\n') && result.err.contains(reason),
             result.err.constData());
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             (QStringList{"big.bin", "empty.bin", "other.bin"}));
}

// Relative names cannot be made absolute in a folder that is no longer there.
void TestCommandLine::currentFolderGone() {
    const QByteArray gone = QFile::encodeName(path("gone"));
    QVERIFY(QDir(m_folder).mkdir("gone"));
    const Run result = run({"split", "a.bin"}, [gone] {
        if (::chdir(gone.constData()) != 0 || ::rmdir(gone.constData()) != 0) {
            std::_Exit(99);
        }
    });
    QCOMPARE(result.err, QByteArray("quarnel-cli: cannot read the current folder: ") + std::strerror(ENOENT) + "\n");
    QCOMPARE(result.exitCode, 1);
}

void TestCommandLine::help_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--help") << QStringList{"--help"};
    QTest::newRow("-h") << QStringList{"-h"};
    QTest::newRow("after a command") << QStringList{"split", "big.bin", "--help"};
}

void TestCommandLine::help() {
    QFETCH(QStringList, arguments);
    Files::write(path("big.bin"), Files::pattern(300000));

    const Run result = run(arguments);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    for (const char* part : {"quarnel-cli split FILE", "quarnel-cli join MANIFEST", "quarnel-cli verify MANIFEST",
                             "--chunk-size", "--parts", "--checksum", "--quiet", "--output", "KB", "KiB"}) {
        QVERIFY2(result.out.contains(part), part);
    }
    QVERIFY2(result.out.endsWith("\n\nQuarnel home page: <https://velmarc.example/quarnel>\n"), result.out.constData());
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{"big.bin"});
}

void TestCommandLine::version_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("alone") << QStringList{"--version"};
    QTest::newRow("after a command") << QStringList{"split", "big.bin", "--version"};
}

void TestCommandLine::version() {
    QFETCH(QStringList, arguments);
    const Run result = run(arguments);
    // The version, then copyright and licence as the GNU tools give them.
    const QList<QByteArray> lines = result.out.split('\n');
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[0], QByteArray("quarnel-cli " QUARNEL_VERSION));
    QVERIFY2(lines[1].startsWith("Copyright (C) 20") && lines[1].endsWith(" Team Velmarc"), lines[1].constData());
    QCOMPARE(lines[2], QByteArray("License MIT: <https://opensource.org/licenses/MIT>."));
    QVERIFY(lines[4].startsWith("There is NO WARRANTY"));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
}

void TestCommandLine::chunkSizeSuffixes_data() {
    QTest::addColumn<QString>("chunkSize");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("plain") << "1000" << qint64(1000);
    QTest::newRow("plus sign") << "+1000" << qint64(1000);
    QTest::newRow("K") << "1K" << qint64(1024);
    QTest::newRow("3K") << "3K" << qint64(3 * 1024);
    QTest::newRow("KB") << "1KB" << qint64(1000);
    QTest::newRow("M") << "1M" << qint64(1024 * 1024);
    QTest::newRow("MB") << "1MB" << qint64(1000 * 1000);
    QTest::newRow("G") << "1G" << qint64(1024) * 1024 * 1024;
    QTest::newRow("GB") << "1GB" << qint64(1000) * 1000 * 1000;
    QTest::newRow("2047M") << "2047M" << qint64(2047) * 1024 * 1024;
    QTest::newRow("largest") << "2147483647" << qint64(2147483647);
    // What split -b reads besides.
    QTest::newRow("k") << "3k" << qint64(3 * 1024);
    QTest::newRow("KiB") << "1KiB" << qint64(1024);
    QTest::newRow("kiB") << "2kiB" << qint64(2 * 1024);
    QTest::newRow("kB") << "2kB" << qint64(2000);
    QTest::newRow("KD") << "1KD" << qint64(1000);
    QTest::newRow("m") << "1m" << qint64(1024 * 1024);
    QTest::newRow("MiB") << "1MiB" << qint64(1024 * 1024);
    QTest::newRow("mB") << "1mB" << qint64(1000 * 1000);
    QTest::newRow("GiB") << "1GiB" << qint64(1024) * 1024 * 1024;
    QTest::newRow("b is 512") << "3b" << qint64(3 * 512);
    QTest::newRow("leading blank") << " 700" << qint64(700);
    QTest::newRow("leading zero") << "01K" << qint64(1024);
    QTest::newRow("2047MiB") << "2047MiB" << qint64(2047) * 1024 * 1024;
}

// Small sizes are split for real; for all, a file of exactly the chunk size is
// refused and one a byte larger passes the size test (its split then fails at once
// on a folder standing where piece 1 would go, so nothing large is written).
void TestCommandLine::chunkSizeSuffixes() {
    QFETCH(QString, chunkSize);
    QFETCH(qint64, bytes);
    QVERIFY(QDir(m_folder).mkdir("out"));

    if (bytes <= 2 * 1024 * 1024) {
        const QByteArray source = Files::pattern(2 * bytes + 3);
        Files::write(path("real.bin"), source);
        const Run result = run({"split", "real.bin", "--chunk-size", chunkSize, "--output", "out"});
        QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(Files::read(path("out/real.bin_splt1")), source.left(bytes));
        QCOMPARE(Files::read(path("out/real.bin_splt2")), source.mid(bytes, bytes));
        QCOMPARE(Files::read(path("out/real.bin_splt3")), source.right(3));
        QVERIFY(!QFile::exists(path("out/real.bin_splt4")));
    }

    writeSparseFile(path("exact.bin"), bytes);
    Run result = run({"split", "exact.bin", "--chunk-size", chunkSize, "--output", "out"});
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, errorLine("Filesize is less than or equal to chunk size."));
    QCOMPARE(result.exitCode, 1);

    writeSparseFile(path("larger.bin"), bytes + 1);
    QVERIFY(QDir(m_folder).mkdir("out/larger.bin_splt1"));
    result = run({"split", "larger.bin", "--chunk-size", chunkSize, "--output", "out"});
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, failureLine("out/larger.bin_splt1", EISDIR, 118));
    QCOMPARE(result.exitCode, 1);
}

void TestCommandLine::splitChecks_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("refusal"); // on standard error
    QTest::addColumn<QString>("outcome"); // on standard output
    QTest::addColumn<int>("exitCode");

    const QString done = "Done.\n";
    const QString success = "File successfully split\n" + done;
    const QString noSuchFile = QString::fromLocal8Bit(std::strerror(ENOENT));
    const QString alreadySplit = "Cannot split already split file.";
    const QString notLarger = "Filesize is less than or equal to chunk size.";
    const auto refused = [](const char* name, const QStringList& arguments, const QString& refusal) {
        QTest::newRow(name) << arguments << refusal << QString() << 1;
    };

    // Files and folders are named as typed, with the system's reason; no "Done." after
    // a refusal.
    refused("output folder missing", {"split", "big.bin", "--output", "missing"}, "missing: " + noSuchFile);
    refused("output folder is a file", {"split", "big.bin", "--output", "big.bin"},
            "big.bin: " + QString::fromLocal8Bit(std::strerror(ENOTDIR)));
    refused("output folder empty", {"split", "big.bin", "--output", ""}, "'': " + noSuchFile);
    refused("folder tested before the file", {"split", "", "--output", "missing"}, "missing: " + noSuchFile);
    refused("empty file", {"split", "", "--output", "out"}, "'': " + noSuchFile);
    refused(".splt in the folder part", {"split", "old.splt files/a.bin", "--output", "out"}, alreadySplit);
    refused("_splt in the name", {"split", "a.bin_splt1", "--output", "out"}, alreadySplit);
    refused("markers before existence", {"split", "gone.splt", "--output", "out"}, alreadySplit);
    refused("file missing", {"split", "gone.bin", "--output", "out"}, "gone.bin: " + noSuchFile);
    refused("absolute path kept as given", {"split", "%1//gone.bin", "--output", "out"}, "%1//gone.bin: " + noSuchFile);
    refused("folder as file", {"split", "folder", "--output", "out"},
            "folder: " + QString::fromLocal8Bit(std::strerror(EISDIR)));
    refused("line break in the name, quoted", {"split", "gone\nfile", "--output", "out"},
            "'gone'$'\\n''file': " + noSuchFile);
    refused("size equal to chunk", {"split", "exact.bin", "--chunk-size", "100", "--output", "out"}, notLarger);
    refused("size below default chunk", {"split", "big.bin", "--output", "out"}, notLarger);
    refused("too many pieces", {"split", "many.bin", "--chunk-size", "1", "--output", "out"},
            "Chunk size too small: a file can be split into at most 32767 pieces.");
    QTest::newRow("one byte above chunk")
        << QStringList{"split", "exact.bin", "--chunk-size", "99", "--output", "out"} << "" << success << 0;
    QTest::newRow("capital .SPLT is not a marker")
        << QStringList{"split", "SAMPLE.SPLT", "--chunk-size", "100", "--output", "out"} << "" << success << 0;
    // -n: the chunk size comes from the size, so the size test refuses one part.
    refused("one part", {"split", "big.bin", "-n", "1", "--output", "out"}, notLarger);
    refused("parts of an empty file", {"split", "empty.bin", "-n", "5", "--output", "out"}, notLarger);
    // -q silences the outcome messages, never a refusal.
    refused("quiet refusal", {"split", "big.bin", "-q", "--output", "out"}, notLarger);
    QTest::newRow("quiet success") << QStringList{"split",   "exact.bin", "--chunk-size", "99",
                                                  "--quiet", "--output",  "out"}
                                   << QString() << QString() << 0;
}

void TestCommandLine::splitChecks() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    QFETCH(QString, outcome);
    QFETCH(int, exitCode);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("folder") && folder.mkdir("old.splt files"));
    Files::write(path("big.bin"), Files::pattern(300));
    Files::write(path("exact.bin"), Files::pattern(100));
    Files::write(path("empty.bin"), {});
    Files::write(path("many.bin"), Files::pattern(32768));
    Files::write(path("old.splt files/a.bin"), Files::pattern(300));
    Files::write(path("a.bin_splt1"), Files::pattern(300));
    Files::write(path("SAMPLE.SPLT"), Files::pattern(300));

    const Run result = run(expandAll(arguments, m_folder));
    QCOMPARE(result.out, expand(outcome, m_folder));
    QCOMPARE(result.err, errorLine(expand(refusal, m_folder)));
    QCOMPARE(result.exitCode, exitCode);
    // Refusals come before anything is written.
    QCOMPARE(QDir(path("out")).isEmpty(), exitCode != 0);
}

void TestCommandLine::joinChecks_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("refusal");

    const QString noSuchFile = QString::fromLocal8Bit(std::strerror(ENOENT));
    const auto refused = [](const char* name, const QStringList& arguments, const QString& refusal) {
        QTest::newRow(name) << arguments << refusal;
    };
    refused("empty manifest path", {"join", "", "--output", "out"}, "'': " + noSuchFile);
    refused("manifest missing", {"join", "gone.splt", "--output", "out"}, "gone.splt: " + noSuchFile);
    refused("manifest missing, default output", {"join", "gone.splt"}, "gone.splt: " + noSuchFile);
    refused("manifest missing, absolute", {"join", "%1/gone.splt"}, "%1/gone.splt: " + noSuchFile);
    refused("folder as manifest", {"join", "set", "--output", "out"},
            "set: " + QString::fromLocal8Bit(std::strerror(EISDIR)));
    refused("manifest too large", {"join", "huge.splt", "--output", "out"}, "huge.splt: not a valid split file list");
    refused("output over the manifest", {"join", "set/list", "--output", "set"},
            "The joined file would overwrite its own piece set. Please select another output folder.");
    refused("binary file", {"join", "photo.jpg", "--output", "out"}, "photo.jpg: not a valid split file list");
    refused("empty file", {"join", "empty.splt", "--output", "out"}, "empty.splt: not a valid split file list");
    refused("LF line ends", {"join", "unix.splt", "--output", "out"}, "unix.splt: not a valid split file list");
    refused("piece without its list", {"join", "set/part_splt1", "--output", "out"},
            "set/part_splt1: not a valid split file list");
    refused("quiet keeps refusals", {"join", "-q", "gone.splt", "--output", "out"}, "gone.splt: " + noSuchFile);
}

void TestCommandLine::joinChecks() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("set"));
    writeSparseFile(path("huge.splt"), qint64(32768) * 4098 + 1);
    Files::write(path("set/part_splt1"), withoutCrLf(Files::pattern(10)));
    Files::write(path("set/list"), "/elsewhere/part_splt1\r\n");
    Files::write(path("photo.jpg"), withoutCrLf(Files::pattern(3000)));
    Files::write(path("empty.splt"), {});
    Files::write(path("unix.splt"), "set/part_splt1\n");

    const Run result = run(expandAll(arguments, m_folder));
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, errorLine(expand(refusal, m_folder)));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(QDir(path("out")).isEmpty());
    QCOMPARE(Files::read(path("set/list")), QByteArray("/elsewhere/part_splt1\r\n"));
}

void TestCommandLine::relativePaths_data() {
    QTest::addColumn<QStringList>("outputArguments");
    QTest::addColumn<QString>("piecePrefix"); // of every manifest line
    QTest::addColumn<QString>("manifest");    // relative to the working folder

    QTest::newRow("default output") << QStringList{} << "%1/data.bin_splt"
                                    << "data.bin.splt";
    QTest::newRow("relative folder") << QStringList{"--output", "out"} << "%1/out/data.bin_splt"
                                     << "out/data.bin.splt";
    QTest::newRow("trailing separator kept") << QStringList{"--output", "out/"} << "%1/out//data.bin_splt"
                                             << "out/data.bin.splt";
    QTest::newRow("equals form") << QStringList{"--output=out/"} << "%1/out//data.bin_splt"
                                 << "out/data.bin.splt";
    QTest::newRow("dot segments kept") << QStringList{"--output", "sub/../out"} << "%1/sub/../out/data.bin_splt"
                                       << "out/data.bin.splt";
    QTest::newRow("absolute folder untouched") << QStringList{"--output", "%1/out/"} << "%1/out//data.bin_splt"
                                               << "out/data.bin.splt";
}

void TestCommandLine::relativePaths() {
    QFETCH(QStringList, outputArguments);
    QFETCH(QString, piecePrefix);
    QFETCH(QString, manifest);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("sub") && folder.mkdir("joined"));
    const QByteArray source = Files::pattern(2500);
    Files::write(path("data.bin"), source);

    Run result = run(QStringList{"split", "data.bin", "--chunk-size", "1000"} + expandAll(outputArguments, m_folder));
    QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
    QCOMPARE(result.exitCode, 0);
    QByteArray lines;
    for (int i = 1; i <= 3; ++i) {
        lines += expand(piecePrefix, m_folder) + QByteArray::number(i) + "\r\n";
    }
    QCOMPARE(Files::read(path(manifest)), lines);

    result = run({"join", manifest, "--output", "joined"});
    QCOMPARE(result.out, QByteArray("Files successfully joined\n"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(Files::read(path("joined/data.bin")), source);
}

void TestCommandLine::roundTrip_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QStringList>("chunkArguments");
    QTest::addColumn<QList<qint64>>("pieceSizes");

    QTest::newRow("default chunk, remainder")
        << qint64(250000) << QStringList{} << QList<qint64>{100000, 100000, 50000};
    QTest::newRow("exact multiple") << qint64(3000) << QStringList{"--chunk-size", "1000"}
                                    << QList<qint64>{1000, 1000, 1000};
    QTest::newRow("one byte over") << qint64(3001) << QStringList{"--chunk-size=1000"}
                                   << QList<qint64>{1000, 1000, 1000, 1};
    QTest::newRow("chunk 1") << qint64(5) << QStringList{"--chunk-size", "1"} << QList<qint64>{1, 1, 1, 1, 1};
}

void TestCommandLine::roundTrip() {
    QFETCH(qint64, size);
    QFETCH(QStringList, chunkArguments);
    QFETCH(QList<qint64>, pieceSizes);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("joined"));
    const QByteArray source = Files::pattern(size);
    Files::write(path("source.dat"), source);

    Run result = run(QStringList{"split", path("source.dat"), "--output", path("out")} + chunkArguments);
    QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
    QCOMPARE(result.err, QByteArray()); // no progress line: standard error is not a terminal
    QCOMPARE(result.exitCode, 0);
    QByteArray lines;
    for (int i = 0; i < pieceSizes.size(); ++i) {
        const QString piece = path("out/source.dat_splt" + QString::number(i + 1));
        QCOMPARE(QFileInfo(piece).size(), pieceSizes[i]);
        lines += piece.toLocal8Bit() + "\r\n";
    }
    QCOMPARE(Files::read(path("out/source.dat.splt")), lines);

    result = run({"join", path("out/source.dat.splt"), "--output", path("joined")});
    QCOMPARE(result.out, QByteArray("Files successfully joined\n"));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(Files::read(path("joined/source.dat")) == source);
}

void TestCommandLine::missingPiece() {
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("joined"));
    const QByteArray source = Files::pattern(250000);
    Files::write(path("source.dat"), source);
    QCOMPARE(run({"split", "source.dat", "--output", "out"}).exitCode, 0);
    QVERIFY(QFile::remove(path("out/source.dat_splt2")));

    const Run result = run({"join", "out/source.dat.splt", "--output", "joined"});
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, QByteArray("quarnel-cli: out/source.dat_splt2: splitted file not found\n"));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(Files::read(path("joined/source.dat")) == source.left(100000));
}

QByteArray TestCommandLine::makeSet(const QString& name, qint64 size, int chunkSize, bool checksum, int recovery,
                                    bool numbered) {
    const QByteArray source = Files::pattern(size);
    Files::write(path(name), source);
    m_numbered = numbered;
    QStringList arguments{"split", name, "--chunk-size", QString::number(chunkSize), "-q"};
    if (numbered) {
        arguments << "--numbered";
    }
    if (checksum) {
        arguments << "--checksum";
    }
    if (recovery > 0) {
        arguments << "--recovery" << QString::number(recovery);
    }
    const Run result = run(arguments);
    if (result.exitCode != 0) {
        qWarning("split failed: %s", result.err.constData());
        return {};
    }
    return source;
}

void TestCommandLine::parts_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("parts");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<qint64>("pieceSize"); // of every piece but the last

    QTest::newRow("even") << qint64(300) << "3" << 3 << qint64(100);
    QTest::newRow("rounded up") << qint64(301) << "3" << 3 << qint64(101);
    QTest::newRow("short last piece") << qint64(100) << "--parts=7" << 7 << qint64(15);
    QTest::newRow("fewer pieces than asked") << qint64(9) << "4" << 3 << qint64(3);
    QTest::newRow("more parts than bytes") << qint64(300) << "1000" << 300 << qint64(1);
    QTest::newRow("two parts") << qint64(3) << "-n2" << 2 << qint64(2);
    QTest::newRow("32767 parts") << qint64(65534) << "32767" << 32767 << qint64(2);
}

// The smallest chunk size that gives at most N pieces.
void TestCommandLine::parts() {
    QFETCH(qint64, size);
    QFETCH(QString, parts);
    QFETCH(int, pieces);
    QFETCH(qint64, pieceSize);
    QVERIFY(QDir(m_folder).mkdir("out"));
    const QByteArray source = Files::pattern(size);
    Files::write(path("src.bin"), source);

    const QStringList partArguments = parts.startsWith('-') ? QStringList{parts} : QStringList{"-n", parts};
    const Run result = run(QStringList{"split", "src.bin", "--output", "out"} + partArguments);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
    QCOMPARE(result.exitCode, 0);
    const QString last = path("out/src.bin_splt" + QString::number(pieces));
    QCOMPARE(Files::read(last), source.mid(qint64(pieces - 1) * pieceSize));
    QVERIFY(!QFile::exists(path("out/src.bin_splt" + QString::number(pieces + 1))));
    QCOMPARE(Files::read(path("out/src.bin_splt1")), source.left(pieceSize));
    QCOMPARE(Files::read(path("out/src.bin.splt")).count("\r\n"), pieces);
}

void TestCommandLine::checksums_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<bool>("earlierFile");
    QTest::newRow("three pieces") << qint64(250000) << 100000 << false;
    QTest::newRow("earlier file kept") << qint64(250000) << 100000 << true;
    // Pieces of more than one copy block: the hash spans the blocks.
    QTest::newRow("pieces of 9 MiB") << qint64(20) * 1024 * 1024 << 9 * 1024 * 1024 << false;
}

// --checksum writes what sha256sum checks; a flipped byte in piece 2 stops the join
// before piece 2 with the message and no success.
void TestCommandLine::checksums() {
    QFETCH(qint64, size);
    QFETCH(int, chunkSize);
    QFETCH(bool, earlierFile);
    QVERIFY(QDir(m_folder).mkdir("joined"));
    const QByteArray source = makeSet("a.bin", size, chunkSize, true);
    QVERIFY(!source.isEmpty());

    // The file, written by the program, against hashes made here.
    QByteArray expected;
    for (qint64 i = 0, number = 1; i < size; i += chunkSize, ++number) {
        expected += QCryptographicHash::hash(source.mid(i, chunkSize), QCryptographicHash::Sha256).toHex() +
                    "  a.bin_splt" + QByteArray::number(number) + "\n";
    }
    expected += QCryptographicHash::hash(source, QCryptographicHash::Sha256).toHex() + "  a.bin\n";
    QCOMPARE(Files::read(path("a.bin.splt.sha256")), expected);

    QProcess sha256sum;
    sha256sum.setWorkingDirectory(m_folder);
    sha256sum.start("sha256sum", {"-c", "a.bin.splt.sha256"});
    if (!sha256sum.waitForFinished(60000)) {
        QSKIP("no sha256sum");
    }
    QCOMPARE(sha256sum.exitCode(), 0);

    QFile piece(path("a.bin_splt2"));
    QVERIFY(piece.open(QIODevice::ReadWrite));
    QVERIFY(piece.seek(chunkSize / 2));
    const char flipped = static_cast<char>(source[chunkSize + chunkSize / 2] ^ 0x10);
    QVERIFY(piece.putChar(flipped));
    piece.close();
    sha256sum.start("sha256sum", {"-c", "a.bin.splt.sha256"});
    QVERIFY(sha256sum.waitForFinished(60000));
    QCOMPARE(sha256sum.exitCode(), 1);
    QVERIFY(sha256sum.readAllStandardOutput().contains("a.bin_splt2: FAILED\n"));

    if (earlierFile) {
        Files::write(path("joined/a.bin"), "earlier");
    }
    const Run result = run({"join", "a.bin.splt", "--output", "joined"});
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, QByteArray("quarnel-cli: a.bin_splt2: damaged: its checksum does not match\n"));
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(Files::read(path("joined/a.bin")), earlierFile ? QByteArray("earlier") : source.left(chunkSize));
    QCOMPARE(QDir(path("joined")).entryList(QDir::Files | QDir::Hidden), QStringList{"a.bin"});
}

void TestCommandLine::splitStandardInput_data() {
    QTest::addColumn<QStringList>("options"); // after "split -"
    QTest::addColumn<qint64>("size");         // of the stream; -1: standard input is a folder
    QTest::addColumn<int>("pieces");          // 0: no set is left
    QTest::addColumn<QByteArray>("err");
    const QStringList name{"--name", "backup.tar", "-o", "out"};
    QTest::newRow("pieces, list and checksums")
        << name + QStringList{"-b", "100000", "--checksum"} << qint64(250000) << 3 << QByteArray();
    QTest::newRow("pieces of more than one read")
        << name + QStringList{"-b", "1M", "--checksum"} << qint64(2500000) << 3 << QByteArray();
    QTest::newRow("ends at a piece's end") << name + QStringList{"-b", "1000"} << qint64(3000) << 3 << QByteArray();
    QTest::newRow("pieces, list and recovery")
        << name + QStringList{"-b", "1000", "--recovery", "50%"} << qint64(3500) << 4 << QByteArray();
    QTest::newRow("shorter than a piece") << name << qint64(10) << 1 << QByteArray();
    QTest::newRow("empty stream") << name << qint64(0) << 0
                                  << errorLine("Filesize is less than or equal to chunk size.");
    QTest::newRow("more than 32767 pieces")
        << name + QStringList{"-b", "1"} << qint64(32768) << 0
        << errorLine("Chunk size too small: a file can be split into at most 32767 pieces.");
    QTest::newRow("read error") << name << qint64(-1) << 0 << failureLine("-", EISDIR, 120);
    QTest::newRow("already split name") << QStringList{"--name", "old.splt", "-o", "out"} << qint64(300) << 0
                                        << errorLine("Cannot split already split file.");
    QTest::newRow("line break in the name")
        << QStringList{"--name", "a\nb", "-o", "out"} << qint64(300) << 0
        << errorLine("The file name or the folder contains a line break, which a split file list cannot hold.");
    QTest::newRow("name too long") << QStringList{"--name", QString(250, 'n'), "-o", "out"} << qint64(300) << 0
                                   << errorLine("The names of the pieces would be too long. Please use a shorter "
                                                "file name or folder.");
}

// `split -` makes of a pipe what a split of a file of that name makes.
void TestCommandLine::splitStandardInput() {
    QFETCH(QStringList, options);
    QFETCH(qint64, size);
    QFETCH(int, pieces);
    QFETCH(QByteArray, err);
    QVERIFY(QDir(m_folder).mkdir("out"));
    const QByteArray source = Files::pattern(std::max<qint64>(size, 0));
    const auto folderAsInput = [size] {
        if (size < 0) {
            dup2(::open(".", O_RDONLY | O_DIRECTORY), STDIN_FILENO);
        }
    };

    const Run result = run(QStringList{"split", "-"} + options, folderAsInput, source);
    QCOMPARE(result.err, err);
    QCOMPARE(result.out, pieces > 0 ? QByteArray("File successfully split\nDone.\n") : QByteArray());
    QCOMPARE(result.exitCode, pieces > 0 ? 0 : 1);
    if (pieces == 0) {
        QVERIFY(QDir(path("out")).entryList(QDir::Files).filter(".splt").isEmpty());
        return;
    }
    const auto at = options.indexOf("-b");
    const qint64 chunk = at < 0 ? 100000 : options[at + 1] == "1M" ? 1024 * 1024 : options[at + 1].toLongLong();
    QByteArray lines;
    QByteArray sums;
    for (int number = 1; number <= pieces; ++number) {
        const QString name = "backup.tar_splt" + QString::number(number);
        const QByteArray piece = Files::read(path("out/" + name));
        QCOMPARE(piece, source.mid(qint64(number - 1) * chunk, chunk));
        lines += path("out/" + name).toLocal8Bit() + "\r\n";
        sums += QCryptographicHash::hash(piece, QCryptographicHash::Sha256).toHex() + "  " + name.toLatin1() + "\n";
    }
    QVERIFY(!QFile::exists(path("out/backup.tar_splt" + QString::number(pieces + 1))));
    QCOMPARE(Files::read(path("out/backup.tar.splt")), lines);
    sums += QCryptographicHash::hash(source, QCryptographicHash::Sha256).toHex() + "  backup.tar\n";
    QCOMPARE(Files::read(path("out/backup.tar.splt.sha256")),
             options.contains("--checksum") ? sums : QByteArray("<missing>"));
    // Recovery data for the pieces the stream made, once it ended.
    QCOMPARE(tool("par2", {"verify", "-q", "out/backup.tar.splt.par2"}).exitCode,
             options.contains("--recovery") ? 0 : 3); // 3: no such file
}

Run TestCommandLine::tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setWorkingDirectory(m_folder);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

void TestCommandLine::numberedSets_data() {
    QTest::addColumn<QStringList>("options"); // after "split a.bin --numbered", or "split - --name a.bin ..."
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("fromStream");
    QTest::addColumn<QStringList>("earlier"); // files of an earlier set there before the split
    QTest::addColumn<QByteArray>("err");      // empty: the split succeeds
    QTest::newRow("three pieces") << QStringList{"-b", "1000"} << qint64(2500) << false << QStringList{}
                                  << QByteArray();
    QTest::newRow("checksum and recovery") << QStringList{"-b", "1000", "--checksum", "--recovery", "1"} << qint64(2500)
                                           << false << QStringList{} << QByteArray();
    QTest::newRow("standard input, checksum and recovery") << QStringList{"-b", "1000", "--checksum", "--recovery", "2"}
                                                           << qint64(2500) << true << QStringList{} << QByteArray();
    // Its first 999 pieces are named a.bin.001 ... until the stream ends past them.
    QTest::newRow("standard input of 1000 pieces")
        << QStringList{"-b", "1"} << qint64(1000) << true << QStringList{} << QByteArray();
    // A join would take in .000 and the pieces after the new last one; the old .crc
    // and recovery data describe another file.
    QTest::newRow("an earlier, longer set") << QStringList{"-b", "1000"} << qint64(2500) << false
                                            << QStringList{"a.bin.000", "a.bin.004",  "a.bin.0005",       "a.bin.1000",
                                                           "a.bin.crc", "a.bin.par2", "a.bin.vol0+1.par2"}
                                            << QByteArray();
    QTest::newRow("standard input, more recovery than pieces")
        << QStringList{"-b", "1000", "--recovery", "5"} << qint64(2500) << true << QStringList{}
        << errorLine("--recovery 5 is more than the 3 pieces of the split: no recovery files were written");
}

// split --numbered makes what 7-Zip, cat, sha256sum and par2 read, and what other
// programs' .crc readers check.
void TestCommandLine::numberedSets() {
    QFETCH(QStringList, options);
    QFETCH(qint64, size);
    QFETCH(bool, fromStream);
    QFETCH(QStringList, earlier);
    QFETCH(QByteArray, err);
    const QByteArray source = Files::pattern(size);
    Files::write(path("a.bin"), source);
    for (const QString& name : earlier) {
        Files::write(path(name), "earlier");
    }
    const QStringList split = fromStream ? QStringList{"split", "-", "--name", "a.bin"} : QStringList{"split", "a.bin"};

    const Run result = run(split + QStringList{"--numbered"} + options, {}, fromStream ? source : QByteArray());
    QCOMPARE(result.err, err);
    QCOMPARE(result.out,
             err.isEmpty() ? QByteArray("File successfully split\nDone.\n") : QByteArray("File successfully split\n"));
    QCOMPARE(result.exitCode, err.isEmpty() ? 0 : 1);

    const qint64 chunk = options[1].toLongLong();
    const qint64 pieces = (size + chunk - 1) / chunk;
    QStringList expected{"a.bin", "a.bin.crc"};
    QByteArray joined;
    for (qint64 number = 1; number <= pieces; ++number) {
        expected << QString("a.bin.%1").arg(number, pieces > 999 ? 4 : 3, 10, QChar('0'));
        joined += Files::read(path(expected.last()));
    }
    QCOMPARE(joined, source);
    const bool checksum = options.contains("--checksum");
    const bool recovery = options.contains("--recovery") && err.isEmpty();
    expected << (checksum ? QStringList{"a.bin.sha256"} : QStringList{});
    expected.sort();
    QStringList entries = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(entries.removeIf([](const QString& name) { return name.endsWith(".par2"); }) > 0, recovery);
    QCOMPARE(entries, expected);

    // The peers, which the set-up script installs.
    const Run crc = tool("python3", {"-c", "import zlib; print('%08X' % zlib.crc32(open('a.bin', 'rb').read()))"});
    QCOMPARE(Files::read(path("a.bin.crc")), "filename=a.bin\r\nfilenameutf8=a.bin\r\nsize=" +
                                                 QByteArray::number(size) + "\r\ncrc32=" + crc.out.trimmed() + "\r\n");
    QCOMPARE(tool("sh", {"-c", pieces > 999 ? "cat a.bin.[0-9]*" : "cat a.bin.0*"}).out, source);
    QCOMPARE(tool("sha256sum", {"-c", "--quiet", "a.bin.sha256"}).exitCode, checksum ? 0 : 1);
    QCOMPARE(tool("par2", {"verify", "-q", "a.bin.par2"}).exitCode, recovery ? 0 : 3); // 3: no such file
    QCOMPARE(tool("7zz", {"x", "-o7z", pieces > 999 ? "a.bin.0001" : "a.bin.001"}).exitCode, 0);
    QCOMPARE(Files::read(path("7z/a.bin")), source);
}

// Does each of `faults` ("ACTION PIECE, ...") to the set of a.bin.
void TestCommandLine::damage(const QString& faults) {
    for (const QString& step : faults.split(", ", Qt::SkipEmptyParts)) {
        const QString action = step.section(' ', 0, 0);
        const QString piece = path(pieceOfA(step.section(' ', 1, 1).toInt()));
        QFile file(piece);
        if (action == "remove") {
            QVERIFY(file.remove());
        } else if (action == "cut") {
            QVERIFY(file.resize(file.size() - 1));
        } else if (action == "grow") {
            QVERIFY(file.resize(1001));
        } else if (action == "empty") {
            QVERIFY(file.resize(0));
        } else if (action == "flip") {
            QVERIFY(file.open(QIODevice::ReadWrite));
            const char byte = file.read(1).at(0);
            QVERIFY(file.seek(0) && file.putChar(static_cast<char>(byte ^ 1)));
        } else if (action == "folder") {
            QVERIFY(file.remove() && QDir(m_folder).mkdir(piece));
        } else if (action == "unlist") {
            QByteArray sums = Files::read(path("a.bin.splt.sha256"));
            const qsizetype at = sums.indexOf("  a.bin_splt" + step.section(' ', 1, 1).toLatin1() + "\n");
            QVERIFY(at > 0);
            sums.remove(at - 64, 64 + 2 + 12);
            Files::write(path("a.bin.splt.sha256"), sums);
        } else if (action == "nul") {
            // The entry still begins with the name of a piece that exists.
            QByteArray list = Files::read(path("a.bin.splt"));
            list.replace("a.bin_splt3\r\n", QByteArray("a.bin_splt3\0x\r\n", 15));
            Files::write(path("a.bin.splt"), list);
        }
    }
}

void TestCommandLine::verify_data() {
    QTest::addColumn<bool>("checksum");
    QTest::addColumn<QString>("fault");     // what is done to the set
    QTest::addColumn<QStringList>("lines"); // on standard output
    QTest::addColumn<int>("exitCode");

    const QString notWhole = "The set is not whole: %2 of 4 pieces must be sent again.";
    const QString unchecked = "The set is whole: 4 pieces of the right lengths (there is no a.bin.splt.sha256, so "
                              "their bytes were not checked).";
    const QString tooShort = ": too short: 999 bytes, every piece but the last has 1000";
    const QString damaged = ": damaged: its checksum does not match";
    // The pieces named, then how many must be sent again.
    const auto notWholeRow = [&](const char* name, bool checksum, const char* fault, const QStringList& findings) {
        QTest::newRow(name) << checksum << fault << findings + QStringList{notWhole.arg(findings.size())} << 1;
    };
    QTest::newRow("whole, with checksums")
        << true << "" << QStringList{"The set is whole: 4 pieces, every checksum matches."} << 0;
    QTest::newRow("whole, without checksums") << false << "" << QStringList{unchecked} << 0;
    notWholeRow("missing", true, "remove 2", {"a.bin_splt2: missing"});
    notWholeRow("missing, without checksums", false, "remove 4", {"a.bin_splt4: missing"});
    notWholeRow("short", false, "cut 3", {"a.bin_splt3" + tooShort});
    notWholeRow("first piece short", true, "cut 1", {"a.bin_splt1" + tooShort});
    notWholeRow("last piece too long", false, "grow 4",
                {"a.bin_splt4: too long: 1001 bytes, the last piece has at most 1000"});
    notWholeRow("last piece empty", false, "empty 4", {"a.bin_splt4: empty"});
    notWholeRow("damaged", true, "flip 2", {"a.bin_splt2" + damaged});
    QTest::newRow("damaged, without checksums") << false << "flip 2" << QStringList{unchecked} << 0;
    notWholeRow("damaged last piece", true, "cut 4", {"a.bin_splt4" + damaged});
    notWholeRow("unlisted", true, "unlist 3", {"a.bin_splt3: damaged: a.bin.splt.sha256 holds no checksum for it"});
    notWholeRow("several, in order", true, "flip 3, remove 1", {"a.bin_splt1: missing", "a.bin_splt3" + damaged});
    notWholeRow("an entry cut by a NUL byte", true, "nul 3", {"a.bin_splt3: missing"});
    notWholeRow("a folder in place of a piece", true, "folder 2", {"a.bin_splt2: missing"});
    QTest::newRow("quiet names the pieces only")
        << true << "remove 2, quiet" << QStringList{"a.bin_splt2: missing"} << 1;
    QTest::newRow("quiet, whole") << true << "quiet" << QStringList{} << 0;
    // "recovery N" first: the set gets recovery data for N pieces.
    const QString can = "The set can be repaired: %1 pieces to rebuild, %2 recovery pieces available.";
    const QString cannot = "The set cannot be repaired: %1 pieces to rebuild, only %2 recovery pieces available.";
    QTest::newRow("recovery data, whole")
        << false << "recovery 2" << QStringList{"The set is whole: 4 pieces, every checksum matches."} << 0;
    QTest::newRow("recovery data finds damage without checksums")
        << false << "recovery 1, flip 2" << QStringList{"a.bin_splt2" + damaged, notWhole.arg(1), can.arg(1).arg(1)}
        << 1;
    QTest::newRow("recovery data, missing and damaged")
        << true << "recovery 2, remove 1, flip 4"
        << QStringList{"a.bin_splt1: missing", "a.bin_splt4" + damaged, notWhole.arg(2), can.arg(2).arg(2)} << 1;
    QTest::newRow("beyond the recovery data")
        << false << "recovery 1, remove 1, cut 3"
        << QStringList{"a.bin_splt1: missing", "a.bin_splt3" + tooShort, notWhole.arg(2), cannot.arg(2).arg(1)} << 1;
}

// verify names each piece to send again and writes nothing.
void TestCommandLine::verify() {
    QFETCH(bool, checksum);
    QFETCH(QString, fault);
    QFETCH(QStringList, lines);
    QFETCH(int, exitCode);
    const int recovery = fault.startsWith("recovery ") ? fault.section(',', 0, 0).section(' ', 1).toInt() : 0;
    const QByteArray source = makeSet("a.bin", 3500, 1000, checksum, recovery);
    QVERIFY(!source.isEmpty());
    QVERIFY(QFile::remove(path("a.bin")));
    QStringList arguments{"verify", "a.bin.splt"};

    damage(fault);
    QVERIFY(!QTest::currentTestFailed());
    arguments << (fault.contains("quiet") ? QStringList{"-q"} : QStringList{});
    const QStringList before = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    const Run result = run(arguments);
    QByteArray expected;
    for (const QString& line : lines) {
        expected += expand(line, m_folder) + "\n";
    }
    QCOMPARE(result.out, expected);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
}

void TestCommandLine::repair_data() {
    QTest::addColumn<int>("chunkSize");
    QTest::addColumn<int>("recovery");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message"); // on standard output when it succeeds, else a part of standard error
    QTest::addColumn<QString>("operand"); // of repair; a numbered set's piece or PAR file for a numbered set
    const QString rebuilt = "Pieces rebuilt from the recovery files: %1.";
    const QString list = "a.bin.splt";
    QTest::newRow("missing piece") << 1000 << 1 << "remove 2" << 0 << rebuilt.arg(1) << list;
    QTest::newRow("damaged and short pieces of 1 MiB")
        << 1024 * 1024 << 2 << "flip 1, cut 4" << 0 << rebuilt.arg(2) << list;
    QTest::newRow("empty last piece") << 1000 << 2 << "empty 4" << 0 << rebuilt.arg(1) << list;
    QTest::newRow("whole") << 1000 << 1 << "" << 0 << "The set is whole: nothing to rebuild." << list;
    QTest::newRow("beyond the recovery data")
        << 1000 << 1 << "remove 1, flip 3" << 1
        << "quarnel-cli: The set cannot be repaired: 2 pieces to rebuild, only 1 recovery pieces available.\n"
        << list;
    // A new split of that name without --recovery leaves no recovery data of the old set.
    QTest::newRow("split again without recovery")
        << 1000 << 2 << "resplit, remove 2" << 1 << "a.bin.splt.par2: " << list;
    // A numbered set has no list: the piece named may be the missing one.
    QTest::newRow("numbered, given the missing piece") << 1000 << 1 << "remove 3" << 0 << rebuilt.arg(1) << "a.bin.003";
    QTest::newRow("numbered, given its index, pieces of 1 MiB")
        << 1024 * 1024 << 2 << "flip 1, remove 2" << 0 << rebuilt.arg(2) << "a.bin.par2";
    QTest::newRow("numbered, given a volume") << 1000 << 2 << "empty 4" << 0 << rebuilt.arg(1) << "a.bin.vol1+1.par2";
    QTest::newRow("numbered, without recovery data") << 1000 << 0 << "remove 2" << 1 << "a.bin.par2: "
                                                     << "a.bin.002";
}

// repair rebuilds pieces byte-exact, in a set par2 accepts, or changes nothing.
void TestCommandLine::repair() {
    QFETCH(int, chunkSize);
    QFETCH(int, recovery);
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, operand);
    const qint64 size = qint64(chunkSize) * 7 / 2;
    const bool numbered = !operand.endsWith(".splt");
    const QByteArray source = makeSet("a.bin", size, chunkSize, false, recovery, numbered);
    QVERIFY(!source.isEmpty());
    if (fault.startsWith("resplit")) {
        QCOMPARE(run({"split", "a.bin", "-b", QString::number(chunkSize), "-q"}).exitCode, 0);
        QVERIFY(QDir(m_folder).entryList({"*.par2"}).isEmpty());
    }
    damage(fault);
    QVERIFY(!QTest::currentTestFailed());
    const QDir folder(m_folder);
    std::map<QString, QByteArray> before;
    for (const QString& name : folder.entryList(QDir::Files)) {
        before[name] = Files::read(path(name));
    }

    const Run result = run({"repair", operand});
    QCOMPARE(result.exitCode, exitCode);
    if (exitCode != 0) {
        QCOMPARE(result.out, QByteArray());
        QVERIFY2(result.err.contains(message.toUtf8()), result.err.constData());
        std::map<QString, QByteArray> after;
        for (const QString& name : folder.entryList(QDir::Files)) {
            after[name] = Files::read(path(name));
        }
        QVERIFY(after == before);
        return;
    }
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, (message + "\n").toUtf8());
    for (qint64 at = 0, number = 1; at < size; at += chunkSize, ++number) {
        QCOMPARE(Files::read(path(pieceOfA(static_cast<int>(number)))), source.mid(at, chunkSize));
    }
    // A damaged piece is kept beside, as it was.
    if (fault.contains("flip 1")) {
        QCOMPARE(Files::read(path(pieceOfA(1) + ".damaged")), before[pieceOfA(1)]);
    }
    QProcess par2;
    par2.setWorkingDirectory(m_folder);
    par2.start("par2", {"verify", "-q", numbered ? "a.bin.par2" : "a.bin.splt.par2"});
    if (!par2.waitForFinished(60000)) {
        QSKIP("no par2");
    }
    QCOMPARE(par2.exitCode(), 0);
}

void TestCommandLine::joinToStandardOutput_data() {
    QTest::addColumn<bool>("checksum");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("piecesOut"); // the pieces whose bytes reach standard output
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    const QByteArray joined("Files successfully joined\n");
    QTest::newRow("whole set") << false << "" << 4 << joined << 0;
    QTest::newRow("whole set, checked") << true << "" << 4 << joined << 0;
    QTest::newRow("missing piece") << false << "remove 3" << 2
                                   << QByteArray("quarnel-cli: a.bin_splt3: splitted file not found\n") << 1;
    // Checked before it goes out: none of the damaged piece reaches the reader.
    QTest::newRow("damaged piece") << true << "flip 2" << 1
                                   << QByteArray("quarnel-cli: a.bin_splt2: damaged: its checksum does not match\n")
                                   << 1;
    QTest::newRow("into one of the pieces")
        << true << "into 2" << 0
        << errorLine("The joined file would overwrite its own piece set. Please select another output folder.") << 1;
    QTest::newRow("full disk") << false << "full" << 0 << failureLine("-", ENOSPC, 144) << 1;
    // "recovery N" first: the set gets recovery data for N pieces. Rebuilt before any
    // of the piece goes out; beyond the recovery data, the stop comes before it.
    QTest::newRow("missing piece rebuilt") << false << "recovery 1, remove 3" << 4
                                           << QByteArray("Pieces rebuilt from the recovery files: 1.\n") + joined << 0;
    QTest::newRow("damaged beyond the recovery data")
        << false << "recovery 1, flip 2, remove 4" << 1
        << QByteArray("quarnel-cli: a.bin_splt2: damaged: its checksum does not match\n"
                      "quarnel-cli: The recovery files are not enough to rebuild the missing or damaged pieces: "
                      "1 more are needed.\n")
        << 1;
}

// `join LIST --output -` writes the joined bytes to standard output and nothing else,
// and writes no file.
void TestCommandLine::joinToStandardOutput() {
    QFETCH(bool, checksum);
    QFETCH(QString, fault);
    QFETCH(int, piecesOut);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    const int recovery = fault.startsWith("recovery ") ? fault.section(',', 0, 0).section(' ', 1).toInt() : 0;
    const QByteArray source = makeSet("a.bin", 3500, 1000, checksum, recovery);
    QVERIFY(!source.isEmpty());
    QVERIFY(QFile::remove(path("a.bin")));
    std::function<void()> inChild;
    const QString piece = path("a.bin_splt" + fault.section(' ', 1, 1));
    damage(fault);
    QVERIFY(!QTest::currentTestFailed());
    if (fault.startsWith("into")) {
        const QByteArray name = QFile::encodeName(piece);
        inChild = [name] { dup2(::open(name.constData(), O_WRONLY), STDOUT_FILENO); };
    } else if (fault == "full") {
        inChild = [] { dup2(::open("/dev/full", O_WRONLY), STDOUT_FILENO); };
    }
    const QStringList before = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    const QByteArray pieceBefore = Files::read(piece);

    const Run result = run({"join", "a.bin.splt", "--output", "-"}, inChild);
    QCOMPARE(result.err, err);
    QCOMPARE(result.out, source.left(qint64(piecesOut) * 1000));
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    QCOMPARE(Files::read(piece), pieceBefore);
}

// A reader that goes away ends a join into standard output as it ends cat: by
// SIGPIPE, without a word.
void TestCommandLine::joinToAClosedPipe() {
    QVERIFY(!makeSet("a.bin", 3000000, 1000000, false).isEmpty());
    int pipeEnds[2] = {-1, -1};
    QVERIFY(::pipe(pipeEnds) == 0);
    ::close(pipeEnds[0]);
    const Child child = spawn({"join", "a.bin.splt", "-o", "-"}, [&pipeEnds] { dup2(pipeEnds[1], STDOUT_FILENO); });
    ::close(pipeEnds[1]);
    const int status = finish(child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE, qPrintable(QString::number(status)));
    QCOMPARE(Files::read(child.err), QByteArray());
}

// A piece's path finds the list beside it, for join and verify alike; a list that is
// not there and a file that lists nothing are said so.
void TestCommandLine::joinFromAPiece() {
    QVERIFY(QDir(m_folder).mkdir("joined"));
    const QByteArray source = makeSet("a.bin", 2500, 1000, false);
    QVERIFY(!source.isEmpty());

    Run result = run({"join", "a.bin_splt3", "--output", "joined"});
    QCOMPARE(result.out, QByteArray("Files successfully joined\n"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(Files::read(path("joined/a.bin")), source);

    result = run({"verify", "a.bin_splt1", "-q"});
    QCOMPARE(result.out + result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);

    QVERIFY(QFile::remove(path("a.bin.splt")));
    result = run({"verify", "a.bin_splt1"});
    QCOMPARE(result.err, QByteArray("quarnel-cli: a.bin_splt1: not a valid split file list\n"));
    QCOMPARE(result.exitCode, 1);
    result = run({"verify", "gone.splt"});
    QCOMPARE(result.err, "quarnel-cli: gone.splt: " + QByteArray(std::strerror(ENOENT)) + "\n");
    QCOMPARE(result.exitCode, 1);
}

void TestCommandLine::setsOfOtherPrograms_data() {
    QTest::addColumn<QString>("command"); // a shell command, run where a.bin (3500 bytes) lies
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("out"); // "<joined>": the joined bytes
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    const QString numbered = "split -d -a 3 --numeric-suffixes=1 -b 1000 a.bin a.bin. && "
                             "printf 'filename=a.bin\r\nsize=3500\r\ncrc32=%s\r\n' "
                             "$(7zz h -scrcCRC32 a.bin | sed -n 's/^CRC32  for data: *//p') > a.bin.crc && rm a.bin";
    const QString flip = " && printf x | dd of=a.bin.003 conv=notrunc 2>/dev/null";
    const QByteArray mismatch = "The joined file does not match a.bin.crc: one of its pieces is damaged.";
    QTest::newRow("verify, whole") << numbered << QStringList{"verify", "a.bin.002"}
                                   << QByteArray("The set is whole: 4 pieces, every checksum matches.\n")
                                   << QByteArray() << 0;
    QTest::newRow("verify, a byte changed")
        << numbered + flip << QStringList{"verify", "a.bin.crc"}
        << mismatch + "\nThe set is not whole: its pieces do not make the file a.bin.crc describes.\n"
        << QByteArray() << 1;
    QTest::newRow("verify, no .crc") << numbered + " && rm a.bin.crc" << QStringList{"verify", "a.bin.004"}
                                     << QByteArray("The set is whole: 4 pieces of the right lengths (there is no "
                                                   "a.bin.crc, so their bytes were not checked).\n")
                                     << QByteArray() << 0;
    QTest::newRow("verify, a piece missing")
        << numbered + " && rm a.bin.002" << QStringList{"verify", "a.bin.001"}
        << QByteArray("a.bin.002: missing\nThe set is not whole: 1 of 4 pieces must be sent again.\n") << QByteArray()
        << 1;
    QTest::newRow("verify, the last two missing: the .crc counts them")
        << numbered + " && rm a.bin.003 a.bin.004" << QStringList{"verify", "a.bin.001"}
        << QByteArray("a.bin.003: missing\na.bin.004: missing\nThe set is not whole: 2 of 4 pieces must be sent "
                      "again.\n")
        << QByteArray() << 1;
    QTest::newRow("join, coreutils pieces") << "split -b 1000 a.bin && mv a.bin whole" << QStringList{"join", "xaa"}
                                            << QByteArray("Files successfully joined\n") << QByteArray() << 0;
    QTest::newRow("join to standard output")
        << numbered << QStringList{"join", "a.bin.001", "-o", "-"} << QByteArray("<joined>")
        << QByteArray("Files successfully joined\n") << 0;
    QTest::newRow("join to standard output, a byte changed")
        << numbered + flip << QStringList{"join", "a.bin.001", "-o", "-"} << QByteArray("<joined>")
        << "quarnel-cli: " + mismatch + "\n"
        << 1;
    QTest::newRow("join, a byte changed")
        << numbered + flip << QStringList{"join", "a.bin.001"} << QByteArray() << "quarnel-cli: " + mismatch + "\n"
        << 1;
    QTest::newRow("join, a list's piece ending in 00 is no coreutils set")
        << "printf x > a_splt100 && printf y > a_splt101" << QStringList{"join", "a_splt100"} << QByteArray()
        << QByteArray("quarnel-cli: a_splt100: not a valid split file list\n") << 1;
    QTest::newRow("join, a .crc without crc32=")
        << "printf 'filename=a.bin\r\nsize=3500\r\n' > a.bin.crc && split -d -a 3 --numeric-suffixes=1 -b 1000 "
           "a.bin a.bin. && rm a.bin"
        << QStringList{"join", "a.bin.crc"} << QByteArray()
        << QByteArray("quarnel-cli: a.bin.crc: not a valid checksum file (102)\n") << 1;
}

// quarnel-cli joins and verifies what other programs split, by any of its pieces or
// its .crc; a set that does not make the file its .crc describes is no success.
void TestCommandLine::setsOfOtherPrograms() {
    QFETCH(QString, command);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    const QByteArray source = Files::pattern(3500);
    Files::write(path("a.bin"), source);
    QProcess shell;
    shell.setWorkingDirectory(m_folder);
    shell.start("sh", {"-c", command});
    QVERIFY(shell.waitForFinished() && shell.exitCode() == 0);
    QByteArray pieces; // as they stand, one after the other
    for (const QString& name : QDir(m_folder).entryList({"a.bin.0*", "x*"}, QDir::Files, QDir::Name)) {
        pieces += Files::read(path(name));
    }
    const QStringList before = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    const Run result = run(arguments);
    QCOMPARE(result.out, out == "<joined>" ? pieces : out);
    QCOMPARE(result.err, err);
    QCOMPARE(result.exitCode, exitCode);
    // Nothing but the joined file, where one was joined, is left behind.
    const QString joined = arguments.size() == 2 && exitCode == 0 && arguments.first() == "join"
                               ? (arguments[1] == "xaa" ? "x" : "a.bin")
                               : QString();
    QStringList expected = before + (joined.isEmpty() ? QStringList() : QStringList{joined});
    QStringList after = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    expected.sort();
    after.sort();
    QCOMPARE(after, expected);
    if (!joined.isEmpty()) {
        QCOMPARE(Files::read(path(joined)), source);
    }
}

void TestCommandLine::errorReports_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("file");         // the one the failure names
    QTest::addColumn<qint64>("fileSizeLimit"); // 0: none
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("fault"); // injected by the fault shim into a set with checksums
    const auto row = [](const char* name, const char* command, const char* output, const char* file, qint64 limit,
                        int error, int step, const char* fault = "") {
        QTest::newRow(name) << command << output << file << limit << error << step << fault;
    };
    row("split: disk full on a piece", "split", "out", "out/source.dat_splt1", 50000, EFBIG, 122);
    row("split: folder in place of piece 2", "split", "blocked", "blocked/source.dat_splt2", 0, EISDIR, 118);
    row("join: disk full on the second piece", "join", "joined", "joined/source.dat", 150000, EFBIG, 144);
    row("join: output folder missing", "join", "missing", "missing", 0, ENOENT, 118);
    // A reason holding ": " still names the file as typed.
    row("join: no thread to check the checksums", "join", "joined", "joined/source.dat", 0, EAGAIN, 140, "no-threads");
}

void TestCommandLine::errorReports() {
    QFETCH(QString, command);
    QFETCH(QString, output);
    QFETCH(QString, file);
    QFETCH(qint64, fileSizeLimit);
    QFETCH(int, error);
    QFETCH(int, step);
    QFETCH(QString, fault);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("joined") && folder.mkdir("blocked") && folder.mkdir("set"));
    QVERIFY(folder.mkdir("blocked/source.dat_splt2"));
    Files::write(path("source.dat"), Files::pattern(250000));
    QStringList split{"split", "source.dat", "--output", "set"};
    QCOMPARE(run(fault.isEmpty() ? split : split << "--checksum").exitCode, 0);

    // A full disk: writes beyond the limit fail with EFBIG instead of killing the process.
    const auto limitFileSize = [fileSizeLimit] {
        if (fileSizeLimit > 0) {
            Files::limitFileSize(rlim_t(fileSizeLimit));
        }
    };
    const QString input = command == "split" ? "source.dat" : "set/source.dat.splt";
    if (!fault.isEmpty()) {
        qputenv("LD_PRELOAD", QUARNEL_FAULT_SHIM);
        qputenv("QUARNEL_FAULT", fault.toLatin1());
    }
    const Run result = run({command, input, "--output", output}, limitFileSize);
    qunsetenv("LD_PRELOAD");
    qunsetenv("QUARNEL_FAULT");
    QCOMPARE(result.out, QByteArray()); // no "Done." after a failure
    QCOMPARE(result.err, fault.isEmpty() ? failureLine(file, error, step)
                                         : "quarnel-cli: " + QFile::encodeName(file) +
                                               ": The checksum could not be computed: " + std::strerror(error) + " (" +
                                               QByteArray::number(step) + ")\n");
    QCOMPARE(result.exitCode, 1);
    if (command == "split") {
        QVERIFY(!QFile::exists(path(output + "/source.dat.splt")));
    }
}

// Bytes, share, speed and time left are drawn on a terminal, a few times a second at
// most, and wiped at the end; the messages stay on standard output.
void TestCommandLine::progressOnlyOnTerminal_data() {
    QTest::addColumn<bool>("fromStream");
    QTest::addColumn<int>("terminalWidth");  // 0: the terminal says none
    QTest::addColumn<QByteArray>("columns"); // COLUMNS
    QTest::addColumn<int>("widest");         // that a frame may be
    QTest::newRow("file") << false << 200 << QByteArray() << 199;
    QTest::newRow("narrow terminal") << false << 30 << QByteArray("100") << 29;
    QTest::newRow("COLUMNS when the terminal says nothing") << false << 0 << QByteArray("24") << 23;
    QTest::newRow("standard input: no share") << true << 200 << QByteArray() << 199;
}

void TestCommandLine::progressOnlyOnTerminal() {
    QFETCH(bool, fromStream);
    QFETCH(int, terminalWidth);
    QFETCH(QByteArray, columns);
    QFETCH(int, widest);
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: ") + QString::fromLocal8Bit(std::strerror(errno))));
    }
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const int terminal = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    QVERIFY(terminal >= 0);
    winsize size{};
    size.ws_col = static_cast<unsigned short>(terminalWidth);
    QVERIFY(::ioctl(terminal, TIOCSWINSZ, &size) == 0);
    if (columns.isEmpty()) {
        qunsetenv("COLUMNS");
    } else {
        qputenv("COLUMNS", columns);
    }
    QVERIFY(fcntl(master, F_SETFL, O_NONBLOCK) == 0);
    QVERIFY(QDir(m_folder).mkdir("out"));
    Files::write(path("source.dat"), Files::pattern(250000));

    QElapsedTimer clock;
    clock.start();
    const QStringList file = fromStream ? QStringList{"-", "--name", "source.dat"} : QStringList{"source.dat"};
    const Run result = run(
        QStringList{"split"} + file + QStringList{"--chunk-size", "1000", "--output", "out"},
        [terminal] { dup2(terminal, STDERR_FILENO); }, Files::pattern(250000));
    qunsetenv("COLUMNS");
    const qint64 elapsed = clock.elapsed();
    QByteArray drawn;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(master, buffer, sizeof buffer)) > 0) {
        drawn.append(buffer, n);
    }
    ::close(terminal);
    ::close(master);

    QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(!drawn.contains('\n'), drawn.constData());
    const QList<QByteArray> frames = drawn.split('\r');
    // "\rFRAME\rFRAME...\r<blanks>\r": empty before the first CR and after the last.
    QVERIFY2(frames.size() >= 4 && frames.first().isEmpty() && frames.last().isEmpty(), drawn.constData());
    // The wipe blanks the widest line drawn.
    QCOMPARE(frames[frames.size() - 2].trimmed(), QByteArray());
    qsizetype drawnWidest = 0;
    for (qsizetype i = 1; i + 2 < frames.size(); ++i) {
        drawnWidest = std::max(drawnWidest, frames[i].size());
    }
    QVERIFY(frames[frames.size() - 2].size() >= drawnWidest);
    // Fits the terminal, the last column left free; what does not fit goes, the time
    // left first, then the speed, then the share.
    QVERIFY2(frames[frames.size() - 2].size() <= widest, qPrintable(QString::number(drawnWidest)));
    const QString share = fromStream ? "" : "( of 244\\.1 KiB \\((\\d+)%\\))?";
    const QRegularExpression frame("^\\d+(\\.\\d)? (B|KiB)" + share +
                                   "(, [\\d.]+ (B|KiB|MiB|GiB)/s(, \\d+:\\d\\d left)?)? *$");
    for (qsizetype i = 1; i + 2 < frames.size(); ++i) {
        QVERIFY2(frame.match(QString::fromLatin1(frames[i])).hasMatch(), frames[i].constData());
    }
    QVERIFY2(frames[1].startsWith(fromStream ? "0 B" : "0 B of 244.1 KiB (0%)"), frames[1].constData());
    // At most four redraws a second, and the first at once.
    QVERIFY2(frames.size() - 3 <= 2 + elapsed / 250, qPrintable(QString::number(frames.size() - 3)));
}

void TestCommandLine::stopOnSignal_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("ignoredAtStart");
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT ignored at start") << int(SIGINT) << true;
    QTest::newRow("SIGTERM ignored at start") << int(SIGTERM) << true;
}

// A stop cleans up, then ends by the signal itself, as the shell expects (130, 143);
// a signal ignored by whoever started the program stays ignored.
void TestCommandLine::stopOnSignal() {
    QFETCH(int, signalNumber);
    QFETCH(bool, ignoredAtStart);
    QVERIFY(QDir(m_folder).mkdir("out"));
    // 10000 pieces: creating them takes far longer than noticing the first one.
    writeSparseFile(path("source.dat"), 40000000);

    const Child child =
        spawn({"split", "source.dat", "--chunk-size", "4000", "--output", "out"}, [ignoredAtStart, signalNumber] {
            if (ignoredAtStart) {
                signal(signalNumber, SIG_IGN);
            }
        });
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path("out/source.dat_splt1")), 30000);
    QCOMPARE(::kill(child.pid, signalNumber), 0);
    const int status = finish(child);

    if (ignoredAtStart) {
        QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 0, qPrintable(QString::number(status)));
        QCOMPARE(Files::read(child.out), QByteArray("File successfully split\nDone.\n"));
        QVERIFY(QFile::exists(path("out/source.dat_splt10000")));
        QVERIFY(QFile::exists(path("out/source.dat.splt")));
    } else {
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber, qPrintable(QString::number(status)));
        QCOMPARE(Files::read(child.out), QByteArray());
        QVERIFY(!QFile::exists(path("out/source.dat_splt10000")));
        QVERIFY(!QFile::exists(path("out/source.dat.splt")));
    }
    QCOMPARE(Files::read(child.err), QByteArray());
    QCOMPARE(QDir(path("out")).entryList(QDir::Hidden | QDir::Files).filter(".quarnel").size(), 0);
}

// A split of standard input that waits for bytes still hears a stop at once.
void TestCommandLine::stopWhileTheStreamIsQuiet() {
    QVERIFY(QDir(m_folder).mkdir("out"));
    int pipeEnds[2] = {-1, -1};
    QVERIFY(::pipe(pipeEnds) == 0);
    const int reading = pipeEnds[0];
    const Child child = spawn({"split", "-", "--name", "x", "-b", "10", "-o", "out"}, [reading, pipeEnds] {
        dup2(reading, STDIN_FILENO);
        ::close(pipeEnds[1]);
    });
    ::close(reading);
    // Piece 1 and half of piece 2, then the writer falls silent without ending.
    QCOMPARE(::write(pipeEnds[1], "0123456789abcde", 15), ssize_t(15));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path("out/x_splt1")), 30000);
    QCOMPARE(::kill(child.pid, SIGINT), 0);
    const int status = finish(child);
    ::close(pipeEnds[1]);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT, qPrintable(QString::number(status)));
    QVERIFY(!QFile::exists(path("out/x.splt")));
}

void TestCommandLine::standardOutputFailures_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("fullDisk"); // else a pipe nobody reads
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("error");

    const QStringList split{"split", "source.dat", "--chunk-size", "1000", "--output", "out"};
    QTest::newRow("--version, full disk") << QStringList{"--version"} << true << 1 << ENOSPC;
    QTest::newRow("--help, closed pipe") << QStringList{"--help"} << false << 1 << EPIPE;
    QTest::newRow("split, closed pipe") << split << false << 1 << EPIPE;
    QTest::newRow("split, full disk") << split << true << 1 << ENOSPC;
    QTest::newRow("quiet split writes nothing") << split + QStringList{"-q"} << false << 0 << 0;
    QTest::newRow("split, standard output closed") << split << false << 1 << EBADF;
    QTest::newRow("refused join: output untouched") << QStringList{"join", "gone.splt"} << false << 1 << 0;
}

// A write error on standard output is an error, never a death by SIGPIPE; the work
// that was done stays done.
void TestCommandLine::standardOutputFailures() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, fullDisk);
    QFETCH(int, exitCode);
    QFETCH(int, error);
    QVERIFY(QDir(m_folder).mkdir("out"));
    const QByteArray source = Files::pattern(2500);
    Files::write(path("source.dat"), source);

    int pipeEnds[2] = {-1, -1};
    QVERIFY(::pipe(pipeEnds) == 0);
    ::close(pipeEnds[0]);
    const int target = fullDisk ? ::open("/dev/full", O_WRONLY) : pipeEnds[1];
    QVERIFY(target >= 0);
    const bool closed = error == EBADF;
    const Child child = spawn(arguments, [target, closed] {
        dup2(target, STDOUT_FILENO);
        if (closed) {
            ::close(STDOUT_FILENO);
        }
    });
    ::close(pipeEnds[1]);
    if (fullDisk) {
        ::close(target);
    }
    const int status = finish(child);

    QVERIFY2(WIFEXITED(status), qPrintable(QString::number(status)));
    QCOMPARE(WEXITSTATUS(status), exitCode);
    const QByteArray expectedError =
        error == 0 ? QByteArray() : "quarnel-cli: standard output: " + QByteArray(std::strerror(error)) + "\n";
    if (arguments.first() == "join") {
        QCOMPARE(Files::read(child.err), "quarnel-cli: gone.splt: " + QByteArray(std::strerror(ENOENT)) + "\n");
    } else {
        QCOMPARE(Files::read(child.err), expectedError);
    }
    if (arguments.first() == "split") {
        QCOMPARE(Files::read(path("out/source.dat_splt3")), source.mid(2000));
        QVERIFY(QFile::exists(path("out/source.dat.splt")));
    }
}

// With standard error closed, the first file the engine opens would take its number:
// the damaged-piece message must not land in the joined file.
void TestCommandLine::closedStandardStreams() {
    QVERIFY(QDir(m_folder).mkdir("joined"));
    const QByteArray source = makeSet("a.bin", 2500, 1000, true);
    QVERIFY(!source.isEmpty());
    QFile piece(path("a.bin_splt2"));
    QVERIFY(piece.open(QIODevice::ReadWrite) && piece.putChar(static_cast<char>(source[1000] ^ 1)));
    piece.close();

    const Child child = spawn({"join", "a.bin.splt", "--output", "joined"}, [] { ::close(STDERR_FILENO); });
    const int status = finish(child);
    QVERIFY2(WIFEXITED(status) && WEXITSTATUS(status) == 1, qPrintable(QString::number(status)));
    QCOMPARE(Files::read(path("joined/a.bin")), source.left(1000));
}

void TestCommandLine::bashCompletion_data() {
    QTest::addColumn<QStringList>("words"); // after the program's name; the last is being completed
    QTest::addColumn<QStringList>("offered");
    QStringList verbs{"--help", "--version"};
    for (const CommandLine::CommandName& command : CommandLine::commands) {
        verbs << command.name;
    }
    QTest::newRow("verbs") << QStringList{""} << verbs;
    QTest::newRow("verb begun") << QStringList{"j"} << QStringList{"join"};
    QTest::newRow("split options") << QStringList{"split", "--c"} << QStringList{"--chunk-size", "--checksum"};
    QTest::newRow("join options") << QStringList{"join", "-"}
                                  << QStringList{"--quiet", "-q", "--help", "-h", "--output", "-o"};
    QTest::newRow("verify options") << QStringList{"verify", "--"} << QStringList{"--quiet", "--help"};
    // Every option of getopt_long's table that a command takes, in both forms.
    for (const CommandLine::CommandName& command : CommandLine::commands) {
        QStringList forms;
        for (const option* entry = CommandLine::longOptions; entry->name != nullptr; ++entry) {
            if (CommandLine::takes(command.command, entry->val)) {
                forms << QString("--") + entry->name;
                if (entry->val < 256) { // else a long form only
                    forms << QString("-") + QLatin1Char(static_cast<char>(entry->val));
                }
            }
        }
        QTest::newRow(qPrintable(QString(command.name) + " options of the table"))
            << QStringList{command.name, "-"} << forms;
    }
    QTest::newRow("options before the command")
        << QStringList{"-q", "split", "--ch"} << QStringList{"--chunk-size", "--checksum"};
    QTest::newRow("an option's value is no command")
        << QStringList{"-b", "1K", "split", "--na"} << QStringList{"--name"};
    QTest::newRow("sets for join") << QStringList{"join", "a"} << QStringList{"a.bin.001", "a.bin.crc", "a.bin.splt"};
    QTest::newRow("recovery index for repair")
        << QStringList{"repair", "a"} << QStringList{"a.bin.001", "a.bin.crc", "a.bin.splt", "a.bin.splt.par2"};
    QTest::newRow("files for split") << QStringList{"split", "a"}
                                     << QStringList{"a.bin", "a.bin.001", "a.bin.crc", "a.bin.splt", "a.bin.splt.par2"};
    QTest::newRow("no files after -n") << QStringList{"split", "a.bin", "-n", ""} << QStringList{};
    QTest::newRow("folders or - for join's output")
        << QStringList{"join", "a.bin.splt", "-o", ""} << QStringList{"-", "sub"};
}

// The installed completion, run by bash with the bash-completion helpers it uses.
void TestCommandLine::bashCompletion() {
    QFETCH(QStringList, words);
    QFETCH(QStringList, offered);
    const QString helpers = "/usr/share/bash-completion/bash_completion";
    if (!QFile::exists(helpers)) {
        QSKIP("bash-completion is not installed");
    }
    for (const char* name : {"a.bin", "a.bin.splt", "a.bin.001", "a.bin.crc", "a.bin.splt.par2"}) {
        Files::write(path(name), "x");
    }
    QVERIFY(QDir(m_folder).mkdir("sub"));
    const QString script = "source \"$1\" && source \"$2\" && shift 2 && COMP_WORDS=(quarnel-cli \"$@\") && "
                           "COMP_CWORD=$# && COMP_LINE=\"${COMP_WORDS[*]}\" && COMP_POINT=${#COMP_LINE} && "
                           "_quarnel_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
    QProcess bash;
    bash.setWorkingDirectory(m_folder);
    bash.start("bash", QStringList{"-c", script, "bash", helpers, QStringLiteral(QUARNEL_CLI_COMPLETION)} + words);
    QVERIFY(bash.waitForFinished(30000));
    QCOMPARE(bash.readAllStandardError(), QByteArray());
    QStringList got = QString::fromLocal8Bit(bash.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    got.sort();
    offered.sort();
    QCOMPARE(got, offered);
}

TestCommandLine::Child TestCommandLine::spawn(const QStringList& arguments, const std::function<void()>& inChild) {
    Child child;
    child.out = path(".stdout");
    child.err = path(".stderr");
    QList<QByteArray> bytes{QByteArrayLiteral(QUARNEL_CLI)};
    for (const QString& argument : arguments) {
        bytes << QFile::encodeName(argument);
    }
    std::vector<char*> argv;
    for (QByteArray& argument : bytes) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const QByteArray folder = QFile::encodeName(m_folder);
    const QByteArray out = QFile::encodeName(child.out);
    const QByteArray err = QFile::encodeName(child.err);
    child.pid = ::fork();
    if (child.pid == 0) {
        const int outFd = ::open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int errFd = ::open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::chdir(folder.constData()) != 0 || outFd < 0 || errFd < 0) {
            _exit(126);
        }
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (inChild) {
            inChild();
        }
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    return child;
}

int TestCommandLine::finish(const Child& child) {
    QElapsedTimer clock;
    clock.start();
    int status = 0;
    while (::waitpid(child.pid, &status, WNOHANG) == 0) {
        if (clock.elapsed() > 60000) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            return -1;
        }
        QTest::qWait(10);
    }
    return status;
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
