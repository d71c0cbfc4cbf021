#include <filesystem>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void namesThatAreNotUtf8KeepTheirBytes_data();
    void namesThatAreNotUtf8KeepTheirBytes();
};

void TestPickers::filePickers_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("filter");
    QTest::newRow("file to split") << 1 << 1 << "All Files (*)";
    QTest::newRow("manifest to join")
        << 5 << 4 << "Split Files (*.splt *.SPLT);;Pieces (*.001 *.000 *.crc *.CRC *aa *00);;All Files (*)";
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
    QTest::addColumn<QString>("dropped"); // below the test's folder; "|" between items, a URL as it is
    QTest::addColumn<int>("field");       // 0: nothing changes
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("message"); // the plain message that says why, if any
    // Anywhere on the window, a file fills the field of its kind and a folder the
    // output folder.
    const auto row = [](const char* name, const char* target, const char* dropped, int field, const char* expected,
                        const char* message = "") {
        QTest::newRow(name) << target << dropped << field << expected << message;
    };
    row("file on the split frame", "Frame1", "/a.bin", 1, "/a.bin");
    row("file on Text1", "Text1", "/a.bin", 1, "/a.bin");
    row("file on a split label", "Label1", "/a.bin", 1, "/a.bin");
    row("file on Text3", "Text3", "/a.bin", 1, "/a.bin");
    row("folder on the split frame", "Frame1", "/dir", 2, "/dir/");
    row("folder on Text2", "Text2", "/dir", 2, "/dir/");
    row("file on Text2", "Text2", "/a.bin", 1, "/a.bin");
    row(".splt on the join frame", "Frame2", "/a.bin.splt", 4, "/a.bin.splt");
    row(".SPLT on Text4", "Text4", "/B.SPLT", 4, "/B.SPLT");
    row("other file on the join frame", "Frame2", "/a.bin", 1, "/a.bin");
    row("on the progress bar", "ProgressBar1", "/a.bin", 1, "/a.bin");
    row(".splt on a sample button", "PushButton7", "/a.bin.splt", 4, "/a.bin.splt");
    row("a piece on the window", "Form1", "/a.bin_splt2", 4, "/a.bin.splt");
    row("a numbered piece", "Form1", "/c.iso.001", 4, "/c.iso.001");
    row(".crc on the split frame", "Frame1", "/c.iso.crc", 4, "/c.iso.crc");
    row("a later numbered piece", "Text1", "/c.iso.002", 4, "/c.iso.002");
    row("a number that is no piece", "Frame2", "/backup.20231201", 1, "/backup.20231201");
    row("a coreutils first piece", "Text4", "/xaa", 4, "/xaa");
    row("aa with no ab beside", "Frame2", "/plazaa", 1, "/plazaa");
    row("nothing there", "Form1", "/gone.bin", 0, "");
    row("two files", "Frame1", "/a.bin|/B.SPLT", 0, "", "Please drop one file or folder at a time.");
    row("an http URL", "Frame2", "http://example.org/a.bin.splt", 0, "",
        "Only files and folders on this computer can be dropped here.");
}

void TestPickers::drops() {
    QFETCH(QString, target);
    QFETCH(QString, dropped);
    QFETCH(int, field);
    QFETCH(QString, expected);
    QFETCH(QString, message);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    for (const char* name : {"/a.bin", "/a.bin.splt", "/B.SPLT", "/a.bin_splt2", "/c.iso.001", "/c.iso.002",
                             "/c.iso.crc", "/backup.20231201", "/xaa", "/xab", "/plazaa"}) {
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

    auto* widget = target == QLatin1String("Form1") ? &form : form.findChild<QWidget*>(target);
    QVERIFY(widget);
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& item : dropped.split(QLatin1Char('|'))) {
        urls << (item.startsWith(QLatin1String("http")) ? QUrl(item) : QUrl::fromLocalFile(root + item));
    }
    data.setUrls(urls);
    const QPoint point = widget->rect().center();
    QDragEnterEvent enter(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &enter);
    QCOMPARE(enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction, field != 0 || !message.isEmpty());
    QDropEvent drop(point, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &drop);

    for (int i = 1; i <= 4; ++i) {
        const QString now = harness.text(i)->text();
        QCOMPARE(now, i == field ? root + expected : before.at(i - 1));
    }
    // A dropped folder is stored as a typed one is.
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QString()), harness.text(2)->text());
    QCOMPARE(harness.messages.notices(), message.isEmpty() ? QStringList() : QStringList{message});
    QVERIFY(!form.Busy());
}

