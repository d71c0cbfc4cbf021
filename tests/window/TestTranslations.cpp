#include <QDialogButtonBox>
#include <QGroupBox>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <QtTest>

#include "shell/Languages.h"
#include "tests/support/Harness.h"
#include "window/NoticeText.h"

// The window in German, French and Spanish: which language a locale gets, that
// every caption fits its control in the fixed layout, that Qt's own buttons follow,
// and that the shipped translations cover every text of the sources.
class TestTranslations : public QObject {
    Q_OBJECT

private slots:
    void localeChoosesTheLanguage_data();
    void localeChoosesTheLanguage();
    void captionsFitTheirControls_data();
    void captionsFitTheirControls();
    void everyTextIsTranslated_data();
    void everyTextIsTranslated();
    void noticesFollowTheLanguage_data();
    void noticesFollowTheLanguage();
};

namespace {

const QString translations = QStringLiteral(QUARNEL_PROGRAM_DIR) + QLatin1String(Languages::folderSuffix);

QSet<QString> placeholders(const QString& text) {
    QSet<QString> found;
    const QRegularExpression placeholder(QStringLiteral("%\\d+"));
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(text)) {
        found << match.captured();
    }
    return found;
}

// Source text (with its context) -> translation, of a .ts file; unfinished and
// vanished entries count as untranslated.
QMap<QString, QString> messagesOf(const QString& tsFile) {
    QFile file(tsFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("Cannot read %s", qPrintable(tsFile));
        return {};
    }
    QMap<QString, QString> messages;
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const bool finished = xml.attributes().value(QLatin1String("type")).isEmpty();
            const QString text = xml.readElementText();
            messages.insert(context + QLatin1Char('|') + source, finished ? text : QString());
        }
    }
    if (xml.hasError()) {
        qWarning("%s: %s", qPrintable(tsFile), qPrintable(xml.errorString()));
    }
    return messages;
}

} // namespace

void TestTranslations::localeChoosesTheLanguage_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("language");
    for (const char* locale : {"C", "en_US", "en_GB", "it_IT"}) {
        QTest::newRow(locale) << locale << ""; // English, Italian not shipped
    }
    for (const char* locale : {"de_DE", "de_AT", "fr_FR", "fr_CA", "es_ES", "es_MX"}) {
        QTest::newRow(locale) << locale << QString::fromLatin1(locale, 2);
    }
}

void TestTranslations::localeChoosesTheLanguage() {
    QFETCH(QString, locale);
    QFETCH(QString, language);
    // The window's caption and Qt's own button, in each language.
    const QMap<QString, QStringList> texts = {{"", {"Start Splitting", "Cancel"}},
                                              {"de", {"Teilen starten", "Abbrechen"}},
                                              {"fr", {"Lancer le découpage", "Annuler"}},
                                              {"es", {"Empezar a dividir", "Cancelar"}}};
    Languages languages;
    QCOMPARE(languages.install(QLocale(locale), translations), language);
    Harness harness;
    QCOMPARE(harness.create().findChild<QPushButton*>(QStringLiteral("PushButton4"))->text(), texts[language][0]);
    // The file and folder dialogs take their buttons from Qt's translations.
    const QDialogButtonBox buttons(QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), texts[language][1]);
}

void TestTranslations::captionsFitTheirControls_data() {
    QTest::addColumn<QString>("locale");
    for (const char* locale : {"de_DE", "fr_FR", "es_ES"}) {
        QTest::newRow(locale) << QString::fromLatin1(locale);
    }
}

void TestTranslations::captionsFitTheirControls() {
    QFETCH(QString, locale);
    Languages languages;
    QVERIFY(!languages.install(QLocale(locale), translations).isEmpty());
    Harness harness;
    Form1& form = harness.load();
    // Each label with what lies to its right in the same row.
    const QMap<QString, QString> rowNeighbours = {
        {"Label1", "Text1"}, {"Label7", "Text2"}, {"lblSize", "Text3"}, {"Label3", "Text4"}, {"Label2", "Frame1"}};
    int captioned = 0;
    for (QWidget* widget : form.findChildren<QWidget*>()) {
        const auto [text, room] = Harness::caption(*widget);
        if (text.isEmpty() || qobject_cast<QLineEdit*>(widget)) {
            continue;
        }
        ++captioned;
        const int needed = QFontMetrics(widget->font()).horizontalAdvance(text);
        QVERIFY2(
            needed <= room,
            qPrintable(
                QStringLiteral("%1 \"%2\" needs %3 px, has %4").arg(widget->objectName(), text).arg(needed).arg(room)));
        if (rowNeighbours.contains(widget->objectName())) {
            const QWidget* neighbour = form.findChild<QWidget*>(rowNeighbours.value(widget->objectName()));
            const int end = neighbour == widget->parentWidget() ? neighbour->width() : neighbour->x();
            QVERIFY2(widget->geometry().right() < end,
                     qPrintable(QStringLiteral("%1 \"%2\" reaches into %3")
                                    .arg(widget->objectName(), text, neighbour->objectName())));
        }
    }
    QCOMPARE(captioned, 16); // every button, label and frame, and the bar
}

