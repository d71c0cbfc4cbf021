#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

const QByteArray splitLabel = "in Tavrid2021/08/31.SplitMergeFile.SplitFile ";
const QByteArray joinLabel = "in Tavrid2021/08/31.SplitMergeFile.JoinFiles ";

// The engine's description names the file the failing call concerned.
QByteArray ErrorReportText(const QString& file, int error, const QByteArray& label, int step) {
    return QFile::encodeName(file) + ": " + std::strerror(error) + "\r\n" + label + "at line " + QByteArray::number(step) +
           "\r\rPlease email screenshot of this message to support@velmarc.example\n";
}

QByteArray Pattern(qint64 size, quint32 seed = 7) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& byte : bytes) {
        byte = static_cast<char>(generator.generate() & 0xff);
    }
    return bytes;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path + ": " + file.errorString()));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

// A file of `size` bytes that takes no room: the size test only asks stat.
void WriteSparseFile(const QString& path, qint64 size) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path + ": " + file.errorString()));
    QVERIFY(file.resize(size));
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return "<cannot read " + path.toLocal8Bit() + ">";
    }
    return file.readAll();
}

// The expected text with %1 standing for the working folder.
QByteArray Expand(const QString& text, const QString& folder) {
    return QString(text).replace(QStringLiteral("%1"), folder).toLocal8Bit();
}

QStringList ExpandAll(QStringList arguments, const QString& folder) {
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
    void help_data();
    void help();
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
    void errorReports_data();
    void errorReports();
    void progressOnlyOnTerminal();
    void stopOnSignal_data();
    void stopOnSignal();

private:
    Run run(const QStringList& arguments, const std::function<void()>& inChild = {});
    QString path(const QString& name) const { return m_folder + QLatin1Char('/') + name; }

    std::unique_ptr<QTemporaryDir> m_temporary; // a fresh one for every test function
    QString m_folder;                           // the working folder of every run, as getcwd reports it
};

void TestCommandLine::init() {
    m_temporary = std::make_unique<QTemporaryDir>();
    QVERIFY(m_temporary->isValid());
    m_folder = QDir(m_temporary->path()).canonicalPath();
}

Run TestCommandLine::run(const QStringList& arguments, const std::function<void()>& inChild) {
    QProcess process;
    process.setWorkingDirectory(m_folder);
    if (inChild) {
        process.setChildProcessModifier(inChild);
    }
    process.start(QStringLiteral(QUARNEL_CLI), arguments);
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
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"cut", "big.bin"};
    QTest::newRow("split without file") << QStringList{"split"};
    QTest::newRow("join without manifest") << QStringList{"join"};
    QTest::newRow("chunk size without value") << QStringList{"split", "big.bin", "--chunk-size"};
    QTest::newRow("output without value") << QStringList{"split", "big.bin", "--output"};
    QTest::newRow("unknown suffix") << QStringList{"split", "big.bin", "--chunk-size", "12Q"};
    QTest::newRow("above 32 bits") << QStringList{"split", "big.bin", "--chunk-size", "3000000000"};
    QTest::newRow("2^31") << QStringList{"split", "big.bin", "--chunk-size", "2147483648"};
    QTest::newRow("2G is 2^31") << QStringList{"split", "big.bin", "--chunk-size", "2G"};
    QTest::newRow("3GB") << QStringList{"split", "big.bin", "--chunk-size", "3GB"};
    QTest::newRow("below -2^31") << QStringList{"split", "big.bin", "--chunk-size", "-2147483649"};
    QTest::newRow("huge digits") << QStringList{"split", "big.bin", "--chunk-size", "99999999999999999999999K"};
    QTest::newRow("fraction") << QStringList{"split", "big.bin", "--chunk-size", "1.5"};
    QTest::newRow("suffix alone") << QStringList{"split", "big.bin", "--chunk-size", "K"};
    QTest::newRow("empty") << QStringList{"split", "big.bin", "--chunk-size", ""};
    QTest::newRow("blank before suffix") << QStringList{"split", "big.bin", "--chunk-size", "12 K"};
    QTest::newRow("KiB") << QStringList{"split", "big.bin", "--chunk-size", "1KiB"};
    QTest::newRow("sign alone") << QStringList{"split", "big.bin", "--chunk-size", "-"};
    QTest::newRow("two signs") << QStringList{"split", "big.bin", "--chunk-size", "+-5"};
    QTest::newRow("hexadecimal") << QStringList{"split", "big.bin", "--chunk-size", "0x10"};
    QTest::newRow("equals form, bad value") << QStringList{"split", "big.bin", "--chunk-size=12Q"};
    QTest::newRow("chunk size for join") << QStringList{"join", "big.bin", "--chunk-size", "10"};
    QTest::newRow("unknown option") << QStringList{"split", "big.bin", "--force"};
    QTest::newRow("two files") << QStringList{"split", "big.bin", "other.bin"};
}

