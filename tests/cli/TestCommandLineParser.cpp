#include <QtTest>

#include "cli/CommandLine.h"

// quarnel-cli's parser, in-process: what the command line means, and each usage error.
class TestCommandLineParser : public QObject {
    Q_OBJECT

private slots:
    void usageErrors_data();
    void usageErrors();
};

namespace {

using Arguments = QStringList;

std::vector<std::string> toStrings(const QStringList& arguments) {
    std::vector<std::string> strings;
    for (const QString& argument : arguments) {
        strings.push_back(argument.toStdString());
    }
    return strings;
}

} // namespace

void TestCommandLineParser::usageErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("reason"); // a part of the error, when it matters
    QTest::newRow("no arguments") << Arguments{} << "";
    QTest::newRow("unknown command") << Arguments{"cut", "big.bin"} << "";
    QTest::newRow("split without file") << Arguments{"split"} << "";
    QTest::newRow("join without manifest") << Arguments{"join"} << "";
    QTest::newRow("chunk size without value") << Arguments{"split", "big.bin", "--chunk-size"} << "";
    QTest::newRow("output without value") << Arguments{"split", "big.bin", "--output"} << "";
    QTest::newRow("unknown suffix") << Arguments{"split", "big.bin", "--chunk-size", "12Q"} << "";
    const QString limit = "at most 2147483647 bytes";
    QTest::newRow("above 32 bits") << Arguments{"split", "big.bin", "--chunk-size", "3000000000"} << limit;
    QTest::newRow("2^31") << Arguments{"split", "big.bin", "--chunk-size", "2147483648"} << limit;
    QTest::newRow("2G is 2^31") << Arguments{"split", "big.bin", "--chunk-size", "2G"} << limit;
    QTest::newRow("3GB") << Arguments{"split", "big.bin", "--chunk-size", "3GB"} << limit;
    QTest::newRow("2GiB") << Arguments{"split", "big.bin", "--chunk-size", "2GiB"} << limit;
    QTest::newRow("1T") << Arguments{"split", "big.bin", "--chunk-size", "1T"} << limit;
    QTest::newRow("below -2^31") << Arguments{"split", "big.bin", "--chunk-size", "-2147483649"} << "";
    QTest::newRow("huge digits") << Arguments{"split", "big.bin", "--chunk-size", "99999999999999999999999K"} << "";
    QTest::newRow("fraction") << Arguments{"split", "big.bin", "--chunk-size", "1.5"} << "";
    QTest::newRow("suffix alone") << Arguments{"split", "big.bin", "--chunk-size", "K"} << "";
    QTest::newRow("empty") << Arguments{"split", "big.bin", "--chunk-size", ""} << "";
    QTest::newRow("blank before suffix") << Arguments{"split", "big.bin", "--chunk-size", "12 K"} << "";
    QTest::newRow("lower-case b after k") << Arguments{"split", "big.bin", "--chunk-size", "1kb"} << "";
    QTest::newRow("Kib") << Arguments{"split", "big.bin", "--chunk-size", "1Kib"} << "";
    QTest::newRow("lower-case g") << Arguments{"split", "big.bin", "--chunk-size", "1g"} << "";
    QTest::newRow("B alone") << Arguments{"split", "big.bin", "--chunk-size", "12B"} << "";
    QTest::newRow("1.5M") << Arguments{"split", "big.bin", "--chunk-size", "1.5M"} << "";
    QTest::newRow("sign alone") << Arguments{"split", "big.bin", "--chunk-size", "-"} << "";
    QTest::newRow("two signs") << Arguments{"split", "big.bin", "--chunk-size", "+-5"} << "";
    QTest::newRow("hexadecimal") << Arguments{"split", "big.bin", "--chunk-size", "0x10"} << "";
    QTest::newRow("equals form, bad value") << Arguments{"split", "big.bin", "--chunk-size=12Q"} << "";
    QTest::newRow("chunk size for join") << Arguments{"join", "big.bin", "--chunk-size", "10"} << "";
    QTest::newRow("unknown option") << Arguments{"split", "big.bin", "--force"} << "";
    QTest::newRow("two files") << Arguments{"split", "big.bin", "other.bin"} << "";
    const QString parts = "from 1 to 32767";
    QTest::newRow("-n 0") << Arguments{"split", "big.bin", "-n", "0"} << parts;
    QTest::newRow("-n 32768") << Arguments{"split", "big.bin", "-n", "32768"} << parts;
    QTest::newRow("--parts=32768") << Arguments{"split", "big.bin", "--parts=32768"} << parts;
    QTest::newRow("-n -3") << Arguments{"split", "big.bin", "-n-3"} << parts;
    QTest::newRow("-n with suffix") << Arguments{"split", "big.bin", "-n", "1K"} << parts;
    QTest::newRow("-n without value") << Arguments{"split", "big.bin", "-n"} << "";
    QTest::newRow("-n and --chunk-size") << Arguments{"split", "big.bin", "-n", "3", "--chunk-size", "100"}
                                         << "not both";
    QTest::newRow("-n for join") << Arguments{"join", "big.bin", "-n", "3"} << "";
    QTest::newRow("checksum for join") << Arguments{"join", "big.bin", "--checksum"} << "";
    QTest::newRow("output for verify") << Arguments{"verify", "big.bin", "--output", "out"} << "";
    QTest::newRow("verify without manifest") << Arguments{"verify", "-q"} << "";
}

void TestCommandLineParser::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    const CommandLine::ParseResult parsed = CommandLine::parse(toStrings(arguments), "/work");
    QVERIFY(!parsed.arguments);
    const QString error = QString::fromStdString(parsed.error);
    // One line, which the program prints after "quarnel-cli: ".
    QVERIFY2(!error.isEmpty() && !error.contains(QLatin1Char('\n')) && error.contains(reason), qPrintable(error));
}

QTEST_APPLESS_MAIN(TestCommandLineParser)
#include "TestCommandLineParser.moc"
