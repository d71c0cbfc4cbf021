#include "window/Form1.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>

#include "engine/ErrorReport.h"
#include "engine/InputChecks.h"
#include "engine/Main.h"
#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "feedback/Help.h"
#include "feedback/Hover.h"
#include "shell/Arguments.h"
#include "shell/Samples.h"
#include "shell/StartUp.h"
#include "window/ChunkSize.h"
#include "window/Drops.h"
#include "window/NoticeText.h"

namespace {

// Translated where they are shown (Form1::tr); the designed texts are the sources.
constexpr const char* progressBarText = QT_TRANSLATE_NOOP("Form1", "Progress Bar");
constexpr const char* notNumeric = QT_TRANSLATE_NOOP("Form1", "Must be a numeric entry.");

// Shown where a field's name holds characters that stand for lost bytes.
constexpr const char* unusableName =
    QT_TRANSLATE_NOOP("Form1", "The name %1 cannot be used. Please choose it again with the \"...\" button.");

} // namespace

Form1::Form1(Outside outside, QWidget* parent)
    : QWidget(parent), m_outside(std::move(outside)), m_settings(m_outside.settingsFile),
      m_applicationTitle(QString::fromLatin1(StartUp::productName)) {
    setObjectName(QStringLiteral("Form1"));
    buildControls();
}

Form1::~Form1() {
    // A run still going (the application quit while it ran) stops, shows nothing more
    // and ends before the window.
    m_closing = true;
    m_stop = true;
}

void Form1::Form_Load() {
    StartUp::load(*this);
}

void Form1::setMousePointer(int pointer) {
    if (pointer == m_mousePointer) {
        return;
    }
    m_mousePointer = pointer;
    applyPointer();
}

void Form1::setMouseIcon(const QCursor& icon) {
    m_mouseIcon = icon;
    applyPointer();
}

void Form1::applyPointer() {
    Hover::showPointer(*this, m_mousePointer, m_mouseIcon,
                       QList<QWidget*>(std::begin(m_pushButtons), std::end(m_pushButtons)),
                       {m_text1, m_text2, m_text3, m_text4});
}

void Form1::mouseMoveEvent(QMouseEvent* event) {
    Hover::hoverOver(*this, *this);
    QWidget::mouseMoveEvent(event);
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        return Hover::filterMovement(*this, *watched);
    }
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove || event->type() == QEvent::Drop) {
        return handleDrop(event);
    }
    if (watched == m_text3 && event->type() == QEvent::FocusOut) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Switching to another window or opening a menu is not leaving the field.
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            QMetaObject::invokeMethod(this, &Form1::Text3_LostFocus, Qt::QueuedConnection);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Text2_Change() {
    try {
        if (const auto folder = name(m_text2)) {
            m_settings.writeName(QLatin1String(Settings::outputFolderKey), QByteArray::fromStdString(*folder));
        } else {
            m_settings.write(QLatin1String(Settings::outputFolderKey), m_text2->text());
        }
        m_text2Failure.reset();
    } catch (const std::exception& failure) {
        // Typing goes on; the next change writes again. A change made by a procedure
        // picks the failure up in setText2.
        m_text2Failure = failure.what();
    }
}

void Form1::setFieldText(Field field, const QString& text) {
    switch (field) {
    case Field::Text1:
        m_text1->setText(text);
        break;
    case Field::Text2:
        setText2(text);
        break;
    case Field::Text3:
        m_text3->setText(text);
        break;
    case Field::Text4:
        m_text4->setText(text);
        break;
    }
}

void Form1::setFieldName(Field field, const QByteArray& name) {
    setName(field == Field::Text2 ? m_text2 : field == Field::Text4 ? m_text4 : m_text1, name);
}

std::size_t Form1::nameIndex(const QLineEdit* field) const {
    return field == m_text1 ? 0 : field == m_text2 ? 1 : 2;
}

void Form1::setName(QLineEdit* field, const QByteArray& name) {
    const QString text = m_names[nameIndex(field)].hold(name);
    if (field == m_text2) {
        setText2(text);
    } else {
        field->setText(text);
    }
}

