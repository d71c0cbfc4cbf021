#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/RunFolder.h"
#include "engine/SplitMergeFile.h"
#include "engine/hash/Crc32.h"
#include "engine/hash/Gf16.h"
#include "engine/hash/Md5.h"
#include "engine/hash/Md5Lanes.h"
#include "engine/recovery/Combine.h"
#include "engine/recovery/Recovery.h"
#include "engine/recovery/Shared.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

namespace {

// Big enough that a piece is cut into two slices, as split cuts pieces of 1 MiB and more.
constexpr qint64 chunk = 1024 * 1024 + 100;
constexpr int pieceCount = 5; // the last one short

QStringList pieceNames() {
    QStringList names;
    for (int i = 1; i <= pieceCount; ++i) {
        names << QString("data.%1").arg(i, 3, 10, QChar('0'));
    }
    return names;
}

std::vector<std::string> stdNames(const QStringList& names) {
    std::vector<std::string> out;
    for (const QString& n : names) {
        out.push_back(Files::path(n));
    }
    return out;
}

// Writes the pieces of a 4.3 MiB file into `dir`; returns each piece's bytes.
QList<QByteArray> writePieces(const QString& dir) {
    const QByteArray whole = Files::pattern(4 * chunk + 300000, 11);
    QList<QByteArray> pieces;
    for (int i = 0; i < pieceCount; ++i) {
        pieces << whole.mid(i * chunk, chunk);
        Files::write(dir + "/" + pieceNames()[i], pieces.last());
    }
    return pieces;
}

// Damages piece `index` in `dir` as `kind` says: missing, flipped (bytes inside its
// second slice), head (bytes inside its first slice), crc-kept (five bytes of its first
// slice changed so that the slice's CRC32 stays: only the MD5 tells), long (5000 bytes
// past its end), cut (short by a third), empty (0 bytes).
void damage(const QString& dir, int index, const QString& kind) {
    const QString path = dir + "/" + pieceNames()[index];
    QByteArray bytes = Files::read(path);
    if (kind == "missing") {
        QVERIFY(QFile::remove(path));
        return;
    }
    if (kind == "flipped") {
        for (qsizetype at = bytes.size() - 1000; at < bytes.size() - 990; ++at) {
            bytes[at] = static_cast<char>(bytes[at] ^ 0x5a);
        }
    } else if (kind == "head") {
        for (qsizetype at = 1000; at < 1010; ++at) {
            bytes[at] = static_cast<char>(bytes[at] ^ 0xa5);
        }
    } else if (kind == "crc-kept") {
        // The CRC32 polynomial itself, bit-reversed as zlib's CRC reads bytes.
        const unsigned char polynomial[] = {0x41, 0x06, 0x71, 0xdb, 0x01};
        for (int i = 0; i < 5; ++i) {
            bytes[2000 + i] = static_cast<char>(bytes[2000 + i] ^ polynomial[i]);
        }
    } else if (kind == "long") {
        bytes += QByteArray(5000, 'x');
    } else if (kind == "cut") {
        bytes.truncate(bytes.size() * 2 / 3);
    } else if (kind == "empty") {
        bytes.clear();
    } else {
        QFAIL(qPrintable("unknown damage " + kind));
    }
    Files::write(path, bytes);
}

QByteArray par2Output; // of the last run, for the message of a failing check

// Runs par2 with `arguments` in `dir`; its exit code, or -1 when it did not run.
int par2(const QString& dir, const QStringList& arguments) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("par2", arguments);
    const bool ran = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit;
    par2Output = "par2 " + arguments.join(' ').toUtf8() + ": " + process.readAll().right(400);
    return ran ? process.exitCode() : -1;
}

RunFolder openFolder(const QString& dir) {
    RunFolder folder;
    if (Status st = folder.open(Files::path(dir)); !st) {
        qFatal("cannot open %s", qPrintable(dir));
    }
    return folder;
}

Status createFor(const QString& dir, const std::string& base, std::uint32_t lost,
                 std::size_t memory = Recovery::combineMemory) {
    RunFolder folder = openFolder(dir);
    std::vector<std::uint64_t> sizes;
    for (const QString& name : pieceNames()) {
        sizes.push_back(static_cast<std::uint64_t>(QFileInfo(dir + "/" + name).size()));
    }
    return Recovery::create(folder, base, stdNames(pieceNames()), Recovery::layoutFor(sizes, chunk, lost), {}, memory);
}

// Damage as rows give it: "2:missing,4:flipped".
void damageAll(const QString& dir, const QString& spec) {
    for (const QString& part : spec.split(',', Qt::SkipEmptyParts)) {
        damage(dir, part.section(':', 0, 0).toInt(), part.section(':', 1));
    }
}

void comparePieces(const QString& dir, const QList<QByteArray>& pieces) {
    for (int i = 0; i < pieceCount; ++i) {
        QVERIFY2(Files::read(dir + "/" + pieceNames()[i]) == pieces[i], qPrintable(pieceNames()[i] + " differs"));
    }
}

} // namespace

Q_DECLARE_METATYPE(Md5Lanes::Code)

// Recovery data as par2 reads and writes it: the layout and names, par2 verifying and
// repairing Quarnel's sets, Quarnel repairing sets par2 made, and damage beyond the
// recovery data's reach refused with nothing changed.
class TestRecovery : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void layoutAndNames_data();
    void layoutAndNames();
    void ourSetsRepairedByBoth_data();
    void ourSetsRepairedByBoth();
    void par2SetsRepaired_data();
    void par2SetsRepaired();
    void recoveryCounted_data();
    void recoveryCounted();
    void fullDiskDuringRepairLosesNothing();
    void removeRecoveryRemovesOnlyTheSets();
    void sliceCheckAsAJoinFeedsIt_data();
    void sliceCheckAsAJoinFeedsIt();
    void crcFoldsAsZlib_data();
    void crcFoldsAsZlib();
    void md5LanesAsLibcrypto_data();
    void md5LanesAsLibcrypto();
    void joinRepairs_data();
    void joinRepairs();
    void combineMatchesWordByWord_data();
    void combineMatchesWordByWord();
};

