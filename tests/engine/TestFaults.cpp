#include <cerrno>
#include <cstring>
#include <functional>

#include <dlfcn.h>

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "engine/recovery/Recovery.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

// Faults of the system under the engine: writes that take nothing, closes that fail, a
// file system without unnamed files, a failing flush, a process killed mid-run. Runs with the
// fault shim preloaded (see FaultShim.cpp).
class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void failingWriteOrClose_data();
    void failingWriteOrClose();
    void noUnnamedFiles_data();
    void noUnnamedFiles();
    void flushBeforeReplacing_data();
    void flushBeforeReplacing();
    void killedMidRun_data();
    void killedMidRun();
    void copyFallsBack_data();
    void copyFallsBack();
    void checksumFailures_data();
    void checksumFailures();
    void joinReadsAheadOnlyWhatItCopies_data();
    void joinReadsAheadOnlyWhatItCopies();
    void recoveryFaults_data();
    void recoveryFaults();
};

namespace {

// Injects a fault for the lifetime of the object.
class InjectedFault {
public:
    explicit InjectedFault(const char* name) { qputenv("QUARNEL_FAULT", name); }
    ~InjectedFault() { qunsetenv("QUARNEL_FAULT"); }
    InjectedFault(const InjectedFault&) = delete;
    InjectedFault& operator=(const InjectedFault&) = delete;
};

// A folder "set" holding the pieces of `chunk` bytes of `data` named "f", and an empty
// "out". Splits `data` into set/; with `earlier`, out/ already holds a file of the
// joined name.
bool makeSet(const QTemporaryDir& dir, const QByteArray& data, bool earlier = false, int chunk = 100,
             bool checksums = false) {
    QDir().mkpath(dir.filePath("set"));
    QDir().mkpath(dir.filePath("out"));
    Files::write(dir.filePath("f"), data);
    if (earlier) {
        Files::write(dir.filePath("out/f"), "earlier");
    }
    RecordingHost host;
    host.folder = Files::path(dir.filePath("set"));
    return SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), chunk, host.folder, host, checksums) ==
           Outcome::Succeeded;
}

Outcome join(const QTemporaryDir& dir, RecordingHost& host) {
    host.folder = Files::path(dir.filePath("out"));
    return SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/f.splt")), host.folder, host);
}

Outcome split(const QTemporaryDir& dir, RecordingHost& host, int chunk = 100, bool checksums = false) {
    host.folder = Files::path(dir.filePath("set"));
    return SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), chunk, host.folder, host, checksums);
}

// How often the shim saw `call` since it was last asked.
long counted(const char* call) {
    static const auto count = reinterpret_cast<long (*)(const char*)>(::dlsym(RTLD_DEFAULT, "quarnel_fault_count"));
    return count(call);
}

QByteArray sha256(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The pieces of set/ joined, and the checksum file a split of `data` into pieces of
// `chunk` bytes writes.
QByteArray joinedPieces(const QTemporaryDir& dir, int pieces) {
    QByteArray joined;
    for (int i = 1; i <= pieces; ++i) {
        joined += Files::read(dir.filePath("set/f_splt" + QString::number(i)));
    }
    return joined;
}

QByteArray checksumFile(const QByteArray& data, int chunk) {
    QByteArray text;
    for (qsizetype i = 0; i * chunk < data.size(); ++i) {
        text += sha256(data.mid(i * chunk, chunk)) + "  f_splt" + QByteArray::number(i + 1) + "\n";
    }
    return text + sha256(data) + "  f\n";
}

} // namespace

void TestFaults::initTestCase() {
    if (!qEnvironmentVariable("LD_PRELOAD").contains("fault_shim")) {
        QSKIP("needs the fault shim preloaded; run through ctest");
    }
}

