#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QtTest>

#include "tests/support/Harness.h"

// The three "..." buttons over the answered dialogs, and dropping files and folders
// on the panels.
class TestPickers : public HarnessTest {
    Q_OBJECT

private slots:
    void filePickers_data();
    void filePickers();
    void aFailingFileDialogIsReportedAtStep106();
    void folderPicker_data();
    void folderPicker();
    void folderPickerCancelChangesNothing();
    void folderPickerFailuresCarryOn();
    void drops_data();
    void drops();
};

void TestPickers::filePickers_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("filter");
    QTest::newRow("file to split") << 1 << 1 << "All Files (*)";
    QTest::newRow("manifest to join") << 5 << 4 << "Split Files (*.splt *.SPLT)";
}

void TestPickers::filePickers() {
    QFETCH(int, button);
    QFETCH(int, field);
    QFETCH(QString, filter);
    Harness& harness = *m_harness;
    harness.load();
    harness.text(field)->setText(QStringLiteral("/before"));
    harness.dialogs.fileAnswers = {QStringLiteral("/chosen/file name.bin")};
    QTest::mouseClick(harness.button(button), Qt::LeftButton);
    QCOMPARE(harness.text(field)->text(), QStringLiteral("/chosen/file name.bin"));
    QCOMPARE(harness.dialogs.calls.size(), 1);
    QCOMPARE(harness.dialogs.calls.first().folder, false);
    QCOMPARE(harness.dialogs.calls.first().title, QStringLiteral("Select File"));
    QCOMPARE(harness.dialogs.calls.first().filterOrStart, filter);

    // Cancelled: the field keeps what it had.
    QTest::mouseClick(harness.button(button), Qt::LeftButton);
    QCOMPARE(harness.dialogs.calls.size(), 2);
    QCOMPARE(harness.text(field)->text(), QStringLiteral("/chosen/file name.bin"));
    // Only that field changed.
    for (int other : {1, 4}) {
        if (other != field) {
            QCOMPARE(harness.text(other)->text(), QString());
        }
    }
    QVERIFY(harness.messages.shown.isEmpty());
}

void TestPickers::aFailingFileDialogIsReportedAtStep106() {
    Harness& harness = *m_harness;
    harness.load();
    harness.text(1)->setText(QStringLiteral("/before"));
    harness.dialogs.onShow = [] { throw std::runtime_error("no dialog"); };
    harness.button(1)->click();
    const QList<Shown> reports = harness.messages.errorReports();
    QCOMPARE(reports.size(), 1);
    QVERIFY(reports.first().text.startsWith(
        QStringLiteral("no dialog\r\nin Tavrid2021/08/31.Form1.PushButton1_Click at line 106\r\r")));
    QCOMPARE(harness.text(1)->text(), QStringLiteral("/before"));
}

void TestPickers::folderPicker_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("field");
    QTest::newRow("folder") << "/srv/work"
                            << "/srv/work/";
    QTest::newRow("root") << "/"
                          << "/";
    QTest::newRow("blank in name") << "/home/a b"
                                   << "/home/a b/";
}

void TestPickers::folderPicker() {
    QFETCH(QString, chosen);
    QFETCH(QString, field);
    Harness& harness = *m_harness;
    harness.load();
    harness.dialogs.folderAnswers = {chosen, QString()};
    QTest::mouseClick(harness.button(2), Qt::LeftButton);
    QCOMPARE(harness.text(2)->text(), field);
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QString()), field);
    QCOMPARE(harness.settings().read(QStringLiteral("LastFolderDot"), QStringLiteral("absent")), chosen);
    // The next pick opens at the folder chosen last time.
    QTest::mouseClick(harness.button(2), Qt::LeftButton);
    QCOMPARE(harness.dialogs.calls.size(), 2);
    QCOMPARE(harness.dialogs.calls.at(0).folder, true);
    QCOMPARE(harness.dialogs.calls.at(0).title, QStringLiteral("Please select folder:"));
    QCOMPARE(harness.dialogs.calls.at(0).filterOrStart, QString());
    QCOMPARE(harness.dialogs.calls.at(1).filterOrStart, chosen);
    QVERIFY(harness.messages.shown.isEmpty());
}

