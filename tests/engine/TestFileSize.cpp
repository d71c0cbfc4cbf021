#include <chrono>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include "engine/Copy.h"
#include "engine/Descriptor.h"
#include "engine/FileSize.h"
#include "engine/hash/Crc32.h"
#include "tests/support/Files.h"

// The chunked copy on its paths (copy_file_range, and read/write where that cannot
// serve the files; clones in TestFaults), its blocks on a slow disk, and the
// read-ahead of a join's next pieces.
class TestFileSize : public QObject {
    Q_OBJECT

private slots:
    void copiesTheRange_data();
    void copiesTheRange();
    void blockSizeFollowsTheDisk_data();
    void blockSizeFollowsTheDisk();
    void readAheadWindow_data();
    void readAheadWindow();
    void readAheadAroundTheCache_data();
    void readAheadAroundTheCache();
    void opensOnlyRegularFiles();
    void readBlocks_data();
    void readBlocks();
    void crcBehindTheWriter_data();
    void crcBehindTheWriter();

private:
    QTemporaryDir m_dir;
};

namespace {

constexpr qint64 MiB = qint64(1) << 20;

int openOrFail(const QString& path, int flags) {
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        qFatal("cannot open %s", qPrintable(path));
    }
    return fd;
}

} // namespace

namespace {
// How a copy ends, in the tables.
constexpr int copied = 0;
constexpr int readFailed = 1; // the source ended early
} // namespace

void TestFileSize::copiesTheRange_data() {
    QTest::addColumn<qint64>("sourceSize");
    QTest::addColumn<qint64>("offset");
    QTest::addColumn<qint64>("destPrefix"); // bytes already in the destination
    QTest::addColumn<qint64>("length");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("leastTurns");

    QTest::newRow("same place in a page") << 4 * MiB << qint64(8192) << qint64(0) << 3 * MiB + 17 << copied << 0;
    QTest::newRow("source shifted") << 4 * MiB << qint64(100) << qint64(0) << 3 * MiB << copied << 0;
    QTest::newRow("destination shifted") << 4 * MiB << qint64(0) << qint64(4000) << 3 * MiB << copied << 0;
    QTest::newRow("both shifted alike") << 4 * MiB << qint64(4000) << qint64(4000) << 3 * MiB << copied << 0;
    QTest::newRow("small") << qint64(300000) << qint64(100000) << qint64(5) << qint64(100000) << copied << 0;
    QTest::newRow("three blocks") << 20 * MiB << qint64(0) << qint64(0) << 20 * MiB << copied << 2;
    QTest::newRow("source ends early, large") << 2 * MiB << qint64(4096) << qint64(0) << 2 * MiB << readFailed << 0;
    QTest::newRow("source ends early, small")
        << qint64(1000) << qint64(10) << qint64(3) << qint64(1000) << readFailed << 0;
}

void TestFileSize::copiesTheRange() {
    QFETCH(qint64, sourceSize);
    QFETCH(qint64, offset);
    QFETCH(qint64, destPrefix);
    QFETCH(qint64, length);
    QFETCH(int, status);
    QFETCH(int, leastTurns);

    const QByteArray source = Files::pattern(sourceSize);
    const QByteArray prefix = Files::pattern(destPrefix, 3);
    Files::write(m_dir.filePath("source"), source);
    // copy_file_range and read/write, each to a given offset and to the position.
    for (const bool copyRange : {true, false}) {
        for (const bool atPosition : {false, true}) {
            Files::write(m_dir.filePath("dest"), prefix + "tail to be overwritten");
            const int in = openOrFail(m_dir.filePath("source"), O_RDONLY);
            const int out = openOrFail(m_dir.filePath("dest"), O_WRONLY);
            QCOMPARE(::ftruncate(out, destPrefix), 0);
            QCOMPARE(::lseek(out, atPosition ? destPrefix : 0, SEEK_SET), atPosition ? destPrefix : 0);
            Copy::Buffer buffer;
            buffer.copyRange = copyRange;
            int turns = 0;
            const Result<Copy::Copied> result = FileSize::ReadFileChunks(in, offset, out, atPosition ? -1 : destPrefix,
                                                                         length, buffer, [&](std::int64_t) {
                                                                             ++turns;
                                                                             return true;
                                                                         });
            ::close(in);
            ::close(out);

            QCOMPARE(result ? copied : readFailed, status);
            QVERIFY(result || (result.fault().reason == Copy::endedEarly && !result.fault().atDestination));
            const QByteArray written = Files::read(m_dir.filePath("dest"));
            QCOMPARE(written.left(destPrefix), prefix);
            if (status == copied) {
                QCOMPARE(written.size(), destPrefix + length);
                QVERIFY(written.mid(destPrefix) == source.mid(offset, length));
                // Between blocks, never before the first; a slow machine may make them smaller.
                QVERIFY2(turns >= leastTurns, qPrintable(QString::number(turns)));
                QCOMPARE(turns == 0, length <= Copy::Buffer::maxBlockBytes);
            } else {
                // What was there is copied, nothing made up.
                QVERIFY(written.mid(destPrefix) == source.mid(offset).left(written.size() - destPrefix));
            }
        }
    }
}