void TestFaults::failingWriteOrClose_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("earlier"); // a file "out/f" before the run
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("error"); // 0: the file system accepted nothing
    QTest::addColumn<int>("turns");
    QTest::addColumn<QStringList>("setAfter");
    const QStringList pieces{"f_splt1", "f_splt2", "f_splt3"};
    const QStringList set = QStringList{"f.splt"} + pieces;
    const auto row = [](const QString& name, const char* run, const QString& fault, bool earlier, int step,
                        const char* file, int error, int turns, const QStringList& setAfter) {
        QTest::newRow(qPrintable(name)) << run << fault << earlier << step << file << error << turns << setAfter;
    };
    row("split", "split", "write-nothing", true, 122, "set/f_splt1", 0, 1, pieces);
    row("join", "join", "write-nothing", true, 144, "out/f", 0, 1, set);
    // The last close of a file that has a name already: the name is taken back.
    for (const QString tmpfile : {"", ",no-tmpfile"}) {
        const QString path = tmpfile.isEmpty() ? ", unnamed" : ", hidden name";
        const QString close = "close-fails-1" + tmpfile;
        row("split" + path + ": the list's close", "split", close, false, 138, "set/f.splt", EIO, 3, pieces);
        row("split" + path + ": the checksum file's close", "split checksums", "close-fails-2" + tmpfile, false, 138,
            "set/f.splt.sha256", EIO, 3, set);
        row("join" + path + ": the close", "join", close, false, 154, "out/f", EIO, 3, set);
        row("join" + path + ": the close before replacing", "join", close, true, 154, "out/f", EIO, 3, set);
    }
}

void TestFaults::failingWriteOrClose() {
    QFETCH(QString, run);
    QFETCH(QString, fault);
    QFETCH(bool, earlier);
    QFETCH(int, step);
    QFETCH(QString, file);
    QFETCH(int, error);
    QFETCH(int, turns);
    QFETCH(QStringList, setAfter);
    QTemporaryDir dir;
    QVERIFY(makeSet(dir, Files::pattern(300), earlier));
    RecordingHost host;
    const Outcome outcome = [&] {
        const InjectedFault active(qPrintable(fault));
        return run == "join" ? join(dir, host) : split(dir, host, 100, run == "split checksums");
    }();
    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, step);
    QCOMPARE(host.reports[0].description,
             error == 0 ? Files::path(dir.filePath(file)) + ": The file system accepted none of the bytes written."
                        : Files::failure(dir.filePath(file), error));
    QVERIFY(host.messages.empty());
    QCOMPARE(host.turns, turns);
    QCOMPARE(Files::entries(dir.filePath("set")), setAfter);
    QCOMPARE(Files::read(dir.filePath("out/f")), earlier ? QByteArray("earlier") : QByteArray("<missing>"));
    QCOMPARE(Files::entries(dir.filePath("out")), earlier ? QStringList{"f"} : QStringList{});
}

void TestFaults::noUnnamedFiles_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<bool>("earlier"); // a file "out/f" before the run
    QTest::addColumn<int>("stopAt");   // the host's turn that stops the run; 0: none
    QTest::addColumn<qint64>("diskFull");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QByteArray>("outF"); // what "out/f" holds afterwards
    const QByteArray data = Files::pattern(300);
    QTest::newRow("split") << "split" << false << 0 << qint64(0) << int(Outcome::Succeeded) << QByteArray("<missing>");
    QTest::newRow("split stopped") << "split" << false << 2 << qint64(0) << int(Outcome::Stopped)
                                   << QByteArray("<missing>");
    QTest::newRow("join") << "join" << false << 0 << qint64(0) << int(Outcome::Succeeded) << data;
    QTest::newRow("join over an earlier file") << "join" << true << 0 << qint64(0) << int(Outcome::Succeeded) << data;
    QTest::newRow("join stopped") << "join" << false << 3 << qint64(0) << int(Outcome::Stopped) << data.left(200);
    QTest::newRow("join stopped, earlier file")
        << "join" << true << 3 << qint64(0) << int(Outcome::Stopped) << QByteArray("earlier");
    QTest::newRow("join to a full disk") << "join" << true << 0 << qint64(150) << int(Outcome::Failed)
                                         << QByteArray("earlier");
}

