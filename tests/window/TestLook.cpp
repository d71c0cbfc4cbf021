#include <QAccessible>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QScopeGuard>
#include <QTextLayout>
#include <QtTest>

#include "feedback/Help.h"
#include "shell/StartUp.h"
#include "tests/support/Harness.h"
#include "window/QtOutside.h"

// What the fakes cannot show: the real message boxes hold their lines, and the shipped
// skin colours the window's own frames and labels from the palette, light or dark,
// and nothing of a box shown over the window.
class TestLook : public QObject {
    Q_OBJECT

private slots:
    void boxesHoldTheirLines_data();
    void boxesHoldTheirLines();
    void skinStaysInTheWindowAndFollowsThePalette_data();
    void skinStaysInTheWindowAndFollowsThePalette();
};

namespace {

// The colour that covers most of a widget: its background.
QColor commonest(QWidget* widget) {
    const QImage image = widget->grab().toImage();
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ++counts[image.pixel(x, y)];
        }
    }
    QRgb best = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > counts.value(best)) {
            best = it.key();
        }
    }
    return QColor(best);
}

bool near(const QColor& a, const QColor& b) {
    // Fusion shades the inside of a frame a little.
    return std::abs(a.red() - b.red()) <= 8 && std::abs(a.green() - b.green()) <= 8 &&
           std::abs(a.blue() - b.blue()) <= 8;
}

} // namespace

void TestLook::boxesHoldTheirLines_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("lines"); // on screen; 0: more than one, each broken after a "/" or a blank
    const QString deep = QStringLiteral("/srv/archive/2024/second half/regional offices/north-east/quarterly/");
    QTest::newRow("help") << Help::helpText() << 1;
    QTest::newRow("path wider than Qt's 500 px")
        << "/home/someone/Documents/Quarterly reports/second half/regional-summary.pdf does not exist." << 1;
    QTest::newRow("error report") << "Type mismatch\r\nin Tavrid2021/08/31.Form1.PushButton4_Click at line 114\r\r"
                                     "Please email screenshot of this message to support@velmarc.example"
                                  << 4;
    QTest::newRow("path too wide for one line") << deep + deep + deep + "summary.pdf does not exist." << 0;
    QTest::newRow("sample question") << QString::fromLatin1(StartUp::sampleQuestion) << 0;
    QTest::newRow("name wider than a line")
        << "/home/someone/" + QString(100, QLatin1Char('x')) + " does not exist." << 0;
}

namespace {

// The lines the label shows, as QPainter wraps plain text. False in `fit` when one
// is wider than the label.
QStringList shownLines(const QLabel& label, bool& fit) {
    QStringList lines;
    fit = true;
    for (const QString& text : label.text().split(QLatin1Char('\n'))) {
        QTextLayout layout(text, label.font());
        QTextOption option;
        option.setWrapMode(label.wordWrap() ? QTextOption::WordWrap : QTextOption::NoWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(label.contentsRect().width());
            lines << text.mid(line.textStart(), line.textLength());
            fit = fit && line.naturalTextWidth() <= label.contentsRect().width() + 1;
        }
        layout.endLayout();
    }
    return lines;
}

} // namespace

void TestLook::boxesHoldTheirLines() {
    QFETCH(QString, text);
    QFETCH(int, lines);
    QtMessageBoxes boxes;
    bool inspected = false;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        inspected = true;
        auto closeBox = qScopeGuard([box] { box->done(0); });
        auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
        // The text itself holds no break of the box's making: line ends only, as LF.
        const QString designed = QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n")).replace('\r', '\n');
        QCOMPARE(label->text(), designed);
        QCOMPARE(QAccessible::queryAccessibleInterface(box)->text(QAccessible::Value), designed);
        bool fit = false;
        const QStringList shown = shownLines(*label, fit);
        QVERIFY2(fit, qPrintable(shown.join('|')));
        QCOMPARE(shown.join(QString()), QString(designed).remove('\n'));
        if (lines > 0) {
            QCOMPARE(shown.size(), lines);
        } else {
            QVERIFY(shown.size() > 1);
            for (qsizetype i = 0; i + 1 < shown.size(); ++i) {
                QVERIFY2(shown.at(i).endsWith(QLatin1Char('/')) || shown.at(i).endsWith(QLatin1Char(' ')),
                         qPrintable(shown.at(i)));
            }
        }
        // Qt lays out no more lines than those: every line is one line on screen.
        if (label->wordWrap()) {
            QVERIFY(label->heightForWidth(label->width()) <= shown.size() * label->fontMetrics().lineSpacing() + 2);
        }
        QVERIFY(box->frameGeometry().width() <= box->screen()->availableGeometry().width());
    });
    boxes.errorReport(nullptr, text);
    QVERIFY(inspected);
}

void TestLook::skinStaysInTheWindowAndFollowsThePalette_data() {
    QTest::addColumn<bool>("dark");
    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void TestLook::skinStaysInTheWindowAndFollowsThePalette() {
    QFETCH(bool, dark);
    const QPalette system = QApplication::palette();
    auto restore = qScopeGuard([&system] { QApplication::setPalette(system); });
    QPalette palette = system;
    if (dark) {
        for (auto [role, grey] : {std::pair{QPalette::Window, 53},
                                  {QPalette::Base, 35},
                                  {QPalette::Button, 60},
                                  {QPalette::WindowText, 230},
                                  {QPalette::Text, 230},
                                  {QPalette::ButtonText, 230}}) {
            palette.setColor(role, QColor(grey, grey, grey));
        }
        QApplication::setPalette(palette);
    }
    Harness skinned;
    QVERIFY(QDir().mkpath(skinned.programFolder + QStringLiteral("/x")));
    QVERIFY(QFile::copy(QStringLiteral(QUARNEL_SKIN_FILE), skinned.programFolder + QStringLiteral("/x/o.cjs")));
    Form1& form = skinned.show();
    QVERIFY(!form.styleSheet().isEmpty());
    for (const char* name : {"Frame1", "Frame2", "Label1", "Label2", "Label3", "Label7", "lblSize"}) {
        auto* widget = form.findChild<QWidget*>(QLatin1String(name));
        const QColor background = commonest(widget);
        QVERIFY2(near(background, palette.color(QPalette::Button)), qPrintable(name + background.name()));
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            QCOMPARE(label->palette().color(label->foregroundRole()), palette.color(QPalette::ButtonText));
        }
    }

    // The same box over the skinned window and over one without the skin.
    Harness plain;
    plain.show();
    QMessageBox overSkin(QMessageBox::NoIcon, QStringLiteral("Quarnel"), QStringLiteral("Done."), QMessageBox::Ok,
                         &form);
    QMessageBox overPlain(QMessageBox::NoIcon, QStringLiteral("Quarnel"), QStringLiteral("Done."), QMessageBox::Ok,
                          plain.form.get());
    overSkin.show();
    overPlain.show();
    const auto label = [](QMessageBox& box) { return box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label")); };
    QCOMPARE(label(overSkin)->grab().toImage(), label(overPlain)->grab().toImage());
}

QTEST_MAIN(TestLook)
#include "TestLook.moc"
