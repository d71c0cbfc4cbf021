#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QtTest>

#include "feedback/Hover.h"
#include "tests/support/Harness.h"

// Form_Load: the optional files of the program folder, the home-page draw, caption,
// icon, title and the two fields filled from the settings.
class TestStartUp : public QObject {
    Q_OBJECT

private slots:
    void firstStartFillsAndStoresTheDefaults();
    void storedValuesAreShownUnchanged_data();
    void storedValuesAreShownUnchanged();
    void homePageOnlyOnADrawOfSeven_data();
    void homePageOnlyOnADrawOfSeven();
    void aFailingHomePageCallIsReportedAndStartUpGoesOn();
    void missingCursorAndSkinGiveNoError();
    void unreadableCursorIsReportedAtStep104();
    void cursorFileBecomesTheMouseIcon();
    void skinColoursFramesAndLabelsFirst();
    void unreadableSettingsReportSteps128And130();
    void windowTitlesCarryNoSuffix();
};

void TestStartUp::firstStartFillsAndStoresTheDefaults() {
    Harness harness;
    Form1& form = harness.load();
    QCOMPARE(harness.text(2)->text(), harness.desktopFolder());
    QCOMPARE(harness.text(3)->text(), QStringLiteral("100000"));
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QStringLiteral("absent")),
             harness.desktopFolder());
    // Only "Output Folder" is written back at start-up.
    QCOMPARE(harness.settings().read(QStringLiteral("Chunk Size"), QStringLiteral("absent")), QStringLiteral("absent"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Quarnel"));
    QCOMPARE(form.applicationTitle(), QStringLiteral("Quarnel"));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(harness.messages.shown.isEmpty());
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    QVERIFY(!form.Busy());
}

void TestStartUp::storedValuesAreShownUnchanged_data() {
    QTest::addColumn<QString>("outputFolder");
    QTest::addColumn<QString>("chunkSize");
    QTest::newRow("empty folder") << QString() << QStringLiteral("100000");
    QTest::newRow("missing folder, letters") << QStringLiteral("/no/such/folder/") << QStringLiteral("abc");
    QTest::newRow("blanks kept") << QStringLiteral("/tmp/") << QStringLiteral(" 250 ");
}

void TestStartUp::storedValuesAreShownUnchanged() {
    QFETCH(QString, outputFolder);
    QFETCH(QString, chunkSize);
    Harness harness;
    harness.settings().write(QStringLiteral("Output Folder"), outputFolder);
    harness.settings().write(QStringLiteral("Chunk Size"), chunkSize);
    harness.load();
    QCOMPARE(harness.text(2)->text(), outputFolder);
    QCOMPARE(harness.text(3)->text(), chunkSize);
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QStringLiteral("absent")), outputFolder);
    QVERIFY(harness.messages.shown.isEmpty());
}

void TestStartUp::homePageOnlyOnADrawOfSeven_data() {
    QTest::addColumn<double>("draw");
    QTest::addColumn<bool>("opens");
    QTest::newRow("n = 1") << 0.0 << false;
    QTest::newRow("n = 6") << 0.0599 << false;
    QTest::newRow("n = 7, low edge") << 0.06 << true;
    QTest::newRow("n = 7, high edge") << 0.0699999 << true;
    QTest::newRow("n = 8") << 0.07 << false;
    QTest::newRow("n = 100") << 0.9999 << false;
}

void TestStartUp::homePageOnlyOnADrawOfSeven() {
    QFETCH(double, draw);
    QFETCH(bool, opens);
    Harness harness;
    harness.random.draws = {draw};
    harness.load();
    QCOMPARE(harness.random.calls, 1);
    QCOMPARE(harness.desktop.opened.size(), opens ? 1 : 0);
    if (opens) {
        QCOMPARE(harness.desktop.opened.first(), QUrl(QStringLiteral("https://velmarc.example/quarnel")));
    }
}

void TestStartUp::aFailingHomePageCallIsReportedAndStartUpGoesOn() {
    Harness harness;
    harness.random.draws = {0.065};
    harness.desktop.result = false;
    Form1& form = harness.load();
    const QList<Shown> reports = harness.messages.errorReports();
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().text.contains(QStringLiteral("\r\nin Tavrid2021/08/31.Form1.Form_Load at line 108\r\r")),
             qPrintable(reports.first().text));
    QCOMPARE(form.windowTitle(), QStringLiteral("Quarnel"));
    QCOMPARE(harness.text(2)->text(), harness.desktopFolder());
}

