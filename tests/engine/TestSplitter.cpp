#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include "engine/InputChecks.h"
#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "engine/formats/CrcFile.h"
#include "engine/hash/Crc32.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

class TestSplitter : public QObject {
    Q_OBJECT

private slots:
    void workedExample();
    void sizes_data();
    void sizes();
    void trailingSeparatorDoublesInManifest();
    void resplitReplacesLongerFiles();
    void oldManifestRemovedBeforeFirstPiece();
    void outputFolderReadOnce();
    void limitsRefusedBeforeWriting_data();
    void limitsRefusedBeforeWriting();
    void pieceCannotBeCreated_data();
    void pieceCannotBeCreated();
    void fullDisk_data();
    void fullDisk();
    void fullDiskAtTheList();
    void sourceNeverOverwritten_data();
    void sourceNeverOverwritten();
    void missingSource();
    void splitsTheFileItChecked();
    void stopsWhenAsked_data();
    void stopsWhenAsked();
    void turnsDuringLargePiece();

private:
    QTemporaryDir m_dir;
};

void TestSplitter::workedExample() {
    const QString source = m_dir.filePath("src/sample1.pdf");
    QVERIFY(QDir().mkpath(m_dir.filePath("src")));
    QVERIFY(QDir().mkpath(m_dir.filePath("Out")));
    const QByteArray data = Files::pattern(250000);
    Files::write(source, data);

    RecordingHost host;
    host.folder = Files::path(m_dir.filePath("Out"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(source), 100000, host.folder, host), Outcome::Succeeded);

    QCOMPARE(Files::read(m_dir.filePath("Out/sample1.pdf_splt1")), data.left(100000));
    QCOMPARE(Files::read(m_dir.filePath("Out/sample1.pdf_splt2")), data.mid(100000, 100000));
    QCOMPARE(Files::read(m_dir.filePath("Out/sample1.pdf_splt3")), data.mid(200000));
    const QByteArray folder = QFile::encodeName(m_dir.filePath("Out"));
    const QByteArray manifest =
        folder + "/sample1.pdf_splt1\r\n" + folder + "/sample1.pdf_splt2\r\n" + folder + "/sample1.pdf_splt3\r\n";
    QCOMPARE(Files::read(m_dir.filePath("Out/sample1.pdf.splt")), manifest);
    // D:\Out gives 78 bytes: three lines of 24 characters plus CR LF each
    QCOMPARE(manifest.size(), 3 * (folder.size() + 18 + 2));
    QCOMPARE(Files::entries(m_dir.filePath("Out")).size(), 4); // no temporary left behind

    QCOMPARE(host.maximum, 3);
    QCOMPARE(host.values, (std::vector<int>{0, 1, 2, 3}));
    QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId::SplitSucceeded})});
    QVERIFY(host.reports.empty());
    QCOMPARE(host.turns, 3); // one before each piece
}

void TestSplitter::sizes_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QList<int>>("pieceSizes");
    QTest::addColumn<bool>("numbered");
    QTest::newRow("exact multiple") << 300 << 100 << QList<int>{100, 100, 100} << false;
    QTest::newRow("one byte over") << 301 << 100 << QList<int>{100, 100, 100, 1} << false;
    QTest::newRow("two chunks") << 200 << 100 << QList<int>{100, 100} << false;
    QTest::newRow("chunk of one byte") << 3 << 1 << QList<int>{1, 1, 1} << false;
    QTest::newRow("smaller than chunk") << 50 << 100 << QList<int>{50} << false;
    QTest::newRow("empty source") << 0 << 100 << QList<int>{} << false;
    QTest::newRow("numbered, one byte over") << 301 << 100 << QList<int>{100, 100, 100, 1} << true;
    // Pieces of more than one 16 MiB batch of the CRC, the last one short.
    QTest::newRow("numbered, pieces of 9 MiB")
        << (40 << 20) + 7 << (9 << 20) << QList<int>{9 << 20, 9 << 20, 9 << 20, 9 << 20, (4 << 20) + 7} << true;
    // Past 999 pieces every number has 4 digits.
    QTest::newRow("numbered, 1000 pieces") << 1000 << 1 << QList<int>(1000, 1) << true;
}

