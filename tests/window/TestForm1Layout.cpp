#include <QAccessible>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QtTest>

#include "tests/support/Harness.h"

// The controls of the window as designed: name, kind, container, caption, place in
// twips, font, tab order, no caption cut off, Enter on a button and the names a screen
// reader reads.
class TestForm1Layout : public QObject {
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void windowIsFixedInSize();
    void tabOrderFollowsTheTabIndex();
    void progressBarIdleLook();
    void progressBarAdapter();
    void enterClicksTheFocusedButton_data();
    void enterClicksTheFocusedButton();
    void screenReadersNameEveryControl_data();
    void screenReadersNameEveryControl();
};

namespace {

int px(int twips) {
    return qRound(twips / 15.0); // the offscreen screen has 96 DPI
}

} // namespace

void TestForm1Layout::controls_data() {
    QTest::addColumn<QString>("container");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<qreal>("pointSize");

    const auto row = [](const char* name, const char* container, const char* caption, int l, int t, int w, int h,
                        qreal points) {
        QTest::newRow(name) << QString::fromLatin1(container) << QString::fromLatin1(caption) << QRect(l, t, w, h)
                            << points;
    };
    row("PushButton6", "Form1", "Help", 120, 120, 7800, 405, 11.25);
    row("Frame2", "Form1", "Join", 120, 3405, 7800, 1335, 9);
    row("PushButton3", "Frame2", "Start Joining", 240, 765, 7320, 405, 11.25);
    row("Text4", "Frame2", "", 3240, 300, 3600, 345, 9);
    row("PushButton5", "Frame2", "...", 6960, 300, 600, 345, 11.25);
    row("Label3", "Frame2", "Select .splt Filename (first of set):", 240, 345, 2835, 225, 9);
    row("Frame1", "Form1", "Split", 120, 1080, 7800, 2280, 9);
    row("Text3", "Frame1", "100000", 1800, 1200, 2595, 345, 9);
    row("PushButton1", "Frame1", "...", 6960, 300, 600, 345, 11.25);
    row("Text1", "Frame1", "", 1800, 300, 5040, 345, 9);
    row("Text2", "Frame1", "", 2760, 750, 4080, 345, 9);
    row("PushButton2", "Frame1", "...", 6960, 750, 600, 345, 11.25);
    row("PushButton4", "Frame1", "Start Splitting", 240, 1680, 7320, 405, 11.25);
    row("lblSize", "Frame1", "Split Every:", 240, 1245, 930, 225, 9);
    row("Label2", "Frame1", "bytes", 4560, 1245, 465, 225, 9);
    row("Label1", "Frame1", "One File To Split:", 240, 345, 1395, 225, 9);
    row("Label7", "Frame1", "Save Results To This Folder:", 240, 795, 2385, 225, 9);
    row("ProgressBar1", "Form1", "Progress Bar", 120, 4860, 7800, 405, 9);
    row("PushButton7", "Form1", "Load Sample/Example Split Files", 120, 630, 3840, 405, 11.25);
    row("PushButton8", "Form1", "Load Sample/Example Join Files", 4080, 630, 3840, 405, 11.25);
}

void TestForm1Layout::controls() {
    QFETCH(QString, container);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(qreal, pointSize);
    Harness harness;
    Form1& form = harness.create();
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    auto* widget = form.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->parentWidget()->objectName(), container);

    const QFont font = widget->font();
    QCOMPARE(font.family(), QStringLiteral("Arial"));
    QCOMPARE(font.pointSizeF(), pointSize);
    QVERIFY(font.bold());
    const QFontMetrics metrics(font);

    const auto [shown, room] = Harness::caption(*widget);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        QVERIFY(label->height() >= metrics.height());
    }
    QCOMPARE(shown, caption);
    QVERIFY2(
        metrics.horizontalAdvance(caption) <= room,
        qPrintable(
            QStringLiteral("%1 needs %2 px, has %3").arg(caption).arg(metrics.horizontalAdvance(caption)).arg(room)));

    const QRect expected(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height()));
    QCOMPARE(widget->pos(), expected.topLeft());
    QCOMPARE(widget->height(), std::max(expected.height(), qobject_cast<QLabel*>(widget) ? metrics.height() : 0));
    if (qobject_cast<QLabel*>(widget)) {
        // A label may be wider than designed so that its caption fits, never narrower.
        QVERIFY(widget->width() >= expected.width());
    } else {
        QCOMPARE(widget->width(), expected.width());
    }
}

