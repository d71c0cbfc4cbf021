#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "engine/formats/ChecksumFile.h"
#include "engine/hash/HashingPool.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;
using Going = Checksum::Hashers::Going;

namespace {

// Reads `text` as the joiner and verify read a checksum file.
Checksum::Sidecar load(const QByteArray& text) {
    QTemporaryDir dir;
    Files::write(dir.filePath("a.splt.sha256"), text);
    Result<Checksum::Sidecar> sidecar = Checksum::Sidecar::load(Files::path(dir.filePath("a.splt.sha256")), AT_FDCWD);
    return sidecar ? std::move(*sidecar) : Checksum::Sidecar();
}

} // namespace

// SHA-256 through libcrypto, the checksum file's lines, and what the splitter and the
// joiner do with that file.
class TestChecksum : public QObject {
    Q_OBJECT

private slots:
    void digests_data();
    void digests();
    void sidecarLines_data();
    void sidecarLines();
    void sidecarFromSha256sum();
    void sidecarForms_data();
    void sidecarForms();
    void splitRemovesStaleChecksums();
    void joinChecksEachPiece_data();
    void joinChecksEachPiece();
    void unreadableChecksumFileFailsTheJoin();
    void listNameWithoutRoomForTheSuffix();
};

void TestChecksum::digests_data() {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("pieceSize"); // fed in parts of this size
    QTest::newRow("empty") << QByteArray() << 1;
    QTest::newRow("abc") << QByteArray("abc") << 3;
    QTest::newRow("abc, byte by byte") << QByteArray("abc") << 1;
    QTest::newRow("3 MiB in odd parts") << Files::pattern(3 * 1024 * 1024 + 5) << 65537;
    QTest::newRow("9 MiB in 1 MiB parts") << Files::pattern(9 * 1024 * 1024 + 5) << 1024 * 1024;
}