// Where the file system has no unnamed files, the hidden temporary names go as well.
void TestFaults::noUnnamedFiles() {
    QFETCH(QString, run);
    QFETCH(bool, earlier);
    QFETCH(int, stopAt);
    QFETCH(qint64, diskFull);
    QFETCH(int, outcome);
    QFETCH(QByteArray, outF);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    QVERIFY(makeSet(dir, data, earlier));
    RecordingHost host;
    QStringList duringRun;
    host.onTurn = [&](int turn) {
        duringRun = Files::entries(dir.filePath(run == "split" ? "set" : "out"));
        return turn != stopAt;
    };
    const Outcome result = [&] {
        const InjectedFault fault("no-tmpfile");
        std::unique_ptr<Files::FileSizeLimit> full;
        if (diskFull > 0) {
            full = std::make_unique<Files::FileSizeLimit>(diskFull);
        }
        return run == "split" ? split(dir, host) : join(dir, host);
    }();
    QCOMPARE(int(result), outcome);
    QVERIFY2(!duringRun.filter(QRegularExpression("^\\.quarnel-[0-9a-f]{8}$")).isEmpty(),
             qPrintable(duringRun.join(' ')));
    QCOMPARE(Files::read(dir.filePath("out/f")), outF);
    // A stopped split leaves no list; nothing hidden is left anywhere.
    const QStringList pieces{"f_splt1", "f_splt2", "f_splt3"};
    QCOMPARE(Files::entries(dir.filePath("set")),
             run == "split" && stopAt > 0 ? pieces : QStringList{"f.splt"} + pieces);
    QCOMPARE(Files::entries(dir.filePath("out")), outF == "<missing>" ? QStringList{} : QStringList{"f"});
}

void TestFaults::flushBeforeReplacing_data() {
    QTest::addColumn<bool>("earlier");
    QTest::newRow("replacing an earlier file") << true;
    QTest::newRow("no earlier file: no flush") << false;
}

void TestFaults::flushBeforeReplacing() {
    QFETCH(bool, earlier);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    QVERIFY(makeSet(dir, data, earlier));
    RecordingHost host;
    const Outcome outcome = [&] {
        const InjectedFault fault("fdatasync-fails");
        return join(dir, host);
    }();
    QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"f"});
    if (!earlier) {
        QCOMPARE(outcome, Outcome::Succeeded);
        QCOMPARE(Files::read(dir.filePath("out/f")), data);
        return;
    }
    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 154);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("out/f"), EIO));
    QCOMPARE(Files::read(dir.filePath("out/f")), QByteArray("earlier"));
}

void TestFaults::killedMidRun_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<bool>("earlier");
    QTest::addColumn<bool>("unnamed"); // whether the file system has unnamed files
    QTest::newRow("join") << "join" << false << true;
    QTest::newRow("join over an earlier file") << "join" << true << true;
    QTest::newRow("split") << "split" << false << true;
    // A hidden name is left behind; the next run into the folder removes it.
    QTest::newRow("join, hidden names") << "join" << false << false;
    QTest::newRow("join over an earlier file, hidden names") << "join" << true << false;
    QTest::newRow("split, hidden names") << "split" << false << false;
}

