#include "window/QtOutside.h"

#include <algorithm>

#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QTime>

#include "window/AddFolder.h"
#include "window/Drops.h"
#include "window/NoticeText.h"

namespace {

// The texts keep their CR LF and CR line ends; a label breaks lines at LF only.
QString forDisplay(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Past its widest, QMessageBox wraps anywhere, even inside a word: this keeps clear of that.

int widestLine(const QWidget& box) {
    const QScreen* screen = box.screen();
    const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
    const int boxLimit = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
    return std::max(std::min(boxLimit - 120, 720), 200);
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
    // The label keeps the text as it is, for screen readers and the clipboard, and
    // wraps it on screen only, where Qt's line breaking allows (after a blank or a
    // "/"), at the width of its widest line up to widestLine(). QMessageBox alone would
    // wrap anything wider than 500 px. A word wider than that widens the box instead,
    // as far as the screen allows: Qt's word wrap breaks no word.
    box.ensurePolished(); // measured in the font the box will show
    box.setText(forDisplay(text));
    label->setWordWrap(true);
    const int widestWord = label->minimumSizeHint().width();
    label->setWordWrap(false);
    const int width = std::min(label->minimumSizeHint().width(), widestLine(box));
    if (widestWord <= width) {
        label->setWordWrap(true);
        label->setMinimumWidth(width + 2);
    }
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
    showBox(owner, QMessageBox::Warning, NoticeText::errorCaption(), text, QMessageBox::Ok, QMessageBox::Ok);
}

// The window asks for names as bytes; the texts are those names decoded.
QString QtFileDialogs::openFile(QWidget* owner, const QString& title, const QString& filter) {
    return QFile::decodeName(openFileName(owner, title, filter));
}

QString QtFileDialogs::browseForFolder(QWidget* owner, const QString& prompt, const QString& startFolder) {
    return QFile::decodeName(browseForFolderName(owner, prompt, startFolder));
}

// The portal's dialogs answer with URLs, which keep every byte of a name.
QByteArray QtFileDialogs::openFileName(QWidget* owner, const QString& title, const QString& filter) {
    const QUrl url = QFileDialog::getOpenFileUrl(owner, title, QUrl(), filter);
    return url.isLocalFile() ? Drops::localName(url) : QByteArray();
}

QByteArray QtFileDialogs::browseForFolderName(QWidget* owner, const QString& prompt, const QString& startFolder) {
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
