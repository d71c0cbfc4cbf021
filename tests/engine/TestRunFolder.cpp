#include <functional>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "engine/Verify.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

// A run holds its folders open from start to end: a folder renamed, replaced or removed
// meanwhile neither splits a run over two folders nor strands a file, and two runs
// never write into one folder at once.
class TestRunFolder : public QObject {
    Q_OBJECT

private slots:
    void folderSwappedDuringRun_data();
    void folderSwappedDuringRun();
    void outputFolderRemovedDuringJoin();
    void emptyOutputFolderIsNoFolder();
    void secondRunRefused_data();
    void secondRunRefused();
};

namespace {

// Splits `name` of `data` into `folder` with 100-byte pieces; the source is removed.
bool makeSet(const QString& folder, const QString& name, const QByteArray& data) {
    QDir().mkpath(folder);
    Files::write(folder + "/" + name, data);
    RecordingHost host;
    host.folder = Files::path(folder);
    const bool ok =
        SplitMergeFile::SplitFile(Files::path(folder + "/" + name), 100, host.folder, host) == Outcome::Succeeded;
    return QFile::remove(folder + "/" + name) && ok;
}

} // namespace

void TestRunFolder::folderSwappedDuringRun_data() {
    QTest::addColumn<QString>("run");
    QTest::addColumn<QString>("swapped"); // the folder renamed to "<name>-moved" and made anew
    QTest::newRow("split: output folder") << "split"
                                          << "out";
    QTest::newRow("join: output folder") << "join"
                                         << "out";
    QTest::newRow("join: the list's folder") << "join"
                                             << "set";
}

void TestRunFolder::folderSwappedDuringRun() {
    QFETCH(QString, run);
    QFETCH(QString, swapped);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(500);
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    if (run == "split") {
        Files::write(dir.filePath("f"), data);
    } else {
        QVERIFY(makeSet(dir.filePath("set"), "f", data));
    }

    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    host.onTurn = [&](int turn) {
        // Between the second and the third piece, from the host's event loop.
        if (turn == 3) {
            QDir().rename(dir.filePath(swapped), dir.filePath(swapped + "-moved"));
            QDir().mkpath(dir.filePath(swapped));
        }
        return true;
    };
    const Outcome outcome = run == "split"
                                ? SplitMergeFile::SplitFile(Files::path(dir.filePath("f")), 100, host.folder, host)
                                : SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/f.splt")), host.folder, host);
    QCOMPARE(outcome, Outcome::Succeeded);
    QVERIFY(host.reports.empty());
    QVERIFY(Files::entries(dir.filePath(swapped)).isEmpty());
    const QString out = swapped == "out" ? "out-moved" : "out";
    if (run == "split") {
        QCOMPARE(Files::entries(dir.filePath(out)).size(), 6); // five pieces and the list
        // The list still names the folder the split was given; moved as a whole, it joins.
        QVERIFY(QDir().mkpath(dir.filePath("joined")));
        RecordingHost join;
        join.folder = Files::path(dir.filePath("joined"));
        QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath(out + "/f.splt")), join.folder, join),
                 Outcome::Succeeded);
        QCOMPARE(Files::read(dir.filePath("joined/f")), data);
    } else {
        QCOMPARE(Files::entries(dir.filePath(out)), QStringList{"f"});
        QCOMPARE(Files::read(dir.filePath(out + "/f")), data);
    }
}

void TestRunFolder::outputFolderRemovedDuringJoin() {
    QTemporaryDir dir;
    QVERIFY(makeSet(dir.filePath("set"), "f", Files::pattern(300)));
    QVERIFY(QDir().mkpath(dir.filePath("out")));
    RecordingHost host;
    host.folder = Files::path(dir.filePath("out"));
    // The temporary file has no name, so the folder is empty and can go.
    bool removed = false;
    host.onTurn = [&](int turn) {
        if (turn == 2) {
            removed = QDir().rmdir(dir.filePath("out"));
        }
        return true;
    };
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/f.splt")), host.folder, host), Outcome::Failed);
    QVERIFY(removed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 154);
    QCOMPARE(host.reports[0].description, Files::failure(dir.filePath("out/f"), ENOENT));
    QVERIFY(host.messages.empty());
    QCOMPARE(Files::entries(dir.path()), QStringList{"set"});
}

