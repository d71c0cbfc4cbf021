#include <QCryptographicHash>
#include <QProgressBar>
#include <QtTest>

#include "engine/RunFolder.h"
#include "engine/hash/Crc32.h"
#include "engine/recovery/Recovery.h"
#include "feedback/Hover.h"
#include "tests/support/Harness.h"

// "Start Joining" through the real window, a whole split and join round trip, the
// Busy guard from inside an event-loop turn, and closing the window or Esc mid-operation.
class TestJoinCommand : public HarnessTest {
    Q_OBJECT

private slots:
    void messages_data();
    void messages();
    void roundTripReproducesTheFile();
    void startButtonsDoNothingWhileBusy_data();
    void startButtonsDoNothingWhileBusy();
    void closingStopsTheOperation_data();
    void closingStopsTheOperation();
    void escStopsTheOperationAndKeepsTheWindow_data();
    void escStopsTheOperationAndKeepsTheWindow();
    void damagedPieceStopsTheJoin();
    void joinRepairsFromRecoveryData_data();
    void joinRepairsFromRecoveryData();
    void setsOfOtherPrograms_data();
    void setsOfOtherPrograms();

private:
    Form1& prepare(qint64 size, bool joining);
};

// Sets up a split of <root>/a.bin in 100-byte pieces; for a join, splits it first
// and fills the join row with its manifest and a fresh output folder.
Form1& TestJoinCommand::prepare(qint64 size, bool joining) {
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = harness.showReadyToSplit(size);
    if (joining) {
        harness.button(4)->click();
        if (!harness.waitUntilIdle() || !QDir(root).mkdir(QStringLiteral("joined"))) {
            qFatal("cannot split or make the output folder");
        }
        harness.messages.shown.clear();
        harness.text(2)->setText(root + QStringLiteral("/joined/"));
        harness.text(4)->setText(root + QStringLiteral("/a.bin.splt"));
    }
    return form;
}

void TestJoinCommand::messages_data() {
    QTest::addColumn<QString>("manifest");
    QTest::addColumn<QStringList>("notices");
    QTest::newRow("empty field") << "" << QStringList{"You must select file to join."};
    QTest::newRow("not found") << "%1/none.splt" << QStringList{"%1/none.splt not exist"};
    QTest::newRow("a folder") << "%1/pieces" << QStringList{"%1/pieces not exist"};
    QTest::newRow("found") << "%1/pieces/a.bin.splt" << QStringList{"Files successfully joined"};
}

void TestJoinCommand::messages() {
    QFETCH(QString, manifest);
    QFETCH(QStringList, notices);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    const QByteArray source = Files::pattern(25);
    Files::writeOrDie(root + QStringLiteral("/pieces/a.bin"), source);
    Form1& form = harness.load();
    harness.text(2)->setText(root + QStringLiteral("/pieces/"));
    harness.text(1)->setText(root + QStringLiteral("/pieces/a.bin"));
    harness.text(3)->setText(QStringLiteral("10"));
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    QVERIFY(QFile::remove(root + QStringLiteral("/pieces/a.bin")));
    harness.messages.shown.clear();

    QList<int> pointers;
    harness.messages.onShow = [&](const Shown&) { pointers << form.MousePointer(); };
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    harness.text(2)->setText(root + QStringLiteral("/"));
    harness.text(4)->setText(manifest.replace(QStringLiteral("%1"), root));
    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());

    for (QString& text : notices) {
        text.replace(QStringLiteral("%1"), root);
    }
    QCOMPARE(harness.messages.notices(), notices);
    QVERIFY(harness.messages.errorReports().isEmpty());
    // The hourglass stands from the first check on.
    QCOMPARE(pointers, QList<int>(notices.size(), Hover::busyPointer));
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
    QVERIFY(!form.Busy());
    QCOMPARE(QFile::exists(root + QStringLiteral("/a.bin")), notices.first().startsWith(QLatin1String("Files")));
}

