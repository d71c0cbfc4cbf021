#include <cstdio>
#include <thread>

#include <sys/stat.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "engine/RunFolder.h"
#include "engine/formats/CrcFile.h"
#include "engine/formats/ForeignSet.h"
#include "engine/hash/Crc32.h"
#include "tests/support/Files.h"

namespace {

// Runs `command` in `dir`; its standard output, or the test fails.
QByteArray run(const QString& dir, QStringList command) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(command.takeFirst(), command);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning("%s", process.readAllStandardError().constData());
        return QByteArray("<failed>");
    }
    return process.readAllStandardOutput();
}

// The set `name` in `dir` belongs to, as a join would find it.
Result<std::optional<ForeignSet::Set>> findIn(const QString& dir, const QByteArray& name) {
    RunFolder folder;
    if (const Status opened = folder.open(Files::path(dir)); !opened) {
        return opened.fault();
    }
    return ForeignSet::find(folder, name.toStdString());
}

// The set's pieces one after the other, as a join writes them.
QByteArray joined(const QString& dir, const ForeignSet::Set& set) {
    QByteArray bytes;
    for (std::size_t i = 0; i < set.count(); ++i) {
        bytes += Files::read(dir + '/' + QString::fromStdString(set.pieceName(i)));
    }
    return bytes;
}

} // namespace

// Sets split by other programs and the .crc of file managers: found from any of their
// files, in number order, with the checks beside them.
class TestForeignSets : public QObject {
    Q_OBJECT

private slots:
    void crcParsed_data();
    void crcParsed();
    void crcWrittenAndReadBack_data();
    void crcWrittenAndReadBack();
    void wholeCrcFromPieces_data();
    void wholeCrcFromPieces();
    void coreutilsNames_data();
    void coreutilsNames();
    void setsOfOtherPrograms_data();
    void setsOfOtherPrograms();
    void setsFound_data();
    void setsFound();
    void numberedSetJoinedBy7zip();
};

void TestForeignSets::crcParsed_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("name"); // empty: none usable
    QTest::addColumn<qint64>("size");
    QTest::addColumn<uint>("crc");
    QTest::newRow("Total Commander, CR LF") << QByteArray("filename=a.zip\r\nsize=1234\r\ncrc32=0A1B2C3D\r\n") << true
                                            << QByteArray("a.zip") << 1234LL << 0x0A1B2C3Du;
    QTest::newRow("LF, lower-case hex, no last line end")
        << QByteArray("filename=a.zip\nsize=5\ncrc32=deadbeef") << true << QByteArray("a.zip") << 5LL << 0xDEADBEEFu;
    QTest::newRow("filenameutf8 wins") << QByteArray("filename=caf?\r\nfilenameutf8=caf\xc3\xa9\r\nsize=0\r\ncrc32="
                                                     "00000000\r\n")
                                       << true << QByteArray("caf\xc3\xa9") << 0LL << 0u;
    QTest::newRow("byte order mark, upper-case keys, blanks")
        << QByteArray("\xEF\xBB\xBF"
                      "FILENAME=b\r\nSize= 7 \r\nCRC32=\t0000ffff\r\n[other]\r\n")
        << true << QByteArray("b") << 7LL << 0xFFFFu;
    QTest::newRow("same line twice") << QByteArray("size=1\ncrc32=00000001\nsize=1\n") << true << QByteArray() << 1LL
                                     << 1u;
    QTest::newRow("path: last part only") << QByteArray("filename=../../etc/passwd\nsize=1\ncrc32=00000001\n") << true
                                          << QByteArray("passwd") << 1LL << 1u;
    QTest::newRow("Windows path") << QByteArray("filename=C:\\Temp\\x.iso\nsize=1\ncrc32=00000001\n") << true
                                  << QByteArray("x.iso") << 1LL << 1u;
    QTest::newRow("dot-dot utf8 name falls back")
        << QByteArray("filename=c\nfilenameutf8=..\nsize=1\ncrc32=00000001\n") << true << QByteArray("c") << 1LL << 1u;
    QTest::newRow("name ending in a slash")
        << QByteArray("filename=dir/\nsize=1\ncrc32=00000001\n") << true << QByteArray() << 1LL << 1u;
    QTest::newRow("NUL in name") << QByteArray("filename=a\0b\nsize=1\ncrc32=00000001\n", 38) << true << QByteArray()
                                 << 1LL << 1u;
    QTest::newRow("no crc32") << QByteArray("filename=a\r\nsize=1\r\n") << false << QByteArray() << 0LL << 0u;
    QTest::newRow("no size") << QByteArray("filename=a\r\ncrc32=00000001\r\n") << false << QByteArray() << 0LL << 0u;
    QTest::newRow("7 digits") << QByteArray("size=1\r\ncrc32=0000001\r\n") << false << QByteArray() << 0LL << 0u;
    QTest::newRow("not hex") << QByteArray("size=1\r\ncrc32=0000000g\r\n") << false << QByteArray() << 0LL << 0u;
    QTest::newRow("negative size") << QByteArray("size=-1\r\ncrc32=00000001\r\n") << false << QByteArray() << 0LL << 0u;
    QTest::newRow("size too large") << QByteArray("size=99999999999999999999\ncrc32=00000001\n") << false
                                    << QByteArray() << 0LL << 0u;
    QTest::newRow("two crc32") << QByteArray("size=1\ncrc32=00000001\ncrc32=00000002\n") << false << QByteArray() << 0LL
                               << 0u;
    QTest::newRow("two names") << QByteArray("filename=a\nfilename=b\nsize=1\ncrc32=00000001\n") << false
                               << QByteArray() << 0LL << 0u;
    QTest::newRow("empty") << QByteArray() << false << QByteArray() << 0LL << 0u;
}