void TestChecksum::digests() {
    QFETCH(QByteArray, data);
    QFETCH(int, pieceSize);
    const auto sha256 = [](const QByteArray& bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    };
    Checksum::Sha256 hash;
    Checksum::BackgroundSha256 background;
    QByteArray part;
    for (qsizetype i = 0; i < data.size(); i += pieceSize) {
        part = data.mid(i, pieceSize);
        QVERIFY(hash.update(part.constData(), static_cast<std::size_t>(part.size())));
        QVERIFY(background.update(part.constData(), static_cast<std::size_t>(part.size())));
        // The background hash took its own copy: the caller's buffer is free again.
        part.fill('\0');
    }
    QCOMPARE(QByteArray::fromStdString(Checksum::toHex(*hash.finish())), sha256(data));
    QCOMPARE(QByteArray::fromStdString(Checksum::toHex(*background.finish())), sha256(data));
    // finish starts afresh.
    QCOMPARE(QByteArray::fromStdString(Checksum::toHex(*hash.finish())), sha256({}));
    QCOMPARE(QByteArray::fromStdString(Checksum::toHex(*background.finish())), sha256({}));

    // The same from a file on hashing threads: the whole and its parts, read only as
    // far as it was made available, in steps that do not meet the parts' ends.
    QTemporaryDir dir;
    Files::write(dir.filePath("data"), data);
    const int fd = ::open(QFile::encodeName(dir.filePath("data")).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const qsizetype parts = (data.size() + pieceSize - 1) / pieceSize;
    std::vector<QByteArray> digests(static_cast<std::size_t>(parts) + 1);
    std::atomic<int> wrong{0}; // jobs that failed or were done before all of them was available
    std::atomic<std::int64_t> available{0};
    {
        Checksum::Hashers hashers(
            3,
            [&](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) {
                if (!digest || job.offset + job.length > available) {
                    ++wrong;
                    return Status{};
                }
                digests[job.index] = QByteArray::fromStdString(Checksum::toHex(*digest));
                return Status{};
            },
            {}, 0);
        QVERIFY(*hashers.add({fd, 0, data.size(), digests.size() - 1}) == Going::On);
        for (qsizetype i = 0; i < parts; ++i) {
            QVERIFY(*hashers.add({fd, i * pieceSize, std::min<qsizetype>(pieceSize, data.size() - i * pieceSize),
                                  static_cast<std::size_t>(i)}) == Going::On);
        }
        for (std::int64_t step = 0; step < data.size(); step += 100003) {
            available = step;
            QVERIFY(*hashers.advance(step) == Going::On);
        }
        available = data.size();
        QVERIFY(*hashers.advance(data.size()) == Going::On);
        QVERIFY(hashers.drain());
    }
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(digests.back(), sha256(data));
    for (qsizetype i = 0; i < parts; ++i) {
        QCOMPARE(digests[static_cast<std::size_t>(i)], sha256(data.mid(i * pieceSize, pieceSize)));
    }

    // While the one thread is held up at the end of a job, a caller that finds the
    // queue full hashes short jobs itself rather than wait for it.
    const qsizetype head = std::min<qsizetype>(data.size(), 65536);
    const std::size_t extra = 4;
    std::vector<QByteArray> heads(Checksum::Hashers::maxQueued + extra + 1);
    std::atomic<bool> held{false};
    std::atomic<std::size_t> byCaller{0};
    const std::thread::id caller = std::this_thread::get_id();
    {
        Checksum::Hashers one(1, [&](const Checksum::Hashers::Job& job, const Result<Checksum::Digest>& digest) {
            heads[job.index] = digest ? QByteArray::fromStdString(Checksum::toHex(*digest)) : QByteArray();
            if (job.index == 0) {
                held = true;
                for (int i = 0; i < 10000 && byCaller < extra; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            } else if (std::this_thread::get_id() == caller) {
                ++byCaller;
            }
            return Status{};
        });
        QVERIFY(*one.add({fd, 0, head, 0}) == Going::On);
        for (int i = 0; i < 10000 && !held; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t i = 1; i < heads.size(); ++i) {
            QVERIFY(*one.add({fd, 0, head, i}) == Going::On);
        }
        QVERIFY(one.drain());
    }
    ::close(fd);
    QCOMPARE(byCaller.load(), extra);
    for (const QByteArray& digest : heads) {
        QCOMPARE(digest, sha256(data.left(head)));
    }
}

void TestChecksum::sidecarLines_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("escaped");
    QTest::newRow("plain") << QByteArray("a.bin_splt1") << false;
    QTest::newRow("blank and star") << QByteArray(" *a b") << false;
    QTest::newRow("backslash") << QByteArray("we\\ird_splt2") << true;
    QTest::newRow("line feed") << QByteArray("two\nlines") << true;
    QTest::newRow("carriage return") << QByteArray("cr\rname") << true;
}

// Every name comes back from the line written for it.
void TestChecksum::sidecarLines() {
    QFETCH(QByteArray, name);
    QFETCH(bool, escaped);
    Checksum::Sha256 hash;
    QVERIFY(hash.update(name.constData(), static_cast<std::size_t>(name.size())));
    const Checksum::Digest digest = *hash.finish();
    const std::string line = Checksum::sidecarLine(digest, name.toStdString());
    QCOMPARE(line.front() == '\\', escaped);
    QCOMPARE(std::count(line.begin(), line.end(), '\n'), std::ptrdiff_t(1));
    const Checksum::Sidecar sidecar = load("garbage line\n" + QByteArray::fromStdString(line));
    QVERIFY(sidecar.present() && !sidecar.conflicting());
    QVERIFY(sidecar.find(name.toStdString()) == digest);
    QVERIFY(!sidecar.find("garbage line"));
}

// Lines as sha256sum writes them, in text and binary mode, escaped, with CR LF.
void TestChecksum::sidecarFromSha256sum() {
    const QByteArray abc = QCryptographicHash::hash("abc", QCryptographicHash::Sha256).toHex();
    const QByteArray text = abc + "  plain\n" + abc.toUpper() + " *binary\r\n\\" + abc + "  we\\\\ird\\nname\n" +
                            abc.left(63) + "   short digest\n" + "\\" + abc + "  bad\\escape\n";
    const Checksum::Sidecar sidecar = load(text);
    for (const char* name : {"plain", "binary", "we\\ird\nname"}) {
        const std::optional<Checksum::Digest> digest = sidecar.find(name);
        QVERIFY2(digest && QByteArray::fromStdString(Checksum::toHex(*digest)) == abc, name);
    }
    QVERIFY(!sidecar.find(" short digest"));
    QVERIFY(!sidecar.find("short digest"));
    QVERIFY(!sidecar.find("bad\\escape"));
}

void TestChecksum::sidecarForms_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("found"); // 1: with the digest of "abc"; 0: not listed; -1: no digest counts
    const QByteArray abc = QCryptographicHash::hash("abc", QCryptographicHash::Sha256).toHex();
    const QByteArray other(64, 'f');
    QTest::newRow("tag form") << "SHA256 (a_splt1) = " + abc + "\n" << QByteArray("a_splt1") << 1;
    QTest::newRow("tag form, escaped") << "\\SHA256 (we\\\\ird\\nname) = " + abc << QByteArray("we\\ird\nname") << 1;
    QTest::newRow("tag form, a name holding ') = '") << "SHA256 (a) = b) = " + abc << QByteArray("a) = b") << 1;
    QTest::newRow("tag form of another digest") << "SHA1 (a_splt1) = " + abc << QByteArray("a_splt1") << 0;
    QTest::newRow("both forms, the same digest") << abc + "  a_splt1\nSHA256 (a_splt1) = " + abc + "\n"
                                                 << QByteArray("a_splt1") << 1;
    QTest::newRow("in both forms, different digests") << "SHA256 (a_splt1) = " + other + "\n" + abc + "  a_splt1\n"
                                                      << QByteArray("a_splt1") << -1;
}