void TestJoinCommand::roundTripReproducesTheFile() {
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    const QByteArray source = Files::pattern(1000001);
    Files::writeOrDie(root + QStringLiteral("/src/data.bin"), source);
    QVERIFY(QDir(root).mkdir(QStringLiteral("pieces")));
    QVERIFY(QDir(root).mkdir(QStringLiteral("joined")));
    Form1& form = harness.show();
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    int highest = 0;
    connect(bar, &QProgressBar::valueChanged, bar, [&](int value) { highest = std::max(highest, value); });

    harness.text(2)->setText(root + QStringLiteral("/pieces"));
    harness.text(1)->setText(root + QStringLiteral("/src/data.bin"));
    harness.text(3)->setText(QStringLiteral("100000"));
    QTest::mouseClick(harness.button(4), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.messages.notices(), (QStringList{"File successfully split", "Done."}));
    QCOMPARE(highest, 11);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));

    highest = 0;
    harness.messages.shown.clear();
    harness.text(2)->setText(root + QStringLiteral("/joined/"));
    harness.text(4)->setText(root + QStringLiteral("/pieces/data.bin.splt"));
    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.messages.notices(), QStringList{"Files successfully joined"});
    QCOMPARE(highest, 11);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));

    QFile joined(root + QStringLiteral("/joined/data.bin"));
    QVERIFY(joined.open(QIODevice::ReadOnly));
    QVERIFY(joined.readAll() == source);
}

void TestJoinCommand::startButtonsDoNothingWhileBusy_data() {
    QTest::addColumn<bool>("joining");
    QTest::newRow("during a split") << false;
    QTest::newRow("during a join") << true;
}

void TestJoinCommand::startButtonsDoNothingWhileBusy() {
    QFETCH(bool, joining);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = prepare(300, joining);

    // Pressed from inside an event-loop turn of the running operation: both start
    // buttons return at once, a picker still works.
    bool pressed = false;
    bool busyThen = false;
    Qt::CursorShape shapeThen = Qt::ArrowCursor;
    harness.dialogs.fileAnswers = {root + QStringLiteral("/picked.bin")};
    QTimer::singleShot(0, &form, [&] {
        pressed = true;
        busyThen = form.Busy();
        shapeThen = harness.button(4)->cursor().shape();
        QTest::mouseClick(harness.button(4), Qt::LeftButton);
        QTest::mouseClick(harness.button(3), Qt::LeftButton);
        QTest::mouseClick(harness.button(1), Qt::LeftButton);
    });
    QTest::mouseClick(harness.button(joining ? 3 : 4), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());

    QVERIFY(pressed);
    QVERIFY(busyThen);
    QCOMPARE(shapeThen, Qt::WaitCursor);
    QCOMPARE(harness.dialogs.calls.size(), 1);
    QCOMPARE(harness.text(1)->text(), root + QStringLiteral("/picked.bin"));
    const QStringList expected =
        joining ? QStringList{"Files successfully joined"} : QStringList{"File successfully split", "Done."};
    QCOMPARE(harness.messages.notices(), expected);
    QVERIFY(!form.Busy());
}

void TestJoinCommand::closingStopsTheOperation_data() {
    QTest::addColumn<bool>("joining");
    // Closed from the program's own event loop after the first piece: the last window
    // closing makes the application quit while the engine's worker still runs.
    QTest::addColumn<bool>("whileTheProgramRuns");
    QTest::newRow("during a split") << false << false;
    QTest::newRow("during a join") << true << false;
    QTest::newRow("split, program quitting") << false << true;
    QTest::newRow("join, program quitting") << true << true;
}