void TestPickers::namesThatAreNotUtf8KeepTheirBytes_data() {
    QTest::addColumn<QString>("route");
    QTest::addColumn<QStringList>("notices");
    const QStringList split{"File successfully split", "Done."};
    QTest::newRow("argument") << "argument" << split;
    QTest::newRow("file picker") << "file picker" << split;
    QTest::newRow("dropped file") << "dropped file" << split;
    QTest::newRow("folder picker") << "folder picker" << split;
    QTest::newRow("dropped folder") << "dropped folder" << split;
    QTest::newRow("stored folder") << "stored folder" << split;
    QTest::newRow("join picker") << "join picker" << QStringList{"Files successfully joined"};
    // The same text typed: its replacement characters name no file ("%1": that text).
    const QString unusable = "The name %1 cannot be used. Please choose it again with the \"...\" button.";
    QTest::newRow("typed") << "typed" << QStringList{unusable, "Done."};
}

void TestPickers::namesThatAreNotUtf8KeepTheirBytes() {
    QFETCH(QString, route);
    QFETCH(QStringList, notices);
    Harness& harness = *m_harness;
    const QByteArray root = QFile::encodeName(harness.dir.path());
    // Latin-1 bytes, as an old file system or archive leaves them.
    const QByteArray odd = root + "/caf\xe9-\xff.bin";
    const QByteArray oddFolder = root + "/out-\xe9";
    const auto exists = [](const QByteArray& name) { return ::access(name.constData(), F_OK) == 0; };
    // Qt cannot name these files to remove them.
    const std::unique_ptr<const char, std::function<void(const char*)>> removal(
        root.constData(), [](const char* folder) { std::filesystem::remove_all(folder); });
    const int fd = ::open(odd.constData(), O_CREAT | O_WRONLY, 0644);
    QVERIFY(fd >= 0 && ::write(fd, QByteArray(250, 'q').constData(), 250) == 250 && ::close(fd) == 0);
    QVERIFY(::mkdir(oddFolder.constData(), 0755) == 0);
    Files::writeOrDie(harness.dir.path() + "/plain.bin", QByteArray(250, 'p'));
    const bool folderRoute = route.contains(QLatin1String("folder"));
    if (route == QLatin1String("stored folder")) {
        harness.settings().writeName(QStringLiteral("Output Folder"), oddFolder + '/');
    }
    Form1& form = harness.show();
    if (route != QLatin1String("stored folder")) {
        harness.text(2)->setText(harness.dir.path() + "/");
    }
    harness.text(1)->setText(harness.dir.path() + "/plain.bin");
    harness.text(3)->setText(QStringLiteral("100"));
    if (route == QLatin1String("argument") || route == QLatin1String("join picker")) {
        form.openFile(odd);
    } else if (route == QLatin1String("file picker")) {
        harness.dialogs.fileNameAnswers = {odd};
        harness.button(1)->click();
    } else if (route == QLatin1String("folder picker")) {
        harness.dialogs.folderNameAnswers = {oddFolder};
        harness.button(2)->click();
    } else if (route == QLatin1String("typed")) {
        harness.text(1)->setText(QFile::decodeName(odd));
    } else if (route.startsWith(QLatin1String("dropped"))) {
        QMimeData data;
        data.setUrls({QUrl::fromEncoded("file://" + (folderRoute ? oddFolder : odd).toPercentEncoding("/"))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&form, &drop);
    }
    QVERIFY(harness.messages.shown.isEmpty());
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    const QByteArray output = folderRoute ? oddFolder + "/plain.bin" : odd;
    if (route == QLatin1String("join picker")) {
        QCOMPARE(harness.messages.notices(), (QStringList{"File successfully split", "Done."}));
        QVERIFY(::mkdir((root + "/joined").constData(), 0755) == 0);
        harness.text(2)->setText(harness.dir.path() + "/joined/");
        harness.messages.shown.clear();
        harness.dialogs.fileNameAnswers = {odd + ".splt"};
        harness.button(5)->click();
        harness.button(3)->click();
        QVERIFY(harness.waitUntilIdle());
    }
    if (route == QLatin1String("typed")) {
        QCOMPARE(harness.messages.notices(),
                 (QStringList{notices.first().arg(QFile::decodeName(odd)), notices.last()}));
        return;
    }
    QCOMPARE(harness.messages.notices(), notices);
    QVERIFY(exists(output + ".splt") && exists(output + "_splt3"));
    if (route == QLatin1String("join picker")) {
        QVERIFY(exists(root + "/joined/caf\xe9-\xff.bin"));
    }
    if (folderRoute) {
        QCOMPARE(harness.settings().readName(QStringLiteral("Output Folder"), QByteArray()), oddFolder + '/');
    }
}

QTEST_MAIN(TestPickers)
#include "TestPickers.moc"
