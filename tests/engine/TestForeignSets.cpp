#include <cstdio>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Descriptor.h"
#include "engine/Messages.h"
#include "engine/PieceSetReader.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "engine/formats/CrcFile.h"
#include "engine/formats/ForeignSet.h"
#include "engine/hash/ParallelCrc.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

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

QByteArray hex(std::uint32_t crc) {
    return QByteArray::number(crc, 16).toUpper().rightJustified(8, '0');
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
    void coreutilsNames_data();
    void coreutilsNames();
    void setsOfOtherPrograms_data();
    void setsOfOtherPrograms();
    void setsFound_data();
    void setsFound();
    void checkedAgainstTheCrc_data();
    void checkedAgainstTheCrc();
    void numberedSetJoinedBy7zip();
    void joinedAndVerified_data();
    void joinedAndVerified();
};

void TestForeignSets::crcParsed_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("read"); // "NAME SIZE CRC" ("-": no usable name), or "refused"
    QTest::newRow("Total Commander, CR LF")
        << QByteArray("filename=a.zip\r\nsize=1234\r\ncrc32=0A1B2C3D\r\n") << QByteArray("a.zip 1234 0A1B2C3D");
    QTest::newRow("LF, lower-case hex, no last line end")
        << QByteArray("filename=a.zip\nsize=5\ncrc32=deadbeef") << QByteArray("a.zip 5 DEADBEEF");
    QTest::newRow("filenameutf8 wins") << QByteArray("filename=caf?\nfilenameutf8=caf\xc3\xa9\nsize=0\ncrc32=00000000")
                                       << QByteArray("caf\xc3\xa9 0 00000000");
    QTest::newRow("byte order mark, upper-case keys, blanks, other lines")
        << QByteArray("\xEF\xBB\xBF"
                      "FILENAME=b\r\nSize= 7 \r\nCRC32=\t0000ffff\r\n[x]\r\nsize=7\r\n")
        << QByteArray("b 7 0000FFFF");
    QTest::newRow("a path: its last part")
        << QByteArray("filename=../../etc/passwd\nsize=1\ncrc32=00000001") << QByteArray("passwd 1 00000001");
    QTest::newRow("a Windows path") << QByteArray("filename=C:\\Temp\\x.iso\nsize=1\ncrc32=00000001")
                                    << QByteArray("x.iso 1 00000001");
    QTest::newRow("utf8 name \"..\": filename instead")
        << QByteArray("filename=c\nfilenameutf8=..\nsize=1\ncrc32=00000001") << QByteArray("c 1 00000001");
    QTest::newRow("names that name no file")
        << QByteArray("filename=d/\nfilenameutf8=a\0b\nsize=1\ncrc32=00000001", 50) << QByteArray("- 1 00000001");
    QTest::newRow("no crc32") << QByteArray("filename=a\r\nsize=1\r\n") << QByteArray("refused");
    QTest::newRow("no size") << QByteArray("filename=a\r\ncrc32=00000001\r\n") << QByteArray("refused");
    QTest::newRow("7 digits") << QByteArray("size=1\r\ncrc32=0000001\r\n") << QByteArray("refused");
    QTest::newRow("not hex") << QByteArray("size=1\r\ncrc32=0000000g\r\n") << QByteArray("refused");
    QTest::newRow("negative size") << QByteArray("size=-1\r\ncrc32=00000001\r\n") << QByteArray("refused");
    QTest::newRow("size past 64 bits") << QByteArray("size=99999999999999999999\ncrc32=1\n") << QByteArray("refused");
    QTest::newRow("two crc32") << QByteArray("size=1\ncrc32=00000001\ncrc32=00000002\n") << QByteArray("refused");
    QTest::newRow("two names") << QByteArray("filename=a\nfilename=b\nsize=1\ncrc32=00000001\n")
                               << QByteArray("refused");
}