void TestFaults::killedMidRun() {
    QFETCH(QString, run);
    QFETCH(bool, earlier);
    QFETCH(bool, unnamed);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    QVERIFY(makeSet(dir, data, earlier));
    const QString folder = dir.filePath(run == "split" ? "set" : "out");
    // Names near the hidden form, and that form on what is no regular file: none is
    // a leftover.
    const QStringList others{".quarnel-0000000", ".quarnel-000000000", ".quarnel-0000000g", ".quarnel-0000000A",
                             "quarnel-00000000", ".quarnel-11111111",  ".quarnel-22222222"};
    for (const QString& name : others.mid(0, 5)) {
        Files::write(folder + "/" + name, "mine");
    }
    QVERIFY(QDir().mkdir(folder + "/.quarnel-11111111"));
    QVERIFY(QFile::link(dir.filePath("f"), folder + "/.quarnel-22222222"));
    {
        // Between the second and the third piece, until killed.
        Files::PausedChild child([&](const std::function<void()>& pause) {
            if (!unnamed) {
                qputenv("QUARNEL_FAULT", "no-tmpfile");
            }
            RecordingHost host;
            host.onTurn = [&](int turn) {
                if (turn == 3) {
                    pause();
                }
                return true;
            };
            run == "split" ? split(dir, host) : join(dir, host);
            return false;
        });
        QVERIFY(child.paused());
        QVERIFY(child.kill());
    }

    QStringList leftovers = Files::entries(folder).filter(QRegularExpression("^\\.quarnel-[0-9a-f]{8}$"));
    for (const QString& name : others) {
        leftovers.removeOne(name);
    }
    QCOMPARE(leftovers.size(), unnamed ? 0 : 1);
    QStringList after = Files::entries(folder);
    for (const QString& name : others + leftovers) {
        after.removeOne(name);
    }
    if (run == "split") {
        // Two new pieces, the earlier third one, no list: nothing passes the set as whole.
        QCOMPARE(after, (QStringList{"f_splt1", "f_splt2", "f_splt3"}));
    } else {
        QCOMPARE(after, earlier ? QStringList{"f"} : QStringList{});
        QCOMPARE(Files::read(dir.filePath("out/f")), earlier ? QByteArray("earlier") : QByteArray("<missing>"));
    }

    // The next run holds the folder's lock: what it finds of the hidden form was left by
    // a run that was killed.
    RecordingHost next;
    QCOMPARE(run == "split" ? split(dir, next) : join(dir, next), Outcome::Succeeded);
    QStringList expected =
        others + (run == "split" ? QStringList{"f.splt", "f_splt1", "f_splt2", "f_splt3"} : QStringList{"f"});
    expected.sort();
    QCOMPARE(Files::entries(folder), expected);
}

void TestFaults::copyFallsBack_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("run"); // "split" or "join", "checked" with checksums
    QTest::addColumn<int>("chunk");
    QTest::addColumn<int>("step");   // of the failure; 0: the run succeeds
    QTest::addColumn<int>("clones"); // tried; -1: not counted
    QTest::addColumn<int>("cloned");
    QTest::addColumn<int>("copyRanges"); // copy_file_range calls; -1: not counted
    // 12388 bytes: three whole blocks of 4096 and a short last piece.
    // A local file system copies by read/write, a network one through copy_file_range.
    QTest::newRow("cannot clone: copied") << "clone-eopnotsupp"
                                          << "split" << 4096 << 0 << 1 << 0 << 0;
    QTest::newRow("cannot clone, network file system") << "clone-eopnotsupp,remote-fs"
                                                       << "join checked" << 4096 << 0 << 1 << 0 << 4;
    QTest::newRow("a range refused: tried again with the next piece") << "clone-einval"
                                                                      << "join checked" << 4096 << 0 << 4 << 0 << -1;
    QTest::newRow("split cloned") << "fake-clone"
                                  << "split" << 4096 << 0 << 4 << 4 << 0;
    QTest::newRow("split cloned, checked") << "fake-clone"
                                           << "split checked" << 4096 << 0 << 4 << 4 << 0;
    QTest::newRow("join cloned") << "fake-clone"
                                 << "join" << 4096 << 0 << 4 << 4 << 0;
    QTest::newRow("join cloned, checked") << "fake-clone"
                                          << "join checked" << 4096 << 0 << 4 << 4 << 0;
    // Only the first piece lies on a block and runs to its file's end.
    QTest::newRow("join of unaligned pieces") << "fake-clone"
                                              << "join checked" << 100 << 0 << 1 << 1 << -1;
    QTest::newRow("split of unaligned pieces") << "fake-clone"
                                               << "split" << 1000 << 0 << 1 << 0 << -1;
    // A join copies through copy_file_range on this machine too; where that fails,
    // read/write tells the source's faults from the destination's, or carries on.
    QTest::newRow("join, cannot clone: copy_file_range") << "clone-eopnotsupp"
                                                         << "join" << 4096 << 0 << 1 << 0 << 4;
    QTest::newRow("copy_file_range fails on this machine: read/write") << "clone-eopnotsupp,copy-range-eio"
                                                                       << "join checked" << 4096 << 0 << 1 << 0 << 1;
    const char* noClone = "clone-eopnotsupp,remote-fs,";
    QTest::newRow("no copy_file_range across file systems: read/write") << QString(noClone) + "copy-range-exdev"
                                                                        << "split" << 4096 << 0 << 1 << 0 << 1;
    QTest::newRow("copy_file_range refuses the files") << QString(noClone) + "copy-range-einval"
                                                       << "join checked" << 100 << 0 << 1 << 0 << 1;
    QTest::newRow("copy_file_range fails: a write failure, split") << QString(noClone) + "copy-range-eio"
                                                                   << "split" << 4096 << 122 << 1 << 0 << 1;
    QTest::newRow("copy_file_range fails: a write failure, join") << QString(noClone) + "copy-range-eio"
                                                                  << "join" << 4096 << 144 << 1 << 0 << 1;
}