void TestJoinCommand::closingStopsTheOperation() {
    QFETCH(bool, joining);
    QFETCH(bool, whileTheProgramRuns);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    // Many pieces: the window sees the first value while most are still to come.
    Form1& form = prepare(100000, joining);
    const auto threads = [] {
        return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    };
    const QStringList threadsBefore = threads();
    if (whileTheProgramRuns) {
        auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
        connect(bar, &QProgressBar::valueChanged, &form, [&](int value) {
            if (value == 1) {
                form.close();
            }
        });
        bool returned = false;
        QTimer::singleShot(0, &form, [&] {
            harness.button(joining ? 3 : 4)->click();
            returned = true;
        });
        QCoreApplication::exec(); // ends because the last window closed
        QVERIFY(returned);
    } else {
        QTimer::singleShot(0, &form, [&] { form.close(); });
        harness.button(joining ? 3 : 4)->click();
    }
    QVERIFY(harness.waitUntilIdle());
    // No worker thread outlives the command.
    QCOMPARE(threads(), threadsBefore);

    QVERIFY(!form.isVisible());
    QVERIFY2(harness.messages.shown.isEmpty(), qPrintable(harness.messages.shown.value(0).text));
    QVERIFY(!form.Busy());
    if (joining) {
        QVERIFY(QFileInfo(root + QStringLiteral("/joined/a.bin")).size() < 100000);
    } else {
        QVERIFY(QDir(root).entryList({QStringLiteral("a.bin_splt*")}, QDir::Files).size() < 1000);
        QVERIFY(!QFile::exists(root + QStringLiteral("/a.bin.splt")));
    }
}

void TestJoinCommand::escStopsTheOperationAndKeepsTheWindow_data() {
    QTest::addColumn<bool>("joining");
    QTest::addColumn<QString>("focus"); // the control that gets the Esc
    QTest::addColumn<bool>("whileRunning");
    QTest::newRow("split, on its button") << false << "PushButton4" << true;
    QTest::newRow("split, in a field") << false << "Text1" << true;
    QTest::newRow("join, on its button") << true << "PushButton3" << true;
    QTest::newRow("split, Esc while idle") << false << "PushButton4" << false;
}

void TestJoinCommand::escStopsTheOperationAndKeepsTheWindow() {
    QFETCH(bool, joining);
    QFETCH(QString, focus);
    QFETCH(bool, whileRunning);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    // Many pieces: the Esc at the first value comes while most are still to come.
    Form1& form = prepare(100000, joining);
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    auto* target = form.findChild<QWidget*>(focus);
    const auto pressEsc = [target] { QTest::keyClick(target, Qt::Key_Escape); };
    if (!whileRunning) {
        pressEsc();
    }
    const QStringList completed =
        joining ? QStringList{"Files successfully joined"} : QStringList{"File successfully split", "Done."};
    const QString output = joining ? root + QStringLiteral("/joined/a.bin") : root + QStringLiteral("/a.bin.splt");
    for (int run = 0; run < 2; ++run) {
        // The second run, without Esc, shows that no stop is left over.
        const bool stopped = run == 0 && whileRunning;
        harness.messages.shown.clear();
        QMetaObject::Connection escAtFirstValue;
        if (stopped) {
            escAtFirstValue = connect(bar, &QProgressBar::valueChanged, &form, [&](int value) {
                if (value == 1) {
                    pressEsc();
                }
            });
        }
        harness.button(joining ? 3 : 4)->click();
        QVERIFY(harness.waitUntilIdle());
        disconnect(escAtFirstValue);
        QVERIFY(form.isVisible());
        QVERIFY(!form.Busy());
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
        QVERIFY(harness.messages.errorReports().isEmpty());
        QCOMPARE(harness.messages.notices(), stopped ? (joining ? QStringList{} : QStringList{"Done."}) : completed);
        if (joining) {
            QCOMPARE(QFileInfo(output).size() == 100000, !stopped);
        } else {
            QCOMPARE(QFile::exists(output), !stopped);
        }
    }
}