void TestForeignSets::crcParsed() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, read);
    const Result<CrcFile::Entry> entry = CrcFile::parse(std::string_view(text.constData(), text.size()));
    if (!entry) {
        QCOMPARE(entry.fault().why(), std::string(CrcFile::invalidReason));
    }
    const QByteArray name = QByteArray::fromStdString(entry ? CrcFile::outputName(*entry, "UTF-8").value_or("-") : "");
    QCOMPARE(entry ? name + ' ' + QByteArray::number(entry->size) + ' ' + hex(entry->crc) : QByteArray("refused"),
             read);
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
    QTest::addColumn<QByteArray>("output");
    const QStringList split{"split", "-b", "1"};
    QTest::newRow("letters past 676") << 700 << split + QStringList{"src"} << QByteArray("xaa") << 700
                                      << QByteArray("x");
    QTest::newRow("digits past 90 and 990")
        << 1000 << split + QStringList{"-d", "src"} << QByteArray("x00") << 1000 << QByteArray("x");
    QTest::newRow("a prefix ending in a dot") << 5000 << QStringList{"split", "-b", "1000", "src", "movie.mkv."}
                                              << QByteArray("movie.mkv.aa") << 5 << QByteArray("movie.mkv");
    QTest::newRow("split -d -a 3: numbered from .000")
        << 5000 << QStringList{"split", "-d", "-a", "3", "-b", "999", "src", "data."} << QByteArray("data.003") << 6
        << QByteArray("data");
    QTest::newRow("7-Zip volumes") << 3500000 << QStringList{"7zz", "a", "-v1m", "A.7z", "src"}
                                   << QByteArray("A.7z.002") << 4 << QByteArray("A.7z");
    QTest::newRow("7-Zip volumes past 999") << 1100000 << QStringList{"7zz", "a", "-v1k", "-mx0", "A.7z", "src"}
                                            << QByteArray("A.7z.1000") << 1075 << QByteArray("A.7z");
}

void TestForeignSets::setsOfOtherPrograms() {
    QFETCH(int, size);
    QFETCH(QStringList, command);
    QFETCH(QByteArray, picked);
    QFETCH(int, count);
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
    QCOMPARE(QByteArray::fromStdString(found.outputName), output);
    QByteArray bytes; // the pieces one after the other, as a join writes them
    for (std::size_t i = 0; i < found.count(); ++i) {
        bytes += Files::read(dir.filePath(QString::fromStdString(found.pieceName(i))));
    }
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
    QTest::addColumn<QByteArrayList>("files"); // "NAME:SIZE" pattern bytes, "NAME=TEXT", or "NAME/" a folder
    QTest::addColumn<QByteArray>("picked");
    // "" no set, "!" and the refusal, else "OUTPUT PIECES", " missing INDEX" of the first
    // missing piece, " then NAME" for one a .crc says follows, " sums NAME,..."
    QTest::addColumn<QByteArray>("found");
    const QByteArrayList three{"a.001:10", "a.002:10", "a.003:4"};
    const QByteArray tc("a.crc=filename=a.iso\r\nsize=24\r\ncrc32=1234ABCD\r\n");
    QTest::newRow("a piece, .crc beside") << three + QByteArrayList{tc} << QByteArray("a.002") << QByteArray("a.iso 3");
    QTest::newRow("the .CRC given, Krusader's form")
        << three + QByteArrayList{"a.CRC=filename=a.iso\nsize=24\ncrc32=1234abcd\n"} << QByteArray("a.CRC")
        << QByteArray("a.iso 3");
    QTest::newRow("from .000") << QByteArrayList{"a.000:5", "a.001:5"} << QByteArray("a.001") << QByteArray("a 2");
    QTest::newRow("a piece missing in the middle") << QByteArrayList{"a.001:1", "a.002:1", "a.004:1", "a.005:1"}
                                                   << QByteArray("a.001") << QByteArray("a 5 missing 2");
    QTest::newRow("a folder where a piece should be")
        << QByteArrayList{"a.001:1", "a.002/", "a.003:1"} << QByteArray("a.003") << QByteArray("a 3 missing 1");
    QByteArrayList crowded{"a.001:1", "a.003:1"};
    for (int i = 0; i < 4200; ++i) {
        crowded << "other" + QByteArray::number(i) + ":0";
    }
    QTest::newRow("a gap in a folder too full to list")
        << crowded << QByteArray("a.001") << QByteArray("a 3 missing 1");
    QTest::newRow("the first piece missing")
        << QByteArrayList{"a.002:1"} << QByteArray("a.002") << QByteArray("a 2 missing 0");
    QTest::newRow("far past a gap") << QByteArrayList{"a.001:1", "a.999:1"} << QByteArray("a.001")
                                    << QByteArray("a 999 missing 1");
    QTest::newRow(".crc counts bytes past the last piece")
        << three + QByteArrayList{"a.crc=filename=a.iso\r\nsize=30\r\ncrc32=00000000\r\n"} << QByteArray("a.001")
        << QByteArray("a.iso 3 then a.004");
    QTest::newRow(".crc and no pieces") << QByteArrayList{tc} << QByteArray("a.crc") << QByteArray("a.iso 1 missing 0");
    QTest::newRow("invalid .crc beside") << three + QByteArrayList{"a.crc=filename=a.iso\r\nsize=24\r\n"}
                                         << QByteArray("a.001") << QByteArray("!a.crc: not a valid checksum file");
    QTest::newRow(".crc naming a path") << three +
                                               QByteArrayList{
                                                   "a.crc=filenameutf8=../../tmp/evil\r\nsize=24\r\ncrc32=00000000\r\n"}
                                        << QByteArray("a.003") << QByteArray("evil 3");
    QTest::newRow("4 digits") << QByteArrayList{"b.0001:3", "b.0002:3", "b.1000:3"} << QByteArray("b.0002")
                              << QByteArray("b 1000 missing 2");
    QTest::newRow("a name not UTF-8") << QByteArrayList{"caf\xe9.001:2", "caf\xe9.002:2"} << QByteArray("caf\xe9.002")
                                      << QByteArray("caf\xe9 2");
    QTest::newRow("sums beside") << QByteArrayList{tc,        "a.001:24", "a.sha256:1", "a.iso.md5:1", "SHA256SUMS:1",
                                                   "MD5SUMS/"}
                                 << QByteArray("a.001") << QByteArray("a.iso 1 sums a.sha256,a.iso.md5,SHA256SUMS");
    QTest::newRow("a date, not a piece") << QByteArrayList{"backup.20231201:9"} << QByteArray("backup.20231201")
                                         << QByteArray();
    QTest::newRow("xaa alone") << QByteArrayList{"xaa:9"} << QByteArray("xaa") << QByteArray();
    QTest::newRow("no name left") << QByteArrayList{".001:9", ".002:9"} << QByteArray(".001") << QByteArray();
    QTest::newRow("2 digits") << QByteArrayList{"a.01:9", "a.02:9"} << QByteArray("a.01") << QByteArray();
}