std::optional<std::string> Form1::name(const QLineEdit* field) const {
    const auto bytes = m_names[nameIndex(field)].bytes(field->text());
    return bytes ? std::optional<std::string>(bytes->toStdString()) : std::nullopt;
}

std::string Form1::checkedName(const QLineEdit* field) const {
    // What cannot be encoded names no file: the checks then find nothing there.
    return name(field).value_or(QFile::encodeName(field->text()).toStdString());
}

void Form1::showUnusableName(const QLineEdit* field) {
    notice(tr(unusableName).arg(field->text()));
}

void Form1::setText2(const QString& text) {
    m_text2Failure.reset();
    m_text2->setText(text);
    if (m_text2Failure) {
        const std::string failure = *m_text2Failure;
        m_text2Failure.reset();
        throw std::runtime_error(failure);
    }
}

void Form1::Text3_LostFocus() {
    if (m_checkingText3 || m_closing) {
        return;
    }
    const QString text = m_text3->text();
    if (ChunkSize::isNumeric(text)) {
        try {
            m_settings.write(QLatin1String(Settings::chunkSizeKey), text);
        } catch (const std::exception&) {
            // The field keeps the value; it is written again the next time it is left.
        }
        return;
    }
    m_checkingText3 = true;
    notice(tr(notNumeric));
    m_text3->setFocus(Qt::OtherFocusReason);
    m_checkingText3 = false;
}

void Form1::notice(const QString& text) {
    if (m_closing) {
        return;
    }
    m_outside.messages.notice(this, m_applicationTitle, text);
}

void Form1::closeEvent(QCloseEvent* event) {
    // Form_Unload: a running split or join stops at its next event-loop turn and shows
    // nothing more; the program ends when the handler returns.
    m_closing = true;
    m_desktop.closing();
    requestStop();
    event->accept();
}

void Form1::setProgressValue(int value) {
    m_progressBar->setValue(std::clamp(value, 0, m_progressBar->maximum()));
    m_desktop.progress(value, m_progressBar->maximum());
}

void Form1::setProgressMaximum(int maximum) {
    // A range of 0..0 would make the bar an endless busy indicator.
    m_progressBar->setRange(0, std::max(maximum, 1));
}

void Form1::showNotice(const Notice& notice) {
    const QString text = NoticeText::text(notice);
    // Told on the way to the join's success: the run has not ended for the desktop yet.
    if (notice.id == NoticeId::PiecesRebuilt) {
        this->notice(text);
        return;
    }
    const bool success = notice.id == NoticeId::SplitSucceeded || notice.id == NoticeId::JoinSucceeded;
    m_desktop.outcome(success ? DesktopSession::Outcome::Success : DesktopSession::Outcome::Refusal, text);
    this->notice(text);
}

void Form1::reportError(const std::string& sourceLabel, int step, const Fault& fault) {
    reportError(sourceLabel, step, fault.description());
}

void Form1::reportError(const std::string& sourceLabel, int step, const std::string& description) {
    if (m_closing) {
        return;
    }
    // In the user's language: the description, CR LF, the source label, the step, two
    // CRs and the request to mail a screenshot.
    const auto decoded = [](const std::string& text) { return QFile::decodeName(QByteArray::fromStdString(text)); };
    m_desktop.outcome(DesktopSession::Outcome::Failure, decoded(description));
    m_outside.messages.errorReport(
        this, decoded(description) + QLatin1String("\r\n") + decoded(sourceLabel) + tr("at line %1").arg(step) +
                  QLatin1String("\r\r") +
                  tr("Please email screenshot of this message to %1").arg(QLatin1String(ErrorReport::supportAddress)));
}

void Form1::requestStop() {
    // Only a running split or join stops: an idle window keeps nothing for later.
    if (m_engineRun.running()) {
        m_stop = true;
    }
}

