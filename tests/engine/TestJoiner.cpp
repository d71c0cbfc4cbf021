#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/PieceSet.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

class TestJoiner : public QObject {
    Q_OBJECT

private slots:
    void roundTripIntoAnotherFolder();
    void movedSetJoins();
    void windowsWrittenManifest();
    void missingSecondPiece();
    void manifestsWithoutEntries_data();
    void manifestsWithoutEntries();
    void lastLineWithoutLineEnd();
    void capitalSuffix();
    void replacesLongerEarlierFile();
    void stoppedJoinKeepsEarlierFile();
    void listRewrittenDuringJoin_data();
    void listRewrittenDuringJoin();
    void stoppedJoinWithoutEarlierFileKeepsPieces();
    void fullDiskKeepsEarlierFile();
    void missingOutputFolder();
    void limits();
    void overwritingOwnPieceSetRefused();
    void nulInEntry_data();
    void nulInEntry();
    void boundedMemory_data();
    void boundedMemory();
    void progressEstimate_data();
    void progressEstimate();
    void joinAndVerifyAgree_data();
    void joinAndVerifyAgree();

private:
    // Splits `data` into `dir`/name pieces of `chunk` bytes and returns the manifest path.
    static QString makeSet(const QString& dir, const QString& name, const QByteArray& data, int chunk,
                           bool checksums = false);
};

QString TestJoiner::makeSet(const QString& dir, const QString& name, const QByteArray& data, int chunk,
                            bool checksums) {
    QDir().mkpath(dir);
    Files::write(dir + "/" + name, data);
    RecordingHost host;
    host.folder = Files::path(dir);
    const bool ok = SplitMergeFile::SplitFile(Files::path(dir + "/" + name), chunk, host.folder, host, checksums) ==
                    Outcome::Succeeded;
    QFile::remove(dir + "/" + name);
    return ok ? dir + "/" + name + ".splt" : QString();
}

void TestJoiner::roundTripIntoAnotherFolder() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(250000);
    const QString manifest = makeSet(dir.filePath("set"), "sample1.pdf", data, 100000);
    QVERIFY(QDir().mkpath(dir.filePath("Joined")));

    RecordingHost host;
    host.folder = Files::path(dir.filePath("Joined"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("Joined/sample1.pdf")), data);
    QCOMPARE(Files::entries(dir.filePath("Joined")), QStringList{"sample1.pdf"});
    QCOMPARE(host.maximum, 3);
    QCOMPARE(host.values, (std::vector<int>{0, 1, 2, 3}));
    QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId::JoinSucceeded})});
    QCOMPARE(host.turns, 3);
}

void TestJoiner::movedSetJoins() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(1234);
    makeSet(dir.filePath("first"), "a.bin", data, 500);
    QVERIFY(QDir().rename(dir.filePath("first"), dir.filePath("moved")));
    RecordingHost host;
    host.folder = Files::path(dir.path()) + "/";
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("moved/a.bin.splt")), host.folder, host),
             Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("a.bin")), data);
}

void TestJoiner::windowsWrittenManifest() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(25);
    Files::write(dir.filePath("r.doc_splt1"), data.left(10));
    Files::write(dir.filePath("r.doc_splt2"), data.mid(10, 10));
    Files::write(dir.filePath("r.doc_splt3"), data.mid(20));
    Files::write(dir.filePath("r.doc.splt"), "D:\\Out\\\\r.doc_splt1\r\nD:\\Out\\\\r.doc_splt2\r\nr.doc_splt3\r\n");
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("r.doc.splt")), host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("o/r.doc")), data);
}

void TestJoiner::missingSecondPiece() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(250000);
    const QString manifest = makeSet(dir.filePath("set"), "sample1.pdf", data, 100000);
    QVERIFY(QFile::remove(dir.filePath("set/sample1.pdf_splt2")));

    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Missing);
    QCOMPARE(Files::read(dir.filePath("sample1.pdf")), data.left(100000));
    const std::string missing = Files::path(dir.filePath("set/sample1.pdf_splt2"));
    QCOMPARE(host.messages, std::vector<std::string>{missing + " splitted file not found"});
    QCOMPARE(host.values.back(), 3); // the bar shows full
    QVERIFY(host.reports.empty());
    QCOMPARE(Files::entries(dir.path()), (QStringList{"sample1.pdf", "set"}));
}