void TestForeignSets::setsFound() {
    QFETCH(QByteArrayList, files);
    QFETCH(QByteArray, picked);
    QFETCH(QByteArray, found);
    QTemporaryDir dir;
    // Through the C library: names that are not UTF-8 pass as they are.
    for (const QByteArray& file : files) {
        const qsizetype equals = file.indexOf('=');
        const qsizetype colon = equals < 0 ? file.lastIndexOf(':') : equals;
        const QByteArray path = QFile::encodeName(dir.path()) + '/' + (colon < 0 ? file : file.left(colon));
        if (file.endsWith('/')) {
            QCOMPARE(::mkdir(path.constData(), 0700), 0);
            continue;
        }
        const QByteArray bytes = equals < 0 ? Files::pattern(file.mid(colon + 1).toInt()) : file.mid(equals + 1);
        std::FILE* stream = std::fopen(path.constData(), "wb");
        QVERIFY(stream);
        QCOMPARE(std::fwrite(bytes.constData(), 1, bytes.size(), stream), std::size_t(bytes.size()));
        QCOMPARE(std::fclose(stream), 0);
    }
    const Result<std::optional<ForeignSet::Set>> set = findIn(dir.path(), picked);
    QByteArray described;
    if (!set) {
        described = '!' + QByteArray::fromStdString(set.fault().description());
    } else if (set->has_value()) {
        const ForeignSet::Set& s = **set;
        described = QByteArray::fromStdString(s.outputName) + ' ' + QByteArray::number(qulonglong(s.count()));
        if (const std::optional<std::size_t> missing = s.firstMissing()) {
            described += " missing " + QByteArray::number(qulonglong(*missing));
        }
        if (const std::optional<std::string> next = s.missingAfterLast()) {
            described += " then " + QByteArray::fromStdString(*next);
        }
        for (std::size_t i = 0; i < s.sums.size(); ++i) {
            described += (i == 0 ? " sums " : ",") + QByteArray::fromStdString(s.sums[i].name);
        }
    }
    QCOMPARE(described, found);
}

