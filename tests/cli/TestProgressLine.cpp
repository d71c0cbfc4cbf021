#include <QtTest>

#include "cli/ProgressLine.h"

// The progress line's text, in-process, from byte counts recorded at given times.
class TestProgressLine : public QObject {
    Q_OBJECT

private slots:
    void text_data();
    void text();
};

void TestProgressLine::text_data() {
    QTest::addColumn<QString>("samples"); // "SECONDS:MIB ..."
    QTest::addColumn<qint64>("total");    // bytes; 0: unknown
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");
    constexpr qint64 mib = 1024 * 1024;
    QTest::newRow("start") << "0:0" << qint64(250000) << 79 << "0 B of 244.1 KiB (0%)";
    QTest::newRow("speed and time left") << "0:0 2:100" << 300 * mib << 79
                                         << "100.0 MiB of 300.0 MiB (33%), 50.0 MiB/s, 0:04 left";
    QTest::newRow("no room for the time left")
        << "0:0 2:100" << 300 * mib << 50 << "100.0 MiB of 300.0 MiB (33%), 50.0 MiB/s";
    QTest::newRow("no room for the speed") << "0:0 2:100" << 300 * mib << 39 << "100.0 MiB of 300.0 MiB (33%)";
    QTest::newRow("no room for the share") << "0:0 2:100" << 300 * mib << 27 << "100.0 MiB";
    QTest::newRow("unknown total") << "0:0 1:1" << qint64(0) << 79 << "1.0 MiB, 1.0 MiB/s";
    // The speed of the last seconds, not the average since the start (21 MiB/s here).
    QTest::newRow("a disk that slowed down") << "0:0 1:100 2:200 12:220" << qint64(0) << 79 << "220.0 MiB, 2.0 MiB/s";
    QTest::newRow("the window's first sample")
        << "0:0 1:10 2:20 3:30 4:40 5:50 6:80" << qint64(0) << 79 << "80.0 MiB, 14.0 MiB/s";
    QTest::newRow("done") << "0:0 4:400" << 400 * mib << 79 << "400.0 MiB of 400.0 MiB (100%), 100.0 MiB/s";
}

void TestProgressLine::text() {
    QFETCH(QString, samples);
    QFETCH(qint64, total);
    QFETCH(int, width);
    QFETCH(QString, expected);
    ProgressLine line;
    const ProgressLine::Clock::time_point start{};
    for (const QString& sample : samples.split(' ')) {
        const auto at = std::chrono::duration<double>(sample.section(':', 0, 0).toDouble());
        line.record(sample.section(':', 1, 1).toLongLong() * 1024 * 1024,
                    start + std::chrono::duration_cast<ProgressLine::Clock::duration>(at));
    }
    QCOMPARE(QString::fromStdString(line.text(total, static_cast<std::size_t>(width))), expected);
}

QTEST_APPLESS_MAIN(TestProgressLine)
#include "TestProgressLine.moc"