void TestJoiner::manifestsWithoutEntries_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("LF only") << QByteArray("/x/a_splt1\n/x/a_splt2\n");
}

void TestJoiner::manifestsWithoutEntries() {
    QFETCH(QByteArray, text);
    QTemporaryDir dir;
    Files::write(dir.filePath("a.splt"), text);
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("a.splt")), host.folder, host), Outcome::Succeeded);
    QVERIFY(QFile::exists(dir.filePath("o/a")));
    QCOMPARE(QFileInfo(dir.filePath("o/a")).size(), 0);
    QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId::JoinSucceeded})});
    QCOMPARE(host.turns, 0);
}

void TestJoiner::lastLineWithoutLineEnd() {
    QTemporaryDir dir;
    Files::write(dir.filePath("p_splt1"), "one");
    Files::write(dir.filePath("p_splt2"), "two");
    Files::write(dir.filePath("p.splt"), "/somewhere/p_splt1\r\n/somewhere/p_splt2");
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("p.splt")), host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("o/p")), QByteArray("one"));
}

void TestJoiner::capitalSuffix() {
    QTemporaryDir dir;
    Files::write(dir.filePath("Report_splt1"), "r");
    Files::write(dir.filePath("Report.SPLT"), "Report_splt1\r\n");
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("Report.SPLT")), host.folder, host),
             Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("o/Report")), QByteArray("r"));
}

void TestJoiner::replacesLongerEarlierFile() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    const QString manifest = makeSet(dir.filePath("set"), "f", data, 100);
    Files::write(dir.filePath("f"), QByteArray(1000, 'z'));
    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("f")), data);
}

void TestJoiner::stoppedJoinKeepsEarlierFile() {
    QTemporaryDir dir;
    const QString manifest = makeSet(dir.filePath("set"), "f", Files::pattern(300), 100);
    Files::write(dir.filePath("f"), "earlier");
    RecordingHost host;
    host.folder = Files::path(dir.path());
    host.onTurn = [](int turn) { return turn < 2; };
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Stopped);
    QCOMPARE(Files::read(dir.filePath("f")), QByteArray("earlier"));
    QCOMPARE(Files::entries(dir.path()), (QStringList{"f", "set"})); // no temporary left
    QVERIFY(host.messages.empty());
}

void TestJoiner::listRewrittenDuringJoin_data() {
    QTest::addColumn<int>("pieces");
    QTest::newRow("a list held in memory") << 100;
    QTest::newRow("a list copied to a file") << 3000; // over 4 MiB
}

void TestJoiner::listRewrittenDuringJoin() {
    QFETCH(int, pieces);
    QTemporaryDir dir;
    // Lines long enough that the list is read back in several windows.
    const QString folder = Files::folderOfLength(dir.path(), 1500);
    QVERIFY(!folder.isEmpty());
    const QByteArray a = Files::pattern(pieces * 10, 1);
    const QString list = makeSet(folder, "a", a, 10);
    const QString other = makeSet(folder, "b", Files::pattern(pieces * 10, 2), 10);
    QVERIFY(QFileInfo(list).size() > 64 * 1024);
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    host.onTurn = [&](int turn) {
        // Another program writes another set's list of the same length over it.
        if (turn == 50) {
            QFile file(list);
            if (!file.open(QIODevice::ReadWrite) || file.write(Files::read(other)) != QFileInfo(other).size()) {
                return false;
            }
        }
        return true;
    };
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(list), host.folder, host), Outcome::Succeeded);
    QVERIFY(host.turns > 50);
    QCOMPARE(Files::read(dir.filePath("o/a")), a);
}