// A checksum file beside the list, as `quarnel-cli split --checksum` writes it: the
// window's join checks each piece against it and stops before a damaged one.
void TestJoinCommand::damagedPieceStopsTheJoin() {
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = prepare(300, true);
    QByteArray sums;
    for (int number = 1; number <= 3; ++number) {
        QFile piece(root + QStringLiteral("/a.bin_splt%1").arg(number));
        QVERIFY(piece.open(QIODevice::ReadOnly));
        sums += QCryptographicHash::hash(piece.readAll(), QCryptographicHash::Sha256).toHex() + "  a.bin_splt" +
                QByteArray::number(number) + "\n";
    }
    QFile sidecar(root + QStringLiteral("/a.bin.splt.sha256"));
    QVERIFY(sidecar.open(QIODevice::WriteOnly) && sidecar.write(sums) == sums.size());
    sidecar.close();
    QFile piece(root + QStringLiteral("/a.bin_splt2"));
    QVERIFY(piece.open(QIODevice::ReadWrite) && piece.seek(42) && piece.putChar('y'));
    piece.close();

    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());

    QCOMPARE(harness.messages.notices(),
             QStringList{root + QStringLiteral("/a.bin_splt2 is damaged: its checksum does not match.")});
    QVERIFY(harness.messages.errorReports().isEmpty());
    QVERIFY(!form.Busy());
    QFile joined(root + QStringLiteral("/joined/a.bin"));
    QVERIFY(joined.open(QIODevice::ReadOnly));
    QCOMPARE(joined.readAll(), QByteArray(100, 'x'));
}

void TestJoinCommand::joinRepairsFromRecoveryData_data() {
    QTest::addColumn<int>("lost");           // pieces the recovery data rebuilds
    QTest::addColumn<QStringList>("damage"); // pieces removed, or "2 flipped"
    QTest::addColumn<QStringList>("notices");
    QTest::addColumn<int>("joined"); // bytes under the output name
    QTest::newRow("flipped bytes and a missing piece rebuilt")
        << 2 << QStringList{"1 flipped", "3"}
        << QStringList{"Pieces rebuilt from the recovery files: 2.", "Files successfully joined"} << 300;
    QTest::newRow("beyond the recovery data")
        << 1 << QStringList{"2", "3"}
        << QStringList{"%1/a.bin_splt2 splitted file not found",
                       "The recovery files are not enough to rebuild the missing or damaged pieces: 1 more are needed."}
        << 100;
}

// Recovery data beside the list, as `quarnel-cli split --recovery` writes it: the
// window's join rebuilds the bad pieces, says so, then says the designed success; where
// the data is not enough, the designed stop is followed by how much more is needed.
void TestJoinCommand::joinRepairsFromRecoveryData() {
    QFETCH(int, lost);
    QFETCH(QStringList, damage);
    QFETCH(QStringList, notices);
    QFETCH(int, joined);
    Harness& harness = *m_harness;
    const QString root = harness.dir.path();
    Form1& form = prepare(300, true);
    RunFolder folder;
    QVERIFY(folder.open(Files::path(root)));
    const std::vector<std::string> names{"a.bin_splt1", "a.bin_splt2", "a.bin_splt3"};
    QVERIFY(Recovery::create(folder, "a.bin.splt", names,
                             Recovery::layoutFor({100, 100, 100}, 100, static_cast<std::uint32_t>(lost))));
    for (const QString& piece : damage) {
        const QString path = root + QStringLiteral("/a.bin_splt") + piece.section(' ', 0, 0);
        if (piece.endsWith(QLatin1String("flipped"))) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(42) && file.putChar('y'));
        } else {
            QVERIFY(QFile::remove(path));
        }
    }

    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());

    for (QString& text : notices) {
        text.replace(QStringLiteral("%1"), root);
    }
    QCOMPARE(harness.messages.notices(), notices);
    QVERIFY(harness.messages.errorReports().isEmpty());
    QVERIFY(!form.Busy());
    QCOMPARE(Files::read(root + QStringLiteral("/joined/a.bin")), QByteArray(joined, 'x'));
    QCOMPARE(Files::entries(root + QStringLiteral("/joined")), QStringList{"a.bin"});
}

