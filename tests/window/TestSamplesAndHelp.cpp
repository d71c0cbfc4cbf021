#include <QtTest>

#include "tests/support/Harness.h"

// The two sample buttons, the help button, and the shipped samples driven through
// the real window.
class TestSamplesAndHelp : public HarnessTest {
    Q_OBJECT

private slots:
    void sampleButtons_data();
    void sampleButtons();
    void aFailingQuestionCountsAsYes();
    void help();
    void helpDuringASplit();
    void shippedSamplesSplitAndJoinFromTheWindow();
};

void TestSamplesAndHelp::sampleButtons_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("yes");
    const QString split = QStringLiteral("/Samples/split_me/sample1.pdf");
    const QString join = QStringLiteral("/Samples/join_me/sample1.pdf.splt");
    QTest::newRow("split, No") << 7 << 1 << split << "/Samples/split_me/" << false;
    QTest::newRow("split, Yes") << 7 << 1 << split << "/Samples/split_me/" << true;
    QTest::newRow("join, No") << 8 << 4 << join << "/Samples/join_me/" << false;
    QTest::newRow("join, Yes") << 8 << 4 << join << "/Samples/join_me/" << true;
}

void TestSamplesAndHelp::sampleButtons() {
    QFETCH(int, button);
    QFETCH(int, field);
    QFETCH(QString, suffix);
    QFETCH(QString, folder);
    QFETCH(bool, yes);
    Harness& harness = *m_harness;
    harness.load();
    const QStringList before = {QStringLiteral("/one"), QStringLiteral("/two/"), QStringLiteral("77"),
                                QStringLiteral("/four.splt")};
    for (int i = 1; i <= 4; ++i) {
        harness.text(i)->setText(before.at(i - 1));
    }
    QString fieldWhenAsked;
    harness.messages.onShow = [&](const Shown&) { fieldWhenAsked = harness.text(field)->text(); };
    harness.messages.answers = {yes, yes};
    // The samples are absent from the test's program folder: nothing is reported.
    QTest::mouseClick(harness.button(button), Qt::LeftButton);
    QTest::mouseClick(harness.button(button), Qt::LeftButton);

    const QString expected = harness.programFolder + suffix;
    QCOMPARE(fieldWhenAsked, expected);
    for (int i = 1; i <= 4; ++i) {
        QCOMPARE(harness.text(i)->text(), i == field ? expected : before.at(i - 1));
    }
    QCOMPARE(harness.messages.shown.size(), 2);
    for (const Shown& box : harness.messages.shown) {
        QCOMPARE(box.kind, Shown::Question);
        QCOMPARE(box.caption, QStringLiteral("Quarnel"));
        QCOMPARE(box.text, QStringLiteral("Would you like this software to open the folder where these sample files "
                                          "are stored (so that you can view them before working with them)?"));
    }
    if (yes) {
        const QUrl url = QUrl::fromLocalFile(harness.programFolder + folder);
        QCOMPARE(harness.desktop.opened, (QList<QUrl>{url, url}));
        QVERIFY(url.toLocalFile().endsWith(QLatin1Char('/')));
    } else {
        QVERIFY(harness.desktop.opened.isEmpty());
    }
}

void TestSamplesAndHelp::aFailingQuestionCountsAsYes() {
    Harness& harness = *m_harness;
    harness.load();
    harness.messages.onShow = [](const Shown& box) {
        if (box.kind == Shown::Question) {
            throw std::runtime_error("no box");
        }
    };
    harness.desktop.onOpen = [] { throw std::runtime_error("no file manager"); };
    harness.button(8)->click();
    const QList<Shown> reports = harness.messages.errorReports();
    QCOMPARE(reports.size(), 2);
    QVERIFY(reports.at(0).text.startsWith(
        QStringLiteral("no box\r\nin Tavrid2021/08/31.Form1.PushButton8_Click at line 102\r\r")));
    QVERIFY(reports.at(1).text.startsWith(
        QStringLiteral("no file manager\r\nin Tavrid2021/08/31.Form1.PushButton8_Click at line 104\r\r")));
    QCOMPARE(harness.desktop.opened.size(), 1);
}