void TestSplitter::sizes() {
    QFETCH(int, size);
    QFETCH(int, chunk);
    QFETCH(QList<int>, pieceSizes);
    QFETCH(bool, numbered);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(size, size);
    Files::write(dir.filePath("archive.tar.gz"), data);

    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(InputChecks::SplitSource(Files::path(dir.filePath("archive.tar.gz"))), chunk,
                                       host.folder, host, SplitMergeFile::SplitOptions{false, numbered}),
             Outcome::Succeeded);

    const auto pieceName = [&](int number) {
        return numbered ? QString("archive.tar.gz.%1").arg(number, pieceSizes.size() > 999 ? 4 : 3, 10, QChar('0'))
                        : QString("archive.tar.gz_splt%1").arg(number);
    };
    QByteArray joined;
    QByteArray manifest;
    for (int i = 0; i < pieceSizes.size(); ++i) {
        const QString piece = dir.filePath(pieceName(i + 1));
        const QByteArray bytes = Files::read(piece);
        QCOMPARE(bytes.size(), pieceSizes[i]);
        joined += bytes;
        manifest += QFile::encodeName(piece) + "\r\n";
    }
    QCOMPARE(joined, data);
    QVERIFY(!QFile::exists(dir.filePath(pieceName(pieceSizes.size() + 1))));
    QCOMPARE(host.maximum, pieceSizes.size());
    if (!numbered) {
        QCOMPARE(Files::read(dir.filePath("archive.tar.gz.splt")), manifest);
        return;
    }
    // A .crc in place of the list, describing the whole file.
    const QByteArray text = Files::read(dir.filePath("archive.tar.gz.crc"));
    const Result<CrcFile::Entry> entry = CrcFile::parse(std::string_view(text.constData(), text.size()));
    QVERIFY(entry);
    QCOMPARE(entry->fileName, std::optional<std::string>("archive.tar.gz"));
    QCOMPARE(entry->size, size);
    QCOMPARE(entry->crc, Crc32::update(0, data.constData(), static_cast<std::size_t>(data.size())));
}

void TestSplitter::trailingSeparatorDoublesInManifest() {
    QTemporaryDir dir;
    Files::write(dir.filePath("a.bin"), Files::pattern(25));
    RecordingHost host;
    host.folder = Files::path(dir.path()) + "/";
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("a.bin")), 10, host.folder, host), Outcome::Succeeded);
    const QByteArray folder = QFile::encodeName(dir.path());
    QCOMPARE(Files::read(dir.filePath("a.bin.splt")),
             folder + "//a.bin_splt1\r\n" + folder + "//a.bin_splt2\r\n" + folder + "//a.bin_splt3\r\n");
    QCOMPARE(Files::read(dir.filePath("a.bin_splt3")), Files::pattern(25).mid(20));
}

void TestSplitter::resplitReplacesLongerFiles() {
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    Files::write(dir.filePath("f"), Files::pattern(250));
    // Leftovers of a longer earlier split, with a manifest that claims more pieces.
    Files::write(dir.filePath("out/f_splt3"), QByteArray(500, 'x'));
    Files::write(dir.filePath("out/f.splt"), QByteArray(4000, 'y'));

    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("out/f_splt3")), Files::pattern(250).mid(200));
    QCOMPARE(Files::read(dir.filePath("out/f.splt")).count("\r\n"), 3);
    QCOMPARE(Files::read(dir.filePath("out/f.splt")).size(), 3 * (host.folder.size() + 10));

    // Splitting again gives the same files.
    const QByteArray first = Files::read(dir.filePath("out/f.splt"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("out/f.splt")), first);
}

void TestSplitter::oldManifestRemovedBeforeFirstPiece() {
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(300));
    Files::write(dir.filePath("f.splt"), "old list\r\n");
    RecordingHost host;
    host.folder = Files::path(dir.path());
    bool manifestAtFirstTurn = true;
    bool manifestAtLastTurn = true;
    host.onTurn = [&](int turn) {
        const bool exists = QFile::exists(dir.filePath("f.splt"));
        (turn == 1 ? manifestAtFirstTurn : manifestAtLastTurn) = exists;
        return true;
    };
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host), Outcome::Succeeded);
    QVERIFY(!manifestAtFirstTurn);
    QVERIFY(!manifestAtLastTurn);
    QVERIFY(QFile::exists(dir.filePath("f.splt")));
}

void TestSplitter::outputFolderReadOnce() {
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("one")));
    QVERIFY(QDir().mkpath(dir.filePath("two")));
    Files::write(dir.filePath("f"), Files::pattern(300));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("one"));
    host.onTurn = [&](int) {
        host.folder = Files::path(dir.filePath("two")); // the user edits the field meanwhile
        return true;
    };
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::entries(dir.filePath("one")).size(), 4);
    QVERIFY(Files::entries(dir.filePath("two")).isEmpty());
}

void TestSplitter::limitsRefusedBeforeWriting_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QString>("message");
    const QString tooSmall = QString::fromStdString(Messages::text({NoticeId::ChunkTooSmall}));
    const QString tooMany = QString::fromStdString(Messages::text({NoticeId::TooManyPieces}));
    QTest::newRow("zero chunk") << qint64(10) << 0 << tooSmall;
    QTest::newRow("negative chunk") << qint64(10) << -5 << tooSmall;
    QTest::newRow("32768 pieces") << qint64(32768) << 1 << tooMany;
    QTest::newRow("one byte over 32767 pieces") << qint64(32767 * 2 + 1) << 2 << tooMany;
}