void TestFileSize::blockSizeFollowsTheDisk_data() {
    QTest::addColumn<qint64>("block");
    QTest::addColumn<int>("tookMs");
    QTest::addColumn<qint64>("next");
    QTest::newRow("quick, at the largest") << 8 * MiB << 3 << 8 * MiB;
    QTest::newRow("quick, grows") << MiB << 10 << 2 * MiB;
    QTest::newRow("in the band") << 4 * MiB << 50 << 4 * MiB;
    QTest::newRow("twice the aim") << 8 * MiB << 200 << 2 * MiB;
    QTest::newRow("a stick at 10 MB/s") << 8 * MiB << 839 << qint64(8 * MiB * 0.5 * 100 / 839);
    QTest::newRow("stalled, at the smallest") << 512 * qint64(1024) << 5000 << 256 * qint64(1024);
}

void TestFileSize::blockSizeFollowsTheDisk() {
    QFETCH(qint64, block);
    QFETCH(int, tookMs);
    QFETCH(qint64, next);
    QCOMPARE(Copy::nextBlockSize(block, std::chrono::milliseconds(tookMs)), next);
}

void TestFileSize::readAheadWindow_data() {
    QTest::addColumn<qint64>("pieceSize");
    QTest::addColumn<bool>("coldSecondPiece");
    QTest::addColumn<int>("window"); // pieces asked for ahead once at work
    QTest::addColumn<int>("first");  // the piece before which it is first called
    QTest::newRow("small pieces, cold") << qint64(4096) << true << int(Copy::ReadAhead::windowPieces) << 0;
    QTest::newRow("1 MiB pieces, cold") << MiB << true << int(Copy::ReadAhead::windowBytes / MiB) << 0;
    QTest::newRow("all in the page cache") << qint64(4096) << false << 0 << 0;
    QTest::newRow("from the first piece, cold") << qint64(4096) << true << int(Copy::ReadAhead::windowPieces) << 1;
    QTest::newRow("from the first piece, cached") << qint64(4096) << false << 0 << 1;
}