void TestRecovery::initTestCase() {
    QVERIFY2(!QStandardPaths::findExecutable("par2").isEmpty(), "par2 is missing (Debian package 'par2')");
}

void TestRecovery::layoutAndNames_data() {
    QTest::addColumn<QList<qint64>>("sizes");
    QTest::addColumn<qint64>("chunkSize");
    QTest::addColumn<int>("lost");
    QTest::addColumn<qint64>("sliceSize");
    QTest::addColumn<int>("slices");
    QTest::addColumn<QStringList>("volumes");
    const qint64 mib = 1024 * 1024;
    // Pieces of 1 MiB and more are two slices each, one slice a volume.
    QTest::newRow("4 MiB pieces, 1 lost") << QList<qint64>{4 * mib, 4 * mib, mib} << 4 * mib << 1 << 2 * mib << 2
                                          << QStringList{"S.vol0+1.par2", "S.vol1+1.par2"};
    QTest::newRow("odd piece size, rounded up to 4")
        << QList<qint64>{mib + 6, mib + 6, 10} << mib + 6 << 2 << (mib + 6 + 1) / 2 + 1 << 4
        << QStringList{"S.vol0+1.par2", "S.vol1+1.par2", "S.vol2+1.par2", "S.vol3+1.par2"};
    QTest::newRow("ten slices: two digits")
        << QList<qint64>(6, 2 * mib) << 2 * mib << 5 << mib << 10
        << QStringList{"S.vol00+1.par2", "S.vol01+1.par2", "S.vol02+1.par2", "S.vol03+1.par2", "S.vol04+1.par2",
                       "S.vol05+1.par2", "S.vol06+1.par2", "S.vol07+1.par2", "S.vol08+1.par2", "S.vol09+1.par2"};
    QTest::newRow("more lost than pieces")
        << QList<qint64>{2 * mib, 2 * mib} << 2 * mib << 9 << mib << 4
        << QStringList{"S.vol0+1.par2", "S.vol1+1.par2", "S.vol2+1.par2", "S.vol3+1.par2"};
    // Small pieces are one slice each; several slices fit in a volume the size of a piece.
    QTest::newRow("small pieces") << QList<qint64>(8, 100000) << qint64(100000) << 3 << qint64(100000) << 3
                                  << QStringList{"S.vol0+1.par2", "S.vol1+1.par2", "S.vol2+1.par2"};
    QTest::newRow("a short last piece beside small pieces")
        << QList<qint64>{400000, 400000, 40000} << qint64(400000) << 2 << qint64(400000) << 2
        << QStringList{"S.vol0+1.par2", "S.vol1+1.par2"};
}

void TestRecovery::layoutAndNames() {
    QFETCH(QList<qint64>, sizes);
    QFETCH(qint64, chunkSize);
    QFETCH(int, lost);
    QFETCH(qint64, sliceSize);
    QFETCH(int, slices);
    QFETCH(QStringList, volumes);
    std::vector<std::uint64_t> pieceSizes(sizes.begin(), sizes.end());
    const Recovery::Layout layout =
        Recovery::layoutFor(pieceSizes, static_cast<std::uint64_t>(chunkSize), static_cast<std::uint32_t>(lost));
    QCOMPARE(static_cast<qint64>(layout.sliceSize), sliceSize);
    QCOMPARE(layout.sliceSize % 4, 0u);
    QCOMPARE(static_cast<int>(layout.recoverySlices), slices);
    QStringList names;
    for (const std::string& name : Recovery::volumeNames("S", layout)) {
        names << QString::fromStdString(name);
    }
    QCOMPARE(names, volumes);
}

void TestRecovery::ourSetsRepairedByBoth_data() {
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<int>("piecesToRebuild");
    QTest::addColumn<int>("slicesToRebuild");
    QTest::addColumn<int>("memory"); // for the stripes; 0: the default
    QTest::newRow("a missing piece") << "1:missing" << 1 << 2 << 0;
    QTest::newRow("flipped bytes") << "2:flipped" << 1 << 1 << 0;
    QTest::newRow("a piece cut short") << "0:cut" << 1 << 1 << 0;
    QTest::newRow("a 0-byte piece") << "3:empty" << 1 << 2 << 0;
    QTest::newRow("the short last piece missing") << "4:missing" << 1 << 1 << 0;
    QTest::newRow("two pieces at once") << "1:missing,4:flipped" << 2 << 3 << 0;
    // Slices in many stripes, inputs in many batches, a stripe not a whole tile.
    QTest::newRow("in stripes of 48 KiB") << "1:missing,4:flipped" << 2 << 3 << 1024 * 1024;
    QTest::newRow("in stripes of 16 KiB") << "0:empty,2:cut" << 2 << 3 << 64 * 1024;
    // Pieces checked side by side, each damaged in a different slice or way.
    QTest::newRow("three pieces, different slices") << "0:head,2:flipped,3:cut" << 3 << 3 << 0;
    QTest::newRow("both slices of one, the other's first") << "1:head,1:flipped,4:head" << 2 << 3 << 0;
}

