#include <clocale>

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

#include "cli/CommandLine.h"
#include "cli/Quoting.h"

// quarnel-cli's parser, in-process: what the command line means, and each usage error.
class TestCommandLineParser : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void meanings_data();
    void meanings();
    void usageErrors_data();
    void usageErrors();
    void quoting_data();
    void quoting();
    void manualMatchesHelp();
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

// The manual's section `name` as its words read, blanks left out: one entry for each
// line the section breaks (.br), or for each .TP tag with `tags`.
QStringList manualSection(const QStringList& manual, const QString& name, bool tags) {
    static const QRegularExpression markup(R"(^\.[A-Z]+ |\\f[BIPR]|\\&|"|\s)");
    QStringList entries{""};
    bool inside = false;
    for (qsizetype i = 0; i < manual.size(); ++i) {
        if (manual[i].startsWith(".SH ")) {
            inside = manual[i] == ".SH " + name;
        } else if (inside && (tags ? manual[i] == ".TP" : manual[i] == ".br")) {
            entries << (tags ? QString(manual[++i]).remove(markup).replace("\\-", "-") : "");
        } else if (inside && !tags) {
            entries.last() += QString(manual[i]).remove(markup).replace("\\-", "-");
        }
    }
    entries.removeAll("");
    return entries;
}

} // namespace

void TestCommandLineParser::initTestCase() {
    // getopt_long would stop at the first operand.
    qunsetenv("POSIXLY_CORRECT");
    // Names are quoted by what the locale can print.
    QVERIFY(std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr);
}

void TestCommandLineParser::meanings_data() {
    QTest::addColumn<QStringList>("arguments");
    // "command operand chunk parts checksum quiet output name", '*' for "not given"
    // where that is not the default.
    QTest::addColumn<QString>("meaning");
    QTest::newRow("defaults") << Arguments{"split", "a.bin"} << "split a.bin 100000 0 0 0 * *";
    QTest::newRow("options after the operand")
        << Arguments{"split", "a.bin", "--chunk-size", "1K", "--checksum", "--output", "out", "-q"}
        << "split a.bin 1024 0 1 1 out *";
    QTest::newRow("options before the command")
        << Arguments{"-q", "--output=out", "join", "a.splt"} << "join a.splt 100000 0 0 1 out *";
    QTest::newRow("between the operands") << Arguments{"split", "-b", "3", "a.bin"} << "split a.bin 3 0 0 0 * *";
    QTest::newRow("bundled, value attached") << Arguments{"split", "-qn3", "a.bin"} << "split a.bin 100000 3 0 1 * *";
    QTest::newRow("bundled, value apart") << Arguments{"split", "-qb", "2K", "a.bin"} << "split a.bin 2048 0 0 1 * *";
    QTest::newRow("short value attached")
        << Arguments{"split", "-b1M", "-oout", "a.bin"} << "split a.bin 1048576 0 0 0 out *";
    QTest::newRow("abbreviated") << Arguments{"split", "a.bin", "--chunk=1M", "--chec", "--out", "o", "--qu"}
                                 << "split a.bin 1048576 0 1 1 o *";
    QTest::newRow("-- ends the options") << Arguments{"split", "--", "-q"} << "split -q 100000 0 0 0 * *";
    QTest::newRow("options before --") << Arguments{"split", "-q", "--", "--checksum"}
                                       << "split --checksum 100000 0 0 1 * *";
    QTest::newRow("largest chunk") << Arguments{"split", "a", "-b", "2147483647"} << "split a 2147483647 0 0 0 * *";
    QTest::newRow("standard input") << Arguments{"split", "-", "--name", "backup.tar", "-b", "1G"}
                                    << "split - 1073741824 0 0 0 * backup.tar";
    QTest::newRow("join to standard output")
        << Arguments{"join", "a.splt", "-o", "-"} << "join a.splt 100000 0 0 0 - *";
    QTest::newRow("verify") << Arguments{"verify", "-q", "a.splt"} << "verify a.splt 100000 0 0 1 * *";
    QTest::newRow("repair") << Arguments{"repair", "a.splt", "-q"} << "repair a.splt 100000 0 0 1 * *";
    // After the recovery asked for: what it means for a set of 7 pieces (0: more than it has).
    QTest::newRow("recovery pieces") << Arguments{"split", "a", "--recovery", "3"}
                                     << "split a 100000 0 0 0 * * recovery 3 3";
    QTest::newRow("recovery share rounded up")
        << Arguments{"split", "a", "--recov=50%", "--checksum"} << "split a 100000 0 1 0 * * recovery 50% 4";
    QTest::newRow("recovery 1% of a few")
        << Arguments{"split", "a", "--recovery", "1%"} << "split a 100000 0 0 0 * * recovery 1% 1";
    QTest::newRow("recovery of every piece")
        << Arguments{"split", "a", "--recovery", "100%"} << "split a 100000 0 0 0 * * recovery 100% 7";
    QTest::newRow("numbered standard input with recovery")
        << Arguments{"split", "-", "--name", "x", "--numb", "--recovery", "1"}
        << "split - 100000 0 0 0 * x numbered recovery 1 1";
    QTest::newRow("recovery beyond the set")
        << Arguments{"split", "a", "--recovery", "8"} << "split a 100000 0 0 0 * * recovery 8 0";
    QTest::newRow("help wins over what follows") << Arguments{"split", "--help", "--force"} << "help";
    QTest::newRow("-h bundled") << Arguments{"-qh"} << "help";
    QTest::newRow("version after a command") << Arguments{"join", "x", "--version"} << "version";
}