// Both forms sha256sum reads; a name whose digests disagree makes the file unusable.
void TestChecksum::sidecarForms() {
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, name);
    QFETCH(int, found);
    const Checksum::Sidecar sidecar = load(text);
    QVERIFY(sidecar.present());
    QCOMPARE(sidecar.conflicting(), found < 0);
    const std::optional<Checksum::Digest> digest = sidecar.find(name.toStdString());
    QVERIFY(found < 0 || digest.has_value() == (found == 1));
    QVERIFY(found != 1 || QByteArray::fromStdString(Checksum::toHex(*digest)) ==
                              QCryptographicHash::hash("abc", QCryptographicHash::Sha256).toHex());
}

// A split without checksums must not leave those of an earlier split beside its new
// list: every piece would then look damaged.
void TestChecksum::splitRemovesStaleChecksums() {
    QTemporaryDir dir;
    Files::write(dir.filePath("a.bin"), Files::pattern(2500));
    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("a.bin")), 1000, host.folder, host, true),
             Outcome::Succeeded);
    QVERIFY(QFile::exists(dir.filePath("a.bin.splt.sha256")));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("a.bin")), 700, host.folder, host, false),
             Outcome::Succeeded);
    QVERIFY(!QFile::exists(dir.filePath("a.bin.splt.sha256")));
    QCOMPARE(Files::entries(dir.path()),
             (QStringList{"a.bin", "a.bin.splt", "a.bin_splt1", "a.bin_splt2", "a.bin_splt3", "a.bin_splt4"}));
}