void TestCommandLine::usageErrors() {
    QFETCH(QStringList, arguments);
    WriteFile(path("big.bin"), Pattern(300));
    WriteFile(path("other.bin"), Pattern(300));

    const Run result = run(arguments);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("quarnel-cli: ") && result.err.contains("--help"), result.err.constData());
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
             (QStringList{"big.bin", "other.bin"}));
}

void TestCommandLine::help_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--help") << QStringList{"--help"};
    QTest::newRow("-h") << QStringList{"-h"};
    QTest::newRow("after a command") << QStringList{"split", "big.bin", "--help"};
}

void TestCommandLine::help() {
    QFETCH(QStringList, arguments);
    WriteFile(path("big.bin"), Pattern(300000));

    const Run result = run(arguments);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QByteArray());
    for (const char* part : {"quarnel-cli split FILE", "quarnel-cli join MANIFEST", "--chunk-size", "--output", "KB"}) {
        QVERIFY2(result.out.contains(part), part);
    }
    QCOMPARE(QDir(m_folder).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{"big.bin"});
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
}

// Small sizes are split for real; for all, a file of exactly the chunk size is
// refused and one a byte larger passes the size test (its split then fails at once
// on a folder standing where piece 1 would go, so nothing large is written).
void TestCommandLine::chunkSizeSuffixes() {
    QFETCH(QString, chunkSize);
    QFETCH(qint64, bytes);
    QVERIFY(QDir(m_folder).mkdir("out"));

    if (bytes <= 2 * 1024 * 1024) {
        const QByteArray source = Pattern(2 * bytes + 3);
        WriteFile(path("real.bin"), source);
        const Run result = run({"split", "real.bin", "--chunk-size", chunkSize, "--output", "out"});
        QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(ReadFile(path("out/real.bin_splt1")), source.left(bytes));
        QCOMPARE(ReadFile(path("out/real.bin_splt2")), source.mid(bytes, bytes));
        QCOMPARE(ReadFile(path("out/real.bin_splt3")), source.right(3));
        QVERIFY(!QFile::exists(path("out/real.bin_splt4")));
    }

    WriteSparseFile(path("exact.bin"), bytes);
    Run result = run({"split", "exact.bin", "--chunk-size", chunkSize, "--output", "out"});
    QCOMPARE(result.out, QByteArray("Filesize is less than or equal to chunk size.\nDone.\n"));
    QCOMPARE(result.exitCode, 1);

    WriteSparseFile(path("larger.bin"), bytes + 1);
    QVERIFY(QDir(m_folder).mkdir("out/larger.bin_splt1"));
    result = run({"split", "larger.bin", "--chunk-size", chunkSize, "--output", "out"});
    QCOMPARE(result.out, QByteArray("Done.\n"));
    QCOMPARE(result.err, ErrorReportText(path("out/larger.bin_splt1"), EISDIR, splitLabel, 118));
    QCOMPARE(result.exitCode, 1);
}