void TestCommandLineParser::meanings() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, meaning);
    const CommandLine::ParseResult parsed = CommandLine::parse(toStrings(arguments));
    QVERIFY2(parsed.arguments, parsed.error.c_str());
    const CommandLine::Arguments& a = *parsed.arguments;
    using CommandLine::Command;
    if (a.command == Command::Help || a.command == Command::Version) {
        QCOMPARE(QString(a.command == Command::Help ? "help" : "version"), meaning);
        return;
    }
    const QString command = a.command == Command::Split    ? "split"
                            : a.command == Command::Join   ? "join"
                            : a.command == Command::Verify ? "verify"
                                                           : "repair";
    QString got = QString("%1 %2 %3 %4 %5 %6 %7 %8")
                      .arg(command, QString::fromStdString(a.operand))
                      .arg(a.chunkSize)
                      .arg(a.parts)
                      .arg(int(a.checksum))
                      .arg(int(a.quiet))
                      .arg(a.output ? QString::fromStdString(*a.output) : "*",
                           a.name.empty() ? "*" : QString::fromStdString(a.name));
    if (a.numbered) {
        got += " numbered";
    }
    if (a.recovery > 0) {
        got += QString(" recovery %1%2 %3")
                   .arg(a.recovery)
                   .arg(a.recoveryPercent ? "%" : "")
                   .arg(CommandLine::recoveryPieces(a, 7));
    }
    QCOMPARE(got, meaning);
}

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
    // Every chunk size but a whole number from 1 to 2^31 - 1.
    const QString invalid = "invalid chunk size";
    QTest::newRow("chunk 0") << Arguments{"split", "big.bin", "-b", "0"} << invalid;
    QTest::newRow("chunk -1K") << Arguments{"split", "big.bin", "--chunk-size", "-1K"} << invalid;
    QTest::newRow("chunk -2^31") << Arguments{"split", "big.bin", "--chunk-size=-2147483648"} << invalid;
    QTest::newRow("-b without value") << Arguments{"split", "big.bin", "-b"} << "option -b needs a value";
    QTest::newRow("-o without value, bundled") << Arguments{"join", "x", "-qo"} << "option -o needs a value";
    QTest::newRow("ambiguous abbreviation")
        << Arguments{"split", "x", "--ch", "5"} << "'--ch' is ambiguous: --chunk-size, --checksum";
    QTest::newRow("unknown short option") << Arguments{"split", "x", "-qz"} << "unknown option '-z'";
    QTest::newRow("unknown long option, value") << Arguments{"split", "x", "--force=yes"} << "unknown option '--force'";
    QTest::newRow("value for a flag") << Arguments{"split", "x", "--checksum=1"} << "--checksum takes no value";
    QTest::newRow("an option before an unknown command") << Arguments{"-q", "cut", "x"} << "unknown command 'cut'";
    QTest::newRow("a command after --") << Arguments{"--", "-q"} << "unknown command '-q'";
    QTest::newRow("-b for join") << Arguments{"-b", "5", "join", "x"} << "join takes no --chunk-size";
    QTest::newRow("--name for join") << Arguments{"join", "x", "--name", "y"} << "join takes no --name";
    QTest::newRow("split - without --name") << Arguments{"split", "-"} << "needs --name";
    QTest::newRow("--name for a file") << Arguments{"split", "a.bin", "--name", "b"} << "standard input (-) only";
    QTest::newRow("empty --name") << Arguments{"split", "-", "--name="} << "--name needs a file name";
    QTest::newRow("--name with a folder") << Arguments{"split", "-", "--name", "d/x"} << "is a path";
    QTest::newRow("parts of standard input") << Arguments{"split", "-", "--name", "x", "-n", "3"} << "--chunk-size";
    QTest::newRow("split into standard output") << Arguments{"split", "a.bin", "-o", "-"} << "for join only";
    QTest::newRow("join of standard input") << Arguments{"join", "-"} << "not from standard input";
    const QString recovery = "invalid recovery";
    QTest::newRow("recovery 0") << Arguments{"split", "a", "--recovery", "0"} << recovery;
    QTest::newRow("recovery 0%") << Arguments{"split", "a", "--recovery=0%"} << recovery;
    QTest::newRow("recovery 101%") << Arguments{"split", "a", "--recovery=101%"} << recovery;
    QTest::newRow("recovery 32768") << Arguments{"split", "a", "--recovery=32768"} << recovery;
    QTest::newRow("recovery %") << Arguments{"split", "a", "--recovery=%"} << recovery;
    QTest::newRow("recovery with a suffix") << Arguments{"split", "a", "--recovery=2K"} << recovery;
    QTest::newRow("recovery negative") << Arguments{"split", "a", "--recovery=-2"} << recovery;
    QTest::newRow("recovery without value") << Arguments{"split", "a", "--recovery"} << "needs a value";
    QTest::newRow("numbered for join") << Arguments{"join", "a.001", "--numbered"} << "join takes no --numbered";
    QTest::newRow("recovery for repair") << Arguments{"repair", "a.splt", "--recovery", "1"}
                                         << "repair takes no --recovery";
    QTest::newRow("output for repair") << Arguments{"repair", "a.splt", "-o", "d"} << "repair takes no --output";
    QTest::newRow("repair without manifest") << Arguments{"repair"} << "missing MANIFEST";
    QTest::newRow("operand quoted") << Arguments{"split", "a", "b c"} << "unexpected argument 'b c'";
}

