#include <QtTest>

#include "window/ChunkSize.h"

// The chunk size as the split command converts it from Text3.
class TestChunkSize : public QObject {
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
    void userLocaleSeparators();
};

void TestChunkSize::conversion_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("converts");
    QTest::addColumn<int>("value");
    QTest::newRow("plain") << "100000" << true << 100000;
    QTest::newRow("blanks and sign") << "  +250 " << true << 250;
    QTest::newRow("exponent") << "1e3" << true << 1000;
    QTest::newRow("half to even, down") << "2.5" << true << 2;
    QTest::newRow("half to even, up") << "3.5" << true << 4;
    QTest::newRow("negative half") << "-2.5" << true << -2;
    QTest::newRow("below half") << "7.4999" << true << 7;
    QTest::newRow("group separator") << "1,000" << true << 1000;
    QTest::newRow("largest") << "2147483647" << true << 2147483647;
    QTest::newRow("largest, fraction below half") << "2147483647.4" << true << 2147483647;
    QTest::newRow("half above largest rounds out") << "2147483647.5" << false << 0;
    QTest::newRow("smallest") << "-2147483648" << true << -2147483647 - 1;
    QTest::newRow("below smallest") << "-2147483649" << false << 0;
    QTest::newRow("far too large") << "3000000000" << false << 0;
    QTest::newRow("letters") << "abc" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("nan") << "nan" << false << 0;
}

void TestChunkSize::conversion() {
    QFETCH(QString, text);
    QFETCH(bool, converts);
    QFETCH(int, value);
    const QLocale locale = QLocale::c();
    if (converts) {
        QCOMPARE(ChunkSize::toChunkSize(text, locale), value);
        QVERIFY(ChunkSize::isNumeric(text, locale));
    } else {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, ChunkSize::toChunkSize(text, locale));
    }
}

void TestChunkSize::userLocaleSeparators() {
    const QLocale german(QLocale::German, QLocale::Germany);
    QCOMPARE(ChunkSize::toChunkSize(QStringLiteral("1.000,5"), german), 1000);
    QCOMPARE(ChunkSize::toChunkSize(QStringLiteral("2,5"), german), 2);
    QVERIFY(ChunkSize::isNumeric(QStringLiteral(" 12,75 "), german));
    QVERIFY(!ChunkSize::isNumeric(QStringLiteral("12,7,5"), german));
}

QTEST_MAIN(TestChunkSize)
#include "TestChunkSize.moc"