void TestForm1Layout::windowIsFixedInSize() {
    Harness harness;
    Form1& form = harness.create();
    QCOMPARE(form.size(), QSize(px(8040), px(5385)));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    // Widened labels still end before the field to their right.
    const auto right = [&form](const char* name) { return form.findChild<QWidget*>(QLatin1String(name))->geometry(); };
    QVERIFY(right("Label1").right() < right("Text1").left());
    QVERIFY(right("Label7").right() < right("Text2").left());
    QVERIFY(right("lblSize").right() < right("Text3").left());
    QVERIFY(right("Label3").right() < right("Text4").left());
}

void TestForm1Layout::tabOrderFollowsTheTabIndex() {
    Harness harness;
    Form1& form = harness.show();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    const QStringList expected = {"PushButton4", "PushButton2", "Text2",       "Text1",
                                  "PushButton1", "Text3",       "PushButton5", "Text4",
                                  "PushButton3", "PushButton6", "PushButton7", "PushButton8"};
    QCOMPARE(QApplication::focusWidget()->objectName(), expected.first());
    QStringList visited;
    QWidget* widget = QApplication::focusWidget();
    for (int i = 0; i < expected.size(); ++i) {
        visited << widget->objectName();
        widget = widget->nextInFocusChain();
        while (widget->focusPolicy() == Qt::NoFocus || !(widget->focusPolicy() & Qt::TabFocus)) {
            widget = widget->nextInFocusChain();
        }
    }
    QCOMPARE(visited, expected);
}

void TestForm1Layout::progressBarIdleLook() {
    Harness harness;
    Form1& form = harness.load();
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->text(), QStringLiteral("Progress Bar"));
    QVERIFY(bar->isTextVisible());
}

void TestForm1Layout::progressBarAdapter() {
    Harness harness;
    Form1& form = harness.load();
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    form.setProgressValue(0);
    form.setProgressMaximum(3);
    QCOMPARE(bar->maximum(), 3);
    for (int value = 1; value <= 3; ++value) {
        form.setProgressValue(value);
        QCOMPARE(bar->value(), value);
        QCOMPARE(bar->maximum(), 3);
    }
    // A maximum of 0 is kept as such but does not turn the bar into a busy indicator.
    form.setProgressMaximum(0);
    QVERIFY(bar->maximum() > bar->minimum());
}

void TestForm1Layout::enterClicksTheFocusedButton_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("opened"); // boxes and dialogs shown
    QTest::newRow("Return on Help") << "PushButton6" << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
    QTest::newRow("keypad Enter on Help") << "PushButton6" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << 1;
    QTest::newRow("Return on a picker") << "PushButton1" << int(Qt::Key_Return) << int(Qt::NoModifier) << 1;
    QTest::newRow("Return in a field") << "Text1" << int(Qt::Key_Return) << int(Qt::NoModifier) << 0;
}

void TestForm1Layout::enterClicksTheFocusedButton() {
    QFETCH(QString, control);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, opened);
    Harness harness;
    Form1& form = harness.show();
    QWidget* widget = form.findChild<QWidget*>(control);
    widget->setFocus();
    QTest::keyClick(widget, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(harness.messages.shown.size() + harness.dialogs.calls.size(), opened);
}

void TestForm1Layout::screenReadersNameEveryControl_data() {
    QTest::addColumn<QString>("label"); // empty where the control has no label
    QTest::addColumn<QString>("name");
    QTest::newRow("Text1") << "Label1"
                           << "One File To Split:";
    QTest::newRow("Text2") << "Label7"
                           << "Save Results To This Folder:";
    QTest::newRow("Text3") << "lblSize"
                           << "Split Every:";
    QTest::newRow("Text4") << "Label3"
                           << "Select .splt Filename (first of set):";
    QTest::newRow("PushButton1") << ""
                                 << "Select the file to split";
    QTest::newRow("PushButton2") << ""
                                 << "Select the folder to save results to";
    QTest::newRow("PushButton5") << ""
                                 << "Select the .splt file or the first piece to join";
    QTest::newRow("ProgressBar1") << ""
                                  << "Progress of the split or join";
}

void TestForm1Layout::screenReadersNameEveryControl() {
    QFETCH(QString, label);
    QFETCH(QString, name);
    Harness harness;
    Form1& form = harness.load();
    QWidget* widget = form.findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    if (!label.isEmpty()) {
        QCOMPARE(form.findChild<QLabel*>(label)->buddy(), widget);
    }
}

QTEST_MAIN(TestForm1Layout)
#include "TestForm1Layout.moc"