void TestJoinCommand::setsOfOtherPrograms_data() {
    QTest::addColumn<QStringList>("pieces"); // 1000 bytes each of a 3500-byte file; "-" for a lost one
    QTest::addColumn<QString>("crc");        // "c.bin.crc" beside: "", "right" or "wrong"
    QTest::addColumn<QString>("given");      // Text4, in the pieces' folder
    QTest::addColumn<QString>("notice");     // "%1": the pieces' folder
    QTest::addColumn<int>("joined");         // how many of the file's first bytes the joined c.bin holds; -1: none
    const auto row = [](const char* name, const QStringList& pieces, const char* crc, const char* given,
                        const char* notice,
                        int joined) { QTest::newRow(name) << pieces << crc << given << notice << joined; };
    const QStringList numbered{"c.bin.001", "c.bin.002", "c.bin.003", "c.bin.004"};
    const char* success = "Files successfully joined";
    row("numbered, first piece", numbered, "", "c.bin.001", success, 3500);
    row("numbered, by its .crc", numbered, "right", "c.bin.crc", success, 3500);
    row("coreutils", {"c.bin.aa", "c.bin.ab", "c.bin.ac", "c.bin.ad"}, "", "c.bin.aa", success, 3500);
    row("numbered, a piece lost", {"c.bin.001", "-", "c.bin.003", "c.bin.004"}, "", "c.bin.001",
        "%1/c.bin.002 splitted file not found", 1000);
    row("numbered, a .crc that does not match", numbered, "wrong", "c.bin.003",
        "The joined file does not match %1/c.bin.crc: one of its pieces is damaged.", -1);
    row("a piece that is not there", numbered, "", "c.bin.005", "%1/c.bin.005 not exist", -1);
}

// The join row takes any piece of a set another program split, or its .crc, and
// stops at a lost piece or a mismatch as it does for our own sets.
void TestJoinCommand::setsOfOtherPrograms() {
    QFETCH(QStringList, pieces);
    QFETCH(QString, crc);
    QFETCH(QString, given);
    QFETCH(QString, notice);
    QFETCH(int, joined);
    Harness& harness = *m_harness;
    const QString folder = harness.dir.path() + QStringLiteral("/pieces");
    const QString output = harness.dir.path() + QStringLiteral("/joined/");
    const QByteArray source = Files::pattern(3500);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (pieces.at(i) != QLatin1String("-")) {
            Files::writeOrDie(folder + QLatin1Char('/') + pieces.at(i), source.mid(i * 1000, 1000));
        }
    }
    if (!crc.isEmpty()) {
        const std::uint32_t sum = Crc32::update(0, source.constData(), static_cast<std::size_t>(source.size())) ^
                                  (crc == QLatin1String("wrong") ? 1U : 0U);
        Files::writeOrDie(folder + QStringLiteral("/c.bin.crc"),
                          "filename=c.bin\r\nsize=3500\r\ncrc32=" +
                              QByteArray::number(sum, 16).toUpper().rightJustified(8, '0') + "\r\n");
    }
    QVERIFY(QDir().mkpath(output));
    const QStringList before = QDir(folder).entryList(QDir::Files);
    Form1& form = harness.show();
    harness.text(2)->setText(output);
    form.openFile(folder + QLatin1Char('/') + given);
    QCOMPARE(harness.text(4)->text(), folder + QLatin1Char('/') + given);

    QTest::mouseClick(harness.button(3), Qt::LeftButton);
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(harness.messages.notices(), QStringList{notice.replace(QStringLiteral("%1"), folder)});
    QVERIFY(harness.messages.errorReports().isEmpty());
    QVERIFY(!form.Busy());
    // The pieces stay as they were; nothing but the joined file is written.
    QCOMPARE(QDir(folder).entryList(QDir::Files), before);
    const QStringList written = QDir(output).entryList(QDir::Files | QDir::Hidden);
    QCOMPARE(written, joined < 0 ? QStringList() : QStringList{"c.bin"});
    if (joined >= 0) {
        QCOMPARE(Files::read(output + QStringLiteral("c.bin")), source.left(joined));
    }
}

QTEST_MAIN(TestJoinCommand)
#include "TestJoinCommand.moc"