void TestPickers::folderPickerCancelChangesNothing() {
    Harness& harness = *m_harness;
    harness.settings().write(QStringLiteral("LastFolderDot"), QStringLiteral("/old"));
    harness.load();
    harness.text(2)->setText(QStringLiteral("/typed/"));
    QTest::mouseClick(harness.button(2), Qt::LeftButton);
    QCOMPARE(harness.dialogs.calls.size(), 1);
    QCOMPARE(harness.dialogs.calls.first().filterOrStart, QStringLiteral("/old"));
    QCOMPARE(harness.text(2)->text(), QStringLiteral("/typed/"));
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QString()), QStringLiteral("/typed/"));
    QCOMPARE(harness.settings().read(QStringLiteral("LastFolderDot"), QString()), QStringLiteral("/old"));
}

void TestPickers::folderPickerFailuresCarryOn() {
    Harness& harness = *m_harness;
    harness.load();
    // Once loaded, the settings file becomes unusable: the read of step 100, the write
    // of step 104 and the write behind Text2 in step 106 fail; each is reported and
    // the folder still reaches the field.
    QVERIFY(QFile::remove(harness.settingsFile));
    QVERIFY(QDir().mkpath(harness.settingsFile));
    harness.dialogs.folderAnswers = {QStringLiteral("/srv")};
    harness.button(2)->click();
    const QList<int> steps = harness.messages.reportedSteps(QStringLiteral("PushButton2_Click"));
    QCOMPARE(steps, (QList<int>{100, 104, 106}));
    QCOMPARE(harness.dialogs.calls.size(), 1);
    QCOMPARE(harness.text(2)->text(), QStringLiteral("/srv/"));
}

void TestPickers::drops_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("dropped"); // below the test's folder
    QTest::addColumn<int>("field");       // 0: refused
    QTest::addColumn<QString>("expected");
    QTest::newRow("file on the split frame") << "Frame1"
                                             << "/a.bin" << 1 << "/a.bin";
    QTest::newRow("file on Text1") << "Text1"
                                   << "/a.bin" << 1 << "/a.bin";
    QTest::newRow("file on a split label") << "Label1"
                                           << "/a.bin" << 1 << "/a.bin";
    QTest::newRow("file on Text3") << "Text3"
                                   << "/a.bin" << 1 << "/a.bin";
    QTest::newRow("folder on the split frame") << "Frame1"
                                               << "/dir" << 0 << "";
    QTest::newRow("folder on Text2") << "Text2"
                                     << "/dir" << 2 << "/dir/";
    QTest::newRow("file on Text2") << "Text2"
                                   << "/a.bin" << 0 << "";
    QTest::newRow(".splt on the join frame") << "Frame2"
                                             << "/a.bin.splt" << 4 << "/a.bin.splt";
    QTest::newRow(".SPLT on Text4") << "Text4"
                                    << "/B.SPLT" << 4 << "/B.SPLT";
    QTest::newRow("other file on the join frame") << "Frame2"
                                                  << "/a.bin" << 0 << "";
    QTest::newRow("on the progress bar") << "ProgressBar1"
                                         << "/a.bin" << 0 << "";
}

void TestPickers::drops() {
    QFETCH(QString, target);
    QFETCH(QString, dropped);
    QFETCH(int, field);
    QFETCH(QString, expected);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    for (const char* name : {"/a.bin", "/a.bin.splt", "/B.SPLT"}) {
        QFile file(root + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QDir(root).mkdir(QStringLiteral("dir")));
    Form1& form = harness.show();
    harness.text(3)->setText(QStringLiteral("100000"));
    QStringList before;
    for (int i = 1; i <= 4; ++i) {
        before << harness.text(i)->text();
    }

    auto* widget = form.findChild<QWidget*>(target);
    QVERIFY(widget);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(root + dropped)});
    const QPoint point = widget->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QCOMPARE(enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction, field != 0);
    QDropEvent drop(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);

    for (int i = 1; i <= 4; ++i) {
        const QString now = harness.text(i)->text();
        QCOMPARE(now, i == field ? root + expected : before.at(i - 1));
    }
    QVERIFY(harness.messages.shown.isEmpty());
    QVERIFY(!form.Busy());
}

QTEST_MAIN(TestPickers)
#include "TestPickers.moc"