void TestFileSize::readAheadWindow() {
    QFETCH(qint64, pieceSize);
    QFETCH(bool, coldSecondPiece);
    QFETCH(int, window);
    QFETCH(int, first);

    constexpr int count = 300;
    QTemporaryDir dir;
    for (int i = 0; i < count; ++i) {
        // Large pieces are holes, but for the one that is sampled.
        QFile piece(dir.filePath(QString::number(i)));
        QVERIFY(piece.open(QIODevice::WriteOnly));
        if (pieceSize <= 65536 || i == first + 1) {
            QCOMPARE(piece.write(Files::pattern(pieceSize, i)), pieceSize);
            // Written back now: a page being written back can make the sample find
            // it busy and take it for one not in the page cache.
            QVERIFY(piece.flush());
            QCOMPARE(::fdatasync(piece.handle()), 0);
        } else {
            QVERIFY(piece.resize(pieceSize));
        }
    }
    if (coldSecondPiece) {
        const int fd = openOrFail(dir.filePath(QString::number(first + 1)), O_RDONLY);
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
        if (Files::lastPageCached(dir.filePath(QString::number(first + 1)))) {
            QSKIP("this file system keeps the piece in the page cache");
        }
    }

    const int descriptors = Files::entries("/proc/self/fd").size();
    QList<int> opened;
    QList<int> taken;
    QList<int> expected;
    // Another process may drop the page cache meanwhile (a benchmark does): a cached set
    // is looked at again, up to three times, before a difference counts.
    for (int attempt = 0; attempt < (coldSecondPiece ? 1 : 3) && (attempt == 0 || opened != expected); ++attempt) {
        opened.clear();
        taken.clear();
        expected.clear();
        Copy::ReadAhead readAhead(count, [&](std::size_t index, struct stat& st) {
            opened << int(index);
            Result<Descriptor> file =
                openRegular(AT_FDCWD, QFile::encodeName(dir.filePath(QString::number(index))), st);
            return file ? std::move(*file) : Descriptor();
        });
        for (int index = first; index < count; ++index) {
            readAhead.before(std::size_t(index));
            if (coldSecondPiece) {
                if (index == first) {
                    // The sample that finds it cold, then the rest: opened once each.
                    for (int i = 1; i <= window; ++i) {
                        expected << first + i;
                    }
                } else if (index + window < count) {
                    expected << index + window; // one more as each piece begins
                }
            } else if (index == first || index % int(Copy::ReadAhead::probeEvery) == 0) {
                expected << index + 1; // samples only
            }
            struct stat st {};
            if (readAhead.take(std::size_t(index), st).get() >= 0) {
                taken << index;
                QCOMPARE(st.st_size, pieceSize);
            }
        }
    }
    QCOMPARE(opened, expected);
    // Every piece it opened is handed over to the join, or closed.
    opened.removeAll(count);
    QCOMPARE(taken, opened);
    QCOMPARE(Files::entries("/proc/self/fd").size(), descriptors);
}

// Pieces not in the page cache are read ahead around it and copied from what was
// read: the same bytes, also where a piece changes once the read-ahead is at work.
void TestFileSize::readAheadAroundTheCache_data() {
    QTest::addColumn<QString>("change"); // made to piece 3
    QTest::addColumn<qint64>("lastSize");
    QTest::addColumn<bool>("copyRange"); // pieces not read ahead are copied by copy_file_range
    QTest::addColumn<bool>("hashed");    // the readers hash what they read
    QTest::newRow("as they are") << "" << MiB << false << false;
    QTest::newRow("as they are, the first by copy_file_range") << "" << MiB << true << false;
    QTest::newRow("an odd tail") << "" << qint64(300001) << false << false;
    QTest::newRow("piece 3 cut short") << "shrink" << MiB << true << false;
    QTest::newRow("piece 3 grown") << "grow" << MiB << false << false;
    // Before the read-ahead starts: its reads must find the bytes not yet on the disk.
    QTest::newRow("piece 3 just written to") << "write" << MiB << false << false;
    // Each digest is that of the bytes copied.
    QTest::newRow("hashed, an odd tail") << "" << qint64(300001) << true << true;
    QTest::newRow("hashed, piece 3 grown") << "grow" << MiB << false << true;
    QTest::newRow("hashed, piece 3 just written to") << "write" << MiB << true << true;
}