void TestChecksum::joinChecksEachPiece_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("earlierFile");
    QTest::addColumn<int>("goodPieces"); // joined before the stop; -1: the join succeeds
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("cold"); // the pieces are not in the page cache: read around it
    const qint64 small = 4500;
    QTest::newRow("whole") << "" << false << -1 << small << 1000 << false;
    QTest::newRow("piece 3 flipped") << "flip" << false << 2 << small << 1000 << false;
    QTest::newRow("piece 3 flipped, earlier file") << "flip" << true << 2 << small << 1000 << false;
    QTest::newRow("piece 3 unlisted") << "unlist" << false << 2 << small << 1000 << false;
    // Long enough for the copy to run ahead of the hashes.
    const qint64 large = qint64(48) << 20;
    QTest::newRow("48 MiB, whole") << "" << false << -1 << large << (1 << 20) << false;
    QTest::newRow("48 MiB, piece 41 flipped") << "flip" << false << 40 << large << (1 << 20) << false;
    QTest::newRow("48 MiB, the last piece flipped") << "flip" << false << 47 << large << (1 << 20) << false;
    // The flip is written after the pieces left the page cache: the reads around it
    // must find it all the same.
    const qint64 oddTail = (qint64(23) << 20) + 300001;
    QTest::newRow("not in the page cache, whole") << "" << false << -1 << oddTail << (1 << 20) << true;
    QTest::newRow("not in the page cache, piece 9 flipped") << "flip" << false << 8 << oddTail << (1 << 20) << true;
    QTest::newRow("not in the page cache, the odd last piece flipped")
        << "flip" << false << 23 << oddTail << (1 << 20) << true;
    QTest::newRow("not in the page cache, piece 9 flipped, earlier file")
        << "flip" << true << 8 << oddTail << (1 << 20) << true;
    // Pieces of several blocks, read on several threads and hashed in order.
    const int blocks = (3 << 20) + 12345;
    QTest::newRow("not in the page cache, pieces of several blocks, whole")
        << "" << false << -1 << qint64(6) * blocks - 4000 << blocks << true;
    QTest::newRow("not in the page cache, pieces of several blocks, piece 4 flipped")
        << "flip" << false << 3 << qint64(6) * blocks - 4000 << blocks << true;
}

void TestChecksum::joinChecksEachPiece() {
    QFETCH(QString, fault);
    QFETCH(bool, earlierFile);
    QFETCH(int, goodPieces);
    QFETCH(qint64, size);
    QFETCH(int, chunk);
    QFETCH(bool, cold);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("joined"));
    const QByteArray data = Files::pattern(size);
    Files::write(dir.filePath("a.bin"), data);
    RecordingHost splitHost;
    splitHost.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("a.bin")), chunk, splitHost.folder, splitHost, true),
             Outcome::Succeeded);
    const QString damaged = "a.bin_splt" + QString::number(goodPieces + 1);
    for (int piece = 1; cold && piece <= (size + chunk - 1) / chunk; ++piece) {
        if (!Files::dropFromCache(dir.filePath("a.bin_splt" + QString::number(piece)))) {
            QSKIP("this file system keeps the pieces in the page cache");
        }
    }
    if (fault == "flip" && cold) {
        // One byte, not yet on the disk.
        QFile piece(dir.filePath(damaged));
        QVERIFY(piece.open(QIODevice::ReadWrite) && piece.seek(5000) && piece.write("\xff\x00", 2) == 2);
    } else if (fault == "flip") {
        QByteArray piece = Files::read(dir.filePath(damaged));
        piece[piece.size() - 1] = static_cast<char>(piece[piece.size() - 1] ^ 0x80);
        Files::write(dir.filePath(damaged), piece);
    } else if (fault == "unlist") {
        QByteArray sums = Files::read(dir.filePath("a.bin.splt.sha256"));
        sums.replace(damaged.toLatin1() + "\n", "a.bin_splt9\n");
        Files::write(dir.filePath("a.bin.splt.sha256"), sums);
    }
    if (earlierFile) {
        Files::write(dir.filePath("joined/a.bin"), "earlier");
    }

    if (cold) {
        // Verify reads them around the page cache too; the join then reads them from it.
        std::vector<std::string> bad;
        const Result<Verify::Summary> verified =
            Verify::VerifySet(Files::path(dir.filePath("a.bin.splt")),
                              [&](const Verify::Finding& found) { bad.push_back(found.piecePath); });
        QVERIFY(verified && verified->checksummed);
        QCOMPARE(bad, goodPieces < 0 ? std::vector<std::string>{} : std::vector{Files::path(dir.filePath(damaged))});
        for (int piece = 1; piece <= (size + chunk - 1) / chunk; ++piece) {
            QVERIFY(Files::dropFromCache(dir.filePath("a.bin_splt" + QString::number(piece))));
        }
    }

    RecordingHost host;
    host.folder = Files::path(dir.filePath("joined"));
    const Outcome outcome = SplitMergeFile::JoinFiles(Files::path(dir.filePath("a.bin.splt")), host.folder, host);
    QVERIFY(host.reports.empty());
    if (goodPieces < 0) {
        QCOMPARE(outcome, Outcome::Succeeded);
        QCOMPARE(Files::read(dir.filePath("joined/a.bin")), data);
        return;
    }
    QCOMPARE(outcome, Outcome::Damaged);
    QCOMPARE(host.messages,
             std::vector<std::string>{Messages::text({NoticeId::PieceDamaged, {Files::path(dir.filePath(damaged))}})});
    QVERIFY(Files::read(dir.filePath("joined/a.bin")) ==
            (earlierFile ? QByteArray("earlier") : data.left(goodPieces * chunk)));
    QCOMPARE(Files::entries(dir.filePath("joined")), QStringList{"a.bin"});
}

