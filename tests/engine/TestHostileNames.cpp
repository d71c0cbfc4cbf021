#include <climits>

#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>

#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

// What stands at an output name is replaced, never written through; names the
// piece-set format cannot hold are refused before anything is written.
class TestHostileNames : public QObject {
    Q_OBJECT

private slots:
    void entriesAtOutputNames_data();
    void entriesAtOutputNames();
    void namesTheFormatCannotHold_data();
    void namesTheFormatCannotHold();

private:
    QTemporaryDir m_dir;
};

void TestHostileNames::entriesAtOutputNames_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("at"); // in the set's folder, or "joined/..." for the join's output
    for (const QString kind : {"symbolic link", "hard link", "fifo", "link to /dev/null", "dangling link"}) {
        for (const QString at : {"f.bin_splt1", "f.bin_splt2", "f.bin.splt", "joined/f.bin"}) {
            QTest::addRow("%s at %s", qPrintable(kind), qPrintable(at)) << kind << at;
        }
    }
}

void TestHostileNames::entriesAtOutputNames() {
    QFETCH(QString, kind);
    QFETCH(QString, at);
    QTemporaryDir dir;
    QVERIFY(QDir().mkpath(dir.filePath("set")) && QDir().mkpath(dir.filePath("joined")));
    const QByteArray data = Files::pattern(250);
    Files::write(dir.filePath("f.bin"), data);
    Files::write(dir.filePath("precious"), "precious");
    const std::string entry = Files::path(at.startsWith("joined/") ? dir.filePath(at) : dir.filePath("set/" + at));
    const std::string precious = Files::path(dir.filePath("precious"));
    int made = -1;
    if (kind == "symbolic link") {
        made = ::symlink(precious.c_str(), entry.c_str());
    } else if (kind == "hard link") {
        made = ::link(precious.c_str(), entry.c_str());
    } else if (kind == "fifo") {
        made = ::mkfifo(entry.c_str(), 0644);
    } else if (kind == "link to /dev/null") {
        made = ::symlink("/dev/null", entry.c_str());
    } else {
        made = ::symlink(Files::path(dir.filePath("nothing")).c_str(), entry.c_str());
    }
    QVERIFY(made == 0);

    RecordingHost split;
    split.folder = Files::path(dir.filePath("set"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(dir.filePath("f.bin")), 100, split.folder, split),
             Outcome::Succeeded);
    RecordingHost join;
    join.folder = Files::path(dir.filePath("joined"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("set/f.bin.splt")), join.folder, join),
             Outcome::Succeeded);

    QCOMPARE(Files::read(dir.filePath("joined/f.bin")), data);
    QCOMPARE(Files::read(dir.filePath("precious")), QByteArray("precious"));
    QVERIFY(!QFile::exists(dir.filePath("nothing")));
    struct stat st {};
    QVERIFY(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
    QCOMPARE(Files::entries(dir.filePath("set")),
             (QStringList{"f.bin.splt", "f.bin_splt1", "f.bin_splt2", "f.bin_splt3"}));
    QCOMPARE(Files::entries(dir.filePath("joined")), QStringList{"f.bin"});
    for (const QString& path : {dir.filePath("set/" + at), dir.filePath(at)}) {
        const QFileInfo info(path);
        QVERIFY2(!info.exists() || (info.isFile() && !info.isSymLink() && info.size() > 0), qPrintable(path));
    }
}

void TestHostileNames::namesTheFormatCannotHold_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("folderLength"); // 0: a plain folder
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<QString>("message"); // empty: the split succeeds
    const QString lineBreak = QString::fromStdString(Messages::text({NoticeId::LineBreakInName}));
    const QString tooLong = QString::fromStdString(Messages::text({NoticeId::NamesTooLong}));
    QTest::newRow("LF in the name") << "a\nb" << 0 << "out" << lineBreak;
    QTest::newRow("CR in the name") << "a\rb" << 0 << "out" << lineBreak;
    QTest::newRow("LF in the folder") << "a" << 0 << "o\nut" << lineBreak;
    QTest::newRow("CR at the end of the folder") << "a" << 0 << "out\r" << lineBreak;
    // Three pieces: "_splt3" makes the longest piece name 6 bytes longer than the base.
    QTest::newRow("piece names of NAME_MAX") << QString(NAME_MAX - 6, 'n') << 0 << "out" << QString();
    QTest::newRow("piece names one past NAME_MAX") << QString(NAME_MAX - 5, 'n') << 0 << "out" << tooLong;
    QTest::newRow("4070-byte folder") << "a.bin" << 4070 << "" << QString();
    QTest::newRow("piece paths of PATH_MAX") << "a.bin" << PATH_MAX - 12 << "" << QString();
    QTest::newRow("piece paths one past PATH_MAX") << "a.bin" << PATH_MAX - 11 << "" << tooLong;
}

void TestHostileNames::namesTheFormatCannotHold() {
    QFETCH(QString, name);
    QFETCH(int, folderLength);
    QFETCH(QString, folderName);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QString folder =
        folderLength > 0 ? Files::folderOfLength(dir.path(), folderLength) : dir.filePath(folderName);
    QVERIFY(!folder.isEmpty() && QDir().mkpath(folder));
    QVERIFY(folderLength == 0 || QFile::encodeName(folder).size() == folderLength);
    QVERIFY(QDir().mkpath(dir.filePath("src")));
    const QString source = dir.filePath("src/" + name);
    const QByteArray data = Files::pattern(25);
    Files::write(source, data);

    RecordingHost host;
    host.folder = Files::path(folder);
    const Outcome outcome = SplitMergeFile::SplitFile(Files::path(source), 10, host.folder, host);
    QVERIFY(host.reports.empty());
    if (!message.isEmpty()) {
        QCOMPARE(outcome, Outcome::Refused);
        QCOMPARE(host.messages, std::vector<std::string>{message.toStdString()});
        QVERIFY(Files::entries(folder).isEmpty());
        return;
    }
    QCOMPARE(outcome, Outcome::Succeeded);
    QCOMPARE(Files::entries(folder).size(), 4);
    RecordingHost join;
    join.folder = Files::path(dir.path());
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(folder + "/" + name + ".splt"), join.folder, join),
             Outcome::Succeeded);
    QCOMPARE(Files::read(dir.filePath(name)), data);
}

QTEST_APPLESS_MAIN(TestHostileNames)
#include "TestHostileNames.moc"