// Every way of copying gives the same bytes, and the same checksums: a clone, where
// the file system allows it, copy_file_range where it cannot clone, read/write where
// copy_file_range cannot serve the files.
void TestFaults::copyFallsBack() {
    QFETCH(QString, fault);
    QFETCH(QString, run);
    QFETCH(int, chunk);
    QFETCH(int, step);
    QFETCH(int, clones);
    QFETCH(int, cloned);
    QFETCH(int, copyRanges);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(3 * 4096 + 100);
    const bool checked = run.endsWith("checked");
    const bool splitting = run.startsWith("split");
    if (splitting) {
        QVERIFY(QDir().mkpath(dir.filePath("set")));
        Files::write(dir.filePath("f"), data);
    } else {
        QVERIFY(makeSet(dir, data, false, chunk, checked));
    }
    for (const char* call : {"clones", "cloned", "copy_file_range"}) {
        counted(call);
    }
    RecordingHost host;
    const Outcome outcome = [&] {
        const InjectedFault injected(fault.toLatin1().constData());
        return splitting ? split(dir, host, chunk, checked) : join(dir, host);
    }();
    const long tried = counted("clones");
    QCOMPARE(counted("cloned"), cloned);
    QVERIFY2(clones < 0 || tried == clones, qPrintable(QString::number(tried)));
    QVERIFY(copyRanges < 0 || counted("copy_file_range") == copyRanges);
    if (step != 0) {
        QCOMPARE(outcome, Outcome::Failed);
        QCOMPARE(host.reports.size(), std::size_t{1});
        QCOMPARE(host.reports[0].step, step);
        QCOMPARE(host.reports[0].description, Files::failure(dir.filePath(splitting ? "set/f_splt1" : "out/f"), EIO));
        return;
    }
    QCOMPARE(outcome, Outcome::Succeeded);
    QVERIFY(host.reports.empty());
    if (!splitting) {
        QCOMPARE(Files::read(dir.filePath("out/f")), data);
        return;
    }
    QCOMPARE(joinedPieces(dir, int((data.size() + chunk - 1) / chunk)), data);
    QCOMPARE(Files::read(dir.filePath("set/f.splt.sha256")), checked ? checksumFile(data, chunk) : "<missing>");
}