void TestJoiner::stoppedJoinWithoutEarlierFileKeepsPieces() {
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    const QString manifest = makeSet(dir.filePath("set"), "f", data, 100);
    RecordingHost host;
    host.folder = Files::path(dir.path());
    host.onTurn = [](int turn) { return turn < 3; };
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Stopped);
    QCOMPARE(Files::read(dir.filePath("f")), data.left(200));
    QCOMPARE(Files::entries(dir.path()), (QStringList{"f", "set"}));
}

void TestJoiner::fullDiskKeepsEarlierFile() {
    QTemporaryDir dir;
    const QString manifest = makeSet(dir.filePath("set"), "f", Files::pattern(3000), 1000);
    Files::write(dir.filePath("f"), "earlier");
    RecordingHost host;
    host.folder = Files::path(dir.path());

    const Outcome outcome = [&] {
        const Files::FileSizeLimit full(1500);
        return SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host);
    }();

    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].label, std::string(SplitMergeFile::joinLabel));
    QCOMPARE(host.reports[0].step, 144);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("f"), EFBIG));
    QVERIFY(host.messages.empty());
    QCOMPARE(Files::read(dir.filePath("f")), QByteArray("earlier"));
    QCOMPARE(Files::entries(dir.path()), (QStringList{"f", "set"}));
}

void TestJoiner::missingOutputFolder() {
    QTemporaryDir dir;
    const QString manifest = makeSet(dir.filePath("set"), "f", Files::pattern(300), 100);
    RecordingHost host;
    host.folder = Files::path(dir.filePath("nowhere"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host), Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 118);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("nowhere"), ENOENT));
    QVERIFY(host.messages.empty());
}

void TestJoiner::limits() {
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));

    {
        QFile big(dir.filePath("big.splt"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(PieceSet::maxManifestBytes + 1)); // sparse
    }
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("big.splt")), host.folder, host), Outcome::Refused);

    QByteArray lines;
    for (int i = 1; i <= 32768; ++i) {
        lines += "m_splt" + QByteArray::number(i) + "\r\n";
    }
    Files::write(dir.filePath("m.splt"), lines);
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("m.splt")), host.folder, host), Outcome::Refused);

    QCOMPARE(host.messages,
             (std::vector<std::string>{Files::path(dir.filePath("big.splt")) + " is not a valid split file list.",
                                       Files::path(dir.filePath("m.splt")) + " is not a valid split file list."}));
    QVERIFY(Files::entries(dir.filePath("o")).isEmpty());
    QVERIFY(host.reports.empty());
}

void TestJoiner::overwritingOwnPieceSetRefused() {
    QTemporaryDir dir;
    // A list without ".splt" in its name, joined into its own folder, names itself.
    Files::write(dir.filePath("list_splt1"), "data");
    Files::write(dir.filePath("list"), "list_splt1\r\n");
    // A piece named like the output.
    Files::write(dir.filePath("x"), "piece");
    Files::write(dir.filePath("x.splt"), "x\r\n");

    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("list")), host.folder, host), Outcome::Refused);
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("x.splt")), host.folder, host), Outcome::Refused);
    QCOMPARE(host.messages, (std::vector<std::string>(2, Messages::text({NoticeId::JoinOverwritesPieceSet}))));
    QCOMPARE(Files::read(dir.filePath("list")), QByteArray("list_splt1\r\n"));
    QCOMPARE(Files::read(dir.filePath("x")), QByteArray("piece"));
    QCOMPARE(Files::entries(dir.path()).size(), 4);
}

void TestJoiner::nulInEntry_data() {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<int>("joined"); // bytes joined before the missing piece
    // "f_sp" exists: a name cut at its NUL would join it.
    QTest::newRow("in the name") << QByteArray("/x/f_splt1\r\n/x/f_sp\0lt2\r\n", 25) << "f_sp" << 100;
    QTest::newRow("at the end of the name") << QByteArray("/x/f_splt1\0\r\n/x/f_splt2\r\n", 25) << "f_splt1" << 0;
    QTest::newRow("in the folder part") << QByteArray("/x/f_splt1\r\n/\0/f_splt2\r\n", 24) << "f_splt2" << 100;
}

