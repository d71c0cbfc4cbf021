#include <QProgressBar>
#include <QtTest>

#include "feedback/Hover.h"
#include "tests/support/Harness.h"

// "Start Splitting" driven through the real window: every row of what the user sees,
// the size boundary, the chunk-size failure at step 114 and the idle look after it.
class TestSplitCommand : public HarnessTest {
    Q_OBJECT

private slots:
    void messages_data();
    void messages();
    void hourglassWhileSplitting();
};

void TestSplitCommand::messages_data() {
    // %1 stands for the test's folder. A file is made at the path of Text1 when its
    // size is not negative.
    QTest::addColumn<QString>("outputFolder");
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("chunk");
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<QList<int>>("errorSteps");
    QTest::addColumn<int>("pieces");

    const QString splitOk = QStringLiteral("File successfully split");
    const QString done = QStringLiteral("Done.");
    const QString notLarger = QStringLiteral("Filesize is less than or equal to chunk size.");
    const QString already = QStringLiteral("Cannot split already split file.");
    const QString folderMissing = QStringLiteral("Folder does not exist. Please select another folder.");

    QTest::newRow("output folder empty") << ""
                                         << "%1/a.bin" << qint64(10) << "4" << QStringList{folderMissing}
                                         << QList<int>{} << 0;
    QTest::newRow("output folder is a file")
        << "%1/a.bin"
        << "%1/a.bin" << qint64(10) << "4" << QStringList{folderMissing} << QList<int>{} << 0;
    QTest::newRow("file field empty") << "%1/out/"
                                      << "" << qint64(-1) << "4" << QStringList{done} << QList<int>{} << 0;
    QTest::newRow(".splt in a folder name")
        << "%1/out/"
        << "%1/old.splt files/a.bin" << qint64(10) << "4" << QStringList{already, done} << QList<int>{} << 0;
    QTest::newRow("_splt") << "%1/out/"
                           << "%1/a.bin_splt1" << qint64(10) << "4" << QStringList{already, done} << QList<int>{} << 0;
    QTest::newRow("capital .SPLT is not caught")
        << "%1/out/"
        << "%1/SAMPLE.SPLT" << qint64(10) << "4" << QStringList{splitOk, done} << QList<int>{} << 3;
    QTest::newRow("file not found") << "%1/out/"
                                    << "%1/missing.bin" << qint64(-1) << "4"
                                    << QStringList{"%1/missing.bin does not exist.", done} << QList<int>{} << 0;
    QTest::newRow("a folder is no file") << "%1/out/"
                                         << "%1/out" << qint64(-1) << "4" << QStringList{"%1/out does not exist.", done}
                                         << QList<int>{} << 0;
    QTest::newRow("empty file") << "%1/out/"
                                << "%1/a.bin" << qint64(0) << "0" << QStringList{notLarger, done} << QList<int>{} << 0;
    QTest::newRow("exactly one piece") << "%1/out/"
                                       << "%1/a.bin" << qint64(100000) << "100000" << QStringList{notLarger, done}
                                       << QList<int>{} << 0;
    QTest::newRow("one byte more") << "%1/out/"
                                   << "%1/a.bin" << qint64(100001) << "100000" << QStringList{splitOk, done}
                                   << QList<int>{} << 2;
    QTest::newRow("chunk of letters") << "%1/out/"
                                      << "%1/a.bin" << qint64(10) << "abc" << QStringList{notLarger, done}
                                      << QList<int>{114} << 0;
    QTest::newRow("chunk beyond 32 bits")
        << "%1/out/"
        << "%1/a.bin" << qint64(10) << "3000000000" << QStringList{notLarger, done} << QList<int>{114} << 0;
    QTest::newRow("chunk half rounds to even")
        << "%1/out/"
        << "%1/a.bin" << qint64(5) << "2.5" << QStringList{splitOk, done} << QList<int>{} << 3;
    QTest::newRow("chunk zero") << "%1/out/"
                                << "%1/a.bin" << qint64(10) << "0"
                                << QStringList{"Chunk size must be at least 1 byte.", done} << QList<int>{} << 0;
    QTest::newRow("more than 32767 pieces")
        << "%1/out/"
        << "%1/a.bin" << qint64(32768) << "1"
        << QStringList{"Chunk size too small: a file can be split into at most 32767 pieces.", done} << QList<int>{}
        << 0;
}

void TestSplitCommand::messages() {
    QFETCH(QString, outputFolder);
    QFETCH(QString, path);
    QFETCH(qint64, size);
    QFETCH(QString, chunk);
    QFETCH(QStringList, notices);
    QFETCH(QList<int>, errorSteps);
    QFETCH(int, pieces);

    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    QVERIFY(QDir(root).mkdir(QStringLiteral("out")));
    outputFolder.replace(QStringLiteral("%1"), root);
    path.replace(QStringLiteral("%1"), root);
    if (size >= 0) {
        Files::writeOrDie(path, Files::pattern(size));
    }
    Form1& form = harness.load();
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    form.setProgressMaximum(7);
    form.setProgressValue(5);
    harness.text(2)->setText(outputFolder);
    harness.text(1)->setText(path);
    harness.text(3)->setText(chunk);

    QTest::mouseClick(harness.button(4), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());

    for (QString& text : notices) {
        text.replace(QStringLiteral("%1"), root);
    }
    QCOMPARE(harness.messages.notices(), notices);
    const QList<int> steps = harness.messages.reportedSteps(QStringLiteral("PushButton4_Click"));
    QCOMPARE(steps, errorSteps);
    if (!errorSteps.isEmpty()) {
        // The report comes before the two notices.
        QCOMPARE(harness.messages.shown.first().kind, Shown::ErrorReport);
    }
    for (const Shown& box : harness.messages.shown) {
        if (box.kind == Shown::Notice) {
            QCOMPARE(box.caption, QStringLiteral("Quarnel"));
        }
    }

    const QDir out(root + QStringLiteral("/out"));
    const QString name = QFileInfo(path).fileName();
    QCOMPARE(out.entryList({name + QStringLiteral("_splt*")}, QDir::Files).size(), pieces);
    QCOMPARE(out.exists(name + QStringLiteral(".splt")), pieces > 0);

    QVERIFY(!form.Busy());
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    if (notices.first() == QStringLiteral("Folder does not exist. Please select another folder.")) {
        QCOMPARE(bar->value(), 5); // the idle look is not restored on this path
    } else {
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
    }
}

void TestSplitCommand::hourglassWhileSplitting() {
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Files::writeOrDie(root + QStringLiteral("/a.bin"), Files::pattern(50));
    Form1& form = harness.load();
    harness.text(2)->setText(root + QStringLiteral("/"));
    harness.text(1)->setText(root + QStringLiteral("/a.bin"));
    harness.text(3)->setText(QStringLiteral("10"));
    int pointerAtSuccess = -1;
    Qt::CursorShape shape = Qt::ArrowCursor;
    harness.messages.onShow = [&](const Shown& box) {
        if (box.text == QStringLiteral("File successfully split")) {
            pointerAtSuccess = form.MousePointer();
            shape = form.cursor().shape();
        }
    };
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(pointerAtSuccess, Hover::busyPointer);
    QCOMPARE(shape, Qt::WaitCursor);
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

QTEST_MAIN(TestSplitCommand)
#include "TestSplitCommand.moc"