// Quarnel's recovery data for two lost pieces: par2 verifies the set whole and repairs
// it; then Quarnel finds the same damage slice by slice and repairs it as well, keeping
// a damaged piece beside.
void TestRecovery::ourSetsRepairedByBoth() {
    QFETCH(QString, damaged);
    QFETCH(int, piecesToRebuild);
    QFETCH(int, slicesToRebuild);
    QFETCH(int, memory);
    const std::size_t budget = memory > 0 ? static_cast<std::size_t>(memory) : Recovery::combineMemory;
    QTemporaryDir dir;
    const QList<QByteArray> pieces = writePieces(dir.path());
    Status created = createFor(dir.path(), "data.splt", 2, budget);
    QVERIFY2(created, created ? "" : created.fault().description().c_str());
    QVERIFY(QFileInfo::exists(dir.filePath("data.splt.par2")));
    for (const QString& name : Files::entries(dir.path())) {
        if (name.contains(".vol")) {
            QVERIFY2(QFileInfo(dir.filePath(name)).size() <= chunk, qPrintable(name + " is longer than a piece"));
        }
    }
    QVERIFY2(par2(dir.path(), {"verify", "-q", "data.splt.par2"}) == 0, par2Output.constData());

    damageAll(dir.path(), damaged);
    QVERIFY(par2(dir.path(), {"verify", "-q", "data.splt.par2"}) != 0);
    QVERIFY2(par2(dir.path(), {"repair", "-q", "data.splt.par2"}) == 0, par2Output.constData());
    comparePieces(dir.path(), pieces);

    damageAll(dir.path(), damaged);
    RunFolder folder = openFolder(dir.path());
    // Every recorded byte told once, whatever is missing or cut short; a stop is a stop.
    std::mutex told;
    std::uint64_t done = 0, total = 0;
    auto scan =
        Recovery::scan(folder, "data.splt.par2", Recovery::Depth::Crc32AndMd5, [&](std::uint64_t d, std::uint64_t t) {
            std::lock_guard guard(told);
            done = std::max(done, d);
            total = t;
            return true;
        });
    QVERIFY2(scan, scan ? "" : scan.fault().description().c_str());
    QCOMPARE(done, 4 * std::uint64_t(chunk) + 300000);
    QCOMPARE(total, done);
    auto stopped = Recovery::scan(folder, "data.splt.par2", Recovery::Depth::Crc32AndMd5,
                                  [](std::uint64_t, std::uint64_t) { return false; });
    QVERIFY(!stopped && stopped.fault().error == ECANCELED);
    QCOMPARE(static_cast<int>(scan->piecesToRebuild()), piecesToRebuild);
    QCOMPARE(static_cast<int>(scan->slicesToRebuild), slicesToRebuild);
    QCOMPARE(static_cast<int>(scan->recoveryAvailable), 4);
    QVERIFY(scan->repairable());
    auto quick = Recovery::scan(folder, "data.splt.par2", Recovery::Depth::Crc32);
    QVERIFY(quick && quick->slicesToRebuild == scan->slicesToRebuild);
    auto repaired = Recovery::repair(folder, *scan, {}, budget);
    QVERIFY2(repaired, repaired ? "" : repaired.fault().description().c_str());
    QCOMPARE(static_cast<int>(repaired->size()), piecesToRebuild);
    comparePieces(dir.path(), pieces);
    QStringList missing;
    for (const QString& part : damaged.split(',')) {
        if (part.endsWith(":missing")) {
            missing << pieceNames()[part.section(':', 0, 0).toInt()];
        }
    }
    for (const std::string& name : *repaired) {
        const QString piece = QString::fromStdString(name);
        QCOMPARE(QFileInfo::exists(dir.filePath(piece + ".damaged")), !missing.contains(piece));
    }
    auto again = Recovery::scan(folder, "data.splt.par2");
    QVERIFY(again && again->whole());
}

void TestRecovery::par2SetsRepaired_data() {
    QTest::addColumn<QStringList>("createArguments");
    QTest::addColumn<QString>("damaged");
    QTest::newRow("-s, one volume") << QStringList{"-s65536", "-c40", "-n1"} << "1:missing";
    QTest::newRow("-s, several volumes") << QStringList{"-s40000", "-c60"} << "0:cut,2:flipped";
    QTest::newRow("-s, uniform volumes") << QStringList{"-s100000", "-c30", "-u", "-n5"} << "3:empty";
    QTest::newRow("-b, block count") << QStringList{"-b200", "-c80"} << "1:missing,4:missing";
    QTest::newRow("-b, exactly enough") << QStringList{"-b100", "-c23", "-n3"} << "2:missing";
}

// par2's own recovery data, any slice size and any number of volumes.
void TestRecovery::par2SetsRepaired() {
    QFETCH(QStringList, createArguments);
    QFETCH(QString, damaged);
    QTemporaryDir dir;
    const QList<QByteArray> pieces = writePieces(dir.path());
    QCOMPARE(par2(dir.path(), QStringList{"create", "-q"} + createArguments + QStringList{"set.par2"} + pieceNames()),
             0);
    damageAll(dir.path(), damaged);
    RunFolder folder = openFolder(dir.path());
    auto scan = Recovery::scan(folder, "set.par2");
    QVERIFY2(scan, scan ? "" : scan.fault().description().c_str());
    QVERIFY(!scan->whole());
    QVERIFY2(
        scan->repairable(),
        qPrintable(
            QString("%1 slices to rebuild, %2 available").arg(scan->slicesToRebuild).arg(scan->recoveryAvailable)));
    auto repaired = Recovery::repair(folder, *scan);
    QVERIFY2(repaired, repaired ? "" : repaired.fault().description().c_str());
    comparePieces(dir.path(), pieces);
    QVERIFY2(par2(dir.path(), {"verify", "-q", "set.par2"}) == 0, par2Output.constData());
}