void TestForeignSets::crcParsed() {
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, name);
    QFETCH(qint64, size);
    QFETCH(uint, crc);
    const Result<CrcFile::Entry> entry = CrcFile::parse(std::string_view(text.constData(), text.size()));
    QCOMPARE(entry.ok(), valid);
    if (!valid) {
        QCOMPARE(entry.fault().why(), std::string(CrcFile::invalidReason));
        return;
    }
    QCOMPARE(QByteArray::fromStdString(CrcFile::outputName(*entry, "UTF-8").value_or("")), name);
    QCOMPARE(entry->size, size);
    QCOMPARE(entry->crc, crc);
}

void TestForeignSets::crcWrittenAndReadBack_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("codeset");
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.iso") << QByteArray("UTF-8")
                           << QByteArray("filename=caf\xc3\xa9.iso\r\nfilenameutf8=caf\xc3\xa9.iso\r\nsize=3000\r\n"
                                         "crc32=00ABCDEF\r\n");
    QTest::newRow("Latin-1") << QByteArray("caf\xe9.iso") << QByteArray("ISO-8859-1")
                             << QByteArray("filename=caf\xe9.iso\r\nfilenameutf8=caf\xc3\xa9.iso\r\nsize=3000\r\n"
                                           "crc32=00ABCDEF\r\n");
    QTest::newRow("not UTF-8 under UTF-8") << QByteArray("caf\xe9\xff") << QByteArray("UTF-8")
                                           << QByteArray("filename=caf\xe9\xff\r\nsize=3000\r\ncrc32=00ABCDEF\r\n");
}

void TestForeignSets::crcWrittenAndReadBack() {
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, codeset);
    QFETCH(QByteArray, text);
    const std::string written = CrcFile::format(name.toStdString(), 3000, 0xABCDEF, codeset.toStdString());
    QCOMPARE(QByteArray::fromStdString(written), text);
    const Result<CrcFile::Entry> read = CrcFile::parse(written);
    QVERIFY(read.ok());
    QCOMPARE(QByteArray::fromStdString(CrcFile::outputName(*read, codeset.toStdString()).value_or("")), name);
}

void TestForeignSets::wholeCrcFromPieces_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pieceSize");
    QTest::newRow("one piece") << 1000 << 1000;
    QTest::newRow("a short last piece") << 3 * 1024 * 1024 + 7 << 1024 * 1024;
    QTest::newRow("many pieces") << 100000 << 999;
    QTest::newRow("empty") << 0 << 10;
}

void TestForeignSets::wholeCrcFromPieces() {
    QFETCH(int, size);
    QFETCH(int, pieceSize);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(size);
    Files::write(dir.filePath("whole"), data);
    const std::size_t count = std::max(1, (size + pieceSize - 1) / pieceSize);
    CrcFile::PieceCrcs pieces(count);
    // Every piece on a thread of its own, recorded as each ends.
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            const QByteArray piece = data.mid(static_cast<int>(i) * pieceSize, pieceSize);
            pieces.record(i, Crc32::update(0, piece.constData(), piece.size()), piece.size());
        });
        QVERIFY(!pieces.whole() || i + 1 == count);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::optional<CrcFile::PieceCrcs::Whole> whole = pieces.whole();
    QVERIFY(whole);
    QCOMPARE(whole->size, qint64(size));
    // 7-Zip's own CRC of the file, the value a file manager writes to its .crc.
    const QByteArray peer = run(dir.path(), {"7zz", "h", "-scrcCRC32", "whole"});
    const QByteArray hex = QByteArray::number(whole->crc, 16).toUpper().rightJustified(8, '0');
    QVERIFY2(peer.contains("CRC32  for data:              " + hex), peer.constData());
}