void TestCommandLineParser::usageErrors() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, reason);
    const CommandLine::ParseResult parsed = CommandLine::parse(toStrings(arguments));
    QVERIFY(!parsed.arguments);
    const QString error = QString::fromStdString(parsed.error);
    // One line, which the program prints after "quarnel-cli: ".
    QVERIFY2(!error.isEmpty() && !error.contains(QLatin1Char('\n')) && error.contains(reason), qPrintable(error));
}

void TestCommandLineParser::quoting_data() {
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("quoted"); // where needed, as at the start of "NAME: reason"
    QTest::newRow("plain") << QByteArray("out/a_splt1") << QByteArray("out/a_splt1");
    QTest::newRow("empty") << QByteArray("") << QByteArray("''");
    QTest::newRow("blank") << QByteArray("a b") << QByteArray("'a b'");
    QTest::newRow("line break") << QByteArray("x\ny") << QByteArray("'x'$'\\n''y'");
    QTest::newRow("escapes first") << QByteArray("\t\r") << QByteArray("''$'\\t\\r'");
    QTest::newRow("byte 377 inside") << QByteArray("a\377x") << QByteArray("'a'$'\\377''x'");
    QTest::newRow("control byte") << QByteArray("\001") << QByteArray("''$'\\001'");
    QTest::newRow("apostrophe") << QByteArray("it's a") << QByteArray("\"it's a\"");
    QTest::newRow("apostrophe and dollar") << QByteArray("it's $x") << QByteArray("'it'\\''s $x'");
    QTest::newRow("apostrophe and line break") << QByteArray("it's\n") << QByteArray("'it'\\''s'$'\\n'");
    QTest::newRow("backslash") << QByteArray("a\\b") << QByteArray("'a\\b'");
    QTest::newRow("hash first") << QByteArray("#a") << QByteArray("'#a'");
    QTest::newRow("hash later") << QByteArray("a#") << QByteArray("a#");
    QTest::newRow("brace alone") << QByteArray("{") << QByteArray("'{'");
    QTest::newRow("safe punctuation") << QByteArray("a,b:c@d%+-]_{") << QByteArray("a,b:c@d%+-]_{");
    QTest::newRow("equals") << QByteArray("a=b") << QByteArray("'a=b'");
    QTest::newRow("printable UTF-8") << QByteArray("\303\251t\303\251") << QByteArray("\303\251t\303\251");
    QTest::newRow("UTF-8 cut short") << QByteArray("a\303") << QByteArray("'a'$'\\303'");
    QTest::newRow("C1 control in UTF-8") << QByteArray("\302\205") << QByteArray("''$'\\302\\205'");
}