void TestJoiner::nulInEntry() {
    QFETCH(QByteArray, list);
    QFETCH(QString, missing);
    QFETCH(int, joined);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(200);
    Files::write(dir.filePath("f_splt1"), data.left(100));
    Files::write(dir.filePath("f_splt2"), data.mid(100));
    Files::write(dir.filePath("f_sp"), "other file");
    Files::write(dir.filePath("f.splt"), list);
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("f.splt")), host.folder, host), Outcome::Missing);
    QCOMPARE(host.messages,
             std::vector<std::string>{Messages::text({NoticeId::PieceMissing, {Files::path(dir.filePath(missing))}})});
    QCOMPARE(Files::read(dir.filePath("o/f")), data.left(joined));
}

void TestJoiner::boundedMemory_data() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("checksums");
    QTest::newRow("longest list the splitter writes") << "split" << int(Outcome::Succeeded) << false;
    QTest::newRow("longest list, with checksums") << "split" << int(Outcome::Succeeded) << true;
    QTest::newRow("64 MiB of empty lines") << "empty lines" << int(Outcome::Refused) << false;
    QTest::newRow("one line of 128 MiB") << "one line" << int(Outcome::Missing) << false;
}

// Each run goes in a child process whose memory may grow by 48 MiB at most, with its
// hashing threads when there are checksums.
void TestJoiner::boundedMemory() {
    QFETCH(QString, list);
    QFETCH(int, outcome);
    QFETCH(bool, checksums);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("o")));
    // 32767 one-byte pieces whose last path (or that of the checksum file) is PATH_MAX
    // bytes long.
    const QString folder = Files::folderOfLength(dir.path(), PieceSet::maxPathLength - (checksums ? 14 : 12));
    QVERIFY(!folder.isEmpty());
    const QByteArray data = Files::pattern(PieceSet::maxPieces);
    QString manifest = folder + "/l.splt";
    if (list == "split") {
        Files::write(dir.filePath("l"), data);
        const int split = Files::inChild(
            [&] {
                RecordingHost host;
                host.folder = Files::path(folder);
                return int(SplitMergeFile::SplitFile(Files::path(dir.filePath("l")), 1, host.folder, host, checksums));
            },
            48 << 20);
        QCOMPARE(split, int(Outcome::Succeeded));
        qint64 size = 0; // lines of folder, "/l_splt", the number and CR LF
        for (int i = 1; i <= PieceSet::maxPieces; ++i) {
            size += folder.size() + 9 + QByteArray::number(i).size();
        }
        QCOMPARE(QFileInfo(manifest).size(), size);
        QCOMPARE(Files::entries(folder).contains("l.splt.sha256"), checksums);
    } else {
        QFile file(manifest = dir.filePath("l.splt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block =
            list == "empty lines" ? QByteArray("\r\n").repeated(1 << 19) : QByteArray(1 << 20, 'a');
        for (int i = 0; i < (list == "empty lines" ? 64 : 128); ++i) {
            QCOMPARE(file.write(block), qint64(block.size()));
        }
        QCOMPARE(file.write("\r\n"), qint64(2));
    }
    const int joined = Files::inChild(
        [&] {
            RecordingHost host;
            host.folder = Files::path(dir.filePath("o"));
            return int(SplitMergeFile::JoinFiles(Files::path(manifest), host.folder, host));
        },
        48 << 20);
    QCOMPARE(joined, outcome);
    if (list == "split") {
        QCOMPARE(Files::read(dir.filePath("o/l")), data);
    }
}

void TestJoiner::progressEstimate_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("removed"); // a piece taken away before the estimate
    QTest::addColumn<int>("pieces");
    QTest::addColumn<qint64>("bytes");
    QTest::newRow("one piece") << qint64(700) << QString() << 1 << qint64(700);
    QTest::newRow("short last piece") << qint64(2500) << QString() << 3 << qint64(2500);
    QTest::newRow("whole last piece") << qint64(3000) << QString() << 3 << qint64(3000);
    QTest::newRow("middle piece missing: still from the ends") << qint64(2500) << "f_splt2" << 3 << qint64(2500);
    QTest::newRow("last piece missing: unknown") << qint64(2500) << "f_splt3" << 3 << qint64(0);
    QTest::newRow("first piece missing: unknown") << qint64(2500) << "f_splt1" << 3 << qint64(0);
}

