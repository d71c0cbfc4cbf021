#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QtTest>

#include "feedback/Hover.h"
#include "tests/support/Harness.h"

// The window's pointer setting as the mouse moves over its controls, and the pointer
// shape that results.
class TestHover : public HarnessTest {
    Q_OBJECT

private slots:
    void valueTable_data();
    void valueTable();
    void controlsWithoutHandlerKeepTheSetting_data();
    void controlsWithoutHandlerKeepTheSetting();
    void hourglassIsNeverReplaced();
    void handShape_data();
    void handShape();

private:
    void moveOver(const QString& name);
};

void TestHover::moveOver(const QString& name) {
    Form1& form = *m_harness->form;
    QWidget* widget = name == QLatin1String("Form1") ? &form : form.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    const QPoint local(2, 2);
    QMouseEvent move(QEvent::MouseMove, local, widget->mapToGlobal(local), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &move);
}

void TestHover::valueTable_data() {
    QTest::addColumn<int>("value");
    for (const char* name : {"Form1", "Frame1", "Frame2", "Label3", "Text1", "Text2", "Text3", "Text4"}) {
        QTest::newRow(name) << Hover::defaultPointer;
    }
    for (int i = 1; i <= 8; ++i) {
        QTest::newRow(qPrintable(QStringLiteral("PushButton%1").arg(i))) << Hover::customPointer;
    }
}

void TestHover::valueTable() {
    QFETCH(int, value);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    Harness& harness = *m_harness;
    Form1& form = harness.show();
    // Start from the other value, so that each control must write its own.
    form.setMousePointer(value == Hover::customPointer ? Hover::defaultPointer : Hover::customPointer);
    moveOver(name);
    QCOMPARE(form.MousePointer(), value);
    moveOver(name);
    QCOMPARE(form.MousePointer(), value);
}

void TestHover::controlsWithoutHandlerKeepTheSetting_data() {
    QTest::addColumn<QString>("name");
    for (const char* name : {"Label1", "Label2", "Label7", "lblSize", "ProgressBar1"}) {
        QTest::newRow(name) << QString::fromLatin1(name);
    }
}

void TestHover::controlsWithoutHandlerKeepTheSetting() {
    QFETCH(QString, name);
    Harness& harness = *m_harness;
    Form1& form = harness.show();
    moveOver(QStringLiteral("PushButton4"));
    QCOMPARE(form.MousePointer(), Hover::customPointer);
    // The movement does not reach the frame or window behind the control either.
    moveOver(name);
    QCOMPARE(form.MousePointer(), Hover::customPointer);
    moveOver(QStringLiteral("Frame1"));
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    moveOver(name);
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
}

void TestHover::hourglassIsNeverReplaced() {
    Harness& harness = *m_harness;
    Form1& form = harness.showReadyToSplit(500);
    QList<int> during;
    QTimer::singleShot(0, &form, [&] {
        for (const char* name : {"PushButton1", "Text1", "Form1", "Frame2", "PushButton6"}) {
            moveOver(QLatin1String(name));
            during << form.MousePointer();
        }
    });
    harness.button(4)->click();
    QVERIFY(harness.waitUntilIdle());
    QCOMPARE(during, QList<int>(5, Hover::busyPointer));
    QCOMPARE(form.MousePointer(), Hover::defaultPointer);
    // The first movement after the command shows the hand again.
    moveOver(QStringLiteral("PushButton4"));
    QCOMPARE(form.MousePointer(), Hover::customPointer);
}

void TestHover::handShape_data() {
    QTest::addColumn<bool>("cursorFile");
    QTest::newRow("with HAND-M.CUR") << true;
    QTest::newRow("without HAND-M.CUR") << false;
}

void TestHover::handShape() {
    QFETCH(bool, cursorFile);
    Harness& harness = *m_harness;
    if (cursorFile) {
        QVERIFY(harness.writeCursorFile({6, 0}));
    }
    Form1& form = harness.show();
    QPushButton* button = harness.button(7);
    QLineEdit* text = harness.text(1);
    QCOMPARE(button->cursor().shape(), Qt::ArrowCursor);

    moveOver(QStringLiteral("Text1"));
    moveOver(QStringLiteral("PushButton7"));
    if (cursorFile) {
        QCOMPARE(button->cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(button->cursor().pixmap().toImage(), form.MouseIcon()->pixmap().toImage());
    } else {
        QVERIFY(!form.MouseIcon().has_value());
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
    }
    // A label without handler shows the window's hand; a text field keeps its own
    // pointer, and moving back onto it gives the ordinary pointers again.
    QCOMPARE(form.findChild<QLabel*>(QStringLiteral("Label1"))->cursor().shape(), button->cursor().shape());
    QCOMPARE(text->cursor().shape(), Qt::IBeamCursor);
    moveOver(QStringLiteral("Text1"));
    QCOMPARE(text->cursor().shape(), Qt::IBeamCursor);
    QCOMPARE(button->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
}

QTEST_MAIN(TestHover)
#include "TestHover.moc"