void Form1::keyPressEvent(QKeyEvent* event) {
    // Esc reaches the window when the control with the focus does not use it.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        requestStop();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form1::startRun(const QString& fileName, EngineRun::Job job, void (Form1::*ended)(const std::exception_ptr&)) {
    m_stop = false;
    m_desktop.started(fileName);
    m_engineRun.start(std::move(job));
    connect(&m_engineRun, &EngineRun::finished, this, ended, Qt::SingleShotConnection);
}

void Form1::PushButton4_Click() {
    if (m_busy) {
        return;
    }
    m_busy = true;
    const ReportingProcedure split = procedure("PushButton4_Click");
    const std::string text1 = checkedName(m_text1);
    // Read once, here: the window stays usable while the pieces are written.
    const std::string folder = checkedName(m_text2);
    if (!split.test(
            104, [&] { return Main::FolderExists(folder); }, true)) {
        split.run(134, [this] { name(m_text2) ? showNotice({NoticeId::FolderMissing}) : showUnusableName(m_text2); });
        m_busy = false;
        return;
    }
    // Looked at, opened and parsed once, for the checks and the split alike.
    std::shared_ptr<InputChecks::SplitSource> source;
    std::int32_t chunkSize = 0;
    if (text1.empty()) {
        // Nothing to split: straight on to the idle look.
    } else if (InputChecks::containsManifestSuffix(text1)) {
        split.run(126, [this] { showNotice({NoticeId::AlreadySplit}); });
    } else if (InputChecks::containsPieceMarker(text1)) {
        split.run(124, [this] { showNotice({NoticeId::AlreadySplit}); });
    } else if (!split.test(
                   112,
                   [&] {
                       source = std::make_shared<InputChecks::SplitSource>(text1);
                       return source->exists();
                   },
                   true)) {
        split.run(122, [&] {
            name(m_text1) ? showNotice({NoticeId::SplitFileMissing, {text1}}) : showUnusableName(m_text1);
        });
    } else if (split.test(
                   114,
                   [&] {
                       if (!source) {
                           source = std::make_shared<InputChecks::SplitSource>(text1);
                       }
                       chunkSize = ChunkSize::toChunkSize(m_text3->text());
                       return source->size() <= chunkSize;
                   },
                   true)) {
        split.run(116, [this] { showNotice({NoticeId::NotLargerThanChunk}); });
    } else {
        setMousePointer(Hover::busyPointer);
        const EngineRun::Job job = [source, chunkSize, folder](EngineHost& host) {
            SplitMergeFile::SplitFile(*source, chunkSize, folder, host);
        };
        split.run(120, [&] { startRun(m_text1->text(), job, &Form1::splitEnded); });
        if (m_engineRun.running()) {
            return;
        }
    }
    splitEnded(nullptr);
}

void Form1::splitEnded(const std::exception_ptr& failure) {
    m_desktop.ended();
    const ReportingProcedure split = procedure("PushButton4_Click");
    if (failure) {
        split.run(120, [&] { std::rethrow_exception(failure); });
    }
    restoreIdleLook();
    split.run(132, [this] { showNotice({NoticeId::Done}); });
    m_busy = false;
}

void Form1::PushButton3_Click() {
    if (m_busy) {
        return;
    }
    m_busy = true;
    setMousePointer(Hover::busyPointer);
    const ReportingProcedure join = procedure("PushButton3_Click");
    const std::string manifest = checkedName(m_text4);
    if (manifest.empty()) {
        join.run(114, [this] { showNotice({NoticeId::NoFileToJoin}); });
    } else if (join.test(
                   108, [&] { return Main::fileExists(manifest); }, true)) {
        join.run(110, [&] {
            const std::string folder = checkedName(m_text2);
            startRun(
                m_text4->text(),
                [manifest, folder](EngineHost& host) { SplitMergeFile::JoinFiles(manifest, folder, host); },
                &Form1::joinEnded);
        });
        if (m_engineRun.running()) {
            return;
        }
    } else {
        join.run(112, [&] {
            name(m_text4) ? showNotice({NoticeId::JoinFileMissing, {manifest}}) : showUnusableName(m_text4);
        });
    }
    joinEnded(nullptr);
}