void TestRecovery::recoveryCounted_data() {
    QTest::addColumn<QString>("maker"); // quarnel, or par2's arguments
    QTest::addColumn<QString>("damaged");
    // A PAR file with a byte flipped, with "+" a packet of an unknown type added, with
    // "-" its last 100000 bytes cut off, or "stale": par2's recovery data for the same
    // pieces under the same name beside.
    QTest::addColumn<QString>("parDamage");
    QTest::addColumn<int>("slicesToRebuild");
    QTest::addColumn<int>("available");
    QTest::addColumn<int>("piecesMissing");
    QTest::newRow("ours, three pieces for two") << "quarnel"
                                                << "0:missing,1:flipped,2:cut"
                                                << "" << 4 << 4 << 0;
    QTest::newRow("ours, three whole pieces") << "quarnel"
                                              << "0:missing,1:missing,2:missing"
                                              << "" << 6 << 4 << 1;
    QTest::newRow("ours, a damaged volume is not counted") << "quarnel"
                                                           << "0:missing,1:missing"
                                                           << "data.splt.vol3+1.par2" << 4 << 3 << 1;
    QTest::newRow("ours, a damaged index: the volumes' copies serve") << "quarnel"
                                                                      << "1:missing"
                                                                      << "data.splt.par2" << 2 << 4 << 0;
    QTest::newRow("ours, the index's set, not a stale one") << "quarnel"
                                                            << "0:flipped"
                                                            << "stale" << 1 << 4 << 0;
    QTest::newRow("ours, a volume cut short") << "quarnel"
                                              << "2:empty"
                                              << "-data.splt.vol1+1.par2" << 2 << 3 << 0;
    QTest::newRow("ours, an unknown packet skipped") << "quarnel"
                                                     << "2:cut"
                                                     << "+data.splt.par2" << 1 << 4 << 0;
    // Only the slice's MD5 finds these: the scan must hash every slice, not trust the CRC32.
    QTest::newRow("ours, bytes that keep the CRC32") << "quarnel"
                                                     << "1:crc-kept"
                                                     << "" << 1 << 4 << 0;
    QTest::newRow("par2's, bytes that keep the CRC32 beside a cut") << "-s65536 -c16"
                                                                    << "0:crc-kept,3:cut,4:head"
                                                                    << "" << 9 << 16 << 0;
    QTest::newRow("par2's, one slice short") << "-s65536 -c16"
                                             << "2:missing"
                                             << "" << 17 << 16 << 1;
}

// The recovery slices counted past damaged and unknown packets. Recovery data that is
// enough repairs; data that is not says how much more is needed and changes no file.
void TestRecovery::recoveryCounted() {
    QFETCH(QString, maker);
    QFETCH(QString, damaged);
    QFETCH(QString, parDamage);
    QFETCH(int, slicesToRebuild);
    QFETCH(int, available);
    QFETCH(int, piecesMissing);
    QTemporaryDir dir;
    const QList<QByteArray> pieces = writePieces(dir.path());
    QString index = "data.splt.par2";
    if (parDamage == "stale") {
        QCOMPARE(par2(dir.path(), QStringList{"create", "-q", "-s65536", "-c40", index} + pieceNames()), 0);
    }
    if (maker == "quarnel") {
        QVERIFY(createFor(dir.path(), "data.splt", 2));
    } else {
        index = "set.par2";
        QCOMPARE(par2(dir.path(), QStringList{"create", "-q"} + maker.split(' ') + QStringList{index} + pieceNames()),
                 0);
    }
    damageAll(dir.path(), damaged);
    if (parDamage.startsWith('+')) {
        QByteArray bytes = Files::read(dir.filePath(parDamage.mid(1)));
        Par2::Hash setId;
        std::copy(bytes.begin() + 32, bytes.begin() + 48, setId.begin());
        const auto unknown = Par2::packet(setId, Par2::Type::Unknown, std::vector<unsigned char>(40, 7));
        bytes.prepend(
            QByteArray(reinterpret_cast<const char*>(unknown.data()), static_cast<qsizetype>(unknown.size())));
        Files::write(dir.filePath(parDamage.mid(1)), bytes);
    } else if (parDamage.startsWith('-')) {
        const QByteArray bytes = Files::read(dir.filePath(parDamage.mid(1)));
        Files::write(dir.filePath(parDamage.mid(1)), bytes.left(bytes.size() - 100000));
    } else if (!parDamage.isEmpty() && parDamage != "stale") {
        QByteArray bytes = Files::read(dir.filePath(parDamage));
        bytes[200] = static_cast<char>(bytes[200] ^ 1);
        Files::write(dir.filePath(parDamage), bytes);
    }
    QMap<QString, QByteArray> before;
    for (const QString& name : Files::entries(dir.path())) {
        before[name] = Files::read(dir.filePath(name));
    }
    RunFolder folder = openFolder(dir.path());
    auto scan = Recovery::scan(folder, Files::path(index));
    QVERIFY2(scan, scan ? "" : scan.fault().description().c_str());
    QCOMPARE(static_cast<int>(scan->slicesToRebuild), slicesToRebuild);
    QCOMPARE(static_cast<int>(scan->recoveryAvailable), available);
    QCOMPARE(static_cast<int>(scan->piecesMissing()), piecesMissing);
    QCOMPARE(scan->repairable(), slicesToRebuild <= available);
    if (scan->repairable()) {
        auto repaired = Recovery::repair(folder, *scan);
        QVERIFY2(repaired, repaired ? "" : repaired.fault().description().c_str());
        comparePieces(dir.path(), pieces);
        return;
    }
    auto repaired = Recovery::repair(folder, *scan);
    QVERIFY(!repaired);
    QVERIFY2(repaired.fault().description().find(std::to_string(piecesMissing) + " more are needed") !=
                 std::string::npos,
             repaired.fault().description().c_str());
    QMap<QString, QByteArray> after;
    for (const QString& name : Files::entries(dir.path())) {
        after[name] = Files::read(dir.filePath(name));
    }
    QVERIFY(after == before);
}