void TestChecksum::unreadableChecksumFileFailsTheJoin() {
    QTemporaryDir dir;
    Files::write(dir.filePath("a.bin"), Files::pattern(2500));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("joined"));
    QVERIFY(QDir(dir.path()).mkdir("joined"));
    {
        RecordingHost splitHost;
        splitHost.folder = Files::path(dir.path());
        QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("a.bin")), 1000, splitHost.folder, splitHost),
                 Outcome::Succeeded);
    }
    QVERIFY(QDir(dir.path()).mkdir("a.bin.splt.sha256"));

    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("a.bin.splt")), host.folder, host), Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t(1));
    QCOMPARE(host.reports[0].step, 102);
    QVERIFY2(host.reports[0].description.find("a.bin.splt.sha256") != std::string::npos,
             host.reports[0].description.c_str());
    QVERIFY(host.messages.empty());
    QCOMPARE(Files::entries(dir.filePath("joined")), QStringList());
}

// A list named as long as the folder allows leaves no room for ".sha256": a split
// asked for checksums is refused; without, no checksum file can stand there, and that
// is no failure of the split, the join or a check.
void TestChecksum::listNameWithoutRoomForTheSuffix() {
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("joined"));
    // Piece names "NAME_splt1" to "NAME_splt3" of 255 bytes, the list 254.
    const QString name = QString(255 - 6, 'n');
    const QByteArray data = Files::pattern(2500);
    Files::write(dir.filePath(name), data);
    // Asked for, it cannot be written: refused before anything is.
    RecordingHost refused;
    refused.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath(name)), 1000, refused.folder, refused, true),
             Outcome::Refused);
    QCOMPARE(refused.messages, std::vector<std::string>{Messages::text({NoticeId::NamesTooLong})});
    QCOMPARE(Files::entries(dir.path()), (QStringList{"joined", name}));

    RecordingHost host;
    host.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath(name)), 1000, host.folder, host), Outcome::Succeeded);
    QVERIFY(host.reports.empty());

    const std::string manifest = Files::path(dir.filePath(name + ".splt"));
    int findings = 0;
    const Result<Verify::Summary> result = Verify::VerifySet(manifest, [&](const Verify::Finding&) { ++findings; });
    QVERIFY(result);
    QCOMPARE(result->verdict, Verify::Summary::Verdict::Checked);
    QCOMPARE(result->pieces, 3);
    QVERIFY(!result->checksummed);
    QCOMPARE(findings, 0);

    RecordingHost joinHost;
    joinHost.folder = Files::path(dir.filePath("joined"));
    QCOMPARE(SplitMergeFile::JoinFiles(manifest, joinHost.folder, joinHost), Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("joined/" + name)), data);
}

QTEST_APPLESS_MAIN(TestChecksum)
#include "TestChecksum.moc"