// Where split's suffixes grow past what a test run can make with the real program.
void TestForeignSets::coreutilsNames_data() {
    QTest::addColumn<bool>("letters");
    QTest::addColumn<qint64>("index");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("zyzz") << true << 650LL + 16899 << QByteArray("xzyzz");
    QTest::newRow("zzaaaa") << true << 650LL + 16900 << QByteArray("xzzaaaa");
    QTest::newRow("zzzaaaaa") << true << 650LL + 16900 + 439400 << QByteArray("xzzzaaaaa");
    QTest::newRow("990000") << false << 990LL << QByteArray("x990000");
    QTest::newRow("998999") << false << 990LL + 8999 << QByteArray("x998999");
    QTest::newRow("99900000") << false << 990LL + 9000 << QByteArray("x99900000");
}

void TestForeignSets::coreutilsNames() {
    QFETCH(bool, letters);
    QFETCH(qint64, index);
    QFETCH(QByteArray, name);
    const ForeignSet::Kind kind = letters ? ForeignSet::Kind::Letters : ForeignSet::Kind::Digits;
    QCOMPARE(QByteArray::fromStdString(ForeignSet::coreutilsName("x", kind, index)), name);
}

void TestForeignSets::setsOfOtherPrograms_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QStringList>("command"); // run where the source "src" lies
    QTest::addColumn<QByteArray>("picked");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("last");
    QTest::addColumn<QByteArray>("output");
    const QStringList split{"split", "-b", "1"};
    QTest::newRow("letters past 676") << 700 << split + QStringList{"src"} << QByteArray("xaa") << 700
                                      << QByteArray("xzabx") << QByteArray("x");
    QTest::newRow("digits past 90 and 990") << 1000 << split + QStringList{"-d", "src"} << QByteArray("x00") << 1000
                                            << QByteArray("x990009") << QByteArray("x");
    QTest::newRow("a prefix ending in a dot")
        << 5000 << QStringList{"split", "-b", "1000", "src", "movie.mkv."} << QByteArray("movie.mkv.aa") << 5
        << QByteArray("movie.mkv.ae") << QByteArray("movie.mkv");
    QTest::newRow("split -d -a 3: numbered from .000")
        << 5000 << QStringList{"split", "-d", "-a", "3", "-b", "999", "src", "data."} << QByteArray("data.003") << 6
        << QByteArray("data.005") << QByteArray("data");
    QTest::newRow("7-Zip volumes") << 3500000 << QStringList{"7zz", "a", "-v1m", "A.7z", "src"}
                                   << QByteArray("A.7z.002") << 4 << QByteArray("A.7z.004") << QByteArray("A.7z");
    QTest::newRow("7-Zip volumes past 999")
        << 1100000 << QStringList{"7zz", "a", "-v1k", "-mx0", "A.7z", "src"} << QByteArray("A.7z.1000") << 1075
        << QByteArray("A.7z.1075") << QByteArray("A.7z");
}

void TestForeignSets::setsOfOtherPrograms() {
    QFETCH(int, size);
    QFETCH(QStringList, command);
    QFETCH(QByteArray, picked);
    QFETCH(int, count);
    QFETCH(QByteArray, last);
    QFETCH(QByteArray, output);
    QTemporaryDir dir;
    const QByteArray source = Files::pattern(size);
    Files::write(dir.filePath("src"), source);
    QVERIFY(run(dir.path(), command) != "<failed>");
    const Result<std::optional<ForeignSet::Set>> set = findIn(dir.path(), picked);
    QVERIFY2(set.ok(), set.ok() ? "" : set.fault().description().c_str());
    QVERIFY(set->has_value());
    const ForeignSet::Set& found = **set;
    QCOMPARE(int(found.count()), count);
    QVERIFY(!found.firstMissing());
    QCOMPARE(QByteArray::fromStdString(found.pieceName(found.count() - 1)), last);
    QCOMPARE(QByteArray::fromStdString(found.outputName), output);
    const QByteArray bytes = joined(dir.path(), found);
    if (command.first() != "7zz") {
        QCOMPARE(bytes, source);
        return;
    }
    // The volumes in this order make the archive 7-Zip wrote.
    QTemporaryDir out;
    Files::write(out.filePath(output), bytes);
    QVERIFY(run(out.path(), {"7zz", "t", QString::fromUtf8(output)}).contains("Everything is Ok"));
}