void TestForeignSets::checkedAgainstTheCrc_data() {
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("check"); // 1: they match, 0: they do not, or minus the error
    const int chunk = int(ParallelCrc::chunkBytes);
    QTest::newRow("whole, one thread") << QByteArray() << 1000 << 3 << 1 << 1;
    QTest::newRow("whole, pieces of 2 chunks") << QByteArray() << chunk + 3 << 3 << 2 << 1;
    QTest::newRow("a byte changed") << QByteArray("flip") << 1000 << 3 << 2 << 0;
    QTest::newRow("a piece longer") << QByteArray("grow") << 1000 << 3 << 2 << 0;
    QTest::newRow("a piece a folder, no piece") << QByteArray("folder") << 1000 << 3 << 2 << -ENOENT;
    QTest::newRow("1100 pieces, 200 files open at most") << QByteArray("few files") << 10 << 1100 << 2 << 1;
    QTest::newRow("stopped") << QByteArray("stop") << 1000 << 3 << 1 << -ECANCELED;
}

// A numbered set as the splitter will name it, with the CRC 7-Zip computes in its .crc.
void TestForeignSets::checkedAgainstTheCrc() {
    QFETCH(QByteArray, damage);
    QFETCH(int, pieceSize);
    QFETCH(int, pieces);
    QFETCH(int, threads);
    QFETCH(int, check);
    QTemporaryDir dir;
    const QByteArray whole = Files::pattern((pieces - 1) * pieceSize + 7);
    for (int i = 0; i < pieces; ++i) {
        Files::write(dir.filePath(QString::fromStdString(ForeignSet::numberedName("w.bin", i + 1, pieces))),
                     whole.mid(i * pieceSize, pieceSize));
    }
    Files::write(dir.filePath("w.bin"), whole);
    const QByteArray peer = run(dir.path(), {"7zz", "h", "-scrcCRC32", "w.bin"});
    const QByteArray crc = peer.mid(peer.indexOf("CRC32  for data:") + 16).trimmed().left(8);
    Files::write(dir.filePath("w.bin.crc"),
                 "filename=w.bin\r\nsize=" + QByteArray::number(whole.size()) + "\r\ncrc32=" + crc + "\r\n");
    QFile second(dir.filePath(QString::fromStdString(ForeignSet::numberedName("w.bin", 2, pieces))));
    if (damage == "flip" || damage == "grow") {
        QVERIFY(second.open(QIODevice::ReadWrite) && second.seek(damage == "flip" ? pieceSize - 1 : pieceSize));
        QVERIFY(second.putChar('x'));
        second.close();
    } else if (damage == "folder") {
        QVERIFY(second.remove() && QDir().mkdir(second.fileName()));
    }
    PieceSet::SetReader set;
    QVERIFY(set.lockFolder(Files::path(dir.filePath("w.bin.crc"))));
    const Result<bool> found = set.findForeign();
    QVERIFY(found.ok() && *found && set.loadChecksums().ok() && set.wholeChecks().size() == 1);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlimit few{200, files.rlim_max};
    QVERIFY(damage != "few files" || setrlimit(RLIMIT_NOFILE, &few) == 0);
    const Result<bool> result =
        set.piecesMatchWhole(set.wholeChecks().front(), unsigned(threads), [&] { return damage != "stop"; });
    setrlimit(RLIMIT_NOFILE, &files);
    QCOMPARE(result ? int(*result) : -result.fault().error, check);
    // A read that fails says which range it was reading.
    const Descriptor folderFd(::open(QFile::encodeName(dir.path()).constData(), O_RDONLY | O_DIRECTORY));
    std::size_t failed = 0;
    const auto read = ParallelCrc::ofRanges({{folderFd.get(), 0, 0}, {folderFd.get(), 0, 1}}, 1, {}, &failed);
    QVERIFY(!read.ok() && read.fault().error == EISDIR && failed == 1);
    QVERIFY(ParallelCrc::ofRanges({}, 4)->empty());
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

void TestForeignSets::joinedAndVerified_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("command"); // a shell command run where the source "src" lies
    QTest::addColumn<QByteArray>("picked");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("says");         // the join's last notice; -1: a failing step
    QTest::addColumn<QByteArray>("named"); // the file it names, in the set's folder
    const QString numbered = "split -d -a 3 --numeric-suffixes=1 -b 1000 src src.";
    const QString tc = "; printf 'filename=src\r\nsize=%s\r\ncrc32=%s\r\n' $(stat -c %s src) "
                       "$(7zz h -scrcCRC32 src | sed -n 's/^CRC32  for data: *//p') > src.crc";
    const QString krusader = "; printf 'filenameutf8=../out.bin\nsize=%s\ncrc32=%s\n' $(stat -c %s src) "
                             "$(7zz h -scrcCRC32 src | sed -n 's/^CRC32  for data: *//p' | tr A-F a-f) > src.CRC";
    const int joined = int(NoticeId::JoinSucceeded);
    const int missing = int(NoticeId::PieceMissing);
    const int mismatch = int(NoticeId::JoinedFileMismatch);
    const int length = int(NoticeId::PieceLengthWrong);
    const int damaged = int(NoticeId::PieceDamaged);
    QTest::newRow("split -b") << 5500 << "split -b 1000 src" << QByteArray("xaa") << QByteArray("x") << joined
                              << QByteArray();
    QTest::newRow("split -b, past 676 pieces")
        << 700 << "split -b 1 src" << QByteArray("xaa") << QByteArray("x") << joined << QByteArray();
    QTest::newRow("split -d") << 5500 << "split -d -b 1000 src" << QByteArray("x00") << QByteArray("x") << joined
                              << QByteArray();
    QTest::newRow("7-Zip volumes, 7zz t accepts the join")
        << 2500000 << "7zz a -v1m -mx0 A.7z src >/dev/null" << QByteArray("A.7z.002") << QByteArray("A.7z") << joined
        << QByteArray();
    QTest::newRow("Total Commander .crc")
        << 5500 << numbered + tc << QByteArray("src.crc") << QByteArray("src") << joined << QByteArray();
    QTest::newRow("Krusader .CRC, LF, lower case, a path")
        << 5500 << numbered + krusader << QByteArray("src.003") << QByteArray("out.bin") << joined << QByteArray();
    QTest::newRow("a piece missing") << 5500 << numbered + tc + "; rm src.004" << QByteArray("src.001")
                                     << QByteArray("src") << missing << QByteArray("src.004");
    QTest::newRow("the last piece missing, the .crc says so")
        << 5500 << numbered + tc + "; rm src.006" << QByteArray("src.001") << QByteArray("src") << missing
        << QByteArray("src.006");
    QTest::newRow("a piece short") << 5500 << numbered + tc + "; truncate -s 999 src.002" << QByteArray("src.005")
                                   << QByteArray("src") << length << QByteArray("src.002");
    QTest::newRow("a byte changed: the .crc")
        << 5500 << numbered + tc + "; printf x | dd of=src.003 conv=notrunc 2>/dev/null" << QByteArray("src.001")
        << QByteArray("src") << mismatch << QByteArray("src.crc");
    QTest::newRow("a .crc naming itself")
        << 5500 << numbered + tc + "; sed -i s/=src/=src.crc/ src.crc" << QByteArray("src.001")
        << QByteArray("../src.crc") << int(NoticeId::JoinOverwritesPieceSet) << QByteArray();
    QTest::newRow("a .crc without crc32=") << 5500 << numbered + "; printf 'filename=src\r\nsize=5500\r\n' > src.crc"
                                           << QByteArray("src.001") << QByteArray("src") << -1 << QByteArray("src.crc");
    QTest::newRow("sha256sum of the pieces, one damaged")
        << 5500 << numbered + "; sha256sum src.0* > src.sha256; printf x | dd of=src.003 conv=notrunc 2>/dev/null"
        << QByteArray("src.001") << QByteArray("src") << damaged << QByteArray("src.003");
    QTest::newRow("SHA256SUMS of the whole, a byte changed")
        << 5500 << numbered + "; sha256sum src > SHA256SUMS; printf x | dd of=src.006 conv=notrunc 2>/dev/null"
        << QByteArray("src.002") << QByteArray("src") << mismatch << QByteArray("SHA256SUMS");
    QTest::newRow("md5sum of the pieces, one damaged")
        << 5500 << numbered + "; md5sum src.0* > src.md5; printf x | dd of=src.002 conv=notrunc 2>/dev/null"
        << QByteArray("src.004") << QByteArray("src") << damaged << QByteArray("src.002");
    QTest::newRow("MD5SUMS of the whole in tag form, a byte changed")
        << 5500 << numbered + "; md5sum --tag src > MD5SUMS; printf x | dd of=src.001 conv=notrunc 2>/dev/null"
        << QByteArray("src.001") << QByteArray("src") << mismatch << QByteArray("MD5SUMS");
    QTest::newRow("src.md5 of the whole and the pieces")
        << 5500 << numbered + "; md5sum src src.0* > src.md5" << QByteArray("src.006") << QByteArray("src") << joined
        << QByteArray();
    QTest::newRow("SHA256SUMS of the whole and the pieces")
        << 5500 << numbered + "; sha256sum src src.0* > SHA256SUMS" << QByteArray("src.002") << QByteArray("src")
        << joined << QByteArray();
}