// A write that fails while a piece is rebuilt: the repair fails, and the damaged
// piece, every other file and the folder's names stay as they were.
void TestRecovery::fullDiskDuringRepairLosesNothing() {
    QTemporaryDir dir;
    writePieces(dir.path());
    QVERIFY(createFor(dir.path(), "data.splt", 2));
    damageAll(dir.path(), "1:flipped,3:missing");
    const QStringList names = Files::entries(dir.path());
    const QByteArray damagedBytes = Files::read(dir.filePath(pieceNames()[1]));
    RunFolder folder = openFolder(dir.path());
    auto scan = Recovery::scan(folder, "data.splt.par2");
    QVERIFY(scan && scan->repairable());
    {
        Files::FileSizeLimit full(chunk / 2);
        auto repaired = Recovery::repair(folder, *scan);
        QVERIFY(!repaired);
        QCOMPARE(repaired.fault().error, EFBIG);
    }
    QCOMPARE(Files::entries(dir.path()), names);
    QCOMPARE(Files::read(dir.filePath(pieceNames()[1])), damagedBytes);
}

// What a split writing a set anew removes first: the PAR files of that name, nothing else.
void TestRecovery::removeRecoveryRemovesOnlyTheSets() {
    QTemporaryDir dir;
    writePieces(dir.path());
    QVERIFY(createFor(dir.path(), "data.splt", 2));
    Files::write(dir.filePath("other.par2"), "kept");
    Files::write(dir.filePath("data.splt.volume.txt"), "kept");
    QVERIFY(QDir(dir.path()).mkdir("data.splt.vol9+1.par2"));
    QStringList expected = pieceNames() << "data.splt.vol9+1.par2"
                                        << "data.splt.volume.txt"
                                        << "other.par2";
    expected.sort();
    QVERIFY(Recovery::removeRecovery(openFolder(dir.path()), "data.splt"));
    QCOMPARE(Files::entries(dir.path()), expected);
}

void TestRecovery::sliceCheckAsAJoinFeedsIt_data() {
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<int>("feed"); // bytes a call
    QTest::addColumn<bool>("md5");
    QTest::newRow("whole, in 1 MiB blocks") << "" << 1024 * 1024 << true;
    QTest::newRow("flipped bytes, CRC32 alone") << "2:flipped" << 65537 << false;
    QTest::newRow("flipped bytes, 7 bytes a call") << "2:flipped" << 7 << true;
    QTest::newRow("cut short") << "0:cut" << 100000 << true;
    QTest::newRow("0 bytes, the short last piece flipped") << "3:empty,4:flipped" << 4096 << true;
    QTest::newRow("longer than recorded: its slices whole") << "1:long,3:long" << 65536 << true;
    QTest::newRow("side by side: first slices, second, a cut") << "0:head,1:flipped,2:cut,4:head" << 65536 << true;
}

// The pieces' bytes fed in any parts as a join copies them find what scan finds, and
// so does a check of them where a join appended them, one after another.
void TestRecovery::sliceCheckAsAJoinFeedsIt() {
    QFETCH(QString, damaged);
    QFETCH(int, feed);
    QFETCH(bool, md5);
    QTemporaryDir dir;
    writePieces(dir.path());
    QVERIFY(createFor(dir.path(), "data.splt", 1));
    damageAll(dir.path(), damaged);
    RunFolder folder = openFolder(dir.path());
    auto scan = Recovery::scan(folder, "data.splt.par2");
    QVERIFY(scan);
    QByteArray joined;
    for (std::size_t i = 0; i < scan->pieces.size(); ++i) {
        const Recovery::PieceState& piece = scan->pieces[i];
        Recovery::SliceCheck check(scan->set.files.at(scan->set.fileIds[i]), scan->set.sliceSize, md5);
        const QByteArray bytes = Files::read(dir.filePath(QString::fromStdString(piece.name)));
        for (qsizetype at = 0; at < bytes.size(); at += feed) {
            const QByteArray part = bytes.mid(at, feed);
            QVERIFY(check.update(part.constData(), static_cast<std::size_t>(part.size())));
        }
        auto bad = check.finish();
        QVERIFY(bad);
        QCOMPARE(*bad, piece.badSlices);
        joined += bytes;
    }
    Files::write(dir.filePath("joined"), joined);
    const int fd = ::open(QFile::encodeName(dir.filePath("joined")).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < scan->pieces.size(); ++i) {
        const Recovery::PieceState& piece = scan->pieces[i];
        const Result<bool> matches = Recovery::matchesPiece(fd, offset, piece.actualLength, *scan, i);
        QVERIFY(matches);
        QCOMPARE(*matches, piece.whole());
        offset += piece.actualLength;
    }
    ::close(fd);
}

void TestRecovery::crcFoldsAsZlib_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("misalign");   // bytes past an aligned start
    QTest::addColumn<quint32>("before"); // the CRC of bytes before them
    QTest::newRow("below the folding") << 255 << 0 << 0u;
    QTest::newRow("the least folded") << 256 << 0 << 0u;
    QTest::newRow("a tail of 15 after the folding") << 256 + 15 << 3 << 0x12345678u;
    QTest::newRow("single folds after the lanes") << 64 * 5 + 48 << 1 << 0u;
    QTest::newRow("a megabyte and 7, misaligned") << 1024 * 1024 + 7 << 5 << 0xcbf43926u;
    // Where the processor multiplies four lanes at once: sixteen lanes, then 64 and 16 bytes.
    QTest::newRow("the least in sixteen lanes") << 1024 << 0 << 0u;
    QTest::newRow("sixteen lanes, single folds and a tail") << 4096 + 192 + 48 + 9 << 3 << 0x12345678u;
}