void TestSamplesAndHelp::help() {
    Harness& harness = *m_harness;
    harness.load();
    harness.text(1)->setText(QStringLiteral("/keep"));
    QTest::mouseClick(harness.button(6), Qt::LeftButton);
    QCOMPARE(harness.messages.shown.size(), 1);
    const Shown box = harness.messages.shown.first();
    QCOMPARE(box.kind, Shown::Notice);
    QCOMPARE(box.caption, QStringLiteral("Quarnel"));
    QCOMPARE(box.text, QStringLiteral("Questions? Please contact Team Velmarc at https://velmarc.example/contact"));
    QCOMPARE(harness.text(1)->text(), QStringLiteral("/keep"));
    QVERIFY(harness.desktop.opened.isEmpty());

    harness.messages.shown.clear();
    harness.messages.onShow = [](const Shown& shown) {
        if (shown.kind == Shown::Notice) {
            throw std::runtime_error("cannot show");
        }
    };
    harness.button(6)->click();
    QCOMPARE(harness.messages.errorReports().size(), 1);
    QVERIFY(harness.messages.errorReports().first().text.contains(
        QStringLiteral("in Tavrid2021/08/31.Form1.PushButton6_Click at line 100\r\r")));
}

void TestSamplesAndHelp::helpDuringASplit() {
    Harness& harness = *m_harness;
    Form1& form = harness.showReadyToSplit(1000);
    QTimer::singleShot(0, &form, [&] { QTest::mouseClick(harness.button(6), Qt::LeftButton); });
    QTest::mouseClick(harness.button(4), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.messages.notices(),
             (QStringList{"Questions? Please contact Team Velmarc at https://velmarc.example/contact",
                          "File successfully split", "Done."}));
    QCOMPARE(QDir(harness.dir.path()).entryList({QStringLiteral("a.bin_splt*")}, QDir::Files).size(), 10);
}

void TestSamplesAndHelp::shippedSamplesSplitAndJoinFromTheWindow() {
    const QString programFolder = QStringLiteral(QUARNEL_PROGRAM_DIR);
    const QString pdf = programFolder + QStringLiteral("/Samples/split_me/sample1.pdf");
    if (!QFile::exists(pdf) || !QFile::exists(programFolder + QStringLiteral("/Samples/join_me/sample1.pdf.splt"))) {
        QSKIP("the shipped samples are not built");
    }
    Harness& harness = *m_harness;
    harness.programFolder = programFolder;
    const QString root = harness.dir.path();
    QVERIFY(QDir(root).mkdir(QStringLiteral("split")));
    QVERIFY(QDir(root).mkdir(QStringLiteral("joined")));
    harness.load();
    harness.messages.answers = {false, false};

    // As a new user would: load the sample, start, with the default chunk size.
    harness.text(2)->setText(root + QStringLiteral("/split/"));
    QTest::mouseClick(harness.button(7), Qt::LeftButton);
    QTest::mouseClick(harness.button(4), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.text(3)->text(), QStringLiteral("100000"));
    QCOMPARE(harness.messages.notices(), (QStringList{"File successfully split", "Done."}));
    QVERIFY(QFile::exists(root + QStringLiteral("/split/sample1.pdf.splt")));

    harness.messages.shown.clear();
    harness.text(2)->setText(root + QStringLiteral("/joined/"));
    QTest::mouseClick(harness.button(8), Qt::LeftButton);
    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.messages.notices(), QStringList{"Files successfully joined"});

    QFile original(pdf);
    QFile joined(root + QStringLiteral("/joined/sample1.pdf"));
    QVERIFY(original.open(QIODevice::ReadOnly));
    QVERIFY(joined.open(QIODevice::ReadOnly));
    QVERIFY(original.size() > 100000);
    QVERIFY(joined.readAll() == original.readAll());
}

QTEST_MAIN(TestSamplesAndHelp)
#include "TestSamplesAndHelp.moc"