void TestFileSize::readAheadAroundTheCache() {
    QFETCH(QString, change);
    QFETCH(qint64, lastSize);
    QFETCH(bool, copyRange);
    QFETCH(bool, hashed);
    constexpr int count = 6;
    QTemporaryDir dir;
    std::vector<QByteArray> pieces;
    for (int i = 0; i < count; ++i) {
        pieces.push_back(Files::pattern(i + 1 == count ? lastSize : MiB, i));
        Files::write(dir.filePath(QString::number(i)), pieces.back());
        if (!Files::dropFromCache(dir.filePath(QString::number(i)))) {
            QSKIP("this file system keeps the pieces in the page cache");
        }
    }
    const QString third = dir.filePath("3");
    if (change == "write") {
        const QByteArray fresh = Files::pattern(4096, 99);
        const int fd = openOrFail(third, O_WRONLY);
        QCOMPARE(::pwrite(fd, fresh.constData(), 4096, 8192), 4096);
        ::close(fd);
        pieces[3].replace(8192, 4096, fresh);
    }

    const int out = openOrFail(dir.filePath("out"), O_RDWR | O_CREAT | O_TRUNC);
    QByteArray expected;
    std::int64_t joined = 0;
    Copy::Buffer buffer;
    buffer.copyRangeLocally = copyRange;
    // The CRC of the bytes copied: hashed as written from the read-ahead's blocks and
    // the buffer, read back where the kernel copied them.
    Copy::CrcBehind crc(out, &buffer);
    {
        Copy::ReadAhead readAhead(
            count,
            [&](std::size_t index, struct stat& st) {
                Result<Descriptor> file =
                    openRegular(AT_FDCWD, QFile::encodeName(dir.filePath(QString::number(index))), st);
                return file ? std::move(*file) : Descriptor();
            },
            &buffer);
        if (hashed) {
            readAhead.hashCold();
        }
        for (int index = 0; index < count; ++index) {
            readAhead.before(std::size_t(index));
            QVERIFY(buffer.ahead != nullptr);
            // Most likely read ahead by now, while three pieces were copied.
            if (index == 3) {
                if (change == "shrink") {
                    QVERIFY(QFile::resize(third, 1000));
                } else if (change == "grow") {
                    QFile grown(third);
                    QVERIFY(grown.open(QIODevice::Append) && grown.write("more") == 4);
                }
            }
            struct stat st {};
            // The first piece is not read ahead: the join opens it.
            Descriptor piece = readAhead.take(std::size_t(index), st);
            if (index == 0) {
                QVERIFY(piece.get() < 0);
                piece = std::move(*openRegular(AT_FDCWD, QFile::encodeName(dir.filePath("0")), st));
            }
            QVERIFY(piece.get() >= 0);
            const Result<Copy::Copied> copied = FileSize::ReadFileChunks(piece.get(), 0, out, joined, st.st_size,
                                                                         buffer, [](std::int64_t) { return true; });
            if (index == 3 && change == "shrink") {
                QVERIFY(!copied && copied.fault().reason == Copy::endedEarly);
                expected += pieces[3].left(1000);
                break;
            }
            QVERIFY(copied);
            QCOMPARE(st.st_size, qint64(pieces[std::size_t(index)].size()));
            QCOMPARE(readAhead.hashesCold(std::size_t(index)), hashed && index > 0);
            if (readAhead.hashesCold(std::size_t(index))) {
                QVERIFY(readAhead.copiedAsHashed(std::size_t(index)));
                const std::optional<Copy::ReadAhead::Hashed> digest = readAhead.digest(std::size_t(index), true);
                Checksum::Sha256 sha;
                QVERIFY(sha.update(pieces[std::size_t(index)].constData(), pieces[std::size_t(index)].size()));
                QVERIFY(digest && digest->digest && *digest->digest == *sha.finish());
            }
            expected += pieces[std::size_t(index)];
            joined += st.st_size;
        }
    }
    QCOMPARE(buffer.ahead, nullptr);
    const Result<ParallelCrc::Crc> whole = crc.finish(expected.size(), 2, {});
    QVERIFY(whole && buffer.crc == nullptr);
    QCOMPARE(whole->length, std::int64_t(expected.size()));
    QCOMPARE(whole->crc, Crc32::update(0, expected.constData(), std::size_t(expected.size())));
    ::close(out);
    QVERIFY(Files::read(dir.filePath("out")) == expected);
}

// What the join opens, and the read-ahead: nothing but regular files.
void TestFileSize::opensOnlyRegularFiles() {
    QTemporaryDir dir;
    Files::write(dir.filePath("file"), "x");
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
    QVERIFY(QFile::link(dir.filePath("file"), dir.filePath("link")));

    const int dirFd = openOrFail(dir.path(), O_RDONLY | O_DIRECTORY);
    struct stat st {};
    for (const auto& [name, error] : {std::pair{"folder", EISDIR}, {"fifo", EINVAL}, {"missing", ENOENT}}) {
        const Result<Descriptor> opened = openRegular(dirFd, name, st);
        QVERIFY(!opened);
        QCOMPARE(opened.fault().error, error);
    }
    for (const char* name : {"file", "link"}) {
        QVERIFY(openRegular(dirFd, name, st));
        QCOMPARE(st.st_size, 1);
    }
    ::close(dirFd);
}

void TestFileSize::readBlocks_data() {
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("stopAfter"); // blocks taken before `take` says stop; 0: never
    QTest::addColumn<qint64>("seen");
    QTest::newRow("empty") << qint64(0) << 0 << qint64(0);
    QTest::newRow("one short block") << qint64(100) << 0 << qint64(100);
    QTest::newRow("whole blocks and a rest") << qint64(3 * 4096 + 5) << 0 << qint64(3 * 4096 + 5);
    QTest::newRow("stopped after two") << qint64(5 * 4096) << 2 << qint64(2 * 4096);
}