// The folding CRC, where the processor has it, is zlib's wherever it starts and ends.
void TestRecovery::crcFoldsAsZlib() {
    QFETCH(int, size);
    QFETCH(int, misalign);
    QFETCH(quint32, before);
    const QByteArray bytes = Files::pattern(size + 32, 7);
    const char* start = bytes.constData() + (16 - reinterpret_cast<quintptr>(bytes.constData()) % 16) % 16 + misalign;
    QCOMPARE(Crc32::update(before, start, std::size_t(size)), Crc32::zlibUpdate(before, start, std::size_t(size)));
    // Split anywhere, the parts make the same CRC.
    const std::uint32_t first = Crc32::update(before, start, std::size_t(size / 3));
    QCOMPARE(Crc32::update(first, start + size / 3, std::size_t(size - size / 3)),
             Crc32::zlibUpdate(before, start, std::size_t(size)));
}

void TestRecovery::md5LanesAsLibcrypto_data() {
    QTest::addColumn<QList<int>>("sizes"); // one stream each, hashed side by side
    QTest::addColumn<int>("cut");          // given in parts of this size (0: at once)
    QTest::addColumn<Md5Lanes::Code>("code");
    // Each stream a range of a file, hashed by the recovery code's groups on every core.
    QTest::addColumn<bool>("fromFile");
    const QList<int> edges{0, 1, 55, 56, 63, 64, 65, 1024 * 1024 + 3};
    const QList<int> uneven{7, 3000, 64 * 33, 200000, 5, 64, 127, 128, 129, 70000, 70001};
    QTest::newRow("padding edges, at once") << edges << 0 << Md5Lanes::Code::best << false;
    QTest::newRow("padding edges, in parts of 100") << edges << 100 << Md5Lanes::Code::best << false;
    QTest::newRow("padding edges, AVX2 alone") << edges << 100 << Md5Lanes::Code::avx2 << false;
    QTest::newRow("more streams than lanes, all equal")
        << QList<int>(19, 64 * 1000) << 4096 << Md5Lanes::Code::best << false;
    QTest::newRow("more streams than lanes, uneven parts") << uneven << 6100 << Md5Lanes::Code::best << false;
    QTest::newRow("uneven parts, AVX2 alone") << uneven << 6100 << Md5Lanes::Code::avx2 << false;
    QTest::newRow("without lanes") << edges << 33 << Md5Lanes::Code::plain << false;
    QTest::newRow("file ranges, padding edges") << edges << 0 << Md5Lanes::Code::best << true;
    QTest::newRow("file ranges, more than a group") << QList<int>(19, 300000) << 0 << Md5Lanes::Code::best << true;
    QTest::newRow("file ranges, uneven, without lanes") << uneven << 0 << Md5Lanes::Code::plain << true;
    QTest::newRow("file ranges, some past the file's end")
        << QList<int>{5, 2 * 1024 * 1024, 64, 2 * 1024 * 1024 - 21, 2 * 1024 * 1024 - 27} << 0 << Md5Lanes::Code::best
        << true;
}

// The lanes' digests are libcrypto's for any length, start and way of giving the bytes.
void TestRecovery::md5LanesAsLibcrypto() {
    QFETCH(QList<int>, sizes);
    QFETCH(int, cut);
    QFETCH(Md5Lanes::Code, code);
    QFETCH(bool, fromFile);
    Md5Lanes::use(code);
    const QByteArray bytes = Files::pattern(2 * 1024 * 1024, 11);
    if (fromFile) {
        QTemporaryDir dir;
        Files::write(dir.filePath("bytes"), bytes);
        const int fd = ::open(QFile::encodeName(dir.filePath("bytes")).constData(), O_RDONLY | O_CLOEXEC);
        QVERIFY(fd >= 0);
        std::vector<Recovery::ByteRange> ranges;
        for (qsizetype i = 0; i < sizes.size(); ++i) {
            ranges.push_back({fd, std::uint64_t(i * 7 % 64), std::uint64_t(sizes[i])});
        }
        const auto digests = Recovery::md5Of(ranges);
        Md5Lanes::use(Md5Lanes::Code::best);
        ::close(fd);
        QVERIFY(digests);
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            const std::size_t end = ranges[i].offset + ranges[i].length;
            QCOMPARE((*digests)[i].has_value(), end <= std::size_t(bytes.size()));
            if (end <= std::size_t(bytes.size())) {
                QCOMPARE(*(*digests)[i], *Md5::of(bytes.constData() + ranges[i].offset, ranges[i].length));
            }
        }
        return;
    }
    std::vector<Md5Lanes::Stream> streams(std::size_t(sizes.size()));
    std::vector<std::size_t> given(streams.size(), 0);
    // Each stream starts a different number of bytes past an aligned one.
    auto start = [&](std::size_t i) { return reinterpret_cast<const unsigned char*>(bytes.constData()) + i * 7 % 64; };
    for (bool more = true; more;) {
        more = false;
        std::vector<Md5Lanes::Update> updates;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            const std::size_t left = std::size_t(sizes[qsizetype(i)]) - given[i];
            const std::size_t part = cut > 0 ? std::min(left, std::size_t(cut)) : left;
            if (part > 0 || (given[i] == 0 && left == 0)) {
                updates.push_back({&streams[i], start(i) + given[i], part});
                given[i] += part;
                more = more || given[i] < std::size_t(sizes[qsizetype(i)]);
            }
        }
        Md5Lanes::update(updates);
    }
    Md5Lanes::use(Md5Lanes::Code::best);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const auto expected = Md5::of(start(i), std::size_t(sizes[qsizetype(i)]));
        QVERIFY(expected);
        QCOMPARE(Md5Lanes::finish(streams[i]), *expected);
    }
}