void TestCommandLine::splitChecks_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("exitCode");

    const QString done = "Done.\n";
    const QString folderMissing = "Folder does not exist. Please select another folder.\n";
    const QString alreadySplit = "Cannot split already split file.\n" + done;
    const QString notLarger = "Filesize is less than or equal to chunk size.\n" + done;
    const QString chunkTooSmall = "Chunk size must be at least 1 byte.\n" + done;

    QTest::newRow("output folder missing")
        << QStringList{"split", "big.bin", "--output", "missing"} << folderMissing << 1;
    QTest::newRow("output folder is a file")
        << QStringList{"split", "big.bin", "--output", "big.bin"} << folderMissing << 1;
    QTest::newRow("output folder empty") << QStringList{"split", "big.bin", "--output", ""} << folderMissing << 1;
    QTest::newRow("folder tested before the file")
        << QStringList{"split", "", "--output", "missing"} << folderMissing << 1;
    QTest::newRow("empty file") << QStringList{"split", "", "--output", "out"} << done << 1;
    QTest::newRow(".splt in the folder part")
        << QStringList{"split", "old.splt files/a.bin", "--output", "out"} << alreadySplit << 1;
    QTest::newRow("_splt in the name") << QStringList{"split", "a.bin_splt1", "--output", "out"} << alreadySplit << 1;
    QTest::newRow("markers before existence")
        << QStringList{"split", "gone.splt", "--output", "out"} << alreadySplit << 1;
    QTest::newRow("file missing") << QStringList{"split", "gone.bin", "--output", "out"}
                                  << "%1/gone.bin does not exist.\n" + done << 1;
    QTest::newRow("absolute path kept as given")
        << QStringList{"split", "%1//gone.bin", "--output", "out"} << "%1//gone.bin does not exist.\n" + done << 1;
    QTest::newRow("folder as file") << QStringList{"split", "folder", "--output", "out"}
                                    << "%1/folder does not exist.\n" + done << 1;
    QTest::newRow("size equal to chunk") << QStringList{"split", "exact.bin", "--chunk-size", "100", "--output", "out"}
                                         << notLarger << 1;
    QTest::newRow("size below default chunk") << QStringList{"split", "big.bin", "--output", "out"} << notLarger << 1;
    QTest::newRow("empty source, chunk 0")
        << QStringList{"split", "empty.bin", "--chunk-size", "0", "--output", "out"} << notLarger << 1;
    QTest::newRow("chunk 0") << QStringList{"split", "big.bin", "--chunk-size", "0", "--output", "out"} << chunkTooSmall
                             << 1;
    QTest::newRow("chunk -1K") << QStringList{"split", "big.bin", "--chunk-size", "-1K", "--output", "out"}
                               << chunkTooSmall << 1;
    QTest::newRow("chunk -2^31") << QStringList{"split", "big.bin", "--chunk-size=-2147483648", "--output=out"}
                                 << chunkTooSmall << 1;
    QTest::newRow("too many pieces") << QStringList{"split", "many.bin", "--chunk-size", "1", "--output", "out"}
                                     << "Chunk size too small: a file can be split into at most 32767 pieces.\n" + done
                                     << 1;
    QTest::newRow("one byte above chunk") << QStringList{"split", "exact.bin", "--chunk-size", "99", "--output", "out"}
                                          << "File successfully split\n" + done << 0;
    QTest::newRow("capital .SPLT is not a marker")
        << QStringList{"split", "SAMPLE.SPLT", "--chunk-size", "100", "--output", "out"}
        << "File successfully split\n" + done << 0;
}

void TestCommandLine::splitChecks() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QFETCH(int, exitCode);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("folder") && folder.mkdir("old.splt files"));
    WriteFile(path("big.bin"), Pattern(300));
    WriteFile(path("exact.bin"), Pattern(100));
    WriteFile(path("empty.bin"), {});
    WriteFile(path("many.bin"), Pattern(32768));
    WriteFile(path("old.splt files/a.bin"), Pattern(300));
    WriteFile(path("a.bin_splt1"), Pattern(300));
    WriteFile(path("SAMPLE.SPLT"), Pattern(300));

    const Run result = run(ExpandAll(arguments, m_folder));
    QCOMPARE(result.out, Expand(expected, m_folder));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, exitCode);
    // Refusals come before anything is written.
    QCOMPARE(QDir(path("out")).isEmpty(), exitCode != 0);
}