void TestSplitter::limitsRefusedBeforeWriting() {
    QFETCH(qint64, size);
    QFETCH(int, chunk);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    Files::write(dir.filePath("f"), QByteArray(size, 'a'));
    Files::write(dir.filePath("out/f.splt"), "kept\r\n");
    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), chunk, host.folder, host), Outcome::Refused);
    QCOMPARE(host.messages, std::vector<std::string>{message.toStdString()});
    QVERIFY(host.reports.empty());
    QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"f.splt"});
    QCOMPARE(Files::read(dir.filePath("out/f.splt")), QByteArray("kept\r\n"));
}

void TestSplitter::pieceCannotBeCreated_data() {
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("piece"); // the first that cannot be created
    QTest::addColumn<int>("error");
    QTest::addColumn<QStringList>("left"); // in the folder
    QTest::newRow("a folder in place of a piece")
        << "."
        << "f_splt2" << EISDIR << QStringList{"f", "f_splt1", "f_splt2", "ro"};
    // Nothing there to remove: no list names the failure, the first piece does.
    QTest::newRow("a read-only folder") << "ro"
                                        << "f_splt1" << EROFS << QStringList{};
}

void TestSplitter::pieceCannotBeCreated() {
    QFETCH(QString, out);
    QFETCH(QString, piece);
    QFETCH(int, error);
    QFETCH(QStringList, left);
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(300));
    const Files::ReadOnlyMount readOnly(dir.filePath("ro"));
    if (out == "ro" && !readOnly.mounted()) {
        QSKIP("cannot mount a read-only file system here");
    }
    QVERIFY(out == "ro" || QDir().mkpath(dir.filePath("f_splt2")));
    const QString folder = dir.filePath(out);
    RecordingHost host;
    host.folder = Files::path(folder);
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host), Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].label, std::string(SplitMergeFile::splitLabel));
    QCOMPARE(host.reports[0].step, 118);
    QCOMPARE(host.reports[0].description, Files::failure(folder + "/" + piece, error));
    QVERIFY(host.messages.empty()); // no success message
    QVERIFY(!QFile::exists(folder + "/f_splt3"));
    QVERIFY(!QFile::exists(folder + "/f.splt"));
    QCOMPARE(Files::entries(folder), left);
}

void TestSplitter::fullDisk_data() {
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<QStringList>("names"); // the first and second piece, the list
    QTest::newRow("list") << false << QStringList{"f_splt1", "f_splt2", "f.splt"};
    QTest::newRow("numbered") << true << QStringList{"f.001", "f.002", "f.crc"};
}

void TestSplitter::fullDisk() {
    QFETCH(bool, numbered);
    QFETCH(QStringList, names);
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(5000));
    // A list or .crc of an earlier split would call the new pieces whole.
    Files::write(dir.filePath(names[2]), "size=5000\r\ncrc32=00000000\r\n");
    RecordingHost host;
    host.folder = Files::path(dir.path());

    const Outcome outcome = [&] {
        const Files::FileSizeLimit full(1500); // no piece can be completed
        return SplitMergeFile::SplitFile(InputChecks::SplitSource(Files::path(dir.filePath("f"))), 2000, host.folder,
                                         host, SplitMergeFile::SplitOptions{false, numbered});
    }();

    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 122);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath(names[0]), EFBIG));
    QVERIFY(host.messages.empty());
    QVERIFY(!QFile::exists(dir.filePath(names[1]))); // nothing after the failing piece
    QVERIFY(!QFile::exists(dir.filePath(names[2])));
}

void TestSplitter::fullDiskAtTheList() {
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(300));
    Files::write(dir.filePath("f.splt"), "old list\r\n");
    RecordingHost host;
    host.folder = Files::path(dir.path());

    const Outcome outcome = [&] {
        const Files::FileSizeLimit full(100); // the pieces fit, their list does not
        return SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 60, host.folder, host);
    }();

    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 136);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("f.splt"), EFBIG));
    QVERIFY(host.messages.empty());
    // No list, old or new, and no temporary file.
    QCOMPARE(Files::entries(dir.path()), (QStringList{"f", "f_splt1", "f_splt2", "f_splt3", "f_splt4", "f_splt5"}));
}

void TestSplitter::sourceNeverOverwritten_data() {
    QTest::addColumn<bool>("hardLink");
    QTest::addColumn<QString>("clash");
    QTest::addColumn<int>("step");
    QTest::newRow("piece is a symbolic link to the source") << false << "f_splt2" << 118;
    QTest::newRow("piece is a hard link to the source") << true << "f_splt1" << 118;
    QTest::newRow("manifest is a hard link to the source") << true << "f.splt" << 134;
}