void TestRecovery::joinRepairs_data() {
    // "quarnel N" for N lost pieces ("quarnel N numbered": a numbered set with its .crc
    // beside, no list), or par2's arguments
    QTest::addColumn<QString>("maker");
    QTest::addColumn<QString>("damaged");
    QTest::addColumn<bool>("stream");
    QTest::addColumn<bool>("sums");       // a checksum file beside the list, made before the damage
    QTest::addColumn<QString>("notices"); // besides the success: "rebuilt N", or the stop and "needed N"
    QTest::newRow("whole") << "quarnel 1"
                           << "" << false << false << "";
    QTest::newRow("a missing piece") << "quarnel 1"
                                     << "1:missing" << false << false << "rebuilt 1";
    QTest::newRow("flipped bytes") << "quarnel 1"
                                   << "3:flipped" << false << false << "rebuilt 1";
    QTest::newRow("the first piece cut short") << "quarnel 1"
                                               << "0:cut" << false << false << "rebuilt 1";
    QTest::newRow("the short last piece, 0 bytes") << "quarnel 1"
                                                   << "4:empty" << false << false << "rebuilt 1";
    QTest::newRow("two pieces") << "quarnel 2"
                                << "0:missing,4:flipped" << false << false << "rebuilt 2";
    QTest::newRow("par2's, missing and flipped") << "-s524344 -c4"
                                                 << "0:missing,2:flipped" << false << false << "rebuilt 2";
    QTest::newRow("flipped twice, within the recovery data") << "quarnel 1"
                                                             << "1:flipped,3:flipped" << false << false << "rebuilt 2";
    QTest::newRow("flipped, then a missing piece: written over mid-join")
        << "quarnel 2"
        << "1:flipped,3:missing" << false << false << "rebuilt 2";
    QTest::newRow("the short last piece flipped, found after the copy") << "quarnel 1"
                                                                        << "4:flipped" << false << false << "rebuilt 1";
    QTest::newRow("beyond, only flipped bytes: none stays")
        << "quarnel 1"
        << "0:flipped,1:flipped,2:flipped" << false << false << "damaged 0,needed 1";
    QTest::newRow("numbered, its .crc beside, flipped bytes") << "quarnel 1 numbered"
                                                              << "2:flipped" << false << false << "rebuilt 1";
    QTest::newRow("numbered, beyond, only flipped bytes")
        << "quarnel 1 numbered"
        << "1:flipped,2:flipped,4:flipped" << false << false << "damaged 1,needed 1";
    QTest::newRow("into a stream") << "quarnel 1"
                                   << "2:flipped" << true << false << "rebuilt 1";
    QTest::newRow("checksum file beside") << "quarnel 2"
                                          << "1:cut,2:flipped" << false << true << "rebuilt 2";
    QTest::newRow("into a stream, checksum file beside") << "quarnel 1"
                                                         << "3:flipped" << true << true << "rebuilt 1";
    QTest::newRow("beyond, a missing piece first") << "quarnel 1"
                                                   << "1:missing,3:flipped" << false << false << "missing 1,needed 1";
    QTest::newRow("beyond, damage only the slices show")
        << "quarnel 1"
        << "1:flipped,2:missing,3:missing" << false << false << "damaged 1,needed 2";
    QTest::newRow("beyond, into a stream") << "quarnel 1"
                                           << "2:flipped,3:missing" << true << false << "damaged 2,needed 1";
}