void TestStartUp::missingCursorAndSkinGiveNoError() {
    Harness harness;
    Form1& form = harness.load();
    QVERIFY(harness.messages.shown.isEmpty());
    QVERIFY(!form.MouseIcon().has_value());
    QVERIFY(form.styleSheet().isEmpty());
    QVERIFY(!form.autoFillBackground());
}

void TestStartUp::unreadableCursorIsReportedAtStep104() {
    Harness harness;
    // It exists, so the test of step 102 passes, but it is no picture.
    QVERIFY(QDir(harness.programFolder).mkdir(QStringLiteral("HAND-M.CUR")));
    Form1& form = harness.load();
    const QList<Shown> reports = harness.messages.errorReports();
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().text.contains(QStringLiteral("Form1.Form_Load at line 104\r\r")),
             qPrintable(reports.first().text));
    QVERIFY(!form.MouseIcon().has_value());
    // Start-up went on to the fields.
    QCOMPARE(harness.text(3)->text(), QStringLiteral("100000"));
}

void TestStartUp::cursorFileBecomesTheMouseIcon() {
    Harness harness;
    QVERIFY(harness.writeCursorFile({5, 1}));
    Form1& form = harness.load();
    QVERIFY(harness.messages.shown.isEmpty());
    QVERIFY(form.MouseIcon().has_value());
    QCOMPARE(form.MouseIcon()->shape(), Qt::BitmapCursor);
    QCOMPARE(form.MouseIcon()->pixmap().size(), QSize(32, 32));
}

void TestStartUp::skinColoursFramesAndLabelsFirst() {
    Harness harness;
    QVERIFY(QDir(harness.programFolder).mkdir(QStringLiteral("x")));
    QFile skin(harness.programFolder + QStringLiteral("/x/o.cjs"));
    QVERIFY(skin.open(QIODevice::WriteOnly));
    skin.write("QPushButton { color: #102030; }");
    skin.close();
    Form1& form = harness.load();
    QVERIFY(harness.messages.shown.isEmpty());
    QCOMPARE(form.styleSheet(), QStringLiteral("QPushButton { color: #102030; }"));
    const QColor buttonFace = QApplication::palette().color(QPalette::Button);
    for (const char* name : {"Frame1", "Frame2", "Label1", "Label2", "Label3", "Label7", "lblSize"}) {
        auto* widget = form.findChild<QWidget*>(QLatin1String(name));
        QVERIFY2(widget && widget->autoFillBackground(), name);
        QCOMPARE(widget->palette().color(widget->backgroundRole()), buttonFace);
    }
    // A folder named like the skin is no skin.
    Harness withFolder;
    QVERIFY(QDir().mkpath(withFolder.programFolder + QStringLiteral("/x/o.cjs")));
    QVERIFY(withFolder.load().styleSheet().isEmpty());
    QVERIFY(withFolder.messages.shown.isEmpty());
}

void TestStartUp::unreadableSettingsReportSteps128And130() {
    Harness harness;
    QVERIFY(QDir().mkpath(harness.settingsFile)); // a folder where the INI file should be
    Form1& form = harness.load();
    const QList<Shown> reports = harness.messages.errorReports();
    QCOMPARE(reports.size(), 2);
    QVERIFY2(reports.at(0).text.contains(QStringLiteral("Form1.Form_Load at line 128\r\r")),
             qPrintable(reports.at(0).text));
    QVERIFY2(reports.at(1).text.contains(QStringLiteral("Form1.Form_Load at line 130\r\r")),
             qPrintable(reports.at(1).text));
    QCOMPARE(harness.text(2)->text(), QString());
    QCOMPARE(harness.text(3)->text(), QStringLiteral("100000"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Quarnel"));
}

void TestStartUp::windowTitlesCarryNoSuffix() {
    // As if main() had set one: Qt appends the display name to every window title that
    // does not end with it, "Application Error — Quarnel".
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Quarnel"));
    Harness harness;
    Form1& form = harness.load();
    const QString appended = QGuiApplication::applicationDisplayName();
    for (const QString& caption : {form.windowTitle(), form.applicationTitle(), QStringLiteral("Application Error"),
                                   QStringLiteral("Select File"), QStringLiteral("Please select folder:")}) {
        QVERIFY2(caption.endsWith(appended), qPrintable(caption + QStringLiteral(" — ") + appended));
    }
}

QTEST_MAIN(TestStartUp)
#include "TestStartUp.moc"