void TestRunFolder::emptyOutputFolderIsNoFolder() {
    QTemporaryDir dir;
    const QString name = QFileInfo(dir.path()).fileName(); // unique: must not appear in "/"
    QVERIFY(makeSet(dir.filePath("set"), name, Files::pattern(300)));
    RecordingHost host;
    host.folder = "";
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/" + name + ".splt")), host.folder, host),
             Outcome::Failed);
    QCOMPARE(host.reports.size(), std::size_t{1});
    QCOMPARE(host.reports[0].step, 118);
    QCOMPARE(host.reports[0].description, std::string(std::strerror(ENOENT)));
    QVERIFY(host.messages.empty());
    QVERIFY(!QFile::exists("/" + name));
}

void TestRunFolder::secondRunRefused_data() {
    QTest::addColumn<QString>("run");
    // "lock FOLDER": the exclusive lock a split holds there; "join": a join of the set
    // into a folder of its own, between its pieces.
    QTest::addColumn<QString>("first");
    QTest::addColumn<bool>("refused");
    const auto row = [](const char* name, const char* run, const char* first, bool refused) {
        QTest::newRow(name) << run << first << refused;
    };
    row("split of the same file", "split", "lock set", true);
    row("split of another file", "split other", "lock set", true);
    row("join", "join", "lock out", true);
    row("join of a set being split", "join", "lock set", true);
    row("split into a folder whose set is being joined", "split", "join", true);
    row("two joins of one set", "join", "join", false);
    row("join into its pieces' folder while another join reads them", "join here", "join", true);
    row("verify of a set being split", "verify", "lock set", true);
}

void TestRunFolder::secondRunRefused() {
    QFETCH(QString, run);
    QFETCH(QString, first);
    QFETCH(bool, refused);
    QTemporaryDir dir;
    const QByteArray data = Files::pattern(300);
    QVERIFY(makeSet(dir.filePath("set"), "f", data));
    Files::write(dir.filePath("f"), Files::pattern(300, 2));
    Files::write(dir.filePath("g"), Files::pattern(300, 3));
    const QString out = run == "join" ? dir.filePath("out") : dir.filePath("set");
    QVERIFY(QDir().mkpath(out));
    QVERIFY(QDir().mkpath(dir.filePath("first")));
    const QStringList before = Files::entries(out);
    const QByteArray listBefore = Files::read(dir.filePath("set/f.splt"));
    const std::string list = Files::path(dir.filePath("set/f.splt"));
    const std::string held = Files::path(first.startsWith("lock") ? dir.filePath(first.mid(5)) : dir.filePath("first"));

    RecordingHost host;
    host.folder = Files::path(out);
    const auto start = [&] {
        if (run == "verify") {
            // As the command line tells it.
            const Result<Verify::Summary> verified = Verify::VerifySet(list, {});
            if (verified && verified->verdict == Verify::Summary::Verdict::Busy) {
                host.showNotice({NoticeId::AnotherRunWriting});
                return Outcome::Refused;
            }
            return verified && verified->bad == 0 ? Outcome::Succeeded : Outcome::Failed;
        }
        if (run.startsWith("join")) {
            return SplitMergeFile::JoinFiles(list, host.folder, host);
        }
        return SplitMergeFile::SplitFile(Files::path(dir.filePath(run == "split" ? "f" : "g")), 100, host.folder, host);
    };
    {
        Files::PausedChild firstRun([&](const std::function<void()>& wait) {
            if (first == "join") {
                RecordingHost joining;
                joining.folder = held;
                joining.onTurn = [&](int turn) {
                    if (turn == 2) {
                        wait();
                    }
                    return true;
                };
                return SplitMergeFile::JoinFiles(list, joining.folder, joining) == Outcome::Succeeded;
            }
            const int fd = ::open(held.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
            wait();
            return locked;
        });
        QVERIFY(firstRun.paused());
        const Outcome outcome = start();
        QCOMPARE(firstRun.resume(), 0);
        if (!refused) {
            QCOMPARE(outcome, Outcome::Succeeded);
            QCOMPARE(Files::read(out + "/f"), data);
            QCOMPARE(Files::read(dir.filePath("first/f")), data);
            return;
        }
        QCOMPARE(outcome, Outcome::Refused);
    }
    QCOMPARE(host.messages, std::vector<std::string>{Messages::text({NoticeId::AnotherRunWriting})});
    QVERIFY(host.reports.empty());
    QCOMPARE(Files::entries(out), before);
    QCOMPARE(Files::read(dir.filePath("set/f.splt")), listBefore);

    // Once the first run has ended, the second goes ahead.
    QCOMPARE(start(), Outcome::Succeeded);
}

QTEST_APPLESS_MAIN(TestRunFolder)
#include "TestRunFolder.moc"