// The join's progress total comes from the first and the last piece alone. A list
// that lists nothing is refused where the caller asks, else joined into an empty file.
void TestJoiner::progressEstimate() {
    QFETCH(qint64, size);
    QFETCH(QString, removed);
    QFETCH(int, pieces);
    QFETCH(qint64, bytes);
    QTemporaryDir dir;
    const QString manifest = makeSet(dir.path(), "f", Files::pattern(size), 1000);
    if (!removed.isEmpty()) {
        QVERIFY(QFile::remove(dir.filePath(removed)));
    }
    QVERIFY(QDir(dir.path()).mkdir("o"));
    RecordingHost host;
    const SplitMergeFile::Outcome outcome =
        SplitMergeFile::JoinFiles(Files::path(manifest), Files::path(dir.filePath("o")), host, {true});
    QCOMPARE(outcome, removed.isEmpty() ? SplitMergeFile::Outcome::Succeeded : SplitMergeFile::Outcome::Missing);
    QCOMPARE(host.maximum, pieces);
    QCOMPARE(host.expectedBytes, bytes);

    Files::write(manifest, "no line end");
    const qint64 before = QFileInfo(dir.filePath("o/f")).size();
    for (const bool refused : {true, false}) {
        RecordingHost empty;
        QCOMPARE(SplitMergeFile::JoinFiles(Files::path(manifest), Files::path(dir.filePath("o")), empty, {refused}),
                 refused ? SplitMergeFile::Outcome::Refused : SplitMergeFile::Outcome::Succeeded);
        QCOMPARE(empty.notices, std::vector<NoticeId>{refused ? NoticeId::InvalidManifest : NoticeId::JoinSucceeded});
        QCOMPARE(QFileInfo(dir.filePath("o/f")).size(), refused ? before : 0);
    }
}

void TestJoiner::joinAndVerifyAgree_data() {
    QTest::addColumn<int>("size"); // of the source, split into pieces of 1000 bytes
    QTest::addColumn<bool>("checksums");
    QTest::addColumn<QString>("faults"); // each "ACTION PIECE"
    QTest::addColumn<int>("first");      // the first bad piece; 0: the set is whole; -1: no checksum can be trusted
    QTest::addColumn<int>("says");       // what the join says of it
    const int missing = int(NoticeId::PieceMissing);
    const int length = int(NoticeId::PieceLengthWrong);
    const int checksum = int(NoticeId::PieceDamaged);
    const int conflict = int(NoticeId::ChecksumsConflict);
    const int none = int(NoticeId::JoinSucceeded);
    QTest::newRow("whole, with checksums") << 3500 << true << "" << 0 << none;
    QTest::newRow("missing") << 3500 << false << "remove 2" << 2 << missing;
    QTest::newRow("short") << 3500 << false << "resize 3 999" << 3 << length;
    QTest::newRow("long") << 3500 << false << "resize 2 1001" << 2 << length;
    QTest::newRow("a 0-byte middle piece") << 3500 << false << "resize 2 0" << 2 << length;
    QTest::newRow("first piece short") << 3500 << false << "resize 1 999" << 1 << length;
    QTest::newRow("first piece short, with checksums") << 3500 << true << "resize 1 999" << 1 << checksum;
    QTest::newRow("first piece short, a later one missing") << 3500 << false << "resize 1 999, remove 3" << 1 << length;
    QTest::newRow("last piece as long as the first") << 3500 << false << "resize 4 1000" << 0 << none;
    QTest::newRow("last piece longer") << 3500 << false << "resize 4 1001" << 4 << length;
    QTest::newRow("last piece empty") << 3500 << false << "resize 4 0" << 4 << length;
    QTest::newRow("one piece") << 700 << false << "" << 0 << none;
    QTest::newRow("one piece, empty") << 700 << false << "resize 1 0" << 1 << length;
    QTest::newRow("two pieces, the first short") << 1500 << false << "resize 1 999" << 0 << none;
    QTest::newRow("NUL in an entry") << 3500 << true << "nul 3" << 3 << missing;
    QTest::newRow("an entry longer than any path") << 3500 << false << "overlong 2" << 2 << missing;
    QTest::newRow("FIFO") << 3500 << false << "fifo 2" << 2 << missing;
    QTest::newRow("folder") << 3500 << true << "folder 3" << 3 << missing;
    QTest::newRow("link to the piece") << 3500 << true << "link 2" << 0 << none;
    QTest::newRow("damaged, with checksums") << 3500 << true << "flip 3" << 3 << checksum;
    QTest::newRow("checksum file in tag form") << 3500 << true << "tag 0" << 0 << none;
    QTest::newRow("checksum file in tag form, damaged") << 3500 << true << "tag 0, flip 2" << 2 << checksum;
    QTest::newRow("a piece listed twice") << 3500 << true << "twice 3" << -1 << conflict;
    // Checked on other threads while later pieces are appended: still the first bad one.
    QTest::newRow("two damaged") << 3500 << true << "flip 2, flip 4" << 2 << checksum;
    QTest::newRow("damaged, a later one missing") << 3500 << true << "flip 2, remove 4" << 2 << checksum;
    QTest::newRow("first damaged, a later one short") << 3500 << true << "flip 1, resize 3 999" << 1 << checksum;
    QTest::newRow("the last damaged") << 3500 << true << "flip 4" << 4 << checksum;
    QTest::newRow("many pieces, three damaged") << 300500 << true << "flip 250, flip 61, flip 300" << 61 << checksum;
}

