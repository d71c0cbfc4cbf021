#include "window/Form1.h"

#include <stdexcept>

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QScreen>

#include "engine/ErrorReport.h"
#include "engine/InputChecks.h"
#include "engine/Messages.h"
#include "engine/SplitMergeFile.h"
#include "feedback/Help.h"
#include "feedback/Hover.h"
#include "shell/Arguments.h"
#include "shell/Samples.h"
#include "shell/StartUp.h"
#include "window/ChunkSize.h"
#include "window/NoticeText.h"

namespace {

// Translated where they are shown (Form1::tr); the designed texts are the sources.
constexpr const char* progressBarText = QT_TRANSLATE_NOOP("Form1", "Progress Bar");
constexpr const char* notNumeric = QT_TRANSLATE_NOOP("Form1", "Must be a numeric entry.");

std::string bytes(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// The window is laid out in twips; a pixel is 15 twips at 96 DPI.
int pixels(int twips, qreal dpi) {
    return qRound(twips * dpi / 1440.0);
}

} // namespace

Form1::Form1(Outside outside, QWidget* parent)
    : QWidget(parent), m_outside(std::move(outside)), m_settings(m_outside.settingsFile),
      m_applicationTitle(QString::fromLatin1(StartUp::productName)) {
    setObjectName(QStringLiteral("Form1"));
    buildControls();
}

Form1::~Form1() = default;

void Form1::buildControls() {
    const qreal dpi = screen() ? screen()->logicalDotsPerInch() : 96.0;
    const auto place = [dpi](QWidget* widget, int left, int top, int width, int height) {
        widget->setGeometry(pixels(left, dpi), pixels(top, dpi), pixels(width, dpi), pixels(height, dpi));
    };

    QFont windowFont(QStringLiteral("Arial"));
    windowFont.setPointSizeF(9);
    windowFont.setBold(true);
    QFont buttonFont(QStringLiteral("Arial"));
    buttonFont.setPointSizeF(11.25);
    buttonFont.setBold(true);
    setFont(windowFont);
    setMouseTracking(true);

    const auto button = [&](int number, const char* caption, QWidget* container, int l, int t, int w, int h) {
        auto* pushButton = new PushButton(tr(caption), container);
        pushButton->setObjectName(QStringLiteral("PushButton%1").arg(number));
        pushButton->setFont(buttonFont);
        place(pushButton, l, t, w, h);
        m_pushButtons[number - 1] = pushButton;
        connect(pushButton, &PushButton::mouseMoved, this,
                [this, pushButton] { Hover::hoverOver(*this, *pushButton); });
        return pushButton;
    };
    const auto textBox = [&](const char* name, QWidget* container, int l, int t, int w, int h) {
        auto* edit = new QLineEdit(container);
        edit->setObjectName(QLatin1String(name));
        edit->setMouseTracking(true);
        edit->installEventFilter(this);
        place(edit, l, t, w, h);
        return edit;
    };
    const auto label = [&](const char* name, const char* caption, QWidget* container, int l, int t, int w, int h) {
        auto* text = new QLabel(tr(caption), container);
        text->setObjectName(QLatin1String(name));
        text->setMouseTracking(true);
        text->installEventFilter(this);
        text->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        place(text, l, t, w, h);
        // Widen rather than cut a caption that the design's width does not hold.
        const QFontMetrics metrics(text->font());
        const int needed = metrics.horizontalAdvance(text->text()) + 2;
        text->resize(std::max(text->width(), needed), std::max(text->height(), metrics.height()));
        return text;
    };
    // A screen reader names a field by its label, as a sighted user reads it.
    const auto labelField = [](QLabel* label, QLineEdit* field) {
        label->setBuddy(field);
        field->setAccessibleName(label->text());
    };
    const auto frame = [&](const char* name, const char* caption, int l, int t, int w, int h) {
        auto* box = new QGroupBox(tr(caption), this);
        box->setObjectName(QLatin1String(name));
        box->setMouseTracking(true);
        box->installEventFilter(this);
        box->setAcceptDrops(true);
        place(box, l, t, w, h);
        return box;
    };

    // Creation order as designed; tab order is set below. The captions are the
    // translations' sources; "..." is the same in every language.
    button(6, QT_TR_NOOP("Help"), this, 120, 120, 7800, 405);
    m_frame2 = frame("Frame2", QT_TR_NOOP("Join"), 120, 3405, 7800, 1335);
    button(3, QT_TR_NOOP("Start Joining"), m_frame2, 240, 765, 7320, 405);
    m_text4 = textBox("Text4", m_frame2, 3240, 300, 3600, 345);
    button(5, "...", m_frame2, 6960, 300, 600, 345)->setAccessibleName(tr("Select the .splt file to join"));
    labelField(label("Label3", QT_TR_NOOP("Select .splt Filename (first of set):"), m_frame2, 240, 345, 2835, 225),
               m_text4);
    m_frame1 = frame("Frame1", QT_TR_NOOP("Split"), 120, 1080, 7800, 2280);
    m_text3 = textBox("Text3", m_frame1, 1800, 1200, 2595, 345);
    m_text3->setText(QString::fromLatin1(StartUp::defaultChunkSize));
    button(1, "...", m_frame1, 6960, 300, 600, 345)->setAccessibleName(tr("Select the file to split"));
    m_text1 = textBox("Text1", m_frame1, 1800, 300, 5040, 345);
    m_text2 = textBox("Text2", m_frame1, 2760, 750, 4080, 345);
    button(2, "...", m_frame1, 6960, 750, 600, 345)->setAccessibleName(tr("Select the folder to save results to"));
    button(4, QT_TR_NOOP("Start Splitting"), m_frame1, 240, 1680, 7320, 405);
    labelField(label("lblSize", QT_TR_NOOP("Split Every:"), m_frame1, 240, 1245, 930, 225), m_text3);
    m_text3->setAccessibleDescription(label("Label2", QT_TR_NOOP("bytes"), m_frame1, 4560, 1245, 465, 225)->text());
    labelField(label("Label1", QT_TR_NOOP("One File To Split:"), m_frame1, 240, 345, 1395, 225), m_text1);
    labelField(label("Label7", QT_TR_NOOP("Save Results To This Folder:"), m_frame1, 240, 795, 2385, 225), m_text2);
    m_progressBarWidget = new QProgressBar(this);
    m_progressBarWidget->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBarWidget->setMouseTracking(true);
    m_progressBarWidget->installEventFilter(this);
    m_progressBarWidget->setAlignment(Qt::AlignCenter);
    m_progressBarWidget->setTextVisible(true);
    m_progressBarWidget->setAccessibleName(tr("Progress of the split or join"));
    place(m_progressBarWidget, 120, 4860, 7800, 405);
    m_progressBar.emplace(m_progressBarWidget);
    m_progressBar->setValue(0);
    m_progressBar->setText(tr(progressBarText));
    button(7, QT_TR_NOOP("Load Sample/Example Split Files"), this, 120, 630, 3840, 405);
    button(8, QT_TR_NOOP("Load Sample/Example Join Files"), this, 4080, 630, 3840, 405);

    // Frames, labels and the progress bar take no focus; the rest follow the tab index.
    for (QWidget* widget : findChildren<QWidget*>()) {
        if (qobject_cast<QGroupBox*>(widget) || qobject_cast<QLabel*>(widget) || qobject_cast<QProgressBar*>(widget)) {
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }
    QWidget* tabOrder[] = {m_pushButtons[3], m_pushButtons[1], m_text2,          m_text1,
                           m_pushButtons[0], m_text3,          m_pushButtons[4], m_text4,
                           m_pushButtons[2], m_pushButtons[5], m_pushButtons[6], m_pushButtons[7]};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    m_pushButtons[3]->setFocus();

    setFixedSize(pixels(8040, dpi), pixels(5385, dpi));

    connect(m_pushButtons[0], &QPushButton::clicked, this, &Form1::PushButton1_Click);
    connect(m_pushButtons[1], &QPushButton::clicked, this, &Form1::PushButton2_Click);
    connect(m_pushButtons[2], &QPushButton::clicked, this, &Form1::PushButton3_Click);
    connect(m_pushButtons[3], &QPushButton::clicked, this, &Form1::PushButton4_Click);
    connect(m_pushButtons[4], &QPushButton::clicked, this, &Form1::PushButton5_Click);
    connect(m_pushButtons[5], &QPushButton::clicked, this, &Form1::PushButton6_Click);
    connect(m_pushButtons[6], &QPushButton::clicked, this, &Form1::PushButton7_Click);
    connect(m_pushButtons[7], &QPushButton::clicked, this, &Form1::PushButton8_Click);
    connect(m_text2, &QLineEdit::textChanged, this, &Form1::Text2_Change);
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
        return handleDrop(watched, event);
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
        m_settings.write(QLatin1String(Settings::outputFolderKey), m_text2->text());
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
    m_engineRun.requestStop();
    event->accept();
}

void Form1::setProgressValue(int value) {
    m_progressBar->setValue(value);
}

void Form1::setProgressMaximum(int maximum) {
    m_progressBar->setMaximum(maximum);
}

void Form1::showNotice(const Notice& notice) {
    this->notice(NoticeText::text(notice));
}

void Form1::reportError(const std::string& sourceLabel, int step, const Fault& fault) {
    reportError(sourceLabel, step, fault.description());
}

void Form1::reportError(const std::string& sourceLabel, int step, const std::string& description) {
    if (m_closing) {
        return;
    }
    // ErrorReport::text in the user's language: the description, CR LF, the source
    // label, the step, two CRs and the request to mail a screenshot.
    const auto decoded = [](const std::string& text) { return QFile::decodeName(QByteArray::fromStdString(text)); };
    m_outside.messages.errorReport(
        this, decoded(description) + QLatin1String("\r\n") + decoded(sourceLabel) + tr("at line %1").arg(step) +
                  QLatin1String("\r\r") +
                  tr("Please email screenshot of this message to %1").arg(QLatin1String(ErrorReport::supportAddress)));
}

bool Form1::keepGoing() {
    // The engine runs on EngineRun's worker, whose turns answer from its stop flag
    // while this loop turns by itself; a turn asked of the window just turns it.
    QCoreApplication::processEvents();
    return !m_closing;
}

void Form1::requestStop() {
    m_engineRun.requestStop();
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

void Form1::PushButton4_Click() {
    const ReportingProcedure split = procedure("PushButton4_Click");
    const auto text1 = [this] { return bytes(m_text1->text()); };
    // Looked at, opened and parsed once, for the checks and the split alike.
    std::optional<InputChecks::SplitSource> source;
    std::int32_t chunkSize = 0;
    if (split.test(
            100, [this] { return m_busy; }, false)) {
        return;
    }
    split.run(102, [this] { m_busy = true; });
    if (split.test(
            104, [this] { return InputChecks::outputFolderExists(bytes(m_text2->text())); }, true)) {
        if (split.test(
                106, [&] { return !InputChecks::namesFile(text1()); }, false)) {
            // Nothing to split: straight on to the idle look.
        } else if (split.test(
                       108, [&] { return InputChecks::containsManifestSuffix(text1()); }, false)) {
            split.run(126, [this] { showNotice({NoticeId::AlreadySplit}); });
        } else if (split.test(
                       110, [&] { return InputChecks::containsPieceMarker(text1()); }, false)) {
            split.run(124, [this] { showNotice({NoticeId::AlreadySplit}); });
        } else if (!split.test(
                       112,
                       [&] {
                           source.emplace(text1());
                           return source->exists();
                       },
                       true)) {
            split.run(122, [this] { showNotice({NoticeId::SplitFileMissing, {bytes(m_text1->text())}}); });
        } else if (split.test(
                       114,
                       [&] {
                           if (!source) {
                               source.emplace(text1());
                           }
                           chunkSize = ChunkSize::toChunkSize(m_text3->text());
                           return InputChecks::notLargerThanChunk(*source, chunkSize);
                       },
                       true)) {
            split.run(116, [this] { showNotice({NoticeId::NotLargerThanChunk}); });
        } else {
            split.run(118, [this] { setMousePointer(Hover::busyPointer); });
            split.run(120, [&] {
                // Read once, here: the window stays usable while the pieces are written.
                const std::string folder = bytes(m_text2->text());
                m_engineRun.run([&](EngineHost& host) { SplitMergeFile::SplitFile(*source, chunkSize, folder, host); });
            });
        }
        restoreIdleLook(split, 128, 130);
        split.run(132, [this] { showNotice({NoticeId::Done}); });
    } else {
        split.run(134, [this] { showNotice({NoticeId::FolderMissing}); });
    }
    split.run(136, [this] { m_busy = false; });
}

void Form1::PushButton3_Click() {
    const ReportingProcedure join = procedure("PushButton3_Click");
    const auto text4 = [this] { return bytes(m_text4->text()); };
    if (join.test(
            100, [this] { return m_busy; }, false)) {
        return;
    }
    join.run(102, [this] { m_busy = true; });
    join.run(104, [this] { setMousePointer(Hover::busyPointer); });
    if (join.test(
            106, [&] { return !InputChecks::namesFile(text4()); }, false)) {
        join.run(114, [this] { showNotice({NoticeId::NoFileToJoin}); });
    } else if (join.test(
                   108, [&] { return InputChecks::fileExists(text4()); }, true)) {
        join.run(110, [&] {
            const std::string manifest = text4();
            const std::string folder = bytes(m_text2->text());
            m_engineRun.run([&](EngineHost& host) { SplitMergeFile::JoinFiles(manifest, folder, host); });
        });
    } else {
        join.run(112, [this] { showNotice({NoticeId::JoinFileMissing, {bytes(m_text4->text())}}); });
    }
    restoreIdleLook(join, 116, 118);
    join.run(120, [this] { m_busy = false; });
}

// The idle look both start commands end with: the normal pointer, then the bar's
// value and its text, two statements on one line.
void Form1::restoreIdleLook(const ReportingProcedure& procedure, int pointerLine, int barLine) {
    procedure.run(pointerLine, [this] { setMousePointer(Hover::defaultPointer); });
    procedure.run(barLine, [this] { m_progressBar->setValue(0); });
    procedure.run(barLine, [this] { m_progressBar->setText(tr(progressBarText)); });
}

void Form1::PushButton1_Click() {
    pickFile("PushButton1_Click", tr("All Files (*)"), m_text1);
}

void Form1::PushButton5_Click() {
    pickFile("PushButton5_Click", tr("Split Files (*.splt *.SPLT)"), m_text4);
}

void Form1::pickFile(const char* procedureName, const QString& filter, QLineEdit* target) {
    QString fileName;
    QString title;
    QString dialogFilter;
    const ReportingProcedure pick = procedure(procedureName);
    pick.run(100, [&] { fileName.clear(); });
    pick.run(102, [&] { title = tr("Select File"); });
    pick.run(104, [&] { dialogFilter = filter; });
    pick.run(106, [&] { fileName = m_outside.dialogs.openFile(this, title, dialogFilter); });
    if (pick.test(
            108, [&] { return !fileName.isEmpty(); }, true)) {
        pick.run(110, [&] { target->setText(fileName); });
    }
}

void Form1::PushButton2_Click() {
    QString lastFolder;
    QString result;
    const ReportingProcedure pick = procedure("PushButton2_Click");
    pick.run(100, [&] { lastFolder = m_settings.read(QLatin1String(Settings::lastFolderKey), QString()); });
    pick.run(100, [&] { result = m_outside.dialogs.browseForFolder(this, tr("Please select folder:"), lastFolder); });
    if (!pick.test(
            102, [&] { return !result.isEmpty(); }, true)) {
        return;
    }
    pick.run(104, [&] { lastFolder = result; });
    pick.run(104, [&] { m_settings.write(QLatin1String(Settings::lastFolderKey), lastFolder); });
    if (pick.test(
            104, [&] { return result.endsWith(QLatin1Char('/')); }, false)) {
        pick.run(108, [&] { setText2(result); });
    } else {
        pick.run(106, [&] { setText2(result + QLatin1Char('/')); });
    }
}

// Drops fill the fields; nothing starts by itself.
QLineEdit* Form1::dropTarget(QObject* watched) const {
    if (watched == m_text2) {
        return m_text2;
    }
    for (const QObject* object = watched; object; object = object->parent()) {
        if (object == m_frame1) {
            return m_text1;
        }
        if (object == m_frame2) {
            return m_text4;
        }
    }
    return nullptr;
}

QString Form1::droppedPath(const QMimeData* data, const QLineEdit* target) const {
    if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile()) {
        return {};
    }
    const QString path = data->urls().first().toLocalFile();
    const QFileInfo info(path);
    if (target == m_text2) {
        return info.isDir() ? StartUp::withTrailingSeparator(path) : QString();
    }
    if (!info.exists() || info.isDir()) {
        return {};
    }
    if (target == m_text4 && !path.endsWith(QLatin1String(".splt"), Qt::CaseInsensitive)) {
        return {};
    }
    return path;
}

bool Form1::handleDrop(QObject* watched, QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    if (!drop->mimeData() || !drop->mimeData()->hasUrls()) {
        return false; // plain text dragged into a field keeps its usual behaviour
    }
    QLineEdit* target = dropTarget(watched);
    const QString path = target ? droppedPath(drop->mimeData(), target) : QString();
    if (path.isEmpty()) {
        if (target == m_text2) {
            // Refused here, not passed on to the split panel behind the field.
            drop->setDropAction(Qt::IgnoreAction);
            drop->accept();
        } else {
            drop->ignore();
        }
        return true;
    }
    drop->acceptProposedAction();
    if (event->type() == QEvent::Drop) {
        target->setText(path);
    }
    return true;
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
