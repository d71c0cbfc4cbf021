#include "QtOutside.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QTime>

#include "AddFolder.h"
#include "ErrorReport.h"

namespace {

// The texts keep their CR LF and CR line ends; a label breaks lines at LF only.
QString forDisplay(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

int Show(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
         QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, caption, forDisplay(text), buttons, owner);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(defaultButton);
    return box.exec();
}

} // namespace

void QtMessageBoxes::notice(QWidget* owner, const QString& caption, const QString& text) {
    Show(owner, QMessageBox::NoIcon, caption, text, QMessageBox::Ok, QMessageBox::Ok);
}

bool QtMessageBoxes::question(QWidget* owner, const QString& caption, const QString& text) {
    return Show(owner, QMessageBox::NoIcon, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) ==
           QMessageBox::Yes;
}

void QtMessageBoxes::errorReport(QWidget* owner, const QString& text) {
    Show(owner, QMessageBox::Warning, QString::fromLatin1(ErrorReport::caption), text, QMessageBox::Ok,
         QMessageBox::Ok);
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