void TestForeignSets::setsFound_data() {
    // Files "NAME:SIZE" (bytes of a pattern) or "NAME/" (a folder); a .crc with `crc` as
    // its text when crcName is given.
    QTest::addColumn<QByteArrayList>("files");
    QTest::addColumn<QByteArray>("crcName");
    QTest::addColumn<QByteArray>("crc");
    QTest::addColumn<QByteArray>("picked");
    QTest::addColumn<QByteArray>("outcome"); // "" no set, "!REASON" refused, else the output name
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("missing"); // the first missing piece, -1 none
    QTest::addColumn<QByteArray>("missingAfter");
    QTest::addColumn<QStringList>("sums");
    const QByteArrayList three{"a.001:10", "a.002:10", "a.003:4"};
    const QByteArray tc("filename=a.iso\r\nsize=24\r\ncrc32=1234ABCD\r\n");
    const QStringList none;
    QTest::newRow("a piece, .crc beside") << three << QByteArray("a.crc") << tc << QByteArray("a.002")
                                          << QByteArray("a.iso") << 3 << -1 << QByteArray() << none;
    QTest::newRow("the .CRC given, Krusader's form")
        << three << QByteArray("a.CRC") << QByteArray("filename=a.iso\nsize=24\ncrc32=1234abcd\n")
        << QByteArray("a.CRC") << QByteArray("a.iso") << 3 << -1 << QByteArray() << none;
    QTest::newRow("from .000") << QByteArrayList{"a.000:5", "a.001:5"} << QByteArray() << QByteArray()
                               << QByteArray("a.001") << QByteArray("a") << 2 << -1 << QByteArray() << none;
    QTest::newRow("a piece missing in the middle")
        << QByteArrayList{"a.001:1", "a.002:1", "a.004:1", "a.005:1"} << QByteArray() << QByteArray()
        << QByteArray("a.001") << QByteArray("a") << 5 << 2 << QByteArray() << none;
    QTest::newRow("a folder where a piece should be")
        << QByteArrayList{"a.001:1", "a.002/", "a.003:1"} << QByteArray() << QByteArray() << QByteArray("a.003")
        << QByteArray("a") << 3 << 1 << QByteArray() << none;
    QTest::newRow("the first piece missing")
        << QByteArrayList{"a.002:1"} << QByteArray() << QByteArray() << QByteArray("a.002") << QByteArray("a") << 2 << 0
        << QByteArray() << none;
    QTest::newRow("far past a gap") << QByteArrayList{"a.001:1", "a.999:1"} << QByteArray() << QByteArray()
                                    << QByteArray("a.001") << QByteArray("a") << 999 << 1 << QByteArray() << none;
    QTest::newRow(".crc counts bytes past the last piece")
        << three << QByteArray("a.crc") << QByteArray("filename=a.iso\r\nsize=30\r\ncrc32=00000000\r\n")
        << QByteArray("a.001") << QByteArray("a.iso") << 3 << -1 << QByteArray("a.004") << none;
    QTest::newRow(".crc and no pieces") << QByteArrayList() << QByteArray("a.crc") << tc << QByteArray("a.crc")
                                        << QByteArray("a.iso") << 1 << 0 << QByteArray() << none;
    QTest::newRow("invalid .crc beside") << three << QByteArray("a.crc") << QByteArray("filename=a.iso\r\nsize=24\r\n")
                                         << QByteArray("a.001") << QByteArray("!not a valid checksum file") << 0 << -1
                                         << QByteArray() << none;
    QTest::newRow(".crc naming a path") << three << QByteArray("a.crc")
                                        << QByteArray("filenameutf8=../../../tmp/evil\r\nsize=24\r\ncrc32=00000000\r\n")
                                        << QByteArray("a.003") << QByteArray("evil") << 3 << -1 << QByteArray() << none;
    QTest::newRow("4 digits") << QByteArrayList{"b.0001:3", "b.0002:3", "b.1000:3"} << QByteArray() << QByteArray()
                              << QByteArray("b.0002") << QByteArray("b") << 1000 << 2 << QByteArray() << none;
    QTest::newRow("a name not UTF-8") << QByteArrayList{"caf\xe9.001:2", "caf\xe9.002:2"} << QByteArray()
                                      << QByteArray() << QByteArray("caf\xe9.002") << QByteArray("caf\xe9") << 2 << -1
                                      << QByteArray() << none;
    QTest::newRow("sums beside") << QByteArrayList{"a.001:1", "a.sha256:1", "a.iso.md5:1", "SHA256SUMS:1", "MD5SUMS/"}
                                 << QByteArray("a.crc") << tc << QByteArray("a.001") << QByteArray("a.iso") << 1 << -1
                                 << QByteArray("a.002") << QStringList{"a.sha256", "a.iso.md5", "SHA256SUMS"};
    QTest::newRow("a date, not a piece") << QByteArrayList{"backup.20231201:9"} << QByteArray() << QByteArray()
                                         << QByteArray("backup.20231201") << QByteArray() << 0 << -1 << QByteArray()
                                         << none;
    QTest::newRow("xaa alone") << QByteArrayList{"xaa:9"} << QByteArray() << QByteArray() << QByteArray("xaa")
                               << QByteArray() << 0 << -1 << QByteArray() << none;
    QTest::newRow("no name left") << QByteArrayList{".001:9", ".002:9"} << QByteArray() << QByteArray()
                                  << QByteArray(".001") << QByteArray() << 0 << -1 << QByteArray() << none;
    QTest::newRow("2 digits") << QByteArrayList{"a.01:9", "a.02:9"} << QByteArray() << QByteArray()
                              << QByteArray("a.01") << QByteArray() << 0 << -1 << QByteArray() << none;
}