void TestFaults::checksumFailures_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("run");    // "split", "join" or "verify", "plain" without checksums
    QTest::addColumn<QString>("reason"); // why no checksum could be computed; empty: it could
    const QString openssl = "OpenSSL's SHA-256 failed";
    const QString threads = std::strerror(EAGAIN);
    const QString read = std::strerror(EIO);
    for (const QString run : {"split", "join", "verify"}) {
        QTest::addRow("OpenSSL fails, %s", qPrintable(run)) << "digest-fails" << run << openssl;
        QTest::addRow("no thread, %s", qPrintable(run)) << "no-threads" << run << threads;
        // Verify names the pieces it could not read.
        QTest::addRow("a hashing read fails, %s", qPrintable(run))
            << "hash-read-fails" << run << (run == "verify" ? QString() : read);
    }
    // Pieces not in the page cache, hashed as they are read around it.
    for (const QString run : {"cold join", "cold verify"}) {
        QTest::addRow("OpenSSL fails, %s", qPrintable(run)) << "digest-fails" << run << openssl;
        QTest::addRow("a hashing read fails, %s", qPrintable(run))
            << "hash-read-fails" << run << (run.endsWith("verify") ? QString() : read);
    }
    QTest::newRow("no thread, plain split") << "no-threads"
                                            << "plain split" << QString();
    QTest::newRow("no thread, plain join") << "no-threads"
                                           << "plain join" << QString();
    QTest::newRow("OpenSSL fails, plain join") << "digest-fails"
                                               << "plain join" << QString();
}

// A checksum that cannot be computed fails the run, naming the checksum: the split
// leaves no list that would pass its pieces as whole, the join nothing unchecked under
// the output name. Runs without checksums need neither threads nor OpenSSL.
void TestFaults::checksumFailures() {
    QFETCH(QString, fault);
    QFETCH(QString, run);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const bool cold = run.startsWith("cold");
    const int chunk = cold ? 1 << 20 : 100;
    const int pieces = cold ? 5 : 3;
    const QByteArray data = Files::pattern(qint64(pieces - 1) * chunk + (cold ? 300001 : 100));
    const bool checksums = !run.startsWith("plain");
    if (run.endsWith("split")) {
        QVERIFY(QDir().mkpath(dir.filePath("set")));
        Files::write(dir.filePath("f"), data);
    } else {
        QVERIFY(makeSet(dir, data, true, chunk, checksums));
    }
    for (int i = 1; cold && i <= pieces; ++i) {
        if (!Files::dropFromCache(dir.filePath("set/f_splt" + QString::number(i)))) {
            QSKIP("this file system keeps the pieces in the page cache");
        }
    }
    const std::string manifest = Files::path(dir.filePath("set/f.splt"));
    RecordingHost host;
    std::vector<Verify::Finding> findings;
    Result<Verify::Summary> verdict = Verify::Summary();
    Outcome outcome = Outcome::Succeeded;
    {
        const InjectedFault injected(fault.toLatin1().constData());
        if (run.endsWith("verify")) {
            verdict = Verify::VerifySet(manifest, [&](const Verify::Finding& finding) { findings.push_back(finding); });
        } else {
            outcome = run.endsWith("split") ? split(dir, host, 100, checksums) : join(dir, host);
        }
    }
    const std::string why = "The checksum could not be computed: " + reason.toStdString();
    if (run.endsWith("verify")) {
        QCOMPARE(verdict.ok(), reason.isEmpty());
        QCOMPARE(verdict ? std::string() : verdict.fault().description(),
                 reason.isEmpty() ? std::string() : manifest + ": " + why);
        QCOMPARE(findings.size(), std::size_t(reason.isEmpty() ? pieces : 0));
        for (const Verify::Finding& finding : findings) {
            QCOMPARE(finding.problem, Verify::Finding::Problem::Unreadable);
            QCOMPARE(finding.error, EIO);
        }
        return;
    }
    if (reason.isEmpty()) {
        QCOMPARE(outcome, Outcome::Succeeded);
        QVERIFY(host.reports.empty());
        QCOMPARE(run.endsWith("split") ? joinedPieces(dir, 3) : Files::read(dir.filePath("out/f")), data);
        return;
    }
    QCOMPARE(outcome, Outcome::Failed);
    QVERIFY(host.messages.empty());
    QCOMPARE(host.reports.size(), std::size_t{1});
    if (run == "split") {
        QCOMPARE(host.reports[0].step, 120);
        QCOMPARE(host.reports[0].description, Files::path(dir.filePath("f")) + ": " + why);
        QVERIFY(!Files::entries(dir.filePath("set")).contains("f.splt"));
        QVERIFY(!Files::entries(dir.filePath("set")).contains("f.splt.sha256"));
    } else {
        QCOMPARE(host.reports[0].step, 140);
        QCOMPARE(host.reports[0].description, Files::path(dir.filePath("out/f")) + ": " + why);
        QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"f"});
        QCOMPARE(Files::read(dir.filePath("out/f")), QByteArray("earlier"));
    }
}