void TestSplitter::sourceNeverOverwritten() {
    QFETCH(bool, hardLink);
    QFETCH(QString, clash);
    QFETCH(int, step);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    QVERIFY(QDir().mkpath(dir.filePath("src")));
    const QByteArray data = Files::pattern(300);
    Files::write(dir.filePath("src/f"), data);
    const std::string source = Files::path(dir.filePath("src/f"));
    const std::string link = Files::path(dir.filePath("out/" + clash));
    QVERIFY((hardLink ? ::link(source.c_str(), link.c_str()) : ::symlink(source.c_str(), link.c_str())) == 0);

    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    QCOMPARE(SplitMergeFile::SplitFile(source, 100, host.folder, host), Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, step);
    QVERIFY(host.messages.empty());
    QCOMPARE(Files::read(dir.filePath("src/f")), data);
}

void TestSplitter::missingSource() {
    QTemporaryDir dir;
    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("gone")), 100, host.folder, host), Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 104);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("gone"), ENOENT));
    QVERIFY(Files::entries(dir.path()).isEmpty());
}

// A file put at the source's name after the checks is not what gets split.
void TestSplitter::splitsTheFileItChecked() {
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(500));
    const InputChecks::SplitSource source(Files::path(dir.filePath("f")));
    QVERIFY(source.exists());
    QCOMPARE(source.size(), 500);
    Files::write(dir.filePath("other"), Files::pattern(50, 3));
    QVERIFY(::rename(QFile::encodeName(dir.filePath("other")), QFile::encodeName(dir.filePath("f"))) == 0);
    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(source, 100, host.folder, host), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("f_splt5")), Files::pattern(500).mid(400));
}

void TestSplitter::stopsWhenAsked_data() {
    QTest::addColumn<bool>("numbered");
    QTest::addColumn<QStringList>("left");
    QTest::newRow("list") << false << QStringList{"f", "f_splt1", "f_splt2"};
    // Neither the .crc, the recovery data nor the last pieces of an earlier set stay to
    // claim the new pieces.
    QTest::newRow("numbered") << true << QStringList{"f", "f.001", "f.002"};
}

void TestSplitter::stopsWhenAsked() {
    QFETCH(bool, numbered);
    QFETCH(QStringList, left);
    QTemporaryDir dir;
    Files::write(dir.filePath("f"), Files::pattern(500));
    if (numbered) {
        Files::write(dir.filePath("f.crc"), "size=500\r\ncrc32=00000000\r\n");
        Files::write(dir.filePath("f.par2"), "old");
        Files::write(dir.filePath("f.vol0+1.par2"), "old");
        Files::write(dir.filePath("f.009"), "old"); // a join would take it in after the new pieces
    }
    RecordingHost host;
    host.folder = Files::path(dir.path());
    host.onTurn = [](int turn) { return turn < 3; };
    QCOMPARE(SplitMergeFile::SplitFile(InputChecks::SplitSource(Files::path(dir.filePath("f"))), 100, host.folder, host,
                                       SplitMergeFile::SplitOptions{false, numbered}),
             Outcome::Stopped);
    QVERIFY(host.messages.empty());
    QVERIFY(host.reports.empty());
    QCOMPARE(Files::entries(dir.path()), left);
}

void TestSplitter::turnsDuringLargePiece() {
    QTemporaryDir dir;
    const qint64 size = qint64(150) << 20;
    {
        QFile f(dir.filePath("big"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size)); // sparse: no real data to copy
        QVERIFY(f.seek(size - 3));
        QCOMPARE(f.write("end"), qint64(3));
    }
    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    // The window must get a turn at least every 64 MiB copied, also inside one piece.
    std::vector<qint64> copiedAtTurn;
    host.onTurn = [&](int) {
        copiedAtTurn.push_back(QFileInfo(dir.filePath("out/big_splt1")).size());
        return true;
    };
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("big")), 200 << 20, host.folder, host),
             Outcome::Succeeded);
    copiedAtTurn.push_back(size);
    QVERIFY(copiedAtTurn.size() >= 4);
    for (std::size_t i = 1; i < copiedAtTurn.size(); ++i) {
        QVERIFY2(copiedAtTurn[i] - copiedAtTurn[i - 1] <= (qint64(64) << 20),
                 qPrintable(QString("%1 bytes without a turn").arg(copiedAtTurn[i] - copiedAtTurn[i - 1])));
    }
    QCOMPARE(QFileInfo(dir.filePath("out/big_splt1")).size(), size);
}

QTEST_APPLESS_MAIN(TestSplitter)
#include "TestSplitter.moc"
