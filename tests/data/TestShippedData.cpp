#include <QImage>
#include <QImageReader>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The program folder as the build lays it out: samples, cursor and skin.
class TestShippedData : public QObject {
    Q_OBJECT

private slots:
    void filesLieBesideTheProgram_data();
    void filesLieBesideTheProgram();
    void samplePdfIsWellFormed();
    void joinSampleJoinsToTheSamplePdf();
    void handCursorLoadsWithItsHotspotAtTheFingertip();

private:
    static QString programFile(const char* suffix) {
        return QStringLiteral(QUARNEL_PROGRAM_DIR) + QLatin1String(suffix);
    }
    static QByteArray readAll(const QString& path);
};

QByteArray TestShippedData::readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("Cannot read %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return {};
    }
    return file.readAll();
}

void TestShippedData::filesLieBesideTheProgram_data() {
    QTest::addColumn<QString>("suffix");
    // The suffixes the window appends to its program folder.
    for (const char* suffix : {"/HAND-M.CUR", "/x/o.cjs", "/Samples/split_me/sample1.pdf",
                               "/Samples/join_me/sample1.pdf.splt", "/Samples/join_me/sample1.pdf_splt1"}) {
        QTest::newRow(suffix) << QString::fromLatin1(suffix);
    }
}

void TestShippedData::filesLieBesideTheProgram() {
    QFETCH(QString, suffix);
    const QFileInfo info(QStringLiteral(QUARNEL_PROGRAM_DIR) + suffix);
    QVERIFY2(info.isFile(), qPrintable(info.filePath() + QStringLiteral(" is not a file")));
    QVERIFY2(info.size() > 0, qPrintable(info.filePath() + QStringLiteral(" is empty")));
}

void TestShippedData::samplePdfIsWellFormed() {
    const QByteArray pdf = readAll(programFile("/Samples/split_me/sample1.pdf"));
    // Splitting at the default chunk size must give more than one piece.
    QVERIFY2(pdf.size() > 100000, qPrintable(QStringLiteral("only %1 bytes").arg(pdf.size())));
    QVERIFY(pdf.startsWith("%PDF-"));
    QVERIFY(pdf.trimmed().endsWith("%%EOF"));

    const QRegularExpression startXref(QStringLiteral("startxref\\s+(\\d+)\\s+%%EOF\\s*$"));
    const QRegularExpressionMatch tail = startXref.match(QString::fromLatin1(pdf.right(64)));
    QVERIFY2(tail.hasMatch(), "no startxref at the end");
    const qsizetype xref = tail.captured(1).toLongLong();
    QVERIFY2(pdf.mid(xref).startsWith("xref"), "startxref does not point at the xref table");

    // One subsection from object 0; entries are exactly 20 bytes each.
    const QRegularExpression subsection(QStringLiteral("^xref\\s+0 (\\d+)\\r?\\n"));
    const QRegularExpressionMatch head = subsection.match(QString::fromLatin1(pdf.mid(xref, 32)));
    QVERIFY2(head.hasMatch(), "the xref table does not start with a subsection from object 0");
    const int count = head.captured(1).toInt();
    QVERIFY(count > 1);
    const qsizetype entries = xref + head.capturedLength(0);
    QVERIFY(pdf.mid(entries, 20).startsWith("0000000000 65535 f"));
    for (int number = 1; number < count; ++number) {
        const QByteArray entry = pdf.mid(entries + 20 * number, 20);
        QVERIFY2(entry.size() == 20 && entry.at(17) == 'n', entry.constData());
        const qsizetype offset = entry.left(10).toLongLong();
        const QByteArray object = QByteArray::number(number) + " 0 obj";
        QVERIFY2(pdf.mid(offset, object.size()) == object,
                 qPrintable(QStringLiteral("object %1 is not at offset %2").arg(number).arg(offset)));
    }
    QVERIFY(pdf.mid(entries + 20 * count).startsWith("trailer"));
    QVERIFY(pdf.mid(entries + 20 * count).contains("/Size " + QByteArray::number(count) + " "));
}

void TestShippedData::joinSampleJoinsToTheSamplePdf() {
    const QString manifest = programFile("/Samples/join_me/sample1.pdf.splt");
    const QByteArray lines = readAll(manifest);
    QVERIFY2(lines.count("\r\n") > 1, "the join sample should have several pieces");

    QTemporaryDir output;
    QVERIFY(output.isValid());
    QProcess cli;
    cli.start(QStringLiteral(QUARNEL_CLI),
              {QStringLiteral("join"), manifest, QStringLiteral("--output"), output.path()});
    QVERIFY2(cli.waitForFinished(30000), qPrintable(cli.errorString()));
    QVERIFY2(cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0, cli.readAllStandardError().constData());

    const QByteArray joined = readAll(output.filePath(QStringLiteral("sample1.pdf")));
    const QByteArray shipped = readAll(programFile("/Samples/split_me/sample1.pdf"));
    QVERIFY(!shipped.isEmpty());
    QCOMPARE(joined.size(), shipped.size());
    QVERIFY2(joined == shipped, "the joined file differs from the sample PDF");
}

void TestShippedData::handCursorLoadsWithItsHotspotAtTheFingertip() {
    const QString path = programFile("/HAND-M.CUR");
    const QByteArray file = readAll(path);
    QVERIFY(file.size() > 22);
    const auto word = [&file](int at) {
        return static_cast<int>(static_cast<quint8>(file.at(at)) | static_cast<quint8>(file.at(at + 1)) << 8);
    };
    QCOMPARE(word(0), 0);
    QCOMPARE(word(2), 2); // a cursor, not an icon
    QCOMPARE(word(4), 1);
    const QPoint hotSpot(word(10), word(12));

    QImageReader reader(path);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), QSize(32, 32));
    QVERIFY(!QPixmap(path).isNull());

    QVERIFY(image.hasAlphaChannel());
    QCOMPARE(qAlpha(image.pixel(0, 31)), 0);
    QCOMPARE(qAlpha(image.pixel(31, 31)), 0);

    // The fingertip is the topmost thing drawn, and the hotspot is on it.
    QVERIFY(image.valid(hotSpot));
    QVERIFY2(qAlpha(image.pixel(hotSpot)) == 255, "the hotspot is on a transparent pixel");
    for (int y = 0; y < hotSpot.y(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            QVERIFY2(qAlpha(image.pixel(x, y)) == 0,
                     qPrintable(QStringLiteral("drawn above the hotspot at %1,%2").arg(x).arg(y)));
        }
    }
}

QTEST_MAIN(TestShippedData)
#include "TestShippedData.moc"