void TestCommandLine::joinChecks_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty manifest path") << QStringList{"join", "", "--output", "out"}
                                         << "You must select file to join.\n";
    QTest::newRow("manifest missing") << QStringList{"join", "gone.splt", "--output", "out"}
                                      << "%1/gone.splt not exist\n";
    QTest::newRow("manifest missing, default output") << QStringList{"join", "gone.splt"} << "%1/gone.splt not exist\n";
    QTest::newRow("folder as manifest") << QStringList{"join", "set", "--output", "out"} << "%1/set not exist\n";
    QTest::newRow("manifest too large") << QStringList{"join", "huge.splt", "--output", "out"}
                                        << "%1/huge.splt is not a valid split file list.\n";
    QTest::newRow("output over the manifest")
        << QStringList{"join", "set/list", "--output", "set"}
        << "The joined file would overwrite its own piece set. Please select another output folder.\n";
}

void TestCommandLine::joinChecks() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("set"));
    WriteSparseFile(path("huge.splt"), qint64(32768) * 4098 + 1);
    WriteFile(path("set/part_splt1"), Pattern(10));
    WriteFile(path("set/list"), "/elsewhere/part_splt1\r\n");

    const Run result = run(ExpandAll(arguments, m_folder));
    QCOMPARE(result.out, Expand(expected, m_folder));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 1);
    QVERIFY(QDir(path("out")).isEmpty());
    QCOMPARE(ReadFile(path("set/list")), QByteArray("/elsewhere/part_splt1\r\n"));
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
    const QByteArray source = Pattern(2500);
    WriteFile(path("data.bin"), source);

    Run result = run(QStringList{"split", "data.bin", "--chunk-size", "1000"} + ExpandAll(outputArguments, m_folder));
    QCOMPARE(result.out, QByteArray("File successfully split\nDone.\n"));
    QCOMPARE(result.exitCode, 0);
    QByteArray lines;
    for (int i = 1; i <= 3; ++i) {
        lines += Expand(piecePrefix, m_folder) + QByteArray::number(i) + "\r\n";
    }
    QCOMPARE(ReadFile(path(manifest)), lines);

    result = run({"join", manifest, "--output", "joined"});
    QCOMPARE(result.out, QByteArray("Files successfully joined\n"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(ReadFile(path("joined/data.bin")), source);
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
    const QByteArray source = Pattern(size);
    WriteFile(path("source.dat"), source);

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
    QCOMPARE(ReadFile(path("out/source.dat.splt")), lines);

    result = run({"join", path("out/source.dat.splt"), "--output", path("joined")});
    QCOMPARE(result.out, QByteArray("Files successfully joined\n"));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 0);
    QVERIFY(ReadFile(path("joined/source.dat")) == source);
}

void TestCommandLine::missingPiece() {
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("joined"));
    const QByteArray source = Pattern(250000);
    WriteFile(path("source.dat"), source);
    QCOMPARE(run({"split", "source.dat", "--output", "out"}).exitCode, 0);
    QVERIFY(QFile::remove(path("out/source.dat_splt2")));

    const Run result = run({"join", "out/source.dat.splt", "--output", "joined"});
    QCOMPARE(result.out, Expand("%1/out/source.dat_splt2 splitted file not found\n", m_folder));
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.exitCode, 1);
    QVERIFY(ReadFile(path("joined/source.dat")) == source.left(100000));
}

