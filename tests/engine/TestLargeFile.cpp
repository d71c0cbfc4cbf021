#include <QTemporaryDir>
#include <QTest>

#include "engine/FileSize.h"
#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "tests/support/Files.h"
#include "tests/support/RecordingHost.h"

using SplitMergeFile::Outcome;

// Sizes past 2 and 4 GiB go through the whole engine. Needs about 14 GB of free disk.
class TestLargeFile : public QObject {
    Q_OBJECT

private slots:
    void splitAndJoinPastFourGiB();
};

static bool sameContent(const QString& a, const QString& b) {
    QFile fa(a);
    QFile fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size()) {
        return false;
    }
    constexpr qint64 block = 16 << 20;
    while (!fa.atEnd()) {
        if (fa.read(block) != fb.read(block)) {
            return false;
        }
    }
    return true;
}

void TestLargeFile::splitAndJoinPastFourGiB() {
    QTemporaryDir dir(QDir::currentPath() + "/large-XXXXXX");
    QVERIFY(dir.isValid());
    const qint64 size = (qint64(4) << 30) + (qint64(300) << 20) + 12345;
    const QString source = dir.filePath("disk.img");
    {
        QFile f(source);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(size));
        // Marks around the 2 GiB and 4 GiB borders and at both ends.
        for (const qint64 at : {qint64(0), (qint64(2) << 30) - 5, (qint64(4) << 30) - 5, size - 4096}) {
            QVERIFY(f.seek(at));
            const QByteArray mark = Files::pattern(4096, int(at % 1000));
            QCOMPARE(f.write(mark), qint64(mark.size()));
        }
    }
    QCOMPARE(FileSize::FileSize2(Files::path(source)), size);

    QVERIFY(QDir().mkpath(dir.filePath("pieces")));
    RecordingHost split;
    split.folder = Files::path(dir.filePath("pieces"));
    QCOMPARE(SplitMergeFile::SplitFile(Files::path(source), 2000000000, split.folder, split), Outcome::Succeeded);
    QCOMPARE(split.maximum, 3);
    QCOMPARE(QFileInfo(dir.filePath("pieces/disk.img_splt3")).size(), size - 4000000000);

    QVERIFY(QDir().mkpath(dir.filePath("joined")));
    RecordingHost join;
    join.folder = Files::path(dir.filePath("joined"));
    QCOMPARE(SplitMergeFile::JoinFiles(Files::path(dir.filePath("pieces/disk.img.splt")), join.folder, join),
             Outcome::Succeeded);
    QCOMPARE(join.messages, std::vector<std::string>{Messages::text({NoticeId::JoinSucceeded})});
    QVERIFY(sameContent(source, dir.filePath("joined/disk.img")));
}

QTEST_APPLESS_MAIN(TestLargeFile)
#include "TestLargeFile.moc"