void TestTranslations::everyTextIsTranslated_data() {
    QTest::addColumn<QString>("language");
    for (const char* language : {"de", "fr", "es"}) {
        QTest::newRow(language) << QString::fromLatin1(language);
    }
}

void TestTranslations::everyTextIsTranslated() {
    QFETCH(QString, language);
    // What the sources mark for translation today, as lupdate finds it.
    QTemporaryDir dir;
    const QString current = dir.filePath(QStringLiteral("current.ts"));
    QProcess lupdate;
    lupdate.setProcessChannelMode(QProcess::MergedChannels);
    lupdate.start(
        QStringLiteral(QUARNEL_LUPDATE),
        QString::fromLatin1(QUARNEL_TRANSLATED_SOURCES).split(QLatin1Char(':')) +
            QStringList{QStringLiteral("-locations"), QStringLiteral("none"), QStringLiteral("-ts"), current});
    QVERIFY(lupdate.waitForFinished(60000));
    QVERIFY2(lupdate.exitCode() == 0, lupdate.readAll().constData());
    const QMap<QString, QString> sources = messagesOf(current);
    QVERIFY(sources.size() > 30);

    const QMap<QString, QString> shipped = messagesOf(QStringLiteral(QUARNEL_TS_FOLDER "/quarnel_%1.ts").arg(language));
    QCOMPARE(QStringList(shipped.keys()), QStringList(sources.keys()));
    for (auto message = shipped.cbegin(); message != shipped.cend(); ++message) {
        const QString source = message.key().section(QLatin1Char('|'), 1);
        QVERIFY2(!message.value().isEmpty(), qPrintable(QStringLiteral("untranslated: ") + message.key()));
        QVERIFY2(placeholders(message.value()) == placeholders(source),
                 qPrintable(QStringLiteral("placeholders differ: %1 / %2").arg(source, message.value())));
    }
}

void TestTranslations::noticesFollowTheLanguage_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("text");
    // A path with a placeholder of its own, which stays as it is.
    const QString piece = QStringLiteral("/tmp/ä b%2.bin_splt3");
    const auto row = [](const char* name, const char* locale, NoticeId id, const QString& text) {
        QTest::newRow(name) << QString::fromLatin1(locale) << static_cast<int>(id) << text;
    };
    row("English, missing piece", "C", NoticeId::PieceMissing, piece + QStringLiteral(" splitted file not found"));
    row("German, missing piece", "de_DE", NoticeId::PieceMissing,
        QStringLiteral("Teildatei %1 nicht gefunden").arg(piece));
    row("French, missing piece", "fr_FR", NoticeId::PieceMissing, QStringLiteral("Morceau %1 introuvable").arg(piece));
    row("Spanish, missing piece", "es_ES", NoticeId::PieceMissing,
        QStringLiteral("No se encuentra la parte %1").arg(piece));
    row("German, done", "de_DE", NoticeId::Done, QStringLiteral("Fertig."));
    // Never shown by the window, so not translated: the engine's English.
    row("German, the command line's own", "de_DE", NoticeId::TooLargeForParts,
        QString::fromStdString(Messages::englishTemplate(NoticeId::TooLargeForParts)).arg(piece));
}

void TestTranslations::noticesFollowTheLanguage() {
    QFETCH(QString, locale);
    QFETCH(int, id);
    QFETCH(QString, text);
    Languages languages;
    languages.install(QLocale(locale), translations);
    const QByteArray piece = QFile::encodeName(QStringLiteral("/tmp/ä b%2.bin_splt3"));
    QCOMPARE(NoticeText::text({static_cast<NoticeId>(id), {piece.toStdString()}}), text);
}

QTEST_MAIN(TestTranslations)
#include "TestTranslations.moc"