// On every set verify calls whole, the join succeeds; on every other set both name the
// same piece first, and the join keeps the pieces before it.
void TestJoiner::joinAndVerifyAgree() {
    QFETCH(int, size);
    QFETCH(bool, checksums);
    QFETCH(QString, faults);
    QFETCH(int, first);
    QFETCH(int, says);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("o")) && QDir().mkpath(dir.filePath("elsewhere")));
    const QString list = makeSet(dir.path(), "a.bin", Files::pattern(size), 1000, checksums);
    QVERIFY(!list.isEmpty());
    const QString sums = dir.filePath("a.bin.splt.sha256");
    QByteArray named; // the name the first bad entry gives
    for (const QString& fault : faults.split(", ", Qt::SkipEmptyParts)) {
        const QString action = fault.section(' ', 0, 0);
        const QByteArray name = "a.bin_splt" + fault.section(' ', 1, 1).toLatin1();
        const QString piece = dir.filePath(name);
        const QString target = dir.filePath("elsewhere/" + name);
        if (action == "remove") {
            QVERIFY(QFile::remove(piece));
        } else if (action == "resize") {
            QVERIFY(QFile::resize(piece, fault.section(' ', 2, 2).toLongLong()));
        } else if (action == "flip") {
            Files::write(piece, Files::read(piece).prepend('x').chopped(1));
        } else if (action == "nul") {
            // Cut at the NUL, the entry names a piece that exists.
            Files::write(list, Files::read(list).replace("/" + name + "\r\n", "/" + name + QByteArray("\0x\r\n", 4)));
        } else if (action == "overlong") {
            named = QByteArray(PieceSet::maxPathLength + 1, 'n');
            Files::write(list, Files::read(list).replace("/" + name + "\r\n", "/" + named + "\r\n"));
            named.chop(1);
        } else if (action == "fifo") {
            QVERIFY(QFile::remove(piece) && ::mkfifo(Files::path(piece).c_str(), 0644) == 0);
        } else if (action == "folder") {
            QVERIFY(QFile::remove(piece) && QDir().mkdir(piece));
        } else if (action == "link") {
            QVERIFY(QFile::rename(piece, target) && QFile::link(target, piece));
        } else if (action == "tag") {
            // As `sha256sum --tag` writes it.
            const QRegularExpression line("(?m)^([0-9a-f]{64})  (.*)$");
            Files::write(sums, QString::fromLatin1(Files::read(sums)).replace(line, "SHA256 (\\2) = \\1").toLatin1());
        } else if (action == "twice") {
            Files::write(sums, Files::read(sums) + QByteArray(64, 'f') + "  " + name + "\n");
        }
    }

    const std::string manifest = Files::path(list);
    std::vector<std::string> bad;
    const Result<Verify::Summary> verified =
        Verify::VerifySet(manifest, [&](const Verify::Finding& finding) { bad.push_back(finding.piecePath); });
    QVERIFY(verified);
    const Verify::Summary& verdict = *verified;
    RecordingHost host;
    host.folder = Files::path(dir.filePath("o"));
    const Outcome outcome = SplitMergeFile::JoinFiles(manifest, host.folder, host);
    QVERIFY(host.reports.empty());
    // Into a stream, whose pieces are checked before they go out: the same stop.
    const QString streamed = dir.filePath("elsewhere/streamed");
    const int streamFd = ::open(Files::path(streamed).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    QVERIFY(streamFd >= 0);
    RecordingHost streamHost;
    const Outcome streamOutcome = SplitMergeFile::JoinToStream(manifest, streamFd, "stream", streamHost);
    ::close(streamFd);
    QCOMPARE(streamOutcome, outcome);
    QCOMPARE(streamHost.messages, host.messages);

    if (first < 0) {
        QCOMPARE(verdict.verdict, Verify::Summary::Verdict::ChecksumsConflict);
        QCOMPARE(verdict.checksumFile, Files::path(sums));
        QCOMPARE(outcome, Outcome::Refused);
        QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId(says), {Files::path(sums)}})});
        return;
    }
    QCOMPARE(verdict.verdict, Verify::Summary::Verdict::Checked);
    QCOMPARE(verdict.checksummed, checksums);
    // The pieces as they stand, up to the first bad one.
    QByteArray joined;
    for (int number = 1; number <= verdict.pieces && number != first; ++number) {
        joined += Files::read(dir.filePath("a.bin_splt" + QString::number(number)));
    }
    QCOMPARE(Files::read(dir.filePath("o/a.bin")), joined);
    // A stream cannot take back an odd first piece.
    const bool oddFirst = first == 1 && NoticeId(says) == NoticeId::PieceLengthWrong;
    QCOMPARE(oddFirst ? Files::read(streamed).left(joined.size()) : Files::read(streamed), joined);
    const std::string firstBad =
        first == 0
            ? std::string()
            : Files::path(dir.filePath(named.isEmpty() ? "a.bin_splt" + QString::number(first) : QString(named)));
    QCOMPARE(bad.empty() ? std::string() : bad.front(), firstBad);
    // Verify hashes on every core and reports in list order: where only bytes were
    // changed, exactly those pieces.
    const QStringList changes = faults.split(", ", Qt::SkipEmptyParts);
    if (!changes.isEmpty() && changes.filter(QRegularExpression("^flip ")).size() == changes.size()) {
        QList<int> flipped;
        for (const QString& change : changes) {
            flipped << change.section(' ', 1, 1).toInt();
        }
        std::sort(flipped.begin(), flipped.end());
        std::vector<std::string> damaged;
        for (const int number : flipped) {
            damaged.push_back(Files::path(dir.filePath("a.bin_splt" + QString::number(number))));
        }
        QCOMPARE(bad, damaged);
    }
    QCOMPARE(outcome, first == 0                                 ? Outcome::Succeeded
                      : NoticeId(says) == NoticeId::PieceMissing ? Outcome::Missing
                                                                 : Outcome::Damaged);
    QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId(says), {firstBad}})});
    QVERIFY(first == 0 || host.values.back() == host.maximum); // the bar shows full
}

QTEST_APPLESS_MAIN(TestJoiner)
#include "TestJoiner.moc"