// Sets made by other programs join, verify and stream as a list's set does: whole
// ones into the file they were cut from, bad ones stopped with the designed message
// and an earlier file of the output name kept.
void TestForeignSets::joinedAndVerified() {
    QFETCH(int, size);
    QFETCH(QString, command);
    QFETCH(QByteArray, picked);
    QFETCH(QByteArray, output);
    QFETCH(int, says);
    QFETCH(QByteArray, named);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("o"));
    const QByteArray source = Files::pattern(size);
    Files::write(dir.filePath("src"), source);
    QVERIFY(run(dir.path(), {"sh", "-c", command}) != "<failed>");
    // An output named "../NAME" is joined into the set's own folder.
    const QString target = QDir::cleanPath(dir.filePath("o/" + output));
    if (!QFile::exists(target)) {
        Files::write(target, "earlier");
    }
    const QByteArray earlier = Files::read(target);
    const bool overwrites = says == int(NoticeId::JoinOverwritesPieceSet);
    const std::string set = Files::path(dir.filePath(picked));
    const std::string namedPath = Files::path(dir.filePath(named));

    std::vector<std::string> bad;
    const Result<Verify::Summary> verified =
        Verify::VerifySet(set, [&](const Verify::Finding& finding) { bad.push_back(finding.piecePath); });
    RecordingHost host;
    const SplitMergeFile::Outcome outcome = SplitMergeFile::JoinFiles(set, Files::path(QFileInfo(target).path()), host);
    QFile stream(dir.filePath("streamed"));
    QVERIFY(stream.open(QIODevice::WriteOnly));
    RecordingHost streamHost;
    const SplitMergeFile::Outcome streamed = SplitMergeFile::JoinToStream(set, stream.handle(), "-", streamHost);
    stream.close();

    if (says < 0) {
        QVERIFY(!verified && verified.fault().description() == namedPath + ": not a valid checksum file");
        QCOMPARE(host.reports.size(), std::size_t(1));
        QCOMPARE(host.reports.front().step, 102);
        QCOMPARE(host.reports.front().description, verified.fault().description());
        QCOMPARE(Files::read(target), earlier);
        return;
    }
    QVERIFY2(verified, verified ? "" : verified.fault().description().c_str());
    QVERIFY(host.reports.empty());
    QCOMPARE(host.notices.back(), NoticeId(says));
    QCOMPARE(streamHost.notices.back(), overwrites ? NoticeId::JoinSucceeded : NoticeId(says));
    if (says == int(NoticeId::JoinSucceeded)) {
        QCOMPARE(outcome, SplitMergeFile::Outcome::Succeeded);
        QVERIFY(bad.empty() && verified->wholeMismatches.empty());
        QCOMPARE(Files::read(dir.filePath("streamed")), Files::read(target));
        if (output.endsWith(".7z")) {
            QVERIFY(run(dir.filePath("o"), {"7zz", "t", QString::fromUtf8(output)}).contains("Everything is Ok"));
        } else {
            QCOMPARE(Files::read(target), source);
        }
        return;
    }
    QCOMPARE(host.messages.back(), Messages::text({NoticeId(says), {namedPath}}));
    QCOMPARE(Files::read(target), earlier);
    QVERIFY(outcome != SplitMergeFile::Outcome::Succeeded);
    QVERIFY(overwrites || streamed != SplitMergeFile::Outcome::Succeeded);
    if (says == int(NoticeId::JoinedFileMismatch)) {
        QCOMPARE(verified->wholeMismatches, std::vector<std::string>{namedPath});
    } else if (overwrites) {
        QVERIFY(bad.empty() && verified->wholeMismatches.empty());
    } else {
        QVERIFY(!bad.empty());
        QCOMPARE(bad.front(), namedPath);
    }
}

QTEST_APPLESS_MAIN(TestForeignSets)
#include "TestForeignSets.moc"