void TestFaults::joinReadsAheadOnlyWhatItCopies_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("readAhead"); // asked of the kernel
    QTest::newRow("copied pieces") << "clone-eopnotsupp" << 4096 << true;
    QTest::newRow("pieces that clone") << "fake-clone" << 4096 << false;
    QTest::newRow("unaligned pieces: the first clones, the rest are copied") << "fake-clone" << 4000 << true;
    // Verify reads them too, with its checksum file.
    const int large = (1 << 20) + 4096;
    QTest::newRow("large pieces: read around the page cache") << "clone-eopnotsupp" << large << false;
    QTest::newRow("large pieces where that is refused") << "clone-eopnotsupp,no-direct" << large << true;
}

// Pieces not in the page cache are read ahead where they are copied, never where they
// clone, since a clone reads nothing; and each is opened once.
void TestFaults::joinReadsAheadOnlyWhatItCopies() {
    QFETCH(QString, fault);
    QFETCH(int, chunk);
    QFETCH(bool, readAhead);
    QTemporaryDir dir;
    const bool large = chunk > (1 << 20);
    const int pieces = large ? 12 : 64;
    const QByteArray data = Files::pattern(qint64(pieces) * chunk);
    QVERIFY(makeSet(dir, data, false, chunk, large));
    const auto dropPieces = [&] {
        for (int i = 1; i <= pieces; ++i) {
            if (!Files::dropFromCache(dir.filePath("set/f_splt" + QString::number(i)))) {
                return false;
            }
        }
        return true;
    };
    if (!dropPieces()) {
        QSKIP("this file system keeps the pieces in the page cache");
    }
    if (large) {
        std::vector<Verify::Finding> findings;
        const InjectedFault injected(fault.toLatin1().constData());
        const Result<Verify::Summary> verdict = Verify::VerifySet(
            Files::path(dir.filePath("set/f.splt")), [&](const Verify::Finding& found) { findings.push_back(found); });
        QVERIFY(verdict && verdict->checksummed && findings.empty());
        QVERIFY(dropPieces());
    }
    for (const char* call : {"read-ahead", "piece opens"}) {
        counted(call);
    }
    RecordingHost host;
    const Outcome outcome = [&] {
        const InjectedFault injected(fault.toLatin1().constData());
        return join(dir, host);
    }();
    QCOMPARE(outcome, Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath("out/f")), data);
    const long asked = counted("read-ahead");
    QVERIFY2(readAhead ? asked > 0 : asked == 0, qPrintable(QString::number(asked)));
    QCOMPARE(counted("piece opens"), long(pieces));
}

void TestFaults::recoveryFaults_data() {
    QTest::addColumn<QString>("fault");
    // "create", or "repair" or "join" of a set made without the fault
    QTest::addColumn<QString>("during");
    QTest::addColumn<int>("error"); // 0: it succeeds all the same
    for (const QString during : {"create", "repair", "join"}) {
        QTest::addRow("no thread, %s", qPrintable(during)) << "no-threads" << during << 0;
        QTest::addRow("no unnamed files, %s", qPrintable(during)) << "no-tmpfile" << during << 0;
        QTest::addRow("a read on a worker fails, %s", qPrintable(during)) << "hash-read-fails" << during << EIO;
        QTest::addRow("a write takes nothing, %s", qPrintable(during)) << "write-nothing" << during << ENOSPC;
        QTest::addRow("OpenSSL fails, %s", qPrintable(during)) << "digest-fails" << during << -1;
    }
}