void TestCommandLineParser::quoting() {
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, quoted);
    const std::string_view text(name.constData(), static_cast<std::size_t>(name.size()));
    QCOMPARE(QByteArray::fromStdString(Quoting::quote(text)), quoted);
    // Inside a sentence a name is quoted in any case.
    const bool bare = !quoted.startsWith('\'') && !quoted.startsWith('"');
    QCOMPARE(QByteArray::fromStdString(Quoting::quote(text, Quoting::When::Always)),
             bare ? "'" + quoted + "'" : quoted);
}

// The manual page's synopsis and option tags are those of --help, whose options are
// those getopt_long reads.
void TestCommandLineParser::manualMatchesHelp() {
    QFile file(QStringLiteral(QUARNEL_CLI_MANUAL));
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.errorString()));
    const QStringList manual = QString::fromUtf8(file.readAll()).split('\n');
    QStringList usage;
    QStringList tags;
    bool inOptions = false;
    for (const QString& line : QString::fromStdString(CommandLine::helpText()).split('\n')) {
        if (line.startsWith("Usage: ") || (usage.size() > 0 && line.startsWith("       quarnel-cli"))) {
            usage << line.mid(7).remove(' ');
        }
        inOptions = (inOptions && !line.isEmpty()) || line == "Options:";
        if (inOptions && line.trimmed().startsWith('-')) {
            tags << line.trimmed().section("  ", 0, 0).remove(' ');
        }
    }
    // Every option of getopt_long's table, in its order.
    QStringList longForms;
    for (const option* entry = CommandLine::longOptions; entry->name != nullptr; ++entry) {
        longForms << QString("--") + entry->name;
    }
    QVERIFY(usage.size() >= 4 && tags.size() == longForms.size());
    for (qsizetype i = 0; i < tags.size(); ++i) {
        QVERIFY2(tags[i].section('=', 0, 0).endsWith(longForms[i]), qPrintable(tags[i]));
    }
    QCOMPARE(manualSection(manual, "SYNOPSIS", false), usage);
    QCOMPARE(manualSection(manual, "OPTIONS", true), tags);
}

QTEST_APPLESS_MAIN(TestCommandLineParser)
#include "TestCommandLineParser.moc"