void TestForeignSets::setsFound() {
    QFETCH(QByteArrayList, files);
    QFETCH(QByteArray, crcName);
    QFETCH(QByteArray, crc);
    QFETCH(QByteArray, picked);
    QFETCH(QByteArray, outcome);
    QFETCH(int, count);
    QFETCH(int, missing);
    QFETCH(QByteArray, missingAfter);
    QFETCH(QStringList, sums);
    QTemporaryDir dir;
    // Through the C library: names that are not UTF-8 pass as they are.
    for (const QByteArray& file : files) {
        const qsizetype colon = file.lastIndexOf(':');
        const QByteArray path = QFile::encodeName(dir.path()) + '/' + (colon < 0 ? file : file.left(colon));
        if (file.endsWith('/')) {
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
            continue;
        }
        const QByteArray bytes = Files::pattern(file.mid(colon + 1).toInt());
        std::FILE* stream = std::fopen(path.constData(), "wb");
        QVERIFY(stream);
        QCOMPARE(std::fwrite(bytes.constData(), 1, bytes.size(), stream), std::size_t(bytes.size()));
        QCOMPARE(std::fclose(stream), 0);
    }
    if (!crcName.isEmpty()) {
        Files::write(dir.filePath(crcName), crc);
    }
    const Result<std::optional<ForeignSet::Set>> set = findIn(dir.path(), picked);
    if (outcome.startsWith('!')) {
        QVERIFY(!set.ok());
        QCOMPARE(QByteArray::fromStdString(set.fault().description()), crcName + ": " + outcome.mid(1));
        return;
    }
    QVERIFY2(set.ok(), set.ok() ? "" : set.fault().description().c_str());
    QCOMPARE(set->has_value(), !outcome.isEmpty());
    if (outcome.isEmpty()) {
        return;
    }
    const ForeignSet::Set& found = **set;
    QCOMPARE(QByteArray::fromStdString(found.outputName), outcome);
    QCOMPARE(int(found.count()), count);
    QCOMPARE(int(found.firstMissing().value_or(std::size_t(-1))), missing);
    QCOMPARE(QByteArray::fromStdString(found.missingAfterLast().value_or("")), missingAfter);
    QStringList foundSums;
    for (const ForeignSet::SumsFile& file : found.sums) {
        foundSums << QString::fromStdString(file.name);
    }
    QCOMPARE(foundSums, sums);
}

// The names the splitter will give a numbered set, as 7-Zip joins them.
void TestForeignSets::numberedSetJoinedBy7zip() {
    for (const int count : {3, 1001}) {
        QTemporaryDir dir;
        QByteArray whole;
        for (int i = 1; i <= count; ++i) {
            const QByteArray piece = Files::pattern(100, i);
            Files::write(dir.filePath(QString::fromStdString(ForeignSet::numberedName("n.bin", i, count))), piece);
            whole += piece;
        }
        const QString first = QString::fromStdString(ForeignSet::numberedName("n.bin", 1, count));
        QCOMPARE(first, count > 999 ? "n.bin.0001" : "n.bin.001");
        QCOMPARE(run(dir.path(), {"7zz", "x", "-so", first}), whole);
    }
}

QTEST_APPLESS_MAIN(TestForeignSets)
#include "TestForeignSets.moc"
