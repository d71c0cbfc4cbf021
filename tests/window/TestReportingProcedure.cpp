#include <stdexcept>

#include <QtTest>

#include "engine/ErrorReport.h"
#include "shell/ReportingProcedure.h"
#include "tests/support/Harness.h"

// The report-and-carry-on mechanism that every handler of the window uses.
class TestReportingProcedure : public QObject {
    Q_OBJECT

private slots:
    void structuredStepsReportAndCarryOn_data();
    void structuredStepsReportAndCarryOn();
    void aFailureOfAStatementSharingALineReportsThatLine();
    void errorReportReachesTheBoxExactly();
};

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

void TestReportingProcedure::aFailureOfAStatementSharingALineReportsThatLine() {
    // Two statements on one line: each failure is reported with that line, and the
    // statement after them still runs.
    std::vector<int> lines;
    std::vector<std::string> descriptions;
    bool ranNext = false;
    const ReportingProcedure procedure("x ", [&](const std::string&, int line, const std::string& description) {
        lines.push_back(line);
        descriptions.push_back(description);
    });
    procedure.run(130, [] { throw std::runtime_error("value"); });
    procedure.run(130, [] { throw std::runtime_error("caption"); });
    procedure.run(132, [&] { ranNext = true; });
    QVERIFY(ranNext);
    QCOMPARE(lines, (std::vector<int>{130, 130}));
    QCOMPARE(descriptions, (std::vector<std::string>{"value", "caption"}));
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
}

QTEST_MAIN(TestReportingProcedure)
#include "TestReportingProcedure.moc"
