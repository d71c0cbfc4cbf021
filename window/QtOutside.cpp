#include "window/QtOutside.h"

#include <algorithm>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTime>

#include "engine/ErrorReport.h"
#include "window/AddFolder.h"

namespace {

// The texts keep their CR LF and CR line ends; a label breaks lines at LF only.
QString forDisplay(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// The widest line a box shows. QMessageBox grows up to min(screen - 480, 1000) px, or
// the whole of a screen up to 1024 px wide, and past that wraps anywhere, even inside
// a word; this keeps clear of it, with room for the icon and the margins.
int widestLine(const QWidget& box) {
    const QScreen* screen = box.screen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
    const int boxLimit = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    return std::max(std::min(boxLimit - 120, 720), 200);
}

// Lines wider than `width` break after a blank or a "/", so a long path wraps at its
// separators; a name too wide for a line of its own is cut where it must be.
QStringList wrapped(const QString& text, const QFontMetrics& metrics, int width) {
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (metrics.horizontalAdvance(line) <= width) {
            lines << line;
            continue;
        }
        QString current;
        qsizetype from = 0;
        for (qsizetype i = 0; i < line.size(); ++i) {
            if (line.at(i) != QLatin1Char(' ') && line.at(i) != QLatin1Char('/') && i + 1 < line.size()) {
                continue;
            }
            const QString piece = line.mid(from, i + 1 - from);
            from = i + 1;
            if (!current.isEmpty() && metrics.horizontalAdvance(current + piece) > width) {
                lines << current;
                current.clear();
            }
            current += piece;
            while (current.size() > 1 && metrics.horizontalAdvance(current) > width) {
                qsizetype fit = 1;
                while (fit + 1 < current.size() && metrics.horizontalAdvance(current.left(fit + 1)) <= width) {
                    ++fit;
                }
                lines << current.left(fit);
                current.remove(0, fit);
            }
        }
        lines << current;
    }
    return lines;
}

int showBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
            QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, caption, QString(), buttons, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    if (!label) {
        box.setText(forDisplay(text));
        return box.exec();
    }
    // QMessageBox wraps anything wider than 500 px at its own break points, which
    // include the inside of a web address. Each line keeps to one line instead: the
    // label is at least as wide as its widest line.
    box.ensurePolished(); // measured in the font the box will show
    box.setText(wrapped(forDisplay(text), label->fontMetrics(), widestLine(box)).join(QLatin1Char('\n')));
    label->setWordWrap(false);
    label->setMinimumWidth(label->minimumSizeHint().width() + 2);
    return box.exec();
}

} // namespace

void QtMessageBoxes::notice(QWidget* owner, const QString& caption, const QString& text) {
    showBox(owner, QMessageBox::NoIcon, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtMessageBoxes::question(QWidget* owner, const QString& caption, const QString& text) {
    return showBox(owner, QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

void QtMessageBoxes::errorReport(QWidget* owner, const QString& text) {
    // ErrorReport::caption, translated.
    showBox(owner, QMessageBox::Warning, QCoreApplication::translate("ErrorReport", "Application Error"), text,
            QMessageBox::Ok, QMessageBox::Ok);
}

QString QtFileDialogs::openFile(QWidget* owner, const QString& title, const QString& filter) {
    return QFileDialog::getOpenFileName(owner, title, QString(), filter);
}

QString QtFileDialogs::browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    return AddFolder::BrowseForFolder(owner, prompt, startFolder);
}

bool QtDesktop::openUrl(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

TimeSeededRandom::TimeSeededRandom()
    : m_engine(static_cast<std::uint64_t>(QTime::currentTime().msecsSinceStartOfDay())) {}

double TimeSeededRandom::draw() {
    const double r = std::uniform_real_distribution<double>(0.0, 1.0)(m_engine);
    // Some library versions can round up to exactly 1.
    return r < 1.0 ? r : 0.0;
}
