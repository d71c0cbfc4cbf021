#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>

#include "feedback/Hover.h"
#include "shell/StartUp.h"
#include "window/Form1.h"

// The controls of the window as designed: captions, places, fonts, tab order.

namespace {

// The window is laid out in twips; a pixel is 15 twips at 96 DPI.
int pixels(int twips, qreal dpi) {
    return qRound(twips * dpi / 1440.0);
}

} // namespace

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
    button(5, "...", m_frame2, 6960, 300, 600, 345)
        ->setAccessibleName(tr("Select the .splt file or the first piece to join"));
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
    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("ProgressBar1"));
    m_progressBar->setMouseTracking(true);
    m_progressBar->installEventFilter(this);
    m_progressBar->setAlignment(Qt::AlignCenter);
    m_progressBar->setTextVisible(true);
    m_progressBar->setAccessibleName(tr("Progress of the split or join"));
    place(m_progressBar, 120, 4860, 7800, 405);
    m_progressBar->setRange(0, 100);
    restoreIdleLook();
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
    setAcceptDrops(true);

    using Click = void (Form1::*)();
    const Click clicks[] = {&Form1::PushButton1_Click, &Form1::PushButton2_Click, &Form1::PushButton3_Click,
                            &Form1::PushButton4_Click, &Form1::PushButton5_Click, &Form1::PushButton6_Click,
                            &Form1::PushButton7_Click, &Form1::PushButton8_Click};
    for (std::size_t i = 0; i < std::size(clicks); ++i) {
        connect(m_pushButtons[i], &QPushButton::clicked, this, clicks[i]);
    }
    connect(m_text2, &QLineEdit::textChanged, this, &Form1::Text2_Change);
}