void TestFileSize::readBlocks() {
    QFETCH(qint64, size);
    QFETCH(int, stopAfter);
    QFETCH(qint64, seen);
    const QByteArray data = Files::pattern(size);
    Files::write(m_dir.filePath("blocks"), data);
    const int fd = openOrFail(m_dir.filePath("blocks"), O_RDONLY);
    char block[4096];
    QByteArray taken;
    int blocks = 0;
    const Status read = Copy::readBlocks(fd, block, sizeof block, [&](std::string_view text) {
        taken.append(text.data(), qsizetype(text.size()));
        return ++blocks != stopAfter;
    });
    ::close(fd);
    QVERIFY(read);
    QVERIFY(taken == data.left(seen));

    // A read that fails gives its errno and hands nothing on.
    const int folder = openOrFail(m_dir.path(), O_RDONLY | O_DIRECTORY);
    bool called = false;
    const Status failed =
        Copy::readBlocks(folder, block, sizeof block, [&](std::string_view) { return called = true; });
    QCOMPARE(failed ? 0 : failed.fault().error, EISDIR);
    ::close(folder);
    QVERIFY(!called);
}

void TestFileSize::crcBehindTheWriter_data() {
    QTest::addColumn<int>("size");    // written in steps of 3 MiB and a bit, each made available
    QTest::addColumn<int>("checked"); // the length finish asks for
    QTest::addColumn<int>("threads");
    QTest::addColumn<int>("hashed");     // the length finish reports
    QTest::addColumn<int>("fromMemory"); // steps handed over as written: 0 none, 1 every other, 2 all
    const int mib = 1 << 20;
    QTest::newRow("nothing written") << 0 << 0 << 2 << 0 << 0;
    QTest::newRow("all hashed behind, or finished on 2 threads")
        << 20 * mib + 5 << 20 * mib + 5 << 2 << 20 * mib + 5 << 0;
    QTest::newRow("one thread") << 9 * mib << 9 * mib << 1 << 9 * mib << 0;
    QTest::newRow("less than written") << 9 * mib << 4 * mib + 1 << 2 << 4 * mib + 1 << 0;
    QTest::newRow("more than the file holds") << 5 * mib << 6 * mib << 2 << 5 * mib << 0;
    QTest::newRow("every other step hashed as written") << 20 * mib + 5 << 20 * mib + 5 << 2 << 20 * mib + 5 << 1;
    QTest::newRow("hashed as written, less checked") << 9 * mib << 4 * mib + 1 << 2 << 4 * mib + 1 << 2;
    QTest::newRow("hashed as written, more checked") << 5 * mib << 6 * mib << 1 << 5 * mib << 2;
}

// The CRC computed behind a writer is the CRC of what the file holds, however far the
// thread behind got before finish, with ranges hashed as they were written between
// ranges it reads.
void TestFileSize::crcBehindTheWriter() {
    QFETCH(int, size);
    QFETCH(int, checked);
    QFETCH(int, threads);
    QFETCH(int, hashed);
    QFETCH(int, fromMemory);
    QTemporaryDir dir;
    const QByteArray bytes = Files::pattern(size);
    const Descriptor file(::open(Files::path(dir.filePath("f")).c_str(), O_RDWR | O_CREAT, 0600));
    QVERIFY(file.get() >= 0);
    Copy::CrcBehind behind(file.get());
    const int step = (3 << 20) + 7;
    for (int offset = 0, i = 0; offset < size; offset += step, ++i) {
        const int count = std::min(step, size - offset);
        QCOMPARE(::pwrite(file.get(), bytes.constData() + offset, count, offset), ssize_t(count));
        if (fromMemory == 2 || (fromMemory == 1 && i % 2 == 1)) {
            behind.written(offset, bytes.constData() + offset, std::size_t(count));
        }
        behind.advance(offset + count);
    }
    const Result<ParallelCrc::Crc> crc = behind.finish(checked, unsigned(threads), {});
    QVERIFY(crc.ok());
    QCOMPARE(crc->length, std::int64_t(hashed));
    QCOMPARE(crc->crc, Crc32::update(0, bytes.constData(), std::size_t(hashed)));
}

QTEST_APPLESS_MAIN(TestFileSize)
#include "TestFileSize.moc"
