#include <stdexcept>

#include <QtTest>

#include "engine/ErrorReport.h"
#include "engine/ReportingProcedure.h"
#include "tests/support/Harness.h"

// The report-and-carry-on mechanism that every handler of the window uses.
class TestReportingProcedure : public QObject {
    Q_OBJECT

private slots:
    void structuredStepsReportAndCarryOn_data();
    void structuredStepsReportAndCarryOn();
    void failuresAreReportedAndCarryOnAtTheirTableEntry();
    void aFailureOfAStatementSharingALineReportsThatLine();
    void errorReportReachesTheBoxExactly();
};

namespace {

struct Report {
    std::string label;
    int line;
    std::string description;
};

} // namespace

void TestReportingProcedure::structuredStepsReportAndCarryOn_data() {
    // 0: the test passes, 1: it does not, 2: it throws a std::exception, 3: anything else.
    QTest::addColumn<int>("outcome");
    QTest::addColumn<bool>("ifItFails");
    QTest::addColumn<QList<int>>("ran");
    QTest::addColumn<QList<int>>("reported");
    QTest::newRow("passes") << 0 << false << QList<int>{104, 106, 110} << QList<int>{102};
    QTest::newRow("does not pass") << 1 << true << QList<int>{104, 108, 110} << QList<int>{102};
    QTest::newRow("throws, taken as passing") << 2 << true << QList<int>{104, 106, 110} << QList<int>{102, 104};
    QTest::newRow("throws, taken as failing") << 2 << false << QList<int>{104, 108, 110} << QList<int>{102, 104};
    QTest::newRow("throws no std::exception") << 3 << false << QList<int>{104, 108, 110} << QList<int>{102, 104};
}

void TestReportingProcedure::structuredStepsReportAndCarryOn() {
    QFETCH(int, outcome);
    QFETCH(bool, ifItFails);
    QFETCH(QList<int>, ran);
    QFETCH(QList<int>, reported);
    QList<int> steps;
    QList<int> lines;
    QStringList descriptions;
    const ReportingProcedure procedure("x ", [&](const std::string& label, int line, const std::string& description) {
        QCOMPARE(label, std::string("x "));
        lines << line;
        descriptions << QString::fromStdString(description);
    });
    // A failing statement is reported and the next one runs.
    procedure.run(102, [] { throw std::runtime_error("first"); });
    const bool passed = procedure.test(
        104,
        [&] {
            steps << 104;
            if (outcome == 2) {
                throw std::runtime_error("second");
            }
            if (outcome == 3) {
                throw 42;
            }
            return outcome == 0;
        },
        ifItFails);
    procedure.run(passed ? 106 : 108, [&, passed] { steps << (passed ? 106 : 108); });
    procedure.run(110, [&] { steps << 110; });
    QCOMPARE(steps, ran);
    QCOMPARE(lines, reported);
    QCOMPARE(descriptions.first(), QStringLiteral("first"));
    if (outcome >= 2) {
        QCOMPARE(descriptions.last(), outcome == 2 ? QStringLiteral("second") : QStringLiteral("Unknown failure"));
    }
}

void TestReportingProcedure::failuresAreReportedAndCarryOnAtTheirTableEntry() {
    // A branch whose test fails continues into its passing branch; two failures give
    // two reports, each with its own line, and the closing step still runs.
    std::vector<Report> reports;
    std::vector<int> ran;
    ReportingProcedure procedure("in Tavrid2021/08/31.Form1.Test ",
                                 [&](const std::string& label, int line, const std::string& description) {
                                     reports.push_back({label, line, description});
                                 });
    procedure
        .step(
            100,
            [&]() -> int {
                ran.push_back(100);
                throw std::runtime_error("first");
            },
            102)
        .step(
            102,
            [&] {
                ran.push_back(102);
                return 106;
            },
            104)
        .step(
            104,
            [&] {
                ran.push_back(104);
                return 106;
            },
            106)
        .step(
            106,
            [&]() -> int {
                ran.push_back(106);
                throw 42; // not a std::exception
            },
            110)
        .step(
            108,
            [&] {
                ran.push_back(108);
                return 110;
            },
            110)
        .step(
            110,
            [&] {
                ran.push_back(110);
                return ReportingProcedure::end;
            },
            ReportingProcedure::end);
    procedure.run(100);

    QCOMPARE(ran, (std::vector<int>{100, 102, 106, 110}));
    QCOMPARE(reports.size(), std::size_t{2});
    QCOMPARE(reports[0].line, 100);
    QCOMPARE(reports[0].description, std::string("first"));
    QCOMPARE(reports[0].label, std::string("in Tavrid2021/08/31.Form1.Test "));
    QCOMPARE(reports[1].line, 106);
    QVERIFY(!reports[1].description.empty());
}

void TestReportingProcedure::aFailureOfAStatementSharingALineReportsThatLine() {
    std::vector<int> lines;
    std::vector<int> ran;
    ReportingProcedure procedure("x ",
                                 [&](const std::string&, int line, const std::string&) { lines.push_back(line); });
    procedure
        .step(
            1300, 130,
            [&]() -> int {
                ran.push_back(1300);
                throw std::runtime_error("value");
            },
            1301)
        .step(
            1301, 130,
            [&]() -> int {
                ran.push_back(1301);
                throw std::runtime_error("caption");
            },
            132)
        .step(
            132,
            [&] {
                ran.push_back(132);
                return ReportingProcedure::end;
            },
            ReportingProcedure::end);
    procedure.run(1300);
    QCOMPARE(ran, (std::vector<int>{1300, 1301, 132}));
    QCOMPARE(lines, (std::vector<int>{130, 130}));
}

void TestReportingProcedure::errorReportReachesTheBoxExactly() {
    Harness harness;
    Form1& form = harness.create();
    form.reportError("in Tavrid2021/08/31.Form1.PushButton4_Click ", 114, "Type mismatch");
    QCOMPARE(harness.messages.shown.size(), 1);
    const Shown box = harness.messages.shown.first();
    QCOMPARE(box.kind, Shown::ErrorReport);
    QCOMPARE(box.text, QStringLiteral("Type mismatch\r\nin Tavrid2021/08/31.Form1.PushButton4_Click at line 114\r\r"
                                      "Please email screenshot of this message to support@velmarc.example"));
    QCOMPARE(
        QString::fromStdString(ErrorReport::text("Type mismatch", "in Tavrid2021/08/31.Form1.PushButton4_Click ", 114)),
        box.text);
}

QTEST_MAIN(TestReportingProcedure)
#include "TestReportingProcedure.moc"
