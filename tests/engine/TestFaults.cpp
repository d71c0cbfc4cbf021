#include <csignal>

#include <sys/wait.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

// Faults of the system under the engine: writes that take nothing, a file system
// without unnamed files, a failing flush, a process killed mid-run. Runs with the
// fault shim preloaded (see FaultShim.cpp).
class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void writeAcceptsNothing_data();
    void writeAcceptsNothing();
    void noUnnamedFiles_data();
    void noUnnamedFiles();
    void flushBeforeReplacing_data();
    void flushBeforeReplacing();
    void killedMidRun_data();
    void killedMidRun();
};

namespace {

// Injects a fault for the lifetime of the object.
class Fault {
public:
    explicit Fault(const char* name) { qputenv("QUARNEL_FAULT", name); }
    ~Fault() { qunsetenv("QUARNEL_FAULT"); }
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
};

// A folder "set" holding the 100-byte pieces of `data` named "f", and an empty "out".
// Splits `data` into set/; with `earlier`, out/ already holds a file of the joined name.
bool makeSet(const QTemporaryDir& dir, const QByteArray& data, bool earlier = false) {
    QDir().mkpath(dir.filePath("set"));
    QDir().mkpath(dir.filePath("out"));
    Files::write(dir.filePath("f"), data);
    if (earlier) {
        Files::write(dir.filePath("out/f"), "earlier");
    }
    RecordingHost host;
    host.folder = Files::path(dir.filePath("set"));
    return SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host) == Outcome::Succeeded;
}

Outcome join(const QTemporaryDir& dir, RecordingHost& host) {
    host.folder = Files::path(dir.filePath("out"));
    return SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/f.splt")), host);
}

Outcome split(const QTemporaryDir& dir, RecordingHost& host) {
    host.folder = Files::path(dir.filePath("set"));
    return SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host);
}

} // namespace

void TestFaults::initTestCase() {
    if (!qEnvironmentVariable("LD_PRELOAD").contains("fault_shim")) {
        QSKIP("needs the fault shim preloaded; run through ctest");
    }
}

void TestFaults::writeAcceptsNothing_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<int>("step");
    QTest::addColumn<QString>("file");
    QTest::newRow("split") << "split" << 122 << "set/f_splt1";
    QTest::newRow("join") << "join" << 144 << "out/f";
}

void TestFaults::writeAcceptsNothing() {
    QFETCH(QString, run);
    QFETCH(int, step);
    QFETCH(QString, file);
    QTemporaryDir dir;
    QVERIFY(makeSet(dir, Files::pattern(300), true));
    RecordingHost host;
    const Outcome outcome = [&] {
        const Fault fault("write-nothing");
        return run == "split" ? split(dir, host) : join(dir, host);
    }();
    QCOMPARE(outcome, Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, step);
    QCOMPARE(host.reports[0].description,
             Files::path(dir.filePath(file)) + ": The file system accepted none of the bytes written.");
    QVERIFY(host.messages.empty());
    QCOMPARE(host.turns, 1);
    QCOMPARE(Files::read(dir.filePath("out/f")), QByteArray("earlier"));
    QCOMPARE(Files::entries(dir.filePath("out")), QStringList{"f"});
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
        const Fault fault("no-tmpfile");
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
        const Fault fault("fdatasync-fails");
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
    QTest::newRow("join") << "join" << false;
    QTest::newRow("join over an earlier file") << "join" << true;
    QTest::newRow("split") << "split" << false;
}

void TestFaults::killedMidRun() {
    QFETCH(QString, run);
    QFETCH(bool, earlier);
    QTemporaryDir dir;
    QVERIFY(makeSet(dir, Files::pattern(300), earlier));
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // Between the second and the third piece: tell the parent, then wait to be killed.
        RecordingHost host;
        host.onTurn = [&](int turn) {
            if (turn == 3 && ::write(ready[1], "k", 1) == 1) {
                for (;;) {
                    ::pause();
                }
            }
            return true;
        };
        run == "split" ? split(dir, host) : join(dir, host);
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    const bool reached = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(reached);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    if (run == "split") {
        // Two new pieces, the earlier third one, no list: nothing passes the set as whole.
        QCOMPARE(Files::entries(dir.filePath("set")), (QStringList{"f_splt1", "f_splt2", "f_splt3"}));
    } else {
        QCOMPARE(Files::entries(dir.filePath("out")), earlier ? QStringList{"f"} : QStringList{});
        QCOMPARE(Files::read(dir.filePath("out/f")), earlier ? QByteArray("earlier") : QByteArray("<missing>"));
    }
}

QTEST_APPLESS_MAIN(TestFaults)
#include "TestFaults.moc"