void TestCommandLine::errorReports_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("file"); // the one the error report names
    QTest::addColumn<qint64>("fileSizeLimit"); // 0: none
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("label");
    QTest::addColumn<int>("step");
    QTest::addColumn<QByteArray>("expectedOut");

    QTest::newRow("split: disk full on a piece")
        << "split"
        << "out" << "out/source.dat_splt1" << qint64(50000) << EFBIG << splitLabel << 122 << QByteArray("Done.\n");
    QTest::newRow("split: folder in place of piece 2")
        << "split"
        << "blocked" << "blocked/source.dat_splt2" << qint64(0) << EISDIR << splitLabel << 118 << QByteArray("Done.\n");
    QTest::newRow("join: disk full on the second piece")
        << "join"
        << "joined" << "joined/source.dat" << qint64(150000) << EFBIG << joinLabel << 144 << QByteArray();
    QTest::newRow("join: output folder missing")
        << "join"
        << "missing" << "missing" << qint64(0) << ENOENT << joinLabel << 118 << QByteArray();
}

void TestCommandLine::errorReports() {
    QFETCH(QString, command);
    QFETCH(QString, output);
    QFETCH(QString, file);
    QFETCH(qint64, fileSizeLimit);
    QFETCH(int, error);
    QFETCH(QByteArray, label);
    QFETCH(int, step);
    QFETCH(QByteArray, expectedOut);
    QDir folder(m_folder);
    QVERIFY(folder.mkdir("out") && folder.mkdir("joined") && folder.mkdir("blocked") && folder.mkdir("set"));
    QVERIFY(folder.mkdir("blocked/source.dat_splt2"));
    WriteFile(path("source.dat"), Pattern(250000));
    QCOMPARE(run({"split", "source.dat", "--output", "set"}).exitCode, 0);

    // A full disk: writes beyond the limit fail with EFBIG instead of killing the process.
    const auto limitFileSize = [fileSizeLimit] {
        if (fileSizeLimit > 0) {
            const struct rlimit limit = {rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        }
    };
    const QString input = command == "split" ? "source.dat" : "set/source.dat.splt";
    const Run result = run({command, input, "--output", output}, limitFileSize);
    QCOMPARE(result.out, expectedOut);
    QCOMPARE(result.err, ErrorReportText(path(file), error, label, step));
    QCOMPARE(result.exitCode, 1);
    if (command == "split") {
        QVERIFY(!QFile::exists(path(output + "/source.dat.splt")));
    }
}

// The percentage is drawn on a terminal and wiped at the end; the messages stay on
// standard output.
void TestCommandLine::progressOnlyOnTerminal() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        QSKIP(qPrintable(QStringLiteral("no pseudo-terminal: ") + QString::fromLocal8Bit(std::strerror(errno))));
    }
    QVERIFY(grantpt(master) == 0 && unlockpt(master) == 0);
    const int terminal = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    QVERIFY(terminal >= 0);
    QVERIFY(fcntl(master, F_SETFL, O_NONBLOCK) == 0);
    QVERIFY(QDir(m_folder).mkdir("out"));
    WriteFile(path("source.dat"), Pattern(250000));

    const Run result = run({"split", "source.dat", "--chunk-size", "1000", "--output", "out"},
                           [terminal] { dup2(terminal, STDERR_FILENO); });
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
    QVERIFY2(drawn.startsWith("\r  0%") && drawn.contains("\r 50%") && drawn.endsWith("\r100%\r    \r"),
             drawn.constData());
    QVERIFY2(!drawn.contains('\n'), drawn.constData());
}

void TestCommandLine::stopOnSignal_data() {
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

void TestCommandLine::stopOnSignal() {
    QFETCH(int, signalNumber);
    QVERIFY(QDir(m_folder).mkdir("out"));
    // 10000 pieces: creating them takes far longer than noticing the first one.
    WriteSparseFile(path("source.dat"), 40000000);

    QProcess process;
    process.setWorkingDirectory(m_folder);
    process.start(QStringLiteral(QUARNEL_CLI), {"split", "source.dat", "--chunk-size", "4000", "--output", "out"});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(path("out/source.dat_splt1")), 30000);
    QCOMPARE(::kill(pid_t(process.processId()), signalNumber), 0);
    QVERIFY(process.waitForFinished(30000));

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.readAllStandardError(), QByteArray());
    QVERIFY(!QFile::exists(path("out/source.dat_splt10000")));
    QVERIFY(!QFile::exists(path("out/source.dat.splt")));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "TestCommandLine.moc"