// A join of a set with recovery data beside it rebuilds what is missing or damaged and
// joins the exact file, the pieces left as they were; beyond the recovery data's
// reach it stops at the first bad piece, keeping only the good pieces before it.
void TestRecovery::joinRepairs() {
    QFETCH(QString, maker);
    QFETCH(QString, damaged);
    QFETCH(bool, stream);
    QFETCH(bool, sums);
    QFETCH(QString, notices);
    QTemporaryDir dir;
    const QString set = dir.filePath("set");
    QVERIFY(QDir().mkpath(set) && QDir().mkpath(dir.filePath("out")));
    const QList<QByteArray> pieces = writePieces(set);
    const bool numbered = maker.endsWith(" numbered");
    if (numbered) {
        const QByteArray whole = pieces.join();
        const std::uint32_t crc = Crc32::zlibUpdate(0, whole.constData(), std::size_t(whole.size()));
        Files::write(set + "/data.crc", "filename=data\r\nsize=" + QByteArray::number(whole.size()) +
                                            "\r\ncrc32=" + QByteArray::number(crc, 16).rightJustified(8, '0') + "\r\n");
    } else {
        Files::write(set + "/data.splt", pieceNames().join("\r\n").toUtf8() + "\r\n");
    }
    if (maker.startsWith("quarnel")) {
        QVERIFY(createFor(set, numbered ? "data" : "data.splt", maker.section(' ', 1, 1).toUInt()));
    } else {
        QVERIFY2(par2(set, QStringList{"create", "-q"} + maker.split(' ') + QStringList{"data.splt.par2"} +
                               pieceNames()) == 0,
                 par2Output.constData());
    }
    if (sums) {
        QByteArray lines;
        for (int i = 0; i < pieceCount; ++i) {
            lines += QCryptographicHash::hash(pieces[i], QCryptographicHash::Sha256).toHex() + "  " +
                     pieceNames()[i].toUtf8() + "\n";
        }
        Files::write(set + "/data.splt.sha256", lines);
    }
    damageAll(set, damaged);
    QMap<QString, QByteArray> before;
    for (const QString& name : Files::entries(set)) {
        before[name] = Files::read(set + "/" + name);
    }

    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    const QString output = dir.filePath("out/data");
    const std::string manifest = Files::path(set + (numbered ? "/data.001" : "/data.splt"));
    SplitMergeFile::Outcome outcome;
    if (stream) {
        const int fd = ::open(QFile::encodeName(output).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        outcome = SplitMergeFile::JoinToStream(manifest, fd, "-", host);
        ::close(fd);
    } else {
        outcome = SplitMergeFile::JoinFiles(manifest, host.folder, host);
    }

    QVERIFY2(host.reports.empty(), host.reports.empty() ? "" : host.reports.front().description.c_str());
    std::vector<std::string> expected;
    QByteArray joined;
    int kept = pieceCount;
    for (const QString& notice : notices.split(',', Qt::SkipEmptyParts)) {
        const std::string n = notice.section(' ', 1).toStdString();
        const std::string piece = Files::path(set + "/" + pieceNames()[notice.section(' ', 1).toInt()]);
        if (notice.startsWith("rebuilt")) {
            expected.push_back(Messages::text({NoticeId::PiecesRebuilt, {n}}));
        } else if (notice.startsWith("needed")) {
            expected.push_back(Messages::text({NoticeId::RecoveryNotEnough, {n}}));
        } else {
            kept = notice.section(' ', 1).toInt();
            expected.push_back(Messages::text(
                {notice.startsWith("missing") ? NoticeId::PieceMissing : NoticeId::PieceDamaged, {piece}}));
        }
    }
    for (int i = 0; i < kept; ++i) {
        joined += pieces[i];
    }
    if (kept == pieceCount) {
        expected.push_back(Messages::text({NoticeId::JoinSucceeded}));
    }
    QVERIFY2(host.messages == expected, host.messages.empty() ? "none" : host.messages.front().c_str());
    QCOMPARE(outcome == SplitMergeFile::Outcome::Succeeded, kept == pieceCount);
    QVERIFY(Files::read(output) == joined);
    QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"data"});
    QCOMPARE(Files::entries(set), before.keys());
    for (auto it = before.begin(); it != before.end(); ++it) {
        QVERIFY2(Files::read(set + "/" + it.key()) == it.value(), qPrintable(it.key() + " changed"));
    }
}

void TestRecovery::combineMatchesWordByWord_data() {
    QTest::addColumn<int>("inputs");
    QTest::addColumn<int>("outputs");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("memory"); // 0: the default
    QTest::newRow("one stripe, one batch") << 3 << 2 << 12296 << 0;
    QTest::newRow("many batches and stripes, a short last tile") << 40 << 3 << 200004 << 256 * 1024;
    QTest::newRow("a budget smaller than a tile") << 5 << 4 << 70000 << 16 * 1024;
    QTest::newRow("more outputs than the cache holds tiles of") << 6 << 100 << 50000 << 1024 * 1024;
    QTest::newRow("a slice shorter than a tile") << 7 << 5 << 1000 << 0;
}

// Every way combine cuts the work (tiles, stripes, batches, the reads ahead) gives each
// output the sum of its inputs times their coefficients, word by word, written in order.
void TestRecovery::combineMatchesWordByWord() {
    QFETCH(int, inputs);
    QFETCH(int, outputs);
    QFETCH(int, length);
    QFETCH(int, memory);
    QVERIFY(Gf16::init());
    std::vector<QByteArray> data;
    for (int i = 0; i < inputs; ++i) {
        data.push_back(Files::pattern(length, 100 + i));
    }
    Recovery::Combination c;
    c.inputs = static_cast<std::size_t>(inputs);
    c.outputs = static_cast<std::size_t>(outputs);
    c.length = static_cast<std::uint64_t>(length);
    for (int k = 0; k < inputs * outputs; ++k) {
        c.coefficients.push_back(static_cast<std::uint16_t>(k % 7 == 0 ? 1 : 40503 * (k + 1)));
    }
    c.read = [&](std::size_t i, std::uint64_t offset, std::size_t size, unsigned char* buffer) -> Status {
        std::memcpy(buffer, data[i].constData() + offset, size);
        return {};
    };
    std::vector<QByteArray> written(c.outputs);
    std::mutex lock;
    c.write = [&](std::size_t o, std::uint64_t offset, std::size_t size, const unsigned char* bytes) -> Status {
        std::lock_guard guard(lock);
        if (offset != static_cast<std::uint64_t>(written[o].size())) {
            return Fault::because("written out of order");
        }
        written[o].append(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(size));
        return {};
    };
    Status done = memory > 0 ? Recovery::combine(c, static_cast<std::size_t>(memory)) : Recovery::combine(c);
    QVERIFY2(done, done ? "" : done.fault().description().c_str());
    auto word = [](const QByteArray& bytes, int w) {
        return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * w]) |
                                          static_cast<unsigned char>(bytes[2 * w + 1]) << 8);
    };
    for (int o = 0; o < outputs; ++o) {
        QCOMPARE(written[o].size(), length);
        for (int w = 0; w < length / 2; ++w) {
            std::uint16_t sum = 0;
            for (int i = 0; i < inputs; ++i) {
                sum ^= Gf16::multiply(c.coefficients[o * inputs + i], word(data[i], w));
            }
            if (word(written[o], w) != sum) {
                QFAIL(qPrintable(QString("output %1 differs at word %2").arg(o).arg(w)));
            }
        }
    }
}

QTEST_APPLESS_MAIN(TestRecovery)
#include "TestRecovery.moc"
