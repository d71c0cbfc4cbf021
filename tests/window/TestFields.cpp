#include <QtTest>

#include "tests/support/Harness.h"

// The two field handlers: Text2 stores every change, Text3 stores a numeric text
// unaltered when the focus leaves it and holds the focus otherwise.
class TestFields : public QObject {
    Q_OBJECT

private slots:
    void text2StoresEveryIntermediateText();
    void text3NumericCheck_data();
    void text3NumericCheck();
};

void TestFields::text2StoresEveryIntermediateText() {
    Harness harness;
    harness.show();
    QLineEdit* text2 = harness.text(2);
    text2->clear();
    QCOMPARE(harness.settings().read(QStringLiteral("Output Folder"), QStringLiteral("absent")), QString());
    text2->setFocus();
    QStringList stored;
    connect(text2, &QLineEdit::textChanged, text2,
            [&] { stored << harness.settings().read(QStringLiteral("Output Folder"), QStringLiteral("absent")); });
    QTest::keyClicks(text2, QStringLiteral("/tm"));
    QCOMPARE(stored, (QStringList{"/", "/t", "/tm"}));
    QVERIFY(harness.messages.shown.isEmpty());
}

void TestFields::text3NumericCheck_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("numeric");
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("letters") << QStringLiteral("abc") << false;
    QTest::newRow("digits then letters") << QStringLiteral("12ab") << false;
    QTest::newRow("exponent") << QStringLiteral("1e3") << true;
    QTest::newRow("blanks around") << QStringLiteral(" 250 ") << true;
    QTest::newRow("negative") << QStringLiteral("-5") << true;
    QTest::newRow("fraction") << QStringLiteral("2.5") << true;
    QTest::newRow("zero") << QStringLiteral("0") << true;
    QTest::newRow("group separator") << QStringLiteral("100,000") << true;
    QTest::newRow("only blanks") << QStringLiteral("   ") << false;
    QTest::newRow("infinity") << QStringLiteral("inf") << false;
}

void TestFields::text3NumericCheck() {
    QFETCH(QString, typed);
    QFETCH(bool, numeric);
    QLocale::setDefault(QLocale::c());
    Harness harness;
    harness.settings().write(QStringLiteral("Chunk Size"), QStringLiteral("4096"));
    Form1& form = harness.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QLineEdit* text3 = harness.text(3);
    text3->setFocus();
    QTRY_VERIFY(text3->hasFocus());
    text3->selectAll();
    QTest::keyClick(text3, Qt::Key_Delete);
    QTest::keyClicks(text3, typed);
    QCOMPARE(text3->text(), typed);
    QTest::keyClick(text3, Qt::Key_Tab);

    if (numeric) {
        QTRY_COMPARE(harness.settings().read(QStringLiteral("Chunk Size"), QString()), typed);
        QVERIFY(harness.messages.shown.isEmpty());
        QVERIFY(!text3->hasFocus());
        return;
    }
    QTRY_COMPARE(harness.messages.shown.size(), 1);
    const Shown box = harness.messages.shown.first();
    QCOMPARE(box.kind, Shown::Notice);
    QCOMPARE(box.text, QStringLiteral("Must be a numeric entry."));
    QCOMPARE(box.caption, QStringLiteral("Quarnel"));
    QTRY_VERIFY(text3->hasFocus());
    QCOMPARE(harness.settings().read(QStringLiteral("Chunk Size"), QString()), QStringLiteral("4096"));
    // Every further attempt to leave asks again.
    QTest::keyClick(text3, Qt::Key_Tab);
    QTRY_COMPARE(harness.messages.shown.size(), 2);
    QTRY_VERIFY(text3->hasFocus());
}

QTEST_MAIN(TestFields)
#include "TestFields.moc"