void Form1::joinEnded(const std::exception_ptr& failure) {
    m_desktop.ended();
    if (failure) {
        procedure("PushButton3_Click").run(110, [&] { std::rethrow_exception(failure); });
    }
    restoreIdleLook();
    m_busy = false;
}

// The idle look both start commands end with: the normal pointer, then the bar's
// value and its text.
void Form1::restoreIdleLook() {
    setMousePointer(Hover::defaultPointer);
    m_progressBar->setValue(0);
    m_progressBar->setFormat(tr(progressBarText));
}

void Form1::PushButton1_Click() {
    pickFile("PushButton1_Click", tr("All Files (*)"), m_text1);
}

void Form1::PushButton5_Click() {
    // The designed filter first; then the first pieces and .crc files of other programs'
    // sets, and any file, for a later piece or a wider numbering.
    const QString separator = QStringLiteral(";;");
    pickFile("PushButton5_Click",
             tr("Split Files (*.splt *.SPLT)") + separator + tr("Pieces (*.001 *.000 *.crc *.CRC *aa *00)") +
                 separator + tr("All Files (*)"),
             m_text4);
}

void Form1::pickFile(const char* procedureName, const QString& filter, QLineEdit* target) {
    QByteArray fileName;
    procedure(procedureName).run(106, [&] {
        fileName = m_outside.dialogs.openFileName(this, tr("Select File"), filter);
    });
    if (!fileName.isEmpty()) {
        setName(target, fileName);
    }
}

void Form1::PushButton2_Click() {
    QByteArray lastFolder;
    QByteArray result;
    const ReportingProcedure pick = procedure("PushButton2_Click");
    pick.run(100, [&] { lastFolder = m_settings.readName(QLatin1String(Settings::lastFolderKey), QByteArray()); });
    pick.run(100, [&] {
        result =
            m_outside.dialogs.browseForFolderName(this, tr("Please select folder:"), QFile::decodeName(lastFolder));
    });
    if (result.isEmpty()) {
        return;
    }
    pick.run(104, [&] { m_settings.writeName(QLatin1String(Settings::lastFolderKey), result); });
    if (result.endsWith('/')) {
        pick.run(108, [&] { setName(m_text2, result); });
    } else {
        pick.run(106, [&] { setName(m_text2, result + '/'); });
    }
}

// A drop anywhere on the window fills the field its kind belongs to; nothing starts
// by itself. Plain text dragged into a field keeps its usual behaviour.
bool Form1::handleDrop(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData() || !drop->mimeData()->hasUrls()) {
        return false;
    }
    const Drops::Verdict verdict = Drops::judge(drop->mimeData(), event->type() == QEvent::Drop);
    if (verdict.kind == Drops::Verdict::Kind::Nothing) {
        drop->ignore();
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() != QEvent::Drop) {
        return true;
    }
    switch (verdict.kind) {
    case Drops::Verdict::Kind::Refused:
        notice(verdict.message);
        break;
    case Drops::Verdict::Kind::Folder:
        try {
            setName(m_text2, verdict.name);
        } catch (const std::exception&) {
            // The folder is in the field; its setting is written again with the next change.
        }
        break;
    default:
        setName(verdict.kind == Drops::Verdict::Kind::Join ? m_text4 : m_text1, verdict.name);
        break;
    }
    return true;
}

void Form1::dragEnterEvent(QDragEnterEvent* event) {
    handleDrop(event);
}

void Form1::dragMoveEvent(QDragMoveEvent* event) {
    handleDrop(event);
}

void Form1::dropEvent(QDropEvent* event) {
    handleDrop(event);
}

void Form1::PushButton6_Click() {
    Help::showHelp(*this);
}

void Form1::PushButton7_Click() {
    Samples::loadSplitSample(*this);
}

void Form1::PushButton8_Click() {
    Samples::loadJoinSample(*this);
}

void Form1::openFile(const QString& path) {
    (Arguments::fieldFor(path) == Arguments::Field::Text4 ? m_text4 : m_text1)->setText(path);
}

void Form1::openFile(const QByteArray& path) {
    setName(Arguments::fieldFor(path) == Arguments::Field::Text4 ? m_text4 : m_text1, path);
}
