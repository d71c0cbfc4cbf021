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
    QTest::addColumn<QString>("samples"); // "SECONDS:BYTES ..."
    QTest::addColumn<qint64>("total");    // 0: unknown
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("expected");
    constexpr qint64 mib = 1024 * 1024;
    const QString sixty = QString("0:0 2:%1").arg(100 * mib);
    QTest::newRow("start") << "0:0" << qint64(250000) << 79 << "0 B of 244.1 KiB (0%)";
    QTest::newRow("speed and time left") << sixty << 300 * mib << 79
                                         << "100.0 MiB of 300.0 MiB (33%), 50.0 MiB/s, 0:04 left";
    QTest::newRow("no room for the time left")
        << sixty << 300 * mib << 50 << "100.0 MiB of 300.0 MiB (33%), 50.0 MiB/s";
    QTest::newRow("no room for the speed") << sixty << 300 * mib << 39 << "100.0 MiB of 300.0 MiB (33%)";
    QTest::newRow("no room for the share") << sixty << 300 * mib << 27 << "100.0 MiB";
    QTest::newRow("unknown total") << QString("0:0 1:%1").arg(mib) << qint64(0) << 79 << "1.0 MiB, 1.0 MiB/s";
    // The speed of the last seconds, not the average since the start (21 MiB/s here).
    QTest::newRow("a disk that slowed down")
        << QString("0:0 1:%1 2:%2 12:%3").arg(100 * mib).arg(200 * mib).arg(220 * mib) << qint64(0) << 79
        << "220.0 MiB, 2.0 MiB/s";
    QTest::newRow("the window's first sample") << QString("0:0 1:%1 2:%2 3:%3 4:%4 5:%5 6:%6")
                                                      .arg(10 * mib)
                                                      .arg(20 * mib)
                                                      .arg(30 * mib)
                                                      .arg(40 * mib)
                                                      .arg(50 * mib)
                                                      .arg(80 * mib)
                                               << qint64(0) << 79 << "80.0 MiB, 14.0 MiB/s";
    QTest::newRow("done") << QString("0:0 4:%1").arg(400 * mib) << 400 * mib << 79
                          << "400.0 MiB of 400.0 MiB (100%), 100.0 MiB/s";
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
        line.record(sample.section(':', 1, 1).toLongLong(),
                    start + std::chrono::duration_cast<ProgressLine::Clock::duration>(at));
    }
    QCOMPARE(QString::fromStdString(line.text(total, static_cast<std::size_t>(width))), expected);
}

QTEST_APPLESS_MAIN(TestProgressLine)
#include "TestProgressLine.moc"