// Recovery data made and used where the system fails under it: a run that cannot finish
// fails with the system's reason and leaves no file it did not finish, a repair changes
// no file, a repairing join says no success; a run without threads or unnamed files
// does its work all the same.
void TestFaults::recoveryFaults() {
    QFETCH(QString, fault);
    QFETCH(QString, during);
    QFETCH(int, error);
    QTemporaryDir dir;
    QStringList names;
    std::vector<std::string> pieces;
    QList<QByteArray> bytes;
    for (int i = 0; i < 4; ++i) {
        names << QString("p.%1").arg(i);
        pieces.push_back(Files::path(names.last()));
        bytes << Files::pattern(100000, i);
        Files::write(dir.filePath(names.last()), bytes.last());
    }
    RunFolder folder;
    QVERIFY(folder.open(Files::path(dir.path())));
    const Recovery::Layout layout = Recovery::layoutFor({100000, 100000, 100000, 100000}, 100000, 2);
    // A join finds the recovery data by its list's name.
    const std::string base = during == "join" ? "p.splt" : "p";
    auto create = [&] { return Recovery::create(folder, base, pieces, layout); };
    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    if (during == "join") {
        Files::write(dir.filePath("p.splt"), names.join("\r\n").toUtf8() + "\r\n");
        QVERIFY(QDir().mkpath(dir.filePath("out")));
    }
    if (during != "create") {
        QVERIFY(create());
        // A join rebuilds its first piece before anything is written.
        QVERIFY(QFile::remove(dir.filePath(during == "join" ? "p.0" : "p.1")));
        Files::write(dir.filePath("p.3"), "short");
    }
    const QStringList before = Files::entries(dir.path());
    Fault failure;
    bool ok = false;
    {
        const InjectedFault injected(fault.toLatin1().constData());
        if (during == "create") {
            Status made = create();
            ok = made.ok();
            failure = made ? Fault() : made.fault();
        } else if (during == "join") {
            ok =
                SplitMergeFile::JoinFiles(Files::path(dir.filePath("p.splt")), host.folder, host) == Outcome::Succeeded;
            failure = host.reports.empty() ? Fault() : Fault::because(host.reports.front().description);
        } else {
            auto scan = Recovery::scan(folder, "p.par2");
            auto repaired = scan ? Recovery::repair(folder, *scan) : Result<std::vector<std::string>>(scan.fault());
            ok = repaired.ok();
            failure = repaired ? Fault() : repaired.fault();
        }
    }
    // Whether a read lands on a worker thread is the scheduler's choice: such a run may
    // pass, but never half-done.
    const bool mayPass = fault == "hash-read-fails";
    QVERIFY2(ok == (error == 0) || (ok && mayPass), failure.description().c_str());
    if (during == "join") {
        QVERIFY(!ok || host.reports.empty());
        if (!ok && error > 0) {
            // The piece named by its path, as the join names pieces.
            QVERIFY2(failure.reason.find(std::strerror(error)) != std::string::npos &&
                         failure.reason.rfind(Files::path(dir.path()) + "/p.", 0) == 0,
                     failure.reason.c_str());
        }
        QCOMPARE(Files::entries(dir.path()), before);
        QCOMPARE(Files::read(dir.filePath("p.3")), QByteArray("short"));
        if (ok) {
            QCOMPARE(Files::read(dir.filePath("out/p")), bytes.join());
            QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"p"});
        }
        return;
    }
    if (!ok && error > 0) {
        QCOMPARE(failure.error, error);
    }
    if (!ok) {
        QCOMPARE(Files::entries(dir.path()), before);
        return;
    }
    auto scan = Recovery::scan(folder, "p.par2");
    QVERIFY(scan && scan->whole());
    QCOMPARE(static_cast<int>(scan->recoveryAvailable), 2);
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(Files::read(dir.filePath(names[i])), bytes[i]);
    }
    QVERIFY(!Files::entries(dir.path()).join(' ').contains(".quarnel-"));
}

QTEST_APPLESS_MAIN(TestFaults)
#include "TestFaults.moc"
